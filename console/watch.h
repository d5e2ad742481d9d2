#pragma once

#include "console/console.h"

namespace qm {

void SayCannotList(ConsolePlatform& platform, const Error& e);

// --watch: every adapter present, and every one plugged in later, reset once per plug-in, each
// after the settle time and each on its own; until the interrupt.
int Watch(const Options& options, ConsolePlatform& platform);

}  // namespace qm
