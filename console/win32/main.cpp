// quillomarvet-cli.exe: the console edition on Windows.
#include <windows.h>

#include <cfgmgr32.h>

#include <atomic>
#include <exception>
#include <memory>

#include "app/port_names.h"
#include "app/win32/wmi_devices.h"
#include "common/win32/ansi_text.h"
#include "common/win32/os_error.h"
#include "common/win32/unique.h"
#include "console/console.h"
#include "console/win32/terminal.h"
#include "quillomarvet_version.h"
#include "serial/win32/win32_serial_port.h"

namespace qm {
namespace {

// Ctrl+C, Ctrl+Break, the console window being closed, logoff and shutdown. The handler runs
// on a thread of its own; for the last three the process ends when it returns, so it waits for
// the ports to be closed first. It may run at any moment, as late as the process's own end, so
// the events it touches are made once and kept for the life of the process.
class ConsoleInterrupt final : public Interrupt {
 public:
  ConsoleInterrupt() {
    if (!events_) events_ = new Events();  // never freed: see above
    if (!::SetConsoleCtrlHandler(OnControl, TRUE)) throw LastOsError();
  }
  ConsoleInterrupt(const ConsoleInterrupt&) = delete;
  ConsoleInterrupt& operator=(const ConsoleInterrupt&) = delete;
  ~ConsoleInterrupt() override { Finished(); }

  bool Raised() const override {
    return ::WaitForSingleObject(events_->raised, 0) == WAIT_OBJECT_0;
  }
  void Quit() override {
    quit_ = true;
    ::SetEvent(events_->raised);
  }
  bool Quitting() const override { return quit_; }
  void Sleep(int32_t ms) override {
    ::WaitForSingleObject(events_->raised, static_cast<DWORD>(ms < 0 ? 0 : ms));
  }
  // Signalled once the interrupt is raised.
  HANDLE Event() const { return events_->raised; }
  // Every port is closed: a handler waiting for that may let the process end.
  void Finished() { ::SetEvent(events_->finished); }

 private:
  struct Events {
    Events()
        : raised(::CreateEventW(nullptr, TRUE, FALSE, nullptr)),
          finished(::CreateEventW(nullptr, TRUE, FALSE, nullptr)) {
      if (!raised || !finished) throw LastOsError();
    }
    HANDLE raised, finished;
  };

  static BOOL WINAPI OnControl(DWORD type) {
    // Sent to a service's console programs (a CI agent's, say) whenever any user logs off: not
    // a reason to stop. An interactive program is ended at its own user's logoff anyway.
    if (type == CTRL_LOGOFF_EVENT) return TRUE;
    ::SetEvent(events_->raised);
    if (type == CTRL_CLOSE_EVENT || type == CTRL_SHUTDOWN_EVENT) {
      // The system allows about five seconds before it ends the process anyway.
      ::WaitForSingleObject(events_->finished, 4000);
    }
    return TRUE;
  }

