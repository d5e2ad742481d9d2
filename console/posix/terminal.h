#pragma once

#include <memory>

#include "console/board/terminal.h"

namespace qm {

// Standard output as a terminal described by terminfo (ncurses' low-level part), taken over
// for the board: the alternate screen, the cursor hidden, keys read one by one. nullptr when
// standard output is no terminal, or terminfo does not know it or how to move its cursor.
std::unique_ptr<Terminal> OpenTerminfoTerminal();

}  // namespace qm
