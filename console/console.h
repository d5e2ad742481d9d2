#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "app/form1.h"
#include "serial/serial_port.h"

namespace qm {

// Exit statuses; with several ports the highest wins.
inline constexpr int kExitAnswered = 0;
inline constexpr int kExitNoAnswer = 1;
inline constexpr int kExitCannotOpen = 2;
inline constexpr int kExitNoAdapter = 3;
inline constexpr int kExitUsage = 64;    // EX_USAGE
inline constexpr int kExitFailure = 70;  // EX_SOFTWARE: the program itself could not run
inline constexpr int kExitInterrupted = 130;

int ExitStatusFor(ExchangeOutcome outcome);

// What the command line asks for.
struct Options {
  enum class Mode { kOne, kList, kAll, kHelp, kVersion };
  Mode mode = Mode::kOne;
  std::optional<std::wstring> port;  // --port
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
};

// An adapter found on this machine.
struct Adapter {
  std::wstring port;  // as --port takes it
  std::wstring name;
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

  // One line each, whole, whichever thread calls; standard output prints nothing once the
  // interrupt is raised.
  virtual void PrintLine(const std::wstring& line) = 0;
  virtual void PrintError(const std::wstring& line) = 0;

  virtual Interrupt& interrupt() = 0;
  // Runs the jobs at the same time, each on its own thread, and returns when all are done.
  virtual void RunTogether(const std::vector<std::function<void()>>& jobs) = 0;
};

// The whole console edition: parses `args` (without the program name), does what they ask and
// returns the exit status.
int RunConsole(const std::vector<std::wstring>& args, ConsolePlatform& platform,
               std::wstring_view version);

// Form1's host in a console: report lines go to standard output (after `prefix`), the pause
// timer runs on the steady clock, and the interrupt ends the program as closing the window does.
class ConsoleHost final : public FormHost {
 public:
  ConsoleHost(ConsolePlatform& platform, std::wstring prefix)
      : platform_(platform), prefix_(std::move(prefix)) {}
  void Attach(Form1& form) { form_ = &form; }

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
  void AdapterLookDone(const std::wstring&, const std::optional<Error>&) override {}
  std::wstring DecodeAnsi(std::string_view bytes) const override {
    return platform_.DecodeAnsi(bytes);
  }

 private:
  int64_t NowMs() const;

  ConsolePlatform& platform_;
  std::wstring prefix_;
  Form1* form_ = nullptr;
  std::wstring port_box_;
  bool timer_armed_ = false;
  int32_t timer_interval_ms_ = 0;
  int64_t timer_due_ms_ = 0;
};

}  // namespace qm
