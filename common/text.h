#pragma once

#include <string>
#include <string_view>

namespace qm {

// Bytes from outside (a device's answer, the system's error text, a sysfs file) as text: UTF-8
// when they are valid UTF-8, otherwise one character per byte (Latin-1), so nothing is lost.
std::wstring TextFromBytes(std::string_view bytes);

// Text as UTF-8, for a terminal or a pipe.
std::string Utf8(std::wstring_view text);

}  // namespace qm
