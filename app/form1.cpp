#include "app/form1.h"

#include <algorithm>
#include <optional>

#include "app/port_names.h"

namespace qm {

namespace {

// The exchange's policy: an operation that fails is abandoned, nothing is said about it, and
// the exchange carries on with the next one.
template <typename Operation>
void Attempt(Operation&& operation) noexcept {
  try {
    operation();
  } catch (...) {
  }
}

}  // namespace

Form1::Form1(FormHost& host, SerialPort& port, DeviceQuery& devices)
    : host_(host), MSComm1(port), devices_(devices) {}

void Form1::Form_Load() {
  host_.SetPortBoxText(L"");
  ShowPortNameText(GetCOM());
}

void Form1::ShowPortNameText(const std::wstring& text) {
  host_.SetPortBoxText(text);
  const std::wstring shown = host_.PortBoxText();
  if (!shown.empty()) MSComm1.SetCommPort(PortNumberFromText(shown));
}

std::wstring Form1::GetCOM() {
  return PortNameText(devices_.PnPDeviceNames());
}

void Form1::cmReset_Click() {
  // A press while an exchange runs (the wait pumps events) starts nothing: a nested exchange
  // would send the command twice and spoil the first one's answer.
  if (busy_ || ended_) return;
  busy_ = true;
  host_.SetResetEnabled(false);
  RunExchange();
  if (ended_) return;  // the window is gone
  busy_ = false;
  host_.SetResetEnabled(true);
  host_.FocusReset();
  LookIfDevicesChanged();  // a change during the exchange waited for it to end
}

void Form1::RunExchange() {
  outcome_ = ExchangeOutcome::kNone;  // stays so when the program ends mid-exchange
  last_answer_.clear();
  CloseIfOpen();

  std::optional<Error> open_failure;
  try {
    MSComm1.Open();
  } catch (const Error& e) {
    open_failure = e;
  } catch (...) {
    open_failure = Error(0, L"unknown failure");
  }
  Attempt([&] { report(L"Open port"); });

  if (open_failure) {
    // Nothing can reach the device: say why, and skip the writes and the wait.
    Attempt([&] {
      report(L"Cannot open " + MSComm1.PortName() + L": " +
             MSComm1.OpenFailureReason(*open_failure));
    });
    Attempt([&] { report(L"Port closed"); });
    outcome_ = ExchangeOutcome::kCouldNotOpen;
    return;
  }

  Attempt([&] { MSComm1.ReadPending(); });  // whatever came before the command is stale

  Attempt([&] { MSComm1.Write(kResetCommand); });
  Attempt([&] { host_.DoEvents(); });
  if (ended_) return;
  for (int i = 0; i < kLineEndCount; ++i) {
    Attempt([&] { MSComm1.Write(kLineEnd); });
    Attempt([&] { host_.DoEvents(); });
    if (ended_) return;
  }

  Attempt([&] { Pausa(kAnswerWaitMs); });
  if (ended_) return;

  std::string answer;
  Attempt([&] { answer = MSComm1.ReadPending(); });
  if (answer.empty()) {
    Attempt([&] { report(L"NO COMM"); });
  } else {
    Attempt([&] { AddReportLine(host_.DecodeAnsi(QuitaCaracteresDeControl(answer)), true); });
  }

  CloseIfOpen();
  Attempt([&] { report(L"Port closed"); });
  outcome_ = answer.empty() ? ExchangeOutcome::kNoAnswer : ExchangeOutcome::kAnswered;
  last_answer_ = std::move(answer);
}

void Form1::CloseIfOpen() {
  Attempt([&] {
    bool open = true;  // when the state cannot be read, try the close anyway
    Attempt([&] { open = MSComm1.PortOpen(); });
    if (open) MSComm1.Close();
  });
}

void Form1::Pausa(const int32_t& MiliSegundos) {
  // A timer without a positive interval never ticks; do not wait for it.
  if (MiliSegundos <= 0) {
    host_.DoEvents();
    return;
  }
  host_.ArmPauseTimer(MiliSegundos);
  timer_enabled_ = true;
  for (;;) {
    host_.DoEvents();
    if (!timer_enabled_ || ended_) break;
    // Sleep until something happens instead of spinning on the queue.
    host_.WaitForEvent();
  }
}

void Form1::TimerPausa_Timer() {
  timer_enabled_ = false;
  host_.DisarmPauseTimer();
}

std::string Form1::QuitaCaracteresDeControl(const std::string& Cadena) {
  // Works on the bytes as they came: a double-byte character's bytes are never below 0x20, so
  // dropping control bytes keeps every character of any ANSI code page.
  std::string result;
  result.reserve(Cadena.size());
  std::copy_if(Cadena.begin(), Cadena.end(), std::back_inserter(result),
               [](char c) { return static_cast<unsigned char>(c) >= 0x20; });
  return result;
}

void Form1::report(const std::wstring& text) {
  AddReportLine(text, false);
}

void Form1::AddReportLine(const std::wstring& text, bool answer) {
  if (ended_) return;
  report_lines_.push_back(text);
  answer_lines_.push_back(answer);
  if (report_lines_.size() > kMaxReportLines) {
    report_lines_.pop_front();
    answer_lines_.pop_front();
  }
  host_.ReportLineAdded(text);
}

std::wstring Form1::ReportText() const {
  std::wstring text;
  for (std::size_t i = 0; i < report_lines_.size(); ++i) {
    if (i > 0) text += L"\r\n";
    text += report_lines_[i];
  }
  return text;
}

void Form1::DevicesChanged() {
  if (ended_) return;
  // A look whose outcome was lost would keep every later change from being looked at.
  if (looking_ && host_.DeviceLookLost()) looking_ = false;
  devices_changed_ = true;
  settling_ = true;
  host_.ArmDeviceSettleTimer(kDeviceSettleMs);  // a burst restarts it: one look at its end
}

void Form1::DeviceSettleTimer_Timer() {
  settling_ = false;
  LookIfDevicesChanged();
}

void Form1::LookIfDevicesChanged() {
  if (devices_changed_ && !settling_ && !busy_ && !looking_ && !ended_) LookAgain();
}

void Form1::LookAgain() {
  devices_changed_ = false;
  looking_ = true;
  try {
    host_.StartDeviceLook();
  } catch (const Error& e) {
    DeviceLookFinished({}, e);
  } catch (const std::exception&) {
    DeviceLookFinished({}, Error(0, L"unexpected failure"));
  }
}

void Form1::DeviceLookFinished(const std::vector<std::optional<std::wstring>>& names,
                               const std::optional<Error>& look_failure) {
  looking_ = false;
  if (ended_) return;
  if (busy_) {
    // The port must not change under a running exchange: look again once it is over, at the
    // devices as they are then.
    devices_changed_ = true;
    return;
  }
  // As at start-up, except that a failure changes nothing and the program carries on: the
  // port found at start-up (or stored) is still a sound choice.
  std::wstring text;
  std::optional<Error> failure = look_failure;
  if (!failure) {
    try {
      text = PortNameText(names);
      // Checked before the box changes, so that an overflow leaves the box as it was.
      if (!text.empty()) PortNumberFromText(text);
      host_.SetPortBoxText(L"");
      ShowPortNameText(text);
    } catch (const Error& e) {
      failure = e;
    } catch (const std::exception&) {
      failure = Error(0, L"unexpected failure");
    }
  }
  Attempt([&] { host_.AdapterLookDone(text, failure); });
  LookIfDevicesChanged();  // a change during the look
}

void Form1::Form_Unload() {
  Form_Terminate();
}

void Form1::Form_Terminate() {
  if (ended_) return;
  ended_ = true;  // an exchange further down the stack stops where it is
  timer_enabled_ = false;
  if (MSComm1.PortOpen()) MSComm1.Close();
  EndProgram(0);
}

void Form1::EndAfterError() noexcept {
  ended_ = true;
  timer_enabled_ = false;
  CloseIfOpen();
  Attempt([&] { EndProgram(1); });
}

void Form1::EndProgram(int exit_status) {
  if (exit_given_) return;
  exit_given_ = true;
  host_.EndProgram(exit_status);
}

VisibleLines VisibleReportLines(std::size_t line_count, int line_height, int client_height) {
  if (line_height <= 0 || client_height <= 0) return {line_count, 0};
  const std::size_t fit = static_cast<std::size_t>(client_height / line_height);
  if (line_count <= fit) return {0, line_count};
  return {line_count - fit, fit};
}

}  // namespace qm
