#pragma once

#include <windows.h>

#include <oleacc.h>
#include <wrl/client.h>

#include <string>

#include "common/win32/unique.h"

namespace qm {

// Whether `msg` is the key that copies the report (Ctrl+C) for this window. In the port box
// with text selected, Ctrl+C keeps copying that selection.
bool IsReportCopyKey(const MSG& msg, HWND window, HWND port_box);

// Puts `text` on the clipboard as Unicode text. Throws Error.
void CopyTextToClipboard(HWND owner, const std::wstring& text);

// Shows the report's context menu at `screen`; whether "Copy" was chosen.
bool ChooseCopyFromMenu(HWND owner, POINT screen);

// The report for screen readers: each new line is raised as a UI Automation notification on
// the window, and the kept lines are the accessible description of its client area. Both are best
// effort: where the system lacks them, the window works as before.
class ReportAccessibility {
 public:
  ReportAccessibility() = default;
  ReportAccessibility(const ReportAccessibility&) = delete;
  ReportAccessibility& operator=(const ReportAccessibility&) = delete;
  ~ReportAccessibility();

  void LineAdded(HWND hwnd, const std::wstring& line, const std::wstring& all_lines);

 private:
  void Notify(HWND hwnd, const std::wstring& line);
  void ExposeLines(HWND hwnd, const std::wstring& all_lines);

  using HostProviderFromHwnd = HRESULT(WINAPI*)(HWND, IUnknown**);
  using RaiseNotificationEvent = HRESULT(WINAPI*)(IUnknown*, int, int, BSTR, BSTR);

  bool uia_loaded_ = false;
  HMODULE uia_ = nullptr;  // loaded for the life of the process
  HRESULT(WINAPI* disconnect_providers_)() = nullptr;
  HostProviderFromHwnd host_provider_ = nullptr;
  RaiseNotificationEvent raise_notification_ = nullptr;

  bool props_tried_ = false;
  Microsoft::WRL::ComPtr<IAccPropServices> props_;
};

}  // namespace qm
