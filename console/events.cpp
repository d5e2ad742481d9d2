#include "console/events.h"

#include <algorithm>

#include "common/error.h"
#include "common/text.h"
#include "console/json.h"

namespace qm {

namespace {

// Several at once: whose line it is.
std::wstring Prefix(const ExchangeId& id) {
  std::wstring prefix;
  if (id.prefixed) {
    prefix = id.port;
    if (!id.adapter.location.empty()) prefix += L" (" + id.adapter.location + L")";
    prefix += L": ";
  }
  return prefix;
}

}  // namespace

void LinesEvents::Line(const ExchangeId& id, const std::wstring& line) {
  platform_.PrintLine(Prefix(id) + line);
}

void LinesEvents::Finished(const ExchangeId& id, const Verdict& verdict) {
  if (verdict.outcome == ExchangeOutcome::kUnexpected) {
    platform_.PrintLine(Prefix(id) + L"Unexpected answer: no line " + expect_);
  }
}

void LinesEvents::Problem(const std::wstring& text) {
  platform_.PrintError(L"quillomarvet: " + text);
}

void LogEvents::WatchStarted(const WatchStart& start) {
  Append(WatchRecord(start));
}

void LogEvents::Finished(const ExchangeId& id, const Verdict& verdict) {
  Append(ExchangeRecord(id, verdict));
}

void LogEvents::Summary(const Tally& tally) {
  Append(SummaryRecord(tally));
}

std::wstring LogEvents::Failure() const {
  Locked lock(mutex_);
  if (lost_ == 0) return L"";
  return L"cannot write the log " + path_ + L": " + error_ + L" (" + DecimalNumber(lost_) +
         (lost_ == 1 ? L" record" : L" records") + L" not kept)";
}

void LogEvents::Append(const std::wstring& record) {
  // Records from several exchanges at once go one at a time, so that a failure is told once.
  std::wstring said;
  {
    Locked lock(mutex_);
    try {
      file_->Append(Utf8(record) + "\n");
      const std::wstring not_synced = file_->NotSynced();
      if (not_synced.empty()) return;
      said = L"the log " + path_ + L" is written, not synced: " + not_synced;
    } catch (const Error& e) {
      if (lost_++ == 0) {
        error_ = e.Description();
        said = L"cannot write the log " + path_ + L": " + error_;
      }
    }
  }
  if (!said.empty() && screen_) screen_->Problem(said);
}

FanOut::FanOut(LogEvents* log, ConsoleEvents& screen) : log_(log), screen_(screen) {
  if (log_) log_->SetScreen(&screen_);
}

void FanOut::WatchStarted(const WatchStart& start) {
  if (log_) log_->WatchStarted(start);
  screen_.WatchStarted(start);
}

void FanOut::Found(const Adapter& adapter, int32_t settle_ms) {
  screen_.Found(adapter, settle_ms);
}

void FanOut::Started(const ExchangeId& id) {
  screen_.Started(id);
}

void FanOut::Line(const ExchangeId& id, const std::wstring& line) {
  if (!log_) return screen_.Line(id, line);
  Locked lock(mutex_);
  held_.emplace_back(id.number, line);
}

void FanOut::Finished(const ExchangeId& id, const Verdict& verdict) {
  if (log_) {
    log_->Finished(id, verdict);  // on the disk before anything shows the verdict
    std::vector<std::wstring> lines;
    {
      Locked lock(mutex_);
      for (auto& [number, line] : held_) {
        if (number == id.number) lines.push_back(std::move(line));
      }
      held_.erase(std::remove_if(held_.begin(), held_.end(),
                                 [&](const auto& held) { return held.first == id.number; }),
                  held_.end());
    }
    for (const std::wstring& line : lines) screen_.Line(id, line);
  }
  screen_.Finished(id, verdict);
}

void FanOut::Pulled(const Adapter& adapter) {
  screen_.Pulled(adapter);
}

void FanOut::Summary(const Tally& tally) {
  if (log_) log_->Summary(tally);
  screen_.Summary(tally);
}

}  // namespace qm