  static inline const Events* events_ = nullptr;
  std::atomic<bool> quit_{false};  // set before the event, read after it
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

// A console is written in UTF-16. A pipe or file gets `page`, else the console's output code page
// when the process has a console (cmd and PowerShell read a native program's pipe in that one),
// else the ANSI code page, which gives a device's answer back byte for byte.
// The system's error number when the line could not be written, else 0. No stream at all (a
// program started without one) is no error: there is nobody to tell.
DWORD Put(DWORD which, const std::wstring& line, UINT page = 0) {
  HANDLE stream = ::GetStdHandle(which);
  if (stream == nullptr || stream == INVALID_HANDLE_VALUE) return 0;
  const std::wstring text = line + L"\r\n";
  DWORD mode = 0, written = 0;
  if (::GetConsoleMode(stream, &mode)) {
    return ::WriteConsoleW(stream, text.data(), static_cast<DWORD>(text.size()), &written, nullptr)
               ? 0
               : ::GetLastError();
  }
  const UINT console_page = ::GetConsoleOutputCP();  // 0 without a console
  if (page == 0) page = console_page != 0 ? console_page : CP_ACP;
  const int size = ::WideCharToMultiByte(page, 0, text.data(), static_cast<int>(text.size()),
                                         nullptr, 0, nullptr, nullptr);
  if (size <= 0) return ::GetLastError();
  std::string bytes(static_cast<std::size_t>(size), '\0');
  ::WideCharToMultiByte(page, 0, text.data(), static_cast<int>(text.size()), bytes.data(), size,
                        nullptr, nullptr);
  if (!::WriteFile(stream, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr)) {
    return ::GetLastError();
  }
  return written == bytes.size() ? 0 : ERROR_HANDLE_DISK_FULL;
}

// Device changes reach top-level windows as WM_DEVICECHANGE (a message-only window gets no
// broadcast): a hidden one listens, pumped while the watch waits.
class DeviceChangeWindow {
 public:
  DeviceChangeWindow() {
    WNDCLASSW window_class{};
    window_class.lpfnWndProc = Proc;
    window_class.hInstance = ::GetModuleHandleW(nullptr);
    window_class.lpszClassName = kClass;
    if (!::RegisterClassW(&window_class)) throw LastOsError();
    window_ = ::CreateWindowExW(0, kClass, L"quillomarvet", WS_OVERLAPPED, 0, 0, 0, 0, nullptr,
                                nullptr, window_class.hInstance, nullptr);
    if (!window_) throw LastOsError();
  }
  DeviceChangeWindow(const DeviceChangeWindow&) = delete;
  DeviceChangeWindow& operator=(const DeviceChangeWindow&) = delete;
  ~DeviceChangeWindow() { ::DestroyWindow(window_); }

  // Called as a look begins: a change from then on (while the look runs, too) is news for the
  // next look, so it is never cleared by a wait.
  static void Forget() { changed_ = false; }

  // Returns when a device change came since the last look began, `stop` is signalled or `ms`
  // passed (no limit if < 0).
  void Wait(HANDLE stop, int32_t ms) {
    const ULONGLONG deadline = ::GetTickCount64() + static_cast<ULONGLONG>(ms < 0 ? 0 : ms);
    for (;;) {
      MSG message;
      while (::PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) ::DispatchMessageW(&message);
      if (changed_) return;
      DWORD left = INFINITE;
      if (ms >= 0) {
        const ULONGLONG now = ::GetTickCount64();
        if (now >= deadline) return;
        left = static_cast<DWORD>(deadline - now);
      }
      if (::MsgWaitForMultipleObjectsEx(1, &stop, left, QS_ALLINPUT, MWMO_INPUTAVAILABLE) !=
          WAIT_OBJECT_0 + 1) {
        return;  // stopped, timed out or failed: the caller looks again
      }
    }
  }

 private:
  static constexpr const wchar_t* kClass = L"QuillomarvetDeviceChanges";

  static LRESULT CALLBACK Proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    if (message == WM_DEVICECHANGE) changed_ = true;
    return ::DefWindowProcW(window, message, wparam, lparam);
  }

  static inline bool changed_ = false;  // only the watching thread pumps the window
  HWND window_ = nullptr;
};

// --log's file: each record with one WriteFile, then on the disk before Append returns.
class AppendedFile final : public RecordFile {
 public:
  explicit AppendedFile(UniqueHandle file) : file_(std::move(file)) {}
  void Append(std::string_view line) override {
    DWORD written = 0;
    if (!::WriteFile(file_.get(), line.data(), static_cast<DWORD>(line.size()), &written, nullptr)) {
      throw LastOsError();
    }
    if (written != line.size()) throw OsError(ERROR_HANDLE_DISK_FULL);
    if (!::FlushFileBuffers(file_.get())) throw LastOsError();
  }

 private:
  UniqueHandle file_;
};

class WindowsPlatform final : public ConsolePlatform {
 public:
  WindowsPlatform() {
    ::InitializeCriticalSection(&output_);
    ::InitializeCriticalSection(&jobs_lock_);
    ::InitializeConditionVariable(&jobs_done_);
  }
  WindowsPlatform(const WindowsPlatform&) = delete;
  WindowsPlatform& operator=(const WindowsPlatform&) = delete;
  ~WindowsPlatform() override {
    ::DeleteCriticalSection(&jobs_lock_);
    ::DeleteCriticalSection(&output_);
  }

