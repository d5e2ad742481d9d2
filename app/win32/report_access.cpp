#include "app/win32/report_access.h"

#include <oleacc.h>
#include <wrl/client.h>

#include <cstring>

#include "common/win32/bstr.h"
#include "common/win32/os_error.h"
#include "common/win32/trace.h"

namespace qm {

namespace {

using Microsoft::WRL::ComPtr;

// Defined here rather than taken from a library: mingw-w64 declares them without defining
// them everywhere, and the .exe links nothing but the system's import libraries.
constexpr GUID kClsidAccPropServices = {
    0xb5f8350b, 0x0548, 0x48b1, {0xa6, 0xee, 0x88, 0xbd, 0x00, 0xb4, 0xa5, 0xe7}};
constexpr GUID kIidAccPropServices = {
    0x6e26e776, 0x04f0, 0x495d, {0x80, 0xe4, 0x33, 0x30, 0x35, 0x2e, 0x31, 0x69}};
// PROPID_ACC_DESCRIPTION: the annotation service takes no value (PROPID_ACC_VALUE), neither as
// a string nor from a callback; a description it takes as a string.
constexpr GUID kPropIdAccDescription = {
    0x4d48dfe4, 0xbd3f, 0x491f, {0xa6, 0x48, 0x49, 0x2d, 0x6f, 0x20, 0xc5, 0x88}};

// UI Automation's NotificationKind_ItemAdded and NotificationProcessing_All: every line is
// news, and none replaces the one before.
constexpr int kNotificationItemAdded = 0;
constexpr int kNotificationProcessingAll = 2;
constexpr wchar_t kNotificationActivity[] = L"Quillomarvet.Report";

constexpr UINT kCopyCommand = 1;

// LoadLibraryEx's flag from Windows 8 on (and Windows 7 with KB2533623); older headers lack it.
constexpr DWORD kLoadFromSystem32 = 0x00000800;

// Memory for the clipboard, freed unless the clipboard took it.
class GlobalMemory {
 public:
  explicit GlobalMemory(std::size_t bytes) : memory_(::GlobalAlloc(GMEM_MOVEABLE, bytes)) {
    if (!memory_) throw LastOsError();
  }
  GlobalMemory(const GlobalMemory&) = delete;
  GlobalMemory& operator=(const GlobalMemory&) = delete;
  ~GlobalMemory() {
    if (memory_) ::GlobalFree(memory_);
  }
  HGLOBAL get() const { return memory_; }
  void release() { memory_ = nullptr; }

 private:
  HGLOBAL memory_;
};

class OpenClipboardScope {
 public:
  explicit OpenClipboardScope(HWND owner) {
    // Another program may hold the clipboard for a moment.
    for (int attempt = 0; !::OpenClipboard(owner); ++attempt) {
      if (attempt == 5) throw LastOsError();
      ::Sleep(10);
    }
  }
  OpenClipboardScope(const OpenClipboardScope&) = delete;
  OpenClipboardScope& operator=(const OpenClipboardScope&) = delete;
  ~OpenClipboardScope() { ::CloseClipboard(); }
};

template <typename Fn>
void LoadFunction(HMODULE module, const char* name, Fn& fn) {
  fn = reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(::GetProcAddress(module, name)));
}

}  // namespace

bool IsReportCopyKey(const MSG& msg, HWND window, HWND port_box) {
  if (msg.message != WM_KEYDOWN || msg.wParam != 'C') return false;
  if (::GetKeyState(VK_CONTROL) >= 0 || ::GetKeyState(VK_MENU) < 0) return false;
  if (msg.hwnd != window && !::IsChild(window, msg.hwnd)) return false;
  if (msg.hwnd == port_box) {
    DWORD start = 0, end = 0;
    ::SendMessageW(port_box, EM_GETSEL, reinterpret_cast<WPARAM>(&start),
                   reinterpret_cast<LPARAM>(&end));
    if (start != end) return false;
  }
  return true;
}

void CopyTextToClipboard(HWND owner, const std::wstring& text) {
  const std::size_t bytes = (text.size() + 1) * sizeof(wchar_t);
  GlobalMemory memory(bytes);
  void* data = ::GlobalLock(memory.get());
  if (!data) throw LastOsError();
  std::memcpy(data, text.c_str(), bytes);
  ::GlobalUnlock(memory.get());

  OpenClipboardScope clipboard(owner);
  if (!::EmptyClipboard()) throw LastOsError();
  if (!::SetClipboardData(CF_UNICODETEXT, memory.get())) throw LastOsError();
  memory.release();  // the clipboard owns it now
}

