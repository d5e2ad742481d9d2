#pragma once

#include <memory>

#include "console/board/terminal.h"

namespace qm {

// The console of standard output with virtual terminal processing (Windows 10 and later) for
// the board, drawn with ECMA-48 sequences on the alternate screen. nullptr when standard output
// is no console or the processing cannot be turned on.
std::unique_ptr<Terminal> OpenVirtualTerminal();

}  // namespace qm
