// quillomarvet-cli.exe: the console edition on Windows.
#include <windows.h>

#include <cfgmgr32.h>

#include <atomic>
#include <exception>
#include <memory>
#include <optional>
#include <utility>

#include "app/port_names.h"
#include "app/win32/wmi_devices.h"
#include "common/win32/ansi_text.h"
#include "common/win32/os_error.h"
#include "common/win32/unique.h"
#include "console/console.h"
#include "console/win32/output.h"
#include "console/win32/terminal.h"
#include "quillomarvet_version.h"
#include "serial/win32/win32_serial_port.h"

namespace qm {
namespace {

// A manual-reset event, not signalled.
UniqueHandle NewEvent() {
  UniqueHandle event(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
  if (!event) throw LastOsError();
  return event;
}

// Ctrl+C, Ctrl+Break, the console window being closed, and the session's end (SystemWindow). The
// console's handler runs on a thread of its own; for the console being closed the process ends
// when it returns, so it waits for the ports to be closed first. It may run at any moment, as
// late as the process's own end, so the events it touches are made once and kept for the life of
// the process.
class ConsoleInterrupt final : public Interrupt {
 public:
  // How long the process may take to end once the system has said it goes (about five seconds
  // are allowed).
  static constexpr DWORD kEndingMs = 4000;

  ConsoleInterrupt() {
    if (!events_) events_ = new Events();  // never freed: see above
    if (!::SetConsoleCtrlHandler(OnControl, TRUE)) throw LastOsError();
  }
  ConsoleInterrupt(const ConsoleInterrupt&) = delete;
  ConsoleInterrupt& operator=(const ConsoleInterrupt&) = delete;
  ~ConsoleInterrupt() override { Finished(); }

  bool Raised() const override {
    return ::WaitForSingleObject(events_->raised.get(), 0) == WAIT_OBJECT_0;
  }
  // Wakes only the watch's wait for devices (its own event): the exchanges sleep on.
  void Quit() override {
    quit_ = true;
    ::SetEvent(events_->quit.get());
  }
  bool Quitting() const override { return quit_ && (cut_short_ || !Raised()); }
  void CutShort() override {
    cut_short_ = true;
    ::SetEvent(events_->raised.get());
  }
  void Sleep(int32_t ms) override {
    ::WaitForSingleObject(events_->raised.get(), static_cast<DWORD>(ms < 0 ? 0 : ms));
  }
  // Signalled once the interrupt is raised; once the operator has asked to end.
  HANDLE Event() const { return events_->raised.get(); }
  HANDLE QuitEvent() const { return events_->quit.get(); }
  // Every port is closed and the log has its summary: a handler waiting for that may let the
  // process end.
  void Finished() { ::SetEvent(events_->finished.get()); }

  // Whether the interrupt came, from any thread and at any moment (the events outlive this).
  static bool Came() {
    return events_ && ::WaitForSingleObject(events_->raised.get(), 0) == WAIT_OBJECT_0;
  }

  // Raises the interrupt and waits up to `ms` milliseconds for Finished, from any thread.
  static void RaiseAndWait(DWORD ms) {
    ::SetEvent(events_->raised.get());
    ::WaitForSingleObject(events_->finished.get(), ms);
  }

 private:
  struct Events {
    UniqueHandle raised = NewEvent(), finished = NewEvent(), quit = NewEvent();
  };

  static BOOL WINAPI OnControl(DWORD type) {
    // A program that loads user32, as this one does, is sent no CTRL_LOGOFF_EVENT or
    // CTRL_SHUTDOWN_EVENT for its own session (SetConsoleCtrlHandler's page): the session's end
    // comes to SystemWindow. A service's console programs (a CI agent's, say) are sent
    // CTRL_LOGOFF_EVENT whenever any user logs off: not a reason to stop.
    if (type == CTRL_LOGOFF_EVENT) return TRUE;
    if (type == CTRL_CLOSE_EVENT || type == CTRL_SHUTDOWN_EVENT) {
      RaiseAndWait(kEndingMs);
    } else {
      ::SetEvent(events_->raised.get());
    }
    return TRUE;
  }

  static inline const Events* events_ = nullptr;
  std::atomic<bool> quit_{false}, cut_short_{false};  // set before the event, read after it
};

// A critical section, held for the life of the object.
class Lock {
 public:
  explicit Lock(CRITICAL_SECTION& section) : section_(section) {
    ::EnterCriticalSection(&section_);
  }
  Lock(const Lock&) = delete;
  Lock& operator=(const Lock&) = delete;
  ~Lock() { ::LeaveCriticalSection(&section_); }

 private:
  CRITICAL_SECTION& section_;
};

// What is still to be shown gets all the time it takes until the interrupt comes (a reader that
// stopped reading must not keep a Ctrl+C from ending the program), then only a moment, as on
// Linux. Whether all of it was written.
bool FlushOutput() {
  constexpr int32_t kLookMs = 100, kLastOutputMs = 300;
  while (!ConsoleInterrupt::Came()) {
    if (Output::Get().Flush(kLookMs)) return true;
  }
  return Output::Get().Flush(kLastOutputMs);
}

// A hidden top-level window, pumped by a thread of its own whatever the program is doing. Device
// changes reach top-level windows only (a message-only window gets no broadcast), and so does the
// session's end (log-off, shutdown, an update's restart): WM_ENDSESSION raises the interrupt and
// is answered once the exchanges have ended and the log has its summary, or when the time the
// system allows is nearly up, after which the process may be ended at any moment.
class SystemWindow {
 public:
  // Made once; kept for the life of the process, as its thread is. Throws Error when no window
  // could be made.
  static SystemWindow& Get() {
    static SystemWindow* made = nullptr;
    if (made) return *made;
    std::unique_ptr<SystemWindow> window(new SystemWindow());
    UniqueHandle thread(::CreateThread(nullptr, 0, Run, window.get(), 0, nullptr));
    if (!thread) throw LastOsError();
    HANDLE waits[] = {window->ready_.get(), thread.get()};
    ::WaitForMultipleObjects(2, waits, FALSE, INFINITE);
    if (window->failure_ != 0) throw OsError(window->failure_);
    return *(made = window.release());
  }

  // Called as a look begins: a change from then on (while the look runs, too) is news for the
  // next look, so it is never cleared by a wait.
  void Forget() { ::ResetEvent(changed_.get()); }

  // Returns when a device change came since the last look began, `stop` is signalled or `ms`
  // passed (no limit if < 0).
  void Wait(HANDLE stop, HANDLE quit, int32_t ms) {
    HANDLE waits[] = {stop, quit, changed_.get()};
    ::WaitForMultipleObjects(3, waits, FALSE, ms < 0 ? INFINITE : static_cast<DWORD>(ms));
  }

 private:
  static constexpr const wchar_t* kClass = L"QuillomarvetDeviceChanges";

  SystemWindow() = default;

  static DWORD WINAPI Run(void* parameter) {
    auto* self = static_cast<SystemWindow*>(parameter);
    WNDCLASSW window_class{};
    window_class.lpfnWndProc = Proc;
    window_class.hInstance = ::GetModuleHandleW(nullptr);
    window_class.lpszClassName = kClass;
    HWND window = nullptr;
    if (::RegisterClassW(&window_class)) {
      window = ::CreateWindowExW(0, kClass, L"quillomarvet", WS_OVERLAPPED, 0, 0, 0, 0, nullptr,
                                 nullptr, window_class.hInstance, nullptr);
    }
    if (!window) {
      const DWORD error = ::GetLastError();
      self->failure_ = error != 0 ? error : ERROR_INVALID_WINDOW_HANDLE;
      ::SetEvent(self->ready_.get());
      return 1;
    }
    ::SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
    ::SetEvent(self->ready_.get());
    MSG message;
    while (::GetMessageW(&message, nullptr, 0, 0) > 0) ::DispatchMessageW(&message);
    return 0;
  }

  static LRESULT CALLBACK Proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    auto* self = reinterpret_cast<SystemWindow*>(::GetWindowLongPtrW(window, GWLP_USERDATA));
    switch (message) {
      case WM_DEVICECHANGE:
        if (self) ::SetEvent(self->changed_.get());
        break;
      case WM_QUERYENDSESSION:
        return TRUE;
      case WM_ENDSESSION:
        if (wparam) ConsoleInterrupt::RaiseAndWait(ConsoleInterrupt::kEndingMs);
        return 0;
    }
    return ::DefWindowProcW(window, message, wparam, lparam);
  }

  UniqueHandle changed_ = NewEvent(), ready_ = NewEvent();
  DWORD failure_ = 0;  // why the window could not be made
};

// The mode of the console's input while the program runs. A click in the classic console starts
// a selection (QuickEdit), and while it is open every write to the console waits and Ctrl+C
// copies instead of interrupting: QuickEdit is off meanwhile, and put back as it was found.
// GetConsoleMode may not report ENABLE_EXTENDED_FLAGS, without which QuickEdit would not be set.
class QuickEditOff {
 public:
  QuickEditOff() : in_(::GetStdHandle(STD_INPUT_HANDLE)) {
    if (in_ && in_ != INVALID_HANDLE_VALUE && ::GetConsoleMode(in_, &mode_) &&
        (mode_ & ENABLE_QUICK_EDIT_MODE)) {
      changed_ = ::SetConsoleMode(in_, (mode_ | ENABLE_EXTENDED_FLAGS) & ~ENABLE_QUICK_EDIT_MODE);
    }
  }
  QuickEditOff(const QuickEditOff&) = delete;
  QuickEditOff& operator=(const QuickEditOff&) = delete;
  ~QuickEditOff() {
    if (changed_) ::SetConsoleMode(in_, mode_ | ENABLE_EXTENDED_FLAGS);
  }