bool ChooseCopyFromMenu(HWND owner, POINT screen) {
  const UniqueMenu menu(::CreatePopupMenu());
  if (!menu.get() || !::AppendMenuW(menu.get(), MF_STRING, kCopyCommand, L"&Copy\tCtrl+C")) {
    Trace("menu", SystemMessage(::GetLastError()));
    return false;
  }
  Trace("menu", L"shown");
  const UINT chosen = static_cast<UINT>(::TrackPopupMenu(
      menu.get(), TPM_RETURNCMD | TPM_RIGHTBUTTON, screen.x, screen.y, 0, owner, nullptr));
  return chosen == kCopyCommand;
}

void ReportAccessibility::LineAdded(HWND hwnd, const std::wstring& line,
                                    const std::wstring& all_lines) {
  // The description first: a screen reader told of a change reads it at once.
  ExposeLines(hwnd, all_lines);
  // Every screen reader, Windows 7 on, hears of the description change; the notification
  // (Windows 10 1709 on) says which line is new.
  ::NotifyWinEvent(EVENT_OBJECT_DESCRIPTIONCHANGE, hwnd, OBJID_CLIENT, CHILDID_SELF);
  Notify(hwnd, line);
}

ReportAccessibility::~ReportAccessibility() {
  // A screen reader may still hold a provider from UIAutomationCore.dll, so the DLL stays loaded
  // (uia_ is never freed); the providers are let go where the system can do that (Windows 8 on).
  if (disconnect_providers_) disconnect_providers_();
}

void ReportAccessibility::Notify(HWND hwnd, const std::wstring& line) {
  if (!uia_loaded_) {
    uia_loaded_ = true;
    // From the system directory only, never from beside the .exe or the current directory.
    uia_ = ::LoadLibraryExW(L"UIAutomationCore.dll", nullptr, kLoadFromSystem32);
    if (!uia_ && ::GetLastError() == ERROR_INVALID_PARAMETER) {
      // Windows 7 without the update that brought LOAD_LIBRARY_SEARCH_SYSTEM32.
      wchar_t path[MAX_PATH];
      const UINT length = ::GetSystemDirectoryW(path, MAX_PATH);
      if (length > 0 && length < MAX_PATH - 24) {
        std::wstring full(path, length);
        full += L"\\UIAutomationCore.dll";
        uia_ = ::LoadLibraryW(full.c_str());
      }
    }
    if (uia_) {
      LoadFunction(uia_, "UiaHostProviderFromHwnd", host_provider_);
      LoadFunction(uia_, "UiaRaiseNotificationEvent", raise_notification_);
      LoadFunction(uia_, "UiaDisconnectAllProviders", disconnect_providers_);
    }
    Trace("uia", raise_notification_ && host_provider_
                     ? L"notifications available"
                     : L"notifications not available on this system");
  }
  if (!raise_notification_ || !host_provider_) return;

  ComPtr<IUnknown> provider;
  HRESULT hr = host_provider_(hwnd, provider.GetAddressOf());
  if (SUCCEEDED(hr) && provider) {
    try {
      Bstr text(line);
      Bstr activity(kNotificationActivity);
      hr = raise_notification_(provider.Get(), kNotificationItemAdded, kNotificationProcessingAll,
                               text.get(), activity.get());
    } catch (const Error& e) {
      hr = static_cast<HRESULT>(e.Number());
    }
  }
  if (FAILED(hr)) {
    Trace("notify", L"failed: " + HexNumber(static_cast<uint32_t>(hr)) + L" " + SystemMessage(hr));
  } else {
    Trace("notify", line);
  }
}

void ReportAccessibility::ExposeLines(HWND hwnd, const std::wstring& all_lines) {
  if (!props_tried_) {
    props_tried_ = true;
    const HRESULT hr =
        ::CoCreateInstance(kClsidAccPropServices, nullptr, CLSCTX_INPROC_SERVER,
                           kIidAccPropServices, reinterpret_cast<void**>(props_.GetAddressOf()));
    if (FAILED(hr)) {
      props_.Reset();
      Trace("a11y", L"no accessible properties: " + HexNumber(static_cast<uint32_t>(hr)) + L" " +
                        SystemMessage(hr));
      return;
    }
  }
  if (!props_) return;
  const HRESULT hr = props_->SetHwndPropStr(hwnd, static_cast<DWORD>(OBJID_CLIENT), CHILDID_SELF,
                                            kPropIdAccDescription, all_lines.c_str());
  if (FAILED(hr)) {
    Trace("a11y", L"description not set: " + HexNumber(static_cast<uint32_t>(hr)) + L" " +
                      SystemMessage(hr));
  } else {
    Trace("a11y", L"description set: " + DecimalNumber(static_cast<long long>(all_lines.size())) +
                      L" characters");
  }
}

}  // namespace qm
