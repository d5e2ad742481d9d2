#include "console/station.h"

#include <algorithm>
#include <chrono>

#include "common/text.h"
#include "console/summary.h"

namespace qm {

int64_t UnixMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

int64_t ConsolePlatform::SteadyMs() const {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

int ExitStatusFor(ExchangeOutcome outcome) {
  switch (outcome) {
    case ExchangeOutcome::kAnswered:
      return kExitAnswered;
    case ExchangeOutcome::kCouldNotOpen:
      return kExitCannotOpen;
    case ExchangeOutcome::kUnexpected:
      return kExitUnexpected;
    case ExchangeOutcome::kNoAnswer:
    case ExchangeOutcome::kNone:
      break;
  }
  return kExitNoAnswer;
}

bool AnswerHasLine(std::wstring_view answer, std::wstring_view expected) {
  const auto blank = [](wchar_t c) { return c == L' ' || c == L'\t'; };
  std::size_t start = 0;
  while (start <= answer.size()) {
    std::size_t end = answer.find_first_of(L"\r\n", start);
    if (end == std::wstring_view::npos) end = answer.size();
    std::size_t first = start, last = end;
    while (first < last && blank(answer[first])) ++first;
    while (last > first && blank(answer[last - 1])) --last;
    if (answer.substr(first, last - first) == expected) return true;
    start = end + 1;
  }
  return false;
}

Station::Station(ConsolePlatform& platform, ConsoleEvents& events, std::unique_ptr<SerialPort> port,
                 Adapter adapter, bool prefixed, int number, std::wstring expect)
    : platform_(platform),
      events_(events),
      port_(std::move(port), platform.interrupt()),
      id_{number, port_.PortName(), std::move(adapter), prefixed, port_.PortPath()},
      host_(platform, events, id_),
      form_(host_, port_, devices_),
      expect_(std::move(expect)) {
  host_.Attach(form_, port_);
}

void Station::Run() {
  Verdict verdict;
  verdict.started_unix_ms = UnixMs();
  const int64_t steady = platform_.SteadyMs();
  if (!platform_.interrupt().Raised()) {
    events_.Started(id_);
    form_.cmReset_Click();
  }
  verdict.outcome = form_.LastOutcome();
  // Judged on the answer as it came: its line ends are gone from the report line.
  if (verdict.outcome == ExchangeOutcome::kAnswered && !expect_.empty() &&
      !AnswerHasLine(platform_.DecodeAnsi(form_.LastAnswer()), expect_)) {
    verdict.outcome = ExchangeOutcome::kUnexpected;
  }
  const auto& lines = form_.ReportLines();
  for (std::size_t i = 0; i < lines.size(); ++i) {
    if (!form_.OwnLine(i)) verdict.answer = WithoutControls(lines[i]);
  }
  if (verdict.outcome != ExchangeOutcome::kAnswered &&
      verdict.outcome != ExchangeOutcome::kUnexpected) {
    verdict.answer.clear();
  }
  if (verdict.outcome == ExchangeOutcome::kCouldNotOpen) verdict.reason = port_.OpenFailure();
  verdict.took_ms = platform_.SteadyMs() - steady;
  events_.Finished(id_, verdict);
  outcome_ = verdict.outcome;
  done_ = true;
}

int RunExchanges(const std::vector<Adapter>& adapters, bool several, ConsolePlatform& platform,
                 ConsoleEvents& events, const std::wstring& expect) {
  std::vector<std::unique_ptr<Station>> stations;
  for (const Adapter& adapter : adapters) {
    std::unique_ptr<SerialPort> port = platform.MakePort(adapter.port);
    if (!port) {
      platform.PrintError(L"quillomarvet: " + adapter.port + L" is not a port name (e.g. " +
                          platform.PortExample() + L")");
      return kExitUsage;
    }
    stations.push_back(std::make_unique<Station>(platform, events, std::move(port), adapter,
                                                 several, static_cast<int>(stations.size()),
                                                 expect));
  }
  if (stations.size() == 1) {
    stations.front()->Run();
  } else {
    for (auto& station : stations) platform.Start([s = station.get()] { s->Run(); });
    platform.WaitForJobs();
  }

  Tally tally;
  tally.judged = !expect.empty();
  int status = kExitAnswered;
  for (const auto& station : stations) {
    tally.Count(station->Outcome());
    status = std::max(status, ExitStatusFor(station->Outcome()));
  }
  if (several) events.Summary(tally);
  if (platform.interrupt().Raised()) return kExitInterrupted;
  return status;
}

void WholeCommandPort::Open() {
  written_ = 0;
  open_failure_.clear();
  try {
    port_->Open();
  } catch (const Error& e) {
    open_failure_ = port_->OpenFailureReason(e);
    throw;
  }
}

void WholeCommandPort::Write(std::string_view bytes) {
  if (written_ == 0 && interrupt_.Raised()) throw Error(0, L"interrupted before the command");
  try {
    port_->Write(bytes);
    written_ += bytes.size();
  } catch (...) {
    written_ = kCommandSize;  // a port that cannot take it does not hold the interrupt back
    throw;
  }
}

void ConsoleHost::ReportLineAdded(const std::wstring& line) {
  // A device's answer is cleaned of the control bytes below 0x20; a terminal honours C1
  // controls too (U+009B starts an escape sequence on some), so those go as well.
  events_.Line(id_, WithoutControls(line));
}

void ConsoleHost::DoEvents() {
  if (!form_ || form_->Ended()) return;
  if (platform_.interrupt().Raised() && !(port_ && port_->CommandUnfinished())) {
    form_->Form_Terminate();  // closes the port; the exchange stops where it is
    return;
  }
  if (timer_armed_ && platform_.SteadyMs() >= timer_due_ms_) {
    timer_due_ms_ += timer_interval_ms_;
    form_->TimerPausa_Timer();
  }
}

void ConsoleHost::WaitForEvent() {
  // With no timer there is nothing but the interrupt to wait for; look again now and then.
  int64_t wait_ms = 100;
  if (timer_armed_) wait_ms = std::max<int64_t>(0, timer_due_ms_ - platform_.SteadyMs());
  if (wait_ms > 0) platform_.interrupt().Sleep(static_cast<int32_t>(wait_ms));
}

void ConsoleHost::ArmPauseTimer(int32_t interval_ms) {
  timer_armed_ = interval_ms > 0;  // like a window timer: no positive interval, no tick
  timer_interval_ms_ = interval_ms;
  timer_due_ms_ = platform_.SteadyMs() + interval_ms;
}

}  // namespace qm
