#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>

#include "app/form_host.h"
#include "serial/serial_port.h"

namespace qm {

// The command that puts the device back to its factory settings, and what follows it.
inline constexpr std::string_view kResetCommand = "AT+DEFAULT";
inline constexpr std::string_view kLineEnd = "\r\n";
inline constexpr int kLineEndCount = 10;
inline constexpr int32_t kAnswerWaitMs = 2000;

// How many report lines the window keeps for repainting; older ones are forgotten.
inline constexpr std::size_t kMaxReportLines = 1000;

// How the last exchange ended, for a front end that gives a verdict rather than drawing lines.
enum class ExchangeOutcome {
  kNone,          // no exchange has finished (none ran, or the program ended during it)
  kAnswered,      // the device answered
  kNoAnswer,      // "NO COMM"
  kCouldNotOpen,  // the port could not be opened
  // The device answered, but not as the front end expected (the console's --expect). Form1
  // never judges an answer itself: it says kAnswered, and a front end that judges says this.
  kUnexpected,
};

// How long the machine's devices must stay quiet after a change before the adapter is looked
// for again: plugging one in raises a burst of notifications.
inline constexpr int32_t kDeviceSettleMs = 300;

// The tool's one window: its handlers and procedures, free of any window system.
class Form1 {
 public:
  Form1(FormHost& host, SerialPort& port, DeviceQuery& devices);
  Form1(const Form1&) = delete;
  Form1& operator=(const Form1&) = delete;

  // Event handlers. Form_Load, Form_Unload and Form_Terminate let errors through: the caller
  // reports them and ends the program. cmReset_Click never throws.
  void Form_Load();
  void cmReset_Click();
  void TimerPausa_Timer();
  void Form_Unload();
  void Form_Terminate();
  // After an error the caller has reported: the program ends with status 1 and nothing more
  // happens. The ending that usually follows (Form_Terminate) keeps that status.
  void EndAfterError() noexcept;
  // The machine's devices changed; and the settle timer that follows.
  void DevicesChanged();
  void DeviceSettleTimer_Timer();
  // What FormHost::StartDeviceLook found: the device names, or the failure.
  void DeviceLookFinished(const std::vector<std::optional<std::wstring>>& names,
                          const std::optional<Error>& failure);

  // The lines drawn so far, oldest first (at most kMaxReportLines).
  const std::deque<std::wstring>& ReportLines() const { return report_lines_; }
  // Whether report line `index` is one the tool composed (and may be broken to stay readable),
  // not the device's answer (drawn as received).
  bool OwnLine(std::size_t index) const { return !answer_lines_.at(index); }
  // Every kept report line, joined with CR LF: what a copy takes.
  std::wstring ReportText() const;
  bool ExchangeRunning() const { return busy_; }
  bool Ended() const { return ended_; }
  ExchangeOutcome LastOutcome() const { return outcome_; }
  // The device's answer in the last exchange as it came, control bytes (line ends) and all;
  // empty when it gave none.
  const std::string& LastAnswer() const { return last_answer_; }

  // Procedures.
  void Pausa(const int32_t& MiliSegundos);
  std::wstring GetCOM();
  static std::string QuitaCaracteresDeControl(const std::string& Cadena);
  void report(const std::wstring& text);

 private:
  void RunExchange();
  void CloseIfOpen();
  // The first exit status given stands.
  void EndProgram(int exit_status);
  void ShowPortNameText(const std::wstring& text);
  void LookIfDevicesChanged();
  void LookAgain();
  void AddReportLine(const std::wstring& text, bool answer);

  FormHost& host_;
  SerialPort& MSComm1;
  DeviceQuery& devices_;

  bool timer_enabled_ = false;  // TimerPausa.Enabled
  bool busy_ = false;           // an exchange is running
  bool ended_ = false;          // Form_Terminate has run: nothing more happens
  bool exit_given_ = false;     // the host was told to end, with a status
  std::deque<std::wstring> report_lines_;
  std::deque<bool> answer_lines_;  // beside report_lines_: which ones are the device's answer

  bool devices_changed_ = false;  // a change not looked at yet
  bool settling_ = false;         // the settle timer is armed
  bool looking_ = false;          // a look after a change is running
  ExchangeOutcome outcome_ = ExchangeOutcome::kNone;
  std::string last_answer_;
};

// Which report lines fit a client area `client_height` high: the newest line stays the last
// visible one, older lines leave at the top.
struct VisibleLines {
  std::size_t first;  // index of the line drawn at y = 0
  std::size_t count;
};
VisibleLines VisibleReportLines(std::size_t line_count, int line_height, int client_height);

}  // namespace qm
