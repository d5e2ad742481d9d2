#pragma once

#include <string>
#include <string_view>

namespace qm {

// Bytes in the ANSI code page as text. Throws Error when they cannot be converted.
std::wstring AnsiText(std::string_view bytes);

}  // namespace qm
