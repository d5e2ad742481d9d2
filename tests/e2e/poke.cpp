// Test helper, run under the same Wine prefix as the tool, for what the X display cannot show:
//   qm_poke devicechange [count]  posts WM_DEVICECHANGE (DBT_DEVNODES_CHANGED, as the system
//                                 sends when a device is plugged in) to the tool's window,
//                                 `count` times (once by default);
//   qm_poke broadcast             sends it to every top-level window, as the system does;
//   qm_poke clipboard             prints the Unicode text on the Windows clipboard as
//                                 hexadecimal UTF-16 code units, four digits each (Wine gives
//                                 X its own line ends);
//   qm_poke focus                 prints "active" or "inactive" and the focused window's text
//                                 ("none" without one), for the tool's thread;
//   qm_poke restore               restores the tool's window;
//   qm_poke contextmenu DY        posts WM_CONTEXTMENU for the screen point 20 px right of and
//                                 DY px below the client area's top-left corner; with "key",
//                                 as the keyboard does (the point -1, -1);
//   qm_poke descriptionchanges SECONDS  prints how many EVENT_OBJECT_DESCRIPTIONCHANGE the
//                                 tool's client area raised (what older screen readers listen to)
//                                 meanwhile;
//   qm_poke run SHOW EXE          starts EXE with STARTUPINFO's wShowWindow SHOW, as a launcher
//                                 does, and waits for it;
//   qm_poke enter                 posts the Enter key's press to the tool's window;
//   qm_poke endsession            asks quillomarvet-cli.exe's hidden window to let the session
//                                 end, then says it ends, and prints how many ms that took;
//   qm_poke inputmode MS          prints the input mode of its console after MS milliseconds,
//                                 in hexadecimal;
//   qm_poke read FILE             prints FILE, opened to read with read sharing only (as .NET's
//                                 File.ReadAllText does).
// Exit status 0 on success, 2 when the window or the text is not there, 3 when a call fails.
#include <windows.h>

#include <dbt.h>

#include <cstdio>
#include <cwchar>

