#include "common/win32/trace.h"

#include <windows.h>

#include "common/trace_text.h"

namespace qm {

void Trace(std::string_view tag, const std::wstring& text) {
  for (const std::string& piece : TracePieces(tag, text)) {
    ::OutputDebugStringA(("Quillomarvet: " + piece + "\n").c_str());
  }
}

}  // namespace qm
