#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace qm {

// A diagnostic message as plain ASCII pieces for OutputDebugString: backslash becomes "\\",
// anything outside printable ASCII "\uXXXX", and long text is split into pieces of at most
// kTracePieceLength characters, the first tagged "<tag>: ", the rest "<tag>+ ", so a debugger
// that cuts long strings still shows all of it.
inline constexpr std::size_t kTracePieceLength = 200;
std::vector<std::string> TracePieces(std::string_view tag, std::wstring_view text);

}  // namespace qm
