#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "app/form1.h"
#include "console/board/terminal.h"
#include "serial/serial_port.h"

namespace qm {

// Exit statuses; with several ports the highest wins.
inline constexpr int kExitAnswered = 0;
inline constexpr int kExitNoAnswer = 1;
inline constexpr int kExitCannotOpen = 2;
inline constexpr int kExitNoAdapter = 3;
inline constexpr int kExitUnexpected = 4;
inline constexpr int kExitUsage = 64;    // EX_USAGE
inline constexpr int kExitFailure = 70;  // EX_SOFTWARE: the program itself could not run
inline constexpr int kExitInterrupted = 130;

int ExitStatusFor(ExchangeOutcome outcome);

// --expect: whether one of the answer's lines, split at CR and LF as the device sent them and
// with the spaces and tabs around each taken off, is `expected`.
bool AnswerHasLine(std::wstring_view answer, std::wstring_view expected);

// How long a device plugged in is given to power up with its adapter before --watch resets it.
inline constexpr int32_t kDefaultSettleMs = 1000;

// What the command line asks for.
struct Options {
  enum class Mode { kOne, kList, kAll, kWatch, kHelp, kVersion };
  Mode mode = Mode::kOne;
  std::vector<std::wstring> ports;  // --port, as often as given: those, all at once
  bool json = false;                // --json: JSON Lines on standard output
  bool plain = false;               // --plain: the lines even on a terminal
  std::wstring log;                 // --log FILE: every record appended there too
  int32_t settle_ms = kDefaultSettleMs;  // --settle
  std::wstring expect;  // --expect TEXT: the line an answer must hold; empty: any answer passes

  std::wstring mqtt;   // --mqtt URL: every record published there too
  std::wstring bench;  // --bench NAME; empty: the host name
  std::wstring mqtt_password_file, mqtt_cafile;
  int32_t mqtt_wait_ms = 5000;  // --mqtt-wait: how long the end waits for the broker
};

// The options, or the reason the command line is wrong.
struct ParsedArguments {
  std::optional<Options> options;
  std::wstring error;
};
ParsedArguments ParseArguments(const std::vector<std::wstring>& args);

// Ctrl+C, a termination signal, the console being closed.
class Interrupt {
 public:
  virtual ~Interrupt() = default;
  virtual bool Raised() const = 0;
  // Sleeps up to `ms` milliseconds; wakes at once when the interrupt is (or has been) raised.
  virtual void Sleep(int32_t ms) = 0;
  // The operator asked to end (the board's q): the watch takes no new device and lets the
  // exchanges under way end, then the program ends with its own status, not by a signal. Where
  // Quit raises the interrupt itself, those exchanges are cut short at once.
  virtual void Quit() {}
  virtual bool Quitting() const { return false; }
  // Raised without a signal: what is still under way after q's grace is cut short.
  virtual void CutShort() {}
};



// A file that records are appended to, each whole and on the disk when Append returns.
class RecordFile {
 public:
  virtual ~RecordFile() = default;
  virtual void Append(std::string_view utf8_line) = 0;  // throws Error
  // Why a record written whole could not be put on the disk (a network share that refuses to
  // flush): kept, not lost. Given once, then empty.
  virtual std::wstring NotSynced() { return L""; }
};

// An adapter found on this machine.
struct Adapter {
  std::wstring port;  // as --port takes it
  std::wstring name;  // the USB device's product name
  std::wstring location;  // where it is plugged in (a USB port path); empty when unknown
  std::wstring serial;    // the USB device's serial number; empty when unknown
  std::wstring instance;  // what tells one plug-in from the next (the USB device number)
};

// What the operating system gives the console edition.
class ConsolePlatform {
 public:
  virtual ~ConsolePlatform() = default;

  virtual std::vector<Adapter> FindAdapters() = 0;  // throws Error
  // Said on standard error when no adapter is found: what was looked for, how to name a port.
  virtual std::wstring WhatWasLookedFor() const = 0;
  virtual std::wstring PortExample() const = 0;
  // A port for a name from the command line or from discovery; nullptr when the name cannot
  // name a port on this system.
  virtual std::unique_ptr<SerialPort> MakePort(const std::wstring& name) = 0;
  // A device's bytes as text.
  virtual std::wstring DecodeAnsi(std::string_view bytes) const = 0;

  // One line each, whole, whichever thread calls. Standard output's human lines stop once the
  // interrupt is raised; its records (JSON) are still written, to account for every device.
  virtual void PrintLine(const std::wstring& line) = 0;
  virtual void PrintRecord(const std::wstring& line) = 0;
  virtual void PrintError(const std::wstring& line) = 0;
  // Standard output could not be written: a watch would reset devices with nobody told.
  virtual bool OutputFailed() const = 0;
  // The board's terminal (standard output) cannot be written: said at the end, as a line that
  // could not be written is.
  virtual void OutputLost(const Error& e) = 0;