  // The look runs on a thread of its own, in the multithreaded apartment: a hung WMI must not
  // keep an interrupt waiting, and this thread pumps the device changes that come meanwhile.
  std::vector<Adapter> FindAdapters() override {
    DeviceChangeWindow::Forget();
    auto look = std::make_shared<Look>();
    auto* given = new std::shared_ptr<Look>(look);
    UniqueHandle thread(::CreateThread(nullptr, 0, RunLook, given, 0, nullptr));
    if (!thread) {
      const Error error = LastOsError();
      delete given;
      throw error;
    }
    HANDLE handles[] = {thread.get(), interrupt_.Event()};
    for (;;) {
      MSG message;
      while (::PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) ::DispatchMessageW(&message);
      const DWORD woken =
          ::MsgWaitForMultipleObjectsEx(2, handles, INFINITE, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
      if (woken == WAIT_OBJECT_0) break;
      // The thread is left in WMI: it owns its share of the look, and the process may end
      // without it.
      if (woken == WAIT_OBJECT_0 + 1) throw OsError(ERROR_CANCELLED);
      if (woken == WAIT_FAILED) throw LastOsError();
    }
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
        ::CM_Get_DevNode_Registry_PropertyW(devinst, CM_DRP_LOCATION_INFORMATION, nullptr,
                                            location, &size, 0) != CR_SUCCESS) {
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

  void PrintLine(const std::wstring& line) override {
    Lock lock(output_);
    if (interrupt_.Raised() || output_error_ != 0) return;
    output_error_ = Put(STD_OUTPUT_HANDLE, line);
  }

  // JSON exchanged between systems is UTF-8 (RFC 8259), whatever the console's code page.
  void PrintRecord(const std::wstring& line) override {
    Lock lock(output_);
    if (output_error_ == 0) output_error_ = Put(STD_OUTPUT_HANDLE, line, CP_UTF8);
  }

  void PrintError(const std::wstring& line) override {
    Lock lock(output_);
    Put(STD_ERROR_HANDLE, line);
  }

  void OutputLost(const Error& e) override {
    Lock lock(output_);
    if (output_error_ == 0) output_error_ = e.Number();
  }

  bool OutputFailed() const override {
    Lock lock(output_);
    return output_error_ != 0;
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
    if (!device_changes_) device_changes_ = std::make_unique<DeviceChangeWindow>();
    device_changes_->Wait(interrupt_.Event(), ms);
  }

  std::unique_ptr<RecordFile> OpenLog(const std::wstring& path) override {
    // Appends only; never inherited by another program.
    UniqueHandle file(::CreateFileW(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                    nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) throw LastOsError();
    return std::make_unique<AppendedFile>(std::move(file));
  }

  std::unique_ptr<Terminal> OpenTerminal() override { return OpenVirtualTerminal(); }

  // Every port is closed: `status`, or 70 when standard output could not be written (a closed
  // pipe included: Windows has no signal to end by).
  int Finish(int status) {
    interrupt_.Finished();
    if (output_error_ == 0) return status;
    Put(STD_ERROR_HANDLE,
        L"quillomarvet: cannot write standard output: " + OsError(output_error_).Description());
    return kExitFailure;
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

  DWORD output_error_ = 0;  // of the first failed write to standard output
  std::unique_ptr<DeviceChangeWindow> device_changes_;
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
    ComApartment com;
    WindowsPlatform platform;
    std::vector<std::wstring> args(argv + 1, argv + argc);
    return platform.Finish(RunConsole(args, platform, QM_VERSION_TEXT));
  } catch (const Error& e) {
    Put(STD_ERROR_HANDLE, L"quillomarvet: " + FatalErrorText(e));
    return kExitFailure;
  } catch (const std::exception&) {
    Put(STD_ERROR_HANDLE, L"quillomarvet: unexpected failure");
    return kExitFailure;
  }
}
