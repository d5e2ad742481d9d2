#include "console/summary.h"

#include "common/text.h"

namespace qm {

void PrintSummary(ConsolePlatform& platform, const Tally& tally, bool json, bool human) {
  if (json) {
    platform.PrintRecord(L"{\"type\":\"summary\",\"answered\":" + DecimalNumber(tally.answered) +
                         L",\"no-answer\":" + DecimalNumber(tally.no_answer) +
                         L",\"cannot-open\":" + DecimalNumber(tally.cannot_open) +
                         L",\"interrupted\":" + DecimalNumber(tally.interrupted) + L"}");
  }
  if (human) {
    std::wstring line = DecimalNumber(tally.Total()) + L" reset: " +
                        DecimalNumber(tally.answered) + L" answered, " +
                        DecimalNumber(tally.no_answer) + L" no answer, " +
                        DecimalNumber(tally.cannot_open) + L" could not be opened";
    if (tally.interrupted > 0) line += L", " + DecimalNumber(tally.interrupted) + L" interrupted";
    platform.PrintError(line);
  }
}

}  // namespace qm
