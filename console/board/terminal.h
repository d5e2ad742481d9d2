#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace qm {

// What a cell of the board is coloured as; the terminal layer picks the colours.
enum class Ink : char { kNormal = 0, kGood, kBad, kBusy, kTitle };
inline constexpr int kInks = 5;

// A whole screen: exactly `width` x `height` cells, each a character and its ink. A character
// two cells wide is followed by kSecondCell, which nothing is written for.
struct Frame {
  int width = 0, height = 0;
  std::vector<std::wstring> text;  // `height` rows of `width` cells
  std::vector<std::string> ink;    // the same, one Ink each
};
inline constexpr wchar_t kSecondCell = L'\0';

// How many cells `c` takes on a terminal, 1 or 2, as the system's tables say; 0 for what has no
// width of its own (controls, combining marks, what the tables do not know).
int CharacterCells(char32_t c);

// A terminal the board is drawn on in place (htop's CRT): what the platform gives. Destroying
// it leaves the terminal exactly as it was found.
class Terminal {
 public:
  virtual ~Terminal() = default;

  struct Size {
    int columns = 0, rows = 0;
  };
  virtual Size CurrentSize() = 0;
  // Colours can be shown and are wanted (NO_COLOR unset).
  virtual bool Colours() const = 0;

  enum class Woken { kTimeout, kQuit, kResized, kWoken };
  // Waits up to `ms` milliseconds (no limit when negative) for the operator's q, a resize, or
  // Wake from another thread.
  virtual Woken Wait(int32_t ms) = 0;
  virtual void Wake() = 0;
  // The board is being left (the program ends): writes wait for a stalled terminal only a
  // moment more, then give up.
  virtual void Leaving() = 0;
  // Shows `frame`, changing only what differs from the last one shown (all of it after a
  // resize). Throws Error once the terminal cannot be written.
  virtual void Show(const Frame& frame) = 0;
};

// How a terminal is told to move the cursor and change colour: terminfo's strings, or ECMA-48's.
struct Sequences {
  std::string (*move)(int row, int column, const void* context) = nullptr;
  const void* context = nullptr;
  std::string ink[kInks];  // kNormal: back to the terminal's own colours
};

// The ECMA-48 sequences that the Windows console (with virtual terminal processing) and Linux
// terminals share.
Sequences Ecma48Sequences();

// What to write to a terminal showing `before` (nullptr: unknown, all of it) to show `now`:
// changed rows only, as UTF-8. The last cell of the last row is never written, so that no
// terminal scrolls.
std::string Paint(const Frame* before, const Frame& now, const Sequences& sequences);

}  // namespace qm
