// Fuzzes the answer cleaning and the trace text a drawn answer becomes.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "app/form1.h"
#include "common/trace_text.h"

namespace {

void Require(bool condition) {
  if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string answer(reinterpret_cast<const char*>(data), size);
  const std::string cleaned = qm::Form1::QuitaCaracteresDeControl(answer);

  // Only control bytes go, and the rest keeps its order.
  std::size_t kept = 0;
  for (unsigned char c : answer) {
    if (c < 0x20) continue;
    Require(kept < cleaned.size() && static_cast<unsigned char>(cleaned[kept]) == c);
    ++kept;
  }
  Require(kept == cleaned.size());

  // Latin-1 stands in for the ANSI code page: every piece is printable ASCII within its bound.
  std::wstring text;
  for (unsigned char c : cleaned) text += static_cast<wchar_t>(c);
  std::size_t length = 0;
  for (const std::string& piece : qm::TracePieces("report", text)) {
    Require(piece.size() <= qm::kTracePieceLength + 8);
    for (char c : piece) Require(c >= 0x20 && c < 0x7f);
    length += piece.size() - 8;
  }
  Require(length >= text.size());
  return 0;
}
