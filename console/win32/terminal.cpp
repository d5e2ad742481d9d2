#include "console/win32/terminal.h"

#include <windows.h>

#include <algorithm>
#include <cstdlib>
#include <optional>
#include <string>

#include "common/text.h"
#include "common/win32/os_error.h"
#include "common/win32/unique.h"
#include "console/board/keys.h"
#include "console/win32/output.h"

namespace qm {

namespace {

#ifndef ENABLE_VIRTUAL_TERMINAL_PROCESSING
#define ENABLE_VIRTUAL_TERMINAL_PROCESSING 0x0004
#endif

std::wstring Utf16(const std::string& bytes) {
  if (bytes.empty()) return L"";
  const int size =
      ::MultiByteToWideChar(CP_UTF8, 0, bytes.data(), static_cast<int>(bytes.size()), nullptr, 0);
  if (size <= 0) return L"";
  std::wstring text(static_cast<std::size_t>(size), L'\0');
  ::MultiByteToWideChar(CP_UTF8, 0, bytes.data(), static_cast<int>(bytes.size()), text.data(),
                        size);
  return text;
}

// The board's writes go through Output, as the lines do: none waits for a console that takes
// nothing. False when it was dropped or the console refuses.
bool WriteUtf8(HANDLE console, const std::string& bytes) {
  return Output::Get().Post(console, Utf16(bytes));
}

// The alternate screen came with Windows 10's Anniversary Update (build 14393); before it the
// board would be drawn over what the console showed, and left there.
bool HasAlternateScreen() {
  using GetVersion = LONG(WINAPI*)(OSVERSIONINFOW*);
  const HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
  const auto get_version = reinterpret_cast<GetVersion>(
      reinterpret_cast<void (*)()>(ntdll ? ::GetProcAddress(ntdll, "RtlGetVersion") : nullptr));
  OSVERSIONINFOW version{};
  version.dwOSVersionInfoSize = sizeof version;
  if (!get_version || get_version(&version) != 0) return false;
  return version.dwMajorVersion > 10 ||
         (version.dwMajorVersion == 10 && version.dwBuildNumber >= 14393);
}

// Some consoles take the mode and still keep the sequences as text in their buffer (Wine's, which
// then redraws that buffer over the board): a harmless one is written, and where the cursor moved
// it was kept as text, so it is wiped and the lines are shown instead.
bool HonoursSequences(HANDLE out) {
  CONSOLE_SCREEN_BUFFER_INFO before{}, after{};
  const std::string reset = "\x1b[0m";
  if (!::GetConsoleScreenBufferInfo(out, &before) || !WriteUtf8(out, reset) ||
      !Output::Get().Flush(Output::kMomentMs) || !::GetConsoleScreenBufferInfo(out, &after)) {
    return false;
  }
  if (after.dwCursorPosition.X == before.dwCursorPosition.X &&
      after.dwCursorPosition.Y == before.dwCursorPosition.Y) {
    return true;
  }
  DWORD wiped = 0;
  ::FillConsoleOutputCharacterW(out, L' ', static_cast<DWORD>(reset.size()),
                                before.dwCursorPosition, &wiped);
  ::SetConsoleCursorPosition(out, before.dwCursorPosition);
  return false;
}

class VirtualTerminal final : public Terminal {
 public:
  VirtualTerminal(HANDLE out, DWORD out_mode, bool colours)
      : out_(out), out_mode_(out_mode), wake_(::CreateEventW(nullptr, FALSE, FALSE, nullptr)) {
    if (!wake_) throw LastOsError();
    sequences_ = Ecma48Sequences();
    if (!colours) {
      for (std::string& ink : sequences_.ink) ink = sequences_.ink[0];
    }
    colours_ = colours;
    in_ = ::GetStdHandle(STD_INPUT_HANDLE);
    // Keys as they come, unechoed; Ctrl+C still the console's control event; no QuickEdit (a
    // click would hold every write to the console).
    if (in_ && in_ != INVALID_HANDLE_VALUE && ::GetConsoleMode(in_, &in_mode_)) {
      keys_ =
          ::SetConsoleMode(in_, ENABLE_PROCESSED_INPUT | ENABLE_WINDOW_INPUT |
                                    ENABLE_EXTENDED_FLAGS | (in_mode_ & ENABLE_INSERT_MODE)) != 0;
    }
    WriteUtf8(out_, "\x1b[?1049h\x1b[?25l\x1b[2J");
  }

  // A console that takes nothing gets a moment; the sequences are then left to it, and so is
  // its mode, without which they would show as text once it takes them.
  ~VirtualTerminal() override {
    const bool left =
        WriteUtf8(out_, "\x1b[0m\x1b[?25h\x1b[?1049l") && Output::Get().Flush(Output::kMomentMs);
    if (keys_) ::SetConsoleMode(in_, in_mode_ | ENABLE_EXTENDED_FLAGS);
    if (left) ::SetConsoleMode(out_, out_mode_);
  }

