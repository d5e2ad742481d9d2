#pragma once

#include <string>

#include "app/form1.h"

namespace qm {

// How each exchange of a run ended.
struct Tally {
  int answered = 0, no_answer = 0, cannot_open = 0, interrupted = 0, unexpected = 0;
  bool judged = false;  // answers were held to --expect: the unexpected ones are said, 0 too
  int Total() const { return answered + no_answer + cannot_open + interrupted + unexpected; }
  void Count(ExchangeOutcome outcome);
};

// The tally for people: "3 reset: 2 answered, 1 no answer, 0 could not be opened"; judged,
// "3 reset: 1 answered, 1 unexpected, 1 no answer, 0 could not be opened".
std::wstring SummaryLine(const Tally& tally);

}  // namespace qm
