#include "console/summary.h"

#include "common/error.h"

namespace qm {

void Tally::Count(ExchangeOutcome outcome) {
  switch (outcome) {
    case ExchangeOutcome::kAnswered:
      ++answered;
      break;
    case ExchangeOutcome::kNoAnswer:
      ++no_answer;
      break;
    case ExchangeOutcome::kCouldNotOpen:
      ++cannot_open;
      break;
    case ExchangeOutcome::kUnexpected:
      ++unexpected;
      break;
    case ExchangeOutcome::kNone:
      ++interrupted;
      break;
  }
}

std::wstring SummaryLine(const Tally& tally) {
  std::wstring line = DecimalNumber(tally.Total()) + L" reset: " + DecimalNumber(tally.answered) +
                      L" answered, " +
                      (tally.judged ? DecimalNumber(tally.unexpected) + L" unexpected, " : L"") +
                      DecimalNumber(tally.no_answer) + L" no answer, " +
                      DecimalNumber(tally.cannot_open) + L" could not be opened";
  if (tally.interrupted > 0) line += L", " + DecimalNumber(tally.interrupted) + L" interrupted";
  return line;
}

}  // namespace qm