  virtual Interrupt& interrupt() = 0;
  // Starts `job` on a thread of its own (or runs it here when no thread can be had); WaitForJobs
  // returns once every job started has finished.
  virtual void Start(std::function<void()> job) = 0;
  virtual void WaitForJobs() = 0;
  // Sleeps until the machine's devices may have changed, the interrupt is raised or `ms`
  // milliseconds have passed (no limit when negative).
  virtual void WaitForDeviceChange(int32_t ms) = 0;

  // --log: FILE opened to append (created when missing, never truncated); throws Error.
  virtual std::unique_ptr<RecordFile> OpenLog(const std::wstring& path) = 0;
  // Standard output as a terminal the board can be drawn on in place; nullptr when it is not
  // a terminal or cannot move the cursor (the lines are shown then).
  virtual std::unique_ptr<Terminal> OpenTerminal() { return nullptr; }
  // Milliseconds on a clock that only moves forward: the settle time and the pause run on it.
  virtual int64_t SteadyMs() const;
};

// The USB serial number in a device's instance ID (USB\VID_10C4&PID_EA60\0001 gives 0001);
// empty where Windows made the last part up itself (it holds an '&') or there is none.
std::wstring SerialFromInstanceId(std::wstring_view instance_id);

// Text as a JSON string, quotes included; the result is valid JSON whatever the text holds.
std::wstring JsonString(std::wstring_view text);
// A moment as UTC ISO 8601 with milliseconds: "2026-12-08T05:01:02.345Z".
std::wstring IsoTime(int64_t unix_ms);

// The whole console edition: parses `args` (without the program name), does what they ask and
// returns the exit status.
int RunConsole(const std::vector<std::wstring>& args, ConsolePlatform& platform,
               std::wstring_view version);

// The console's port: the command goes out whole or not at all. An interrupt before its first
// byte sends nothing; once that is written, the line ends follow (about 5 ms at 57600 baud)
// before the interrupt is honoured, so the device is never left with half a command that the
// next line end anyone sends would complete.
class WholeCommandPort final : public SerialPort {
 public:
  WholeCommandPort(std::unique_ptr<SerialPort> port, const Interrupt& interrupt)
      : port_(std::move(port)), interrupt_(interrupt) {}

  // Whether some of the command, but not all of it, has been written since the port opened.
  bool CommandUnfinished() const { return written_ > 0 && written_ < kCommandSize; }
  // Why the last open failed, in plain words; empty when it did not.
  const std::wstring& OpenFailure() const { return open_failure_; }

  void SetCommPort(int16_t port) override { port_->SetCommPort(port); }
  int16_t CommPort() const override { return port_->CommPort(); }
  bool PortOpen() const override { return port_->PortOpen(); }
  void Open() override;
  void Close() override { port_->Close(); }
  void Write(std::string_view bytes) override;
  std::string ReadPending() override { return port_->ReadPending(); }
  std::wstring PortName() const override { return port_->PortName(); }
  std::wstring PortPath() const override { return port_->PortPath(); }
  std::wstring OpenFailureReason(const Error& e) const override {
    return port_->OpenFailureReason(e);
  }

 private:
  static constexpr std::size_t kCommandSize =
      kResetCommand.size() + kLineEndCount * kLineEnd.size();

  std::unique_ptr<SerialPort> port_;
  const Interrupt& interrupt_;
  std::size_t written_ = 0;
  std::wstring open_failure_;
};

class ConsoleEvents;
struct ExchangeId;

// Form1's host in a console: report lines go to the events (cleaned of controls), the pause
// timer runs on the steady clock, and the interrupt ends the program as closing the window does
// (once the port has the whole command, if it has any of it).
class ConsoleHost final : public FormHost {
 public:
  ConsoleHost(ConsolePlatform& platform, ConsoleEvents& events, const ExchangeId& id)
      : platform_(platform), events_(events), id_(id) {}
  void Attach(Form1& form, const WholeCommandPort& port) {
    form_ = &form;
    port_ = &port;
  }

  void ReportLineAdded(const std::wstring& line) override;
  void DoEvents() override;
  void WaitForEvent() override;
  void ArmPauseTimer(int32_t interval_ms) override;
  void DisarmPauseTimer() override { timer_armed_ = false; }
  void SetPortBoxText(const std::wstring& text) override { port_box_ = text; }
  std::wstring PortBoxText() const override { return port_box_; }
  void SetResetEnabled(bool) override {}
  void FocusReset() override {}
  void EndProgram(int) override {}
  // A console program names its port once; it is not told of device changes.
  void ArmDeviceSettleTimer(int32_t) override {}
  void StartDeviceLook() override {}
  bool DeviceLookLost() const override { return false; }
  void AdapterLookDone(const std::wstring&, const std::optional<Error>&) override {}
  std::wstring DecodeAnsi(std::string_view bytes) const override {
    return platform_.DecodeAnsi(bytes);
  }

 private:
  ConsolePlatform& platform_;
  ConsoleEvents& events_;
  const ExchangeId& id_;
  Form1* form_ = nullptr;
  const WholeCommandPort* port_ = nullptr;
  std::wstring port_box_;
  bool timer_armed_ = false;
  int32_t timer_interval_ms_ = 0;
  int64_t timer_due_ms_ = 0;
};

}  // namespace qm