 private:
  HANDLE in_;
  DWORD mode_ = 0;
  bool changed_ = false;
};

// A line on standard output or error: whole, with its line end (for `page`, see Output::Post).
bool Put(DWORD which, const std::wstring& line, UINT page = 0) {
  return Output::Get().Post(::GetStdHandle(which), line + L"\r\n", page);
}

// --log's file. A file on a disk is opened for each record, which is appended with one WriteFile
// and flushed before Append returns; between records nothing holds it, so that another program
// may read it whatever sharing it asks for (.NET's FileShare.Read refuses a file that someone has
// open to append: appending is writing) and rename it for rotation, the next record starting a
// new file. Anything else (the console, NUL, a pipe) is kept open and never flushed: there,
// FlushFileBuffers fails, and a record written is all there is to do.
class AppendedFile final : public RecordFile {
 public:
  explicit AppendedFile(std::wstring path) : path_(std::move(path)) {
    // CreateFile names the console (CON) for GENERIC_READ or GENERIC_WRITE only: where asking to
    // append alone is refused, writing is asked for, and the kind of file decides as before.
    UniqueHandle first;
    try {
      first = Open();
    } catch (const Error&) {
      first = Open(GENERIC_WRITE);
    }
    if (::GetFileType(first.get()) != FILE_TYPE_DISK) kept_ = Open(GENERIC_WRITE);
  }

