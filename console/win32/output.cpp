#include "console/win32/output.h"

#include <algorithm>
#include <deque>
#include <string>
#include <vector>

namespace qm {

namespace {

// A failed call whose error number is 0 is still a failure.
DWORD Failed(DWORD code) {
  return code != 0 ? code : ERROR_WRITE_FAULT;
}

bool IsConsole(HANDLE stream) {
  DWORD mode = 0;
  return ::GetConsoleMode(stream, &mode) != 0;
}

}  // namespace

DWORD WriteNow(HANDLE stream, const std::wstring& text, UINT page) {
  if (stream == nullptr || stream == INVALID_HANDLE_VALUE || text.empty()) return 0;
  if (IsConsole(stream)) {
    // Fewer characters than given is no failure (a console with a selection open takes part, or
    // none, for now): the rest follows, after a pause when nothing went.
    for (std::size_t done = 0; done < text.size();) {
      const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(text.size() - done, 8192));
      DWORD written = 0;
      if (!::WriteConsoleW(stream, text.data() + done, chunk, &written, nullptr)) {
        return Failed(::GetLastError());
      }
      if (written == 0) ::Sleep(50);
      done += std::min<DWORD>(written, chunk);
    }
    return 0;
  }
  if (page == 0) {
    const UINT console_page = ::GetConsoleOutputCP();  // 0 without a console
    page = console_page != 0 ? console_page : CP_ACP;
  }
  const int size = ::WideCharToMultiByte(page, 0, text.data(), static_cast<int>(text.size()),
                                         nullptr, 0, nullptr, nullptr);
  if (size <= 0) return Failed(::GetLastError());
  std::string bytes(static_cast<std::size_t>(size), '\0');
  ::WideCharToMultiByte(page, 0, text.data(), static_cast<int>(text.size()), bytes.data(), size,
                        nullptr, nullptr);
  DWORD written = 0;
  if (!::WriteFile(stream, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr)) {
    return Failed(::GetLastError());
  }
  return written == bytes.size() ? 0 : ERROR_HANDLE_DISK_FULL;
}

struct Output::State {
  struct Item {
    HANDLE stream;
    std::wstring text;
    UINT page;
    bool console;
  };
  CRITICAL_SECTION lock;
  CONDITION_VARIABLE more, idle;
  std::deque<Item> queue;
  std::size_t queued = 0;  // characters
  bool threaded = false;
  bool writing = false, writing_console = false;
  ULONGLONG writing_since = 0;
  std::vector<std::pair<HANDLE, DWORD>> failures;

  DWORD FailureOf(HANDLE stream) const {
    for (const auto& [failed, code] : failures) {
      if (failed == stream) return code;
    }
    return 0;
  }
  void Record(HANDLE stream, DWORD code) {
    if (code != 0 && FailureOf(stream) == 0) failures.emplace_back(stream, code);
  }
};

// A pipe nobody reads keeps what it is sent, up to this much; then it is dropped too.
constexpr std::size_t kMostQueued = 4 << 20;

class Held {
 public:
  explicit Held(CRITICAL_SECTION& lock) : lock_(lock) { ::EnterCriticalSection(&lock_); }
  Held(const Held&) = delete;
  Held& operator=(const Held&) = delete;
  ~Held() { ::LeaveCriticalSection(&lock_); }

 private:
  CRITICAL_SECTION& lock_;
};

Output& Output::Get() {
  static Output* output = new Output();  // never freed: see the class
  return *output;
}

Output::Output() : state_(new State()) {
  ::InitializeCriticalSection(&state_->lock);
  ::InitializeConditionVariable(&state_->more);
  ::InitializeConditionVariable(&state_->idle);
  if (HANDLE thread = ::CreateThread(nullptr, 0, Run, state_, 0, nullptr)) {
    ::CloseHandle(thread);
    state_->threaded = true;
  }  // else each text is written as it comes, by whoever posts it
}

bool Output::Post(HANDLE stream, std::wstring text, UINT page) {
  if (stream == nullptr || stream == INVALID_HANDLE_VALUE) return true;  // nobody to tell
  const bool console = IsConsole(stream);
  Held held(state_->lock);
  if (state_->FailureOf(stream) != 0) return false;
  if (!state_->threaded) {
    state_->Record(stream, WriteNow(stream, text, page));
    return state_->FailureOf(stream) == 0;
  }
  const bool stuck = state_->writing && state_->writing_console &&
                     ::GetTickCount64() - state_->writing_since > kMomentMs;
  if ((console && stuck) || state_->queued + text.size() > kMostQueued) return false;
  state_->queued += text.size();
  state_->queue.push_back({stream, std::move(text), page, console});
  ::WakeConditionVariable(&state_->more);
  return true;
}

bool Output::Flush(int32_t ms) {
  const ULONGLONG deadline = ::GetTickCount64() + static_cast<ULONGLONG>(ms < 0 ? 0 : ms);
  Held held(state_->lock);
  while (!state_->queue.empty() || state_->writing) {
    DWORD left = INFINITE;
    if (ms >= 0) {
      const ULONGLONG now = ::GetTickCount64();
      if (now >= deadline) return false;
      left = static_cast<DWORD>(deadline - now);
    }
    ::SleepConditionVariableCS(&state_->idle, &state_->lock, left);
  }
  return true;
}

DWORD Output::Failure(HANDLE stream) {
  Held held(state_->lock);
  return state_->FailureOf(stream);
}

DWORD WINAPI Output::Run(void* parameter) {
  State& state = *static_cast<State*>(parameter);
  Held held(state.lock);
  for (;;) {
    while (state.queue.empty()) ::SleepConditionVariableCS(&state.more, &state.lock, INFINITE);
    State::Item item = std::move(state.queue.front());
    state.queue.pop_front();
    state.queued -= item.text.size();
    if (state.FailureOf(item.stream) != 0) {  // said once; the rest goes nowhere
      if (state.queue.empty()) ::WakeAllConditionVariable(&state.idle);
      continue;
    }
    state.writing = true;
    state.writing_console = item.console;
    state.writing_since = ::GetTickCount64();
    ::LeaveCriticalSection(&state.lock);
    const DWORD failure = WriteNow(item.stream, item.text, item.page);
    ::EnterCriticalSection(&state.lock);
    state.writing = false;
    state.Record(item.stream, failure);
    if (state.queue.empty()) ::WakeAllConditionVariable(&state.idle);
  }
}

}  // namespace qm
