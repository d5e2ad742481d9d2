// quillomarvet-cli.exe: the console edition on Windows.
#include <windows.h>

#include "app/port_names.h"
#include "app/win32/wmi_devices.h"
#include "common/win32/ansi_text.h"
#include "common/win32/os_error.h"
#include "common/win32/unique.h"
#include "console/console.h"
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
  void Sleep(int32_t ms) override {
    ::WaitForSingleObject(events_->raised, static_cast<DWORD>(ms < 0 ? 0 : ms));
  }
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

// A console is written in UTF-16. A pipe or file gets the console's output code page when the
// process has a console (cmd and PowerShell read a native program's pipe in that one), else the
// ANSI code page, which gives a device's answer back byte for byte.
void Put(DWORD which, const std::wstring& line) {
  HANDLE stream = ::GetStdHandle(which);
  if (stream == nullptr || stream == INVALID_HANDLE_VALUE) return;
  const std::wstring text = line + L"\r\n";
  DWORD mode = 0, written = 0;
  if (::GetConsoleMode(stream, &mode)) {
    ::WriteConsoleW(stream, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    return;
  }
  const UINT console_page = ::GetConsoleOutputCP();  // 0 without a console
  const UINT page = console_page != 0 ? console_page : CP_ACP;
  const int size = ::WideCharToMultiByte(page, 0, text.data(), static_cast<int>(text.size()),
                                         nullptr, 0, nullptr, nullptr);
  if (size <= 0) return;
  std::string bytes(static_cast<std::size_t>(size), '\0');
  ::WideCharToMultiByte(page, 0, text.data(), static_cast<int>(text.size()), bytes.data(), size,
                        nullptr, nullptr);
  ::WriteFile(stream, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
}

class WindowsPlatform final : public ConsolePlatform {
 public:
  WindowsPlatform() { ::InitializeCriticalSection(&output_); }
  WindowsPlatform(const WindowsPlatform&) = delete;
  WindowsPlatform& operator=(const WindowsPlatform&) = delete;
  ~WindowsPlatform() override { ::DeleteCriticalSection(&output_); }

  std::vector<Adapter> FindAdapters() override {
    std::vector<Adapter> adapters;
    for (const auto& name : WmiDeviceQuery().PnPDeviceNames()) {
      // The window's rules, one device at a time.
      const std::wstring port = PortNameText({name});
      if (!port.empty()) adapters.push_back({port, *name});
    }
    return adapters;
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
    if (interrupt_.Raised()) return;
    Put(STD_OUTPUT_HANDLE, line);
  }

  void PrintError(const std::wstring& line) override {
    Lock lock(output_);
    Put(STD_ERROR_HANDLE, line);
  }

  Interrupt& interrupt() override { return interrupt_; }

  void RunTogether(const std::vector<std::function<void()>>& jobs) override {
    std::vector<UniqueHandle> threads;
    for (const auto& job : jobs) {
      UniqueHandle thread(::CreateThread(
          nullptr, 0, RunJob, const_cast<void*>(static_cast<const void*>(&job)), 0, nullptr));
      if (thread) {
        threads.push_back(std::move(thread));
      } else {
        job();  // no thread to be had: this one runs here, the rest still at the same time
      }
    }
    for (const UniqueHandle& thread : threads) ::WaitForSingleObject(thread.get(), INFINITE);
  }

  void Finished() { interrupt_.Finished(); }

 private:
  static DWORD WINAPI RunJob(void* job) {
    (*static_cast<const std::function<void()>*>(job))();
    return 0;
  }

  ConsoleInterrupt interrupt_;
  CRITICAL_SECTION output_;
};

}  // namespace
}  // namespace qm

int wmain(int argc, wchar_t** argv) {
  using namespace qm;
  try {
    ComApartment com;
    WindowsPlatform platform;
    std::vector<std::wstring> args(argv + 1, argv + argc);
    const int status = RunConsole(args, platform, QM_VERSION_TEXT);
    platform.Finished();
    return status;
  } catch (const Error& e) {
    Put(STD_ERROR_HANDLE, L"quillomarvet: " + FatalErrorText(e));
    return kExitFailure;
  } catch (const std::exception&) {
    Put(STD_ERROR_HANDLE, L"quillomarvet: unexpected failure");
    return kExitFailure;
  }
}
