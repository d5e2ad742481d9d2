#pragma once

#include "console/console.h"
#include "console/events.h"
#include "console/summary.h"

namespace qm {

// Why the devices could not be listed.
std::wstring CannotList(const Error& e);

// --watch: every adapter present, and every one plugged in later, reset once per plug-in, each
// after the settle time and each on its own; until the interrupt (or the operator's q, which
// ends it with 0). Counts every exchange in `tally`.
int Watch(const Options& options, ConsolePlatform& platform, ConsoleEvents& events,
          Tally& tally);

}  // namespace qm
