#pragma once

#include <string>
#include <string_view>

namespace qm {

// Writes "Quillomarvet: <tag>: <text>" to OutputDebugString (see it with a debugger, DebugView,
// or WINEDEBUG=warn+seh under Wine); costs next to nothing when nobody listens.
void Trace(std::string_view tag, const std::wstring& text);

}  // namespace qm
