#include "common/error.h"
#include "common/text.h"
#include "console/board/terminal.h"

namespace qm {

namespace {

std::string Ecma48Move(int row, int column, const void*) {
  return "\x1b[" + Utf8(DecimalNumber(row + 1)) + ";" + Utf8(DecimalNumber(column + 1)) + "H";
}

}  // namespace

Sequences Ecma48Sequences() {
  Sequences s;
  s.move = Ecma48Move;
  s.ink[static_cast<int>(Ink::kNormal)] = "\x1b[0m";
  s.ink[static_cast<int>(Ink::kGood)] = "\x1b[32m";
  s.ink[static_cast<int>(Ink::kBad)] = "\x1b[31m";
  s.ink[static_cast<int>(Ink::kBusy)] = "\x1b[33m";
  s.ink[static_cast<int>(Ink::kTitle)] = "\x1b[36m";
  return s;
}

std::string Paint(const Frame* before, const Frame& now, const Sequences& sequences) {
  const bool whole = !before || before->width != now.width || before->height != now.height;
  std::string out;
  for (int row = 0; row < now.height; ++row) {
    const std::size_t r = static_cast<std::size_t>(row);
    if (!whole && before->text[r] == now.text[r] && before->ink[r] == now.ink[r]) continue;
    out += sequences.move(row, 0, sequences.context);
    const int columns = row == now.height - 1 ? now.width - 1 : now.width;
    char ink = static_cast<char>(Ink::kNormal);
    out += sequences.ink[0];
    std::wstring run;
    for (int column = 0; column < columns; ++column) {
      const std::size_t c = static_cast<std::size_t>(column);
      wchar_t cell = now.text[r][c];
      if (cell == kSecondCell) continue;  // the terminal moved on two cells for the first
      // A wide character would reach into the last cell.
      if (column + 1 == columns && c + 1 < now.text[r].size() && now.text[r][c + 1] == kSecondCell)
        cell = L' ';
      if (now.ink[r][c] != ink) {
        out += Utf8(run);
        run.clear();
        ink = now.ink[r][c];
        out += sequences.ink[static_cast<int>(ink)];
      }
      run += cell;
    }
    out += Utf8(run);
    if (ink != static_cast<char>(Ink::kNormal)) out += sequences.ink[0];
  }
  return out;
}

}  // namespace qm
