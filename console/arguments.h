#pragma once

#include <string>
#include <vector>

namespace qm {

// --help, one line each.
std::vector<std::wstring> UsageLines();

}  // namespace qm
