#pragma once

#include "console/console.h"

namespace qm {

// How each exchange of a run ended.
struct Tally {
  int answered = 0, no_answer = 0, cannot_open = 0, interrupted = 0;
  int Total() const { return answered + no_answer + cannot_open + interrupted; }
};

// The tally as a record (with `json`) and, with `human`, as a line on standard error.
void PrintSummary(ConsolePlatform& platform, const Tally& tally, bool json, bool human);

}  // namespace qm