  Size CurrentSize() override {
    CONSOLE_SCREEN_BUFFER_INFO info{};
    if (!::GetConsoleScreenBufferInfo(out_, &info)) return {80, 24};
    return {info.srWindow.Right - info.srWindow.Left + 1,
            info.srWindow.Bottom - info.srWindow.Top + 1};
  }

  bool Colours() const override { return colours_; }

  Woken Wait(int32_t ms) override {
    const auto now = [] { return static_cast<int64_t>(::GetTickCount64()); };
    const int64_t until = ms < 0 ? -1 : now() + ms;
    for (;;) {
      if (keys_read_.Quit(now())) return Woken::kQuit;
      if (until >= 0 && now() >= until) return Woken::kTimeout;
      // Until the caller's time, or until a q read alone has stood alone long enough.
      int64_t wait = until < 0 ? -1 : until - now();
      if (const std::optional<int64_t> due = keys_read_.Due()) {
        wait = std::max<int64_t>(0, wait < 0 ? *due - now() : std::min(wait, *due - now()));
      }
      HANDLE handles[2] = {wake_.get(), in_};
      const DWORD waited = ::WaitForMultipleObjects(keys_ ? 2 : 1, handles, FALSE,
                                                    wait < 0 ? INFINITE : static_cast<DWORD>(wait));
      if (waited == WAIT_OBJECT_0) return Woken::kWoken;
      if (waited == WAIT_TIMEOUT) continue;  // the time is looked at again above
      if (waited != WAIT_OBJECT_0 + 1) return Woken::kTimeout;
      INPUT_RECORD records[16];
      DWORD read = 0;
      if (!::ReadConsoleInputW(in_, records, 16, &read)) return Woken::kTimeout;
      // The characters typed, as the keys of a terminal would send them: a scanner's burst
      // comes in one read, or in reads hard on each other.
      std::wstring typed;
      bool resized = false;
      for (DWORD i = 0; i < read; ++i) {
        const INPUT_RECORD& r = records[i];
        if (r.EventType == KEY_EVENT && r.Event.KeyEvent.bKeyDown &&
            r.Event.KeyEvent.uChar.UnicodeChar != 0) {
          typed.append(std::max<WORD>(r.Event.KeyEvent.wRepeatCount, 1),
                       r.Event.KeyEvent.uChar.UnicodeChar);
        }
        resized = resized || r.EventType == WINDOW_BUFFER_SIZE_EVENT;
      }
      if (!typed.empty()) keys_read_.Read(Utf8(typed), now());
      if (resized) return Woken::kResized;
    }
  }

  void Wake() override { ::SetEvent(wake_.get()); }
  void Leaving() override { Wake(); }

  // A frame the console cannot take now is dropped; the next one is drawn whole.
  void Show(const Frame& frame) override {
    const bool fresh = shown_.width != frame.width || shown_.height != frame.height;
    std::string bytes = Paint(fresh ? nullptr : &shown_, frame, sequences_);
    if (fresh) bytes = "\x1b[2J" + bytes;
    const bool queued = WriteUtf8(out_, bytes);
    if (const DWORD failure = Output::Get().Failure(out_)) throw OsError(failure);
    shown_ = queued ? frame : Frame{};
  }

 private:
  HANDLE out_;
  DWORD out_mode_;
  HANDLE in_ = nullptr;
  DWORD in_mode_ = 0;
  bool keys_ = false;
  bool colours_ = false;
  UniqueHandle wake_;
  Sequences sequences_;
  Frame shown_;
  KeyReader keys_read_;
};

}  // namespace

std::unique_ptr<Terminal> OpenVirtualTerminal() {
  HANDLE out = ::GetStdHandle(STD_OUTPUT_HANDLE);
  DWORD mode = 0;
  if (!out || out == INVALID_HANDLE_VALUE || !::GetConsoleMode(out, &mode) ||
      !HasAlternateScreen()) {
    return nullptr;
  }
  if (!::SetConsoleMode(out, mode | ENABLE_PROCESSED_OUTPUT | ENABLE_VIRTUAL_TERMINAL_PROCESSING)) {
    return nullptr;  // before Windows 10: the lines
  }
  if (!HonoursSequences(out)) {
    ::SetConsoleMode(out, mode);
    return nullptr;
  }
  const char* no_colour = std::getenv("NO_COLOR");
  return std::make_unique<VirtualTerminal>(out, mode, !(no_colour && *no_colour));
}

}  // namespace qm