  void Append(std::string_view line) override {
    // A write that fails (a network share that dropped its connection) is tried once more on
    // the file opened again.
    for (int attempt = 0;; ++attempt) {
      UniqueHandle opened;
      if (!kept_) opened = Open();
      HANDLE file = kept_ ? kept_.get() : opened.get();
      DWORD written = 0;
      if (::WriteFile(file, line.data(), static_cast<DWORD>(line.size()), &written, nullptr)) {
        if (written != line.size()) throw OsError(ERROR_HANDLE_DISK_FULL);
        if (!kept_ && !::FlushFileBuffers(file) && not_synced_.empty() && !said_not_synced_) {
          not_synced_ = LastOsError().Description();
        }
        return;
      }
      const DWORD error = ::GetLastError();
      if (attempt > 0) throw OsError(error != 0 ? error : ERROR_WRITE_FAULT);
      if (kept_) kept_ = Open(GENERIC_WRITE);
    }
  }

  std::wstring NotSynced() override {
    said_not_synced_ = said_not_synced_ || !not_synced_.empty();
    return std::exchange(not_synced_, std::wstring());
  }

 private:
  // Appends only (a console or a pipe takes nothing without GENERIC_WRITE); never inherited by
  // another program. A reader that holds the file with read sharing only (.NET's
  // File.ReadAllText) is waited for a while.
  UniqueHandle Open(DWORD access = FILE_APPEND_DATA) const {
    for (int tries = 0;; ++tries) {
      UniqueHandle file(::CreateFileW(path_.c_str(), access,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
      if (file) return file;
      const DWORD error = ::GetLastError();
      if (error != ERROR_SHARING_VIOLATION || tries >= kSharingTries) throw OsError(error);
      ::Sleep(kSharingPauseMs);
    }
  }

  static constexpr int kSharingTries = 100;
  static constexpr DWORD kSharingPauseMs = 20;

  std::wstring path_;
  UniqueHandle kept_;
  std::wstring not_synced_;
  bool said_not_synced_ = false;
};

class WindowsPlatform final : public ConsolePlatform {
 public:
  WindowsPlatform() {
    ::InitializeCriticalSection(&output_);
    ::InitializeCriticalSection(&jobs_lock_);
    ::InitializeConditionVariable(&jobs_done_);
    Output::Get();  // its thread started before any exchange's
    try {
      window_ = &SystemWindow::Get();  // after the interrupt, which its session's end raises
    } catch (const Error& e) {
      window_failure_ = e;  // a watch cannot go without; a run can
    }
  }
  WindowsPlatform(const WindowsPlatform&) = delete;
  WindowsPlatform& operator=(const WindowsPlatform&) = delete;
  ~WindowsPlatform() override {
    ::DeleteCriticalSection(&jobs_lock_);
    ::DeleteCriticalSection(&output_);
  }

  // The look runs on a thread of its own, in the multithreaded apartment: a hung WMI must not
  // keep an interrupt waiting.
  std::vector<Adapter> FindAdapters() override {
    if (window_) window_->Forget();
    auto look = std::make_shared<Look>();
    auto* given = new std::shared_ptr<Look>(look);
    UniqueHandle thread(::CreateThread(nullptr, 0, RunLook, given, 0, nullptr));
    if (!thread) {
      const Error error = LastOsError();
      delete given;
      throw error;
    }
    HANDLE handles[] = {thread.get(), interrupt_.Event()};
    const DWORD woken = ::WaitForMultipleObjects(2, handles, FALSE, INFINITE);
    // The thread is left in WMI: it owns its share of the look, and the process may end
    // without it.
    if (woken == WAIT_OBJECT_0 + 1) throw OsError(ERROR_CANCELLED);
    if (woken == WAIT_FAILED) throw LastOsError();
    if (look->error) std::rethrow_exception(look->error);
    return std::move(look->adapters);
  }

  // Where the device is plugged in, as the system reports it ("Port_#0004.Hub_#0001").
  static std::wstring Location(const std::wstring& instance_id) {
    DEVINST devinst = 0;
    wchar_t location[256] = {};
    ULONG size = sizeof location;
    if (instance_id.empty() ||
        ::CM_Locate_DevNodeW(&devinst, const_cast<wchar_t*>(instance_id.c_str()),
                             CM_LOCATE_DEVNODE_NORMAL) != CR_SUCCESS ||
        ::CM_Get_DevNode_Registry_PropertyW(devinst, CM_DRP_LOCATION_INFORMATION, nullptr, location,
                                            &size, 0) != CR_SUCCESS) {
      return L"";
    }
    return location;
  }

  std::wstring WhatWasLookedFor() const override {
    return L"a plug-and-play device named \"" + std::wstring(kAdapterName) + L" (COMn)\"";
  }

  std::wstring PortExample() const override { return L"COM3"; }

  std::unique_ptr<SerialPort> MakePort(const std::wstring& name) override {
    // COM and a number from 1 on, nothing else.
    if (name.size() < 4 || name.size() > 8) return nullptr;
    if (::CompareStringOrdinal(name.c_str(), 3, L"COM", 3, TRUE) != CSTR_EQUAL) return nullptr;
    long number = 0;
    for (std::size_t i = 3; i < name.size(); ++i) {
      if (name[i] < L'0' || name[i] > L'9') return nullptr;
      number = number * 10 + (name[i] - L'0');
    }
    if (number < 1 || number > 32767) return nullptr;
    auto port = std::make_unique<Win32SerialPort>();
    port->SetCommPort(static_cast<int16_t>(number));
    return port;
  }

  std::wstring DecodeAnsi(std::string_view bytes) const override { return AnsiText(bytes); }

  // Queued, never waited for: see Output.
  void PrintLine(const std::wstring& line) override {
    Lock lock(output_);
    if (interrupt_.Raised() || OutputError() != 0) return;
    Put(STD_OUTPUT_HANDLE, line);
  }

  // JSON exchanged between systems is UTF-8 (RFC 8259), whatever the console's code page.
  void PrintRecord(const std::wstring& line) override {
    Lock lock(output_);
    if (OutputError() == 0) Put(STD_OUTPUT_HANDLE, line, CP_UTF8);
  }

  void PrintError(const std::wstring& line) override {
    Lock lock(output_);
    Put(STD_ERROR_HANDLE, line);
  }

  void OutputLost(const Error& e) override {
    Lock lock(output_);
    // An error without a number is an error all the same.
    if (output_error_ == 0) output_error_ = e.Number() != 0 ? e.Number() : ERROR_WRITE_FAULT;
  }

  bool OutputFailed() const override {
    Lock lock(output_);
    return OutputError() != 0;
  }

  Interrupt& interrupt() override { return interrupt_; }

  void Start(std::function<void()> job) override {
    {
      Lock lock(jobs_lock_);
      ++jobs_;
    }
    auto* run = new Job{this, std::move(job)};
    if (HANDLE thread = ::CreateThread(nullptr, 0, RunJob, run, 0, nullptr)) {
      ::CloseHandle(thread);  // a watch runs all day: nothing is left to wait on one by one
    } else {
      RunJob(run);  // no thread to be had: this one runs here, the rest still at the same time
    }
  }

  void WaitForJobs() override {
    Lock lock(jobs_lock_);
    while (jobs_ > 0) ::SleepConditionVariableCS(&jobs_done_, &jobs_lock_, INFINITE);
  }

  void WaitForDeviceChange(int32_t ms) override {
    if (!window_) throw *window_failure_;
    window_->Wait(interrupt_.Event(), interrupt_.QuitEvent(), ms);
  }

  std::unique_ptr<RecordFile> OpenLog(const std::wstring& path) override {
    return std::make_unique<AppendedFile>(path);
  }

  std::unique_ptr<Terminal> OpenTerminal() override { return OpenVirtualTerminal(); }

  // Every port is closed and the log has its summary: `status`, or 70 when standard output could
  // not be written (a closed pipe included: Windows has no signal to end by), or 130 when an
  // interrupt cut short what was still to be shown.
  int Finish(int status) {
    const bool shown = FlushOutput();
    const DWORD error = OutputError();
    if (error != 0) {
      Put(STD_ERROR_HANDLE,
          L"quillomarvet: cannot write standard output: " + OsError(error).Description());
      FlushOutput();
    }
    interrupt_.Finished();
    if (error != 0) return kExitFailure;
    return !shown && !interrupt_.Quitting() ? kExitInterrupted : status;
  }

 private:
  struct Job {
    WindowsPlatform* platform;
    std::function<void()> work;
  };

  struct Look {
    std::vector<Adapter> adapters;
    std::exception_ptr error;
  };

  static DWORD WINAPI RunLook(void* parameter) {
    const std::unique_ptr<std::shared_ptr<Look>> look(
        static_cast<std::shared_ptr<Look>*>(parameter));
    try {
      ComApartment com(false);
      (*look)->adapters = Adapters();
    } catch (...) {
      (*look)->error = std::current_exception();
    }
    return 0;
  }

  static std::vector<Adapter> Adapters() {
    std::vector<Adapter> adapters;
    for (const auto& device : WmiDeviceQuery().PnPDevices()) {
      // The window's rules, one device at a time.
      const std::wstring port = PortNameText({device.name});
      if (port.empty()) continue;
      adapters.push_back({port, *device.name, Location(device.instance_id),
                          SerialFromInstanceId(device.instance_id), device.instance_id});
    }
    return adapters;
  }

  static DWORD WINAPI RunJob(void* parameter) {
    std::unique_ptr<Job> job(static_cast<Job*>(parameter));
    job->work();
    Lock lock(job->platform->jobs_lock_);
    if (--job->platform->jobs_ == 0) ::WakeAllConditionVariable(&job->platform->jobs_done_);
    return 0;
  }

  // The system's error number for the first failed write to standard output, else 0.
  DWORD OutputError() const {
    return output_error_ != 0 ? output_error_
                              : Output::Get().Failure(::GetStdHandle(STD_OUTPUT_HANDLE));
  }

  DWORD output_error_ = 0;  // the board's terminal lost
  SystemWindow* window_ = nullptr;
  std::optional<Error> window_failure_;
  CRITICAL_SECTION jobs_lock_;
  CONDITION_VARIABLE jobs_done_;
  int jobs_ = 0;
  ConsoleInterrupt interrupt_;
  mutable CRITICAL_SECTION output_;
};

}  // namespace
}  // namespace qm

int wmain(int argc, wchar_t** argv) {
  using namespace qm;
  try {
    // The multithreaded apartment: this thread waits without pumping messages (the window has a
    // thread of its own), and a single-threaded apartment that pumps none stalls whatever COM
    // or the system sends its hidden window.
    ComApartment com(false);
    WindowsPlatform platform;
    std::vector<std::wstring> args(argv + 1, argv + argc);
    int status;
    {
      const QuickEditOff quick_edit;
      status = RunConsole(args, platform, QM_VERSION_TEXT);
    }
    return platform.Finish(status);
  } catch (const Error& e) {
    Put(STD_ERROR_HANDLE, L"quillomarvet: " + FatalErrorText(e));
    FlushOutput();
    return kExitFailure;
  } catch (const std::exception&) {
    Put(STD_ERROR_HANDLE, L"quillomarvet: unexpected failure");
    FlushOutput();
    return kExitFailure;
  }
}
