#pragma once

#include <string>

#include "console/console.h"
#include "console/events.h"

namespace qm {

// `value` in decimal, with leading zeros to `width` digits.
std::wstring Padded(int64_t value, std::size_t width);
const wchar_t* OutcomeName(ExchangeOutcome outcome);
std::wstring JsonOrNull(const std::wstring& text);
// The members that say which adapter a record is about.
std::wstring JsonAdapter(const std::wstring& port, const Adapter& adapter);

// The records --json writes and --log keeps.
std::wstring ExchangeRecord(const ExchangeId& id, const Verdict& verdict);
std::wstring SummaryRecord(const Tally& tally);
std::wstring WatchRecord(const WatchStart& start);
// A record with the bench that made it and its place in that bench's records (--mqtt).
std::wstring StampedRecord(const std::wstring& record, const std::wstring& bench, int64_t seq);

// --json: the records on standard output.
class JsonEvents final : public ConsoleEvents {
 public:
  explicit JsonEvents(ConsolePlatform& platform) : platform_(platform) {}
  void WatchStarted(const WatchStart& start) override { platform_.PrintRecord(WatchRecord(start)); }
  void Finished(const ExchangeId& id, const Verdict& verdict) override {
    platform_.PrintRecord(ExchangeRecord(id, verdict));
  }
  void Summary(const Tally& tally) override { platform_.PrintRecord(SummaryRecord(tally)); }
  void Problem(const std::wstring& text) override {
    platform_.PrintError(L"quillomarvet: " + text);
  }

 private:
  ConsolePlatform& platform_;
};

}  // namespace qm
