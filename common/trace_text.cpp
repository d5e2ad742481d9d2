#include "common/trace_text.h"

namespace qm {

namespace {

std::string Escape(wchar_t c) {
  if (c == L'\\') return "\\\\";
  if (c >= 0x20 && c < 0x7f) return std::string(1, static_cast<char>(c));
  std::string code = "\\u";
  for (int shift = 12; shift >= 0; shift -= 4) code += "0123456789ABCDEF"[(c >> shift) & 0xF];
  return code;
}

}  // namespace

std::vector<std::string> TracePieces(std::string_view tag, std::wstring_view text) {
  std::vector<std::string> pieces;
  std::string piece;
  for (wchar_t c : text) {
    const std::string escaped = Escape(c);  // never split: a piece ends between characters
    if (piece.size() + escaped.size() > kTracePieceLength) {
      pieces.push_back(std::move(piece));
      piece.clear();
    }
    piece += escaped;
  }
  pieces.push_back(std::move(piece));
  for (std::size_t i = 0; i < pieces.size(); ++i) {
    pieces[i].insert(0, std::string(tag) + (i == 0 ? ": " : "+ "));
  }
  return pieces;
}

}  // namespace qm