namespace {

int PostDeviceChanges(long count) {
  HWND window = ::FindWindowW(L"Quillomarvet.Form1", nullptr);
  if (!window) return 2;
  for (long i = 0; i < count; ++i) {
    if (!::PostMessageW(window, WM_DEVICECHANGE, DBT_DEVNODES_CHANGED, 0)) return 3;
  }
  return 0;
}

// A second per window: the tool's answer at once, and a slow window of Wine's own (a prefix's
// services may still be starting) must not hold the broadcast for long.
int BroadcastDeviceChange() {
  DWORD_PTR result = 0;
  return ::SendMessageTimeoutW(HWND_BROADCAST, WM_DEVICECHANGE, DBT_DEVNODES_CHANGED, 0,
                               SMTO_ABORTIFHUNG, 1000, &result)
             ? 0
             : 3;
}

int PrintClipboard() {
  if (!::OpenClipboard(nullptr)) return 3;
  int status = 2;
  if (HANDLE data = ::GetClipboardData(CF_UNICODETEXT)) {
    if (const auto* text = static_cast<const wchar_t*>(::GlobalLock(data))) {
      for (const wchar_t* c = text; *c; ++c) std::printf("%04X", static_cast<unsigned>(*c));
      std::printf("\n");
      ::GlobalUnlock(data);
      status = 0;
    }
  }
  ::CloseClipboard();
  return status;
}

int Focus(HWND window) {
  GUITHREADINFO info{};
  info.cbSize = sizeof info;
  if (!::GetGUIThreadInfo(::GetWindowThreadProcessId(window, nullptr), &info)) return 3;
  wchar_t text[64] = L"none";
  if (info.hwndFocus) ::GetWindowTextW(info.hwndFocus, text, 64);
  std::printf("%s %ls\n", info.hwndActive == window ? "active" : "inactive", text);
  return 0;
}

int ContextMenu(HWND window, const wchar_t* dy) {
  POINT at{20, std::wcstol(dy, nullptr, 10)};
  ::ClientToScreen(window, &at);
  if (std::wcscmp(dy, L"key") == 0) at = POINT{-1, -1};
  return ::PostMessageW(window, WM_CONTEXTMENU, reinterpret_cast<WPARAM>(window),
                        MAKELPARAM(at.x, at.y))
             ? 0
             : 3;
}

int Run(long show, const wchar_t* exe) {
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESHOWWINDOW;
  startup.wShowWindow = static_cast<WORD>(show);
  PROCESS_INFORMATION process{};
  if (!::CreateProcessW(exe, nullptr, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                        &process)) {
    return 3;
  }
  ::WaitForSingleObject(process.hProcess, INFINITE);
  DWORD status = 3;
  ::GetExitCodeProcess(process.hProcess, &status);
  ::CloseHandle(process.hThread);
  ::CloseHandle(process.hProcess);
  return static_cast<int>(status);
}

int EndSession() {
  HWND window = ::FindWindowW(L"QuillomarvetDeviceChanges", nullptr);
  if (!window) return 2;
  DWORD_PTR agreed = 0, ignored = 0;
  const ULONGLONG started = ::GetTickCount64();
  const bool answered = ::SendMessageTimeoutW(window, WM_QUERYENDSESSION, 0, ENDSESSION_LOGOFF,
                                              SMTO_NORMAL, 20000, &agreed) != 0;
  if (!answered || !agreed) {
    const DWORD error = ::GetLastError();
    std::fprintf(stderr, "WM_QUERYENDSESSION %s, error %lu\n",
                 answered ? "refused" : "not answered", error);
    return 3;
  }
  // Once its exchanges have ended the program may end before its answer is sent: as good.
  if (!::SendMessageTimeoutW(window, WM_ENDSESSION, TRUE, ENDSESSION_LOGOFF, SMTO_NORMAL, 20000,
                             &ignored)) {
    const DWORD error = ::GetLastError();
    if (::IsWindow(window)) {
      std::fprintf(stderr, "WM_ENDSESSION not answered, error %lu\n", error);
      return 3;
    }
  }
  std::printf("%llu\n", ::GetTickCount64() - started);
  return 0;
}

// After `ms` milliseconds: a program started meanwhile on the same console may have changed it.
int InputMode(DWORD ms) {
  ::Sleep(ms);
  HANDLE in = ::CreateFileW(L"CONIN$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                            OPEN_EXISTING, 0, nullptr);
  DWORD mode = 0;
  const bool read = in != INVALID_HANDLE_VALUE && ::GetConsoleMode(in, &mode);
  if (in != INVALID_HANDLE_VALUE) ::CloseHandle(in);
  if (!read) return 3;
  std::printf("%lx\n", static_cast<unsigned long>(mode));
  return 0;
}

int Read(const wchar_t* path) {
  HANDLE file =
      ::CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return 3;
  char buffer[4096];
  DWORD got = 0;
  while (::ReadFile(file, buffer, sizeof buffer, &got, nullptr) && got > 0) {
    std::fwrite(buffer, 1, got, stdout);
  }
  ::CloseHandle(file);
  return 0;
}

int description_changes = 0;

void CALLBACK OnDescriptionChange(HWINEVENTHOOK, DWORD, HWND, LONG object, LONG, DWORD, DWORD) {
  if (object == OBJID_CLIENT) ++description_changes;
}

int CountDescriptionChanges(HWND window, long seconds) {
  DWORD process = 0;
  ::GetWindowThreadProcessId(window, &process);
  HWINEVENTHOOK hook =
      ::SetWinEventHook(EVENT_OBJECT_DESCRIPTIONCHANGE, EVENT_OBJECT_DESCRIPTIONCHANGE, nullptr,
                        OnDescriptionChange, process, 0, WINEVENT_OUTOFCONTEXT);
  if (!hook) return 3;
  for (const ULONGLONG end = ::GetTickCount64() + 1000ULL * seconds; ::GetTickCount64() < end;) {
    ::MsgWaitForMultipleObjects(0, nullptr, FALSE, 100, QS_ALLINPUT);
    MSG message;
    while (::PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) ::DispatchMessageW(&message);
  }
  ::UnhookWinEvent(hook);
  std::printf("%d\n", description_changes);
  return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc >= 2 && std::wcscmp(argv[1], L"devicechange") == 0) {
    return PostDeviceChanges(argc > 2 ? std::wcstol(argv[2], nullptr, 10) : 1);
  }
  if (argc == 2 && std::wcscmp(argv[1], L"clipboard") == 0) return PrintClipboard();
  if (argc == 2 && std::wcscmp(argv[1], L"broadcast") == 0) return BroadcastDeviceChange();
  if (argc == 2 && std::wcscmp(argv[1], L"endsession") == 0) return EndSession();
  if (argc == 3 && std::wcscmp(argv[1], L"inputmode") == 0) {
    return InputMode(std::wcstoul(argv[2], nullptr, 10));
  }
  if (argc == 3 && std::wcscmp(argv[1], L"read") == 0) return Read(argv[2]);
  if (argc == 4 && std::wcscmp(argv[1], L"run") == 0) {
    return Run(std::wcstol(argv[2], nullptr, 10), argv[3]);
  }
  HWND window = ::FindWindowW(L"Quillomarvet.Form1", nullptr);
  if (!window) return 2;
  if (argc == 2 && std::wcscmp(argv[1], L"focus") == 0) return Focus(window);
  if (argc == 2 && std::wcscmp(argv[1], L"enter") == 0) {
    return ::PostMessageW(window, WM_KEYDOWN, VK_RETURN, 1) &&
                   ::PostMessageW(window, WM_KEYUP, VK_RETURN, 0xC0000001)
               ? 0
               : 3;
  }
  if (argc == 2 && std::wcscmp(argv[1], L"restore") == 0) {
    ::ShowWindow(window, SW_RESTORE);  // returns whether it was visible before, not success
    return 0;
  }
  if (argc == 3 && std::wcscmp(argv[1], L"descriptionchanges") == 0) {
    return CountDescriptionChanges(window, std::wcstol(argv[2], nullptr, 10));
  }
  if (argc == 3 && std::wcscmp(argv[1], L"contextmenu") == 0) {
    return ContextMenu(window, argv[2]);
  }
  return 3;
}
