#pragma once

#include <windows.h>

#include <atomic>
#include <memory>

#include "app/form1.h"
#include "app/win32/report_access.h"
#include "common/win32/unique.h"

namespace qm {

// Form1's window on Win32: the window class, its three controls, the report lines painted on
// its surface, the pause timer and the event pump.
class MainWindow final : public FormHost {
 public:
  explicit MainWindow(HINSTANCE instance) : instance_(instance) {}
  MainWindow(const MainWindow&) = delete;
  MainWindow& operator=(const MainWindow&) = delete;
  ~MainWindow() override;

  // Creates the window, hidden, with its controls laid out for its DPI. Throws Error.
  void Create();
  void Attach(Form1& form) { form_ = &form; }
  // Before the form goes: no message may reach it after that.
  void Detach() { form_ = nullptr; }
  void Show(int show_command);
  // The event loop; returns the program's exit status.
  int Run();

  void ReportLineAdded(const std::wstring& line) override;
  void DoEvents() override;
  void WaitForEvent() override;
  void ArmPauseTimer(int32_t interval_ms) override;
  void DisarmPauseTimer() override;
  void SetPortBoxText(const std::wstring& text) override;
  std::wstring PortBoxText() const override;
  void SetResetEnabled(bool enabled) override;
  void FocusReset() override;
  void ArmDeviceSettleTimer(int32_t interval_ms) override;
  void StartDeviceLook() override;
  bool DeviceLookLost() const override { return look_lost_ && *look_lost_; }
  void AdapterLookDone(const std::wstring& result, const std::optional<Error>& failure) override;
  void EndProgram(int exit_status) override;
  std::wstring DecodeAnsi(std::string_view bytes) const override;

 private:
  static LRESULT CALLBACK WindowProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp);
  LRESULT OnMessage(UINT msg, WPARAM wp, LPARAM lp);
  void Dispatch(MSG& msg);
  void ApplyDpi(UINT dpi, const RECT* suggested_window);
  void Paint();
  void DrawReport(HDC dc, const RECT& client);
  void DrawReportLines(HDC dc, const RECT& client);
  void CopyReport();
  // Whether the menu was handled here (else it is the default window menu's).
  bool OnContextMenu(HWND target, LPARAM lp);
  void OnPauseTimer();
  // Runs a handler whose errors end the program through the error message box.
  template <typename Handler>
  void Guarded(Handler&& handler) noexcept;
  // Shows `e` (an unexpected failure when null) and ends the program with status 1.
  void Fail(const Error* e) noexcept;

  HINSTANCE instance_;
  HWND hwnd_ = nullptr;
  HWND label_ = nullptr;     // Label1
  HWND port_box_ = nullptr;  // txComm
  HWND reset_ = nullptr;     // cmReset
  HWND last_focus_ = nullptr;
  UniqueGdi<HFONT> font_;
  int line_height_ = 16;
  UINT dpi_ = 96;
  Form1* form_ = nullptr;
  ReportAccessibility accessibility_;

  bool timer_armed_ = false;
  int32_t timer_interval_ms_ = 0;
  LONGLONG timer_due_ = 0;  // in performance-counter ticks
  int exit_status_ = 0;
  bool failing_ = false;  // the fatal-error box is up
  // Set by the running look's thread when its outcome could not be posted.
  std::shared_ptr<std::atomic<bool>> look_lost_;
  // QS_TOUCH and QS_POINTER (Windows 8 on), which older headers leave out of QS_ALLINPUT.
  static constexpr DWORD kTouchAndPen = 0x0800 | 0x1000;
  DWORD wake_mask_ = QS_ALLINPUT | kTouchAndPen;  // what wakes WaitForEvent
  static constexpr DWORD kFailedWaitMs = 15;      // a timer's tick
  bool wake_mask_traced_ = false;
};

// Shows the error's number and description in a message box.
void ShowFatalError(HWND owner, const Error& e);

}  // namespace qm
