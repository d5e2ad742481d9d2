#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

namespace qm {

// Standard output and error, written on a thread of their own. A console with a selection open
// (or paused with the Pause key) and a pipe nobody reads make a write wait, for as long as they
// please: the thread that has a text to show only queues it, so no exchange holds its port and
// no interrupt waits for the screen. Made once, kept for the life of the process: a write still
// waiting when the program ends goes with it.
class Output {
 public:
  static Output& Get();

  // `text` for `stream` (a console gets UTF-16; anything else `page`, or the console's output
  // code page, else the ANSI one). What comes for a console while a write to it has been stuck
  // for more than a moment is dropped (false); a pipe or file gets it all, in order.
  bool Post(HANDLE stream, std::wstring text, UINT page = 0);
  // Waits until everything posted is written, or `ms` milliseconds (no limit when negative);
  // whether it all was.
  bool Flush(int32_t ms);
  // The system's error number for the first failed write to `stream` (never 0 then), else 0.
  DWORD Failure(HANDLE stream);

  // While a write to a console has been stuck this long, what comes for one is dropped.
  static constexpr DWORD kMomentMs = 300;

 private:
  struct State;
  Output();
  static DWORD WINAPI Run(void* state);
  State* state_;
};

// Writes `text` to `stream` now, whole: to a console in UTF-16, else in `page` (0: as above).
// The system's error number when it could not (never 0 then), else 0. For the last words of a
// program that failed.
DWORD WriteNow(HANDLE stream, const std::wstring& text, UINT page = 0);

}  // namespace qm
