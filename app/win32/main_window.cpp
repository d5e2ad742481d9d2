#include "app/win32/main_window.h"

#include <commctrl.h>
#include <dbt.h>
#include <windowsx.h>

#include <memory>

#include "app/layout.h"
#include "app/line_breaks.h"
#include "app/win32/wmi_devices.h"
#include "common/win32/ansi_text.h"
#include "common/win32/os_error.h"
#include "common/win32/trace.h"
#include "resources/resource.h"

namespace qm {

namespace {

constexpr wchar_t kClassName[] = L"Quillomarvet.Form1";
constexpr wchar_t kCaption[] = L"Quillomarvet";
constexpr int kResetId = IDOK;  // so Enter, as the window's default button, presses it
constexpr int kPortBoxId = 101;
constexpr int kLabelId = 102;
constexpr UINT_PTR kPauseTimerId = 1;
constexpr UINT_PTR kDeviceSettleTimerId = 2;
// A device look's outcome, from its worker thread; lParam owns a DeviceLook.
constexpr UINT kDeviceLookDone = WM_APP + 1;
// The settle time is over (posted when no timer could be set for it).
constexpr UINT kDeviceSettleDue = WM_APP + 2;

// A look after a device change, made on a worker thread and handed to the window.
struct DeviceLook {
  HWND window;
  std::shared_ptr<std::atomic<bool>> lost;  // shared with the window, which may be gone first
  std::vector<std::optional<std::wstring>> names;
  std::optional<Error> failure;
};

DWORD WINAPI DeviceLookThread(void* parameter) {
  std::unique_ptr<DeviceLook> look(static_cast<DeviceLook*>(parameter));
  try {
    // The window's apartment would have WMI's calls wait for its message loop, and a hung WMI
    // service would freeze the window with it.
    const ComApartment com(false);
    look->names = WmiDeviceQuery().PnPDeviceNames();
  } catch (const Error& e) {
    look->failure = e;
  } catch (...) {
    look->failure = Error(static_cast<uint32_t>(E_UNEXPECTED), SystemMessage(E_UNEXPECTED));
  }
  // The window is not destroyed before the process ends, so the handle cannot be reused
  // meanwhile; a message that is never handled goes with the process.
  if (::PostMessageW(look->window, kDeviceLookDone, 0, reinterpret_cast<LPARAM>(look.get()))) {
    look.release();
  } else {
    // A full queue: the window looks again at the next change.
    Trace("devices", L"look's outcome lost: " + FatalErrorText(LastOsError()));
    *look->lost = true;
  }
  return 0;
}

// Per-monitor DPI functions, present from Windows 10 1607 on; older systems get the system DPI.
struct DpiApi {
  UINT(WINAPI* GetDpiForWindow)(HWND) = nullptr;
  BOOL(WINAPI* AdjustWindowRectExForDpi)(RECT*, DWORD, BOOL, DWORD, UINT) = nullptr;
  BOOL(WINAPI* SystemParametersInfoForDpi)(UINT, UINT, void*, UINT, UINT) = nullptr;

  DpiApi() {
    HMODULE user32 = ::GetModuleHandleW(L"user32.dll");
    Load(user32, "GetDpiForWindow", GetDpiForWindow);
    Load(user32, "AdjustWindowRectExForDpi", AdjustWindowRectExForDpi);
    Load(user32, "SystemParametersInfoForDpi", SystemParametersInfoForDpi);
  }

  template <typename Fn>
  static void Load(HMODULE module, const char* name, Fn& fn) {
    fn = reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(::GetProcAddress(module, name)));
  }
};

const DpiApi& Dpi() {
  static const DpiApi api;
  return api;
}

UINT SystemDpi() {
  HDC screen = ::GetDC(nullptr);
  const int dpi = ::GetDeviceCaps(screen, LOGPIXELSY);
  ::ReleaseDC(nullptr, screen);
  return dpi > 0 ? static_cast<UINT>(dpi) : 96;
}

UINT WindowDpi(HWND hwnd) {
  if (Dpi().GetDpiForWindow) {
    if (UINT dpi = Dpi().GetDpiForWindow(hwnd)) return dpi;
  }
  return SystemDpi();
}

// The system's message font, at `dpi`.
LOGFONTW MessageFont(UINT dpi) {
  NONCLIENTMETRICSW metrics{};
  metrics.cbSize = sizeof metrics;
  if (Dpi().SystemParametersInfoForDpi &&
      Dpi().SystemParametersInfoForDpi(SPI_GETNONCLIENTMETRICS, sizeof metrics, &metrics, 0, dpi)) {
    return metrics.lfMessageFont;
  }
  if (!::SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof metrics, &metrics, 0)) {
    throw LastOsError();
  }
  metrics.lfMessageFont.lfHeight = ::MulDiv(metrics.lfMessageFont.lfHeight, static_cast<int>(dpi),
                                            static_cast<int>(SystemDpi()));
  return metrics.lfMessageFont;
}

LONGLONG CounterNow() {
  LARGE_INTEGER now;
  ::QueryPerformanceCounter(&now);
  return now.QuadPart;
}

LONGLONG CounterFrequency() {
  static const LONGLONG frequency = [] {
    LARGE_INTEGER f;
    ::QueryPerformanceFrequency(&f);
    return f.QuadPart;
  }();
  return frequency;
}

HWND CreateChild(HWND parent, DWORD ex_style, const wchar_t* cls, const wchar_t* text, DWORD style,
                 int id, HINSTANCE instance) {
  HWND child =
      ::CreateWindowExW(ex_style, cls, text, WS_CHILD | WS_VISIBLE | style, 0, 0, 0, 0, parent,
                        reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), instance, nullptr);
  if (!child) throw LastOsError();
  return child;
}

void Place(HWND control, const TwipsRect& r, UINT dpi) {
  ::MoveWindow(control, TwipsToPixels(r.left, dpi), TwipsToPixels(r.top, dpi),
               TwipsToPixels(r.width, dpi), TwipsToPixels(r.height, dpi), TRUE);
}

// BeginPaint to EndPaint: the window is validated even when drawing fails, so a failing paint
// is not asked for again and again.
class PaintScope {
 public:
  explicit PaintScope(HWND hwnd) : hwnd_(hwnd), dc_(::BeginPaint(hwnd, &ps_)) {}
  PaintScope(const PaintScope&) = delete;
  PaintScope& operator=(const PaintScope&) = delete;
  ~PaintScope() { ::EndPaint(hwnd_, &ps_); }
  HDC dc() const { return dc_; }

 private:
  HWND hwnd_;
  PAINTSTRUCT ps_{};
  HDC dc_;
};

}  // namespace

void ShowFatalError(HWND owner, const Error& e) {
  Trace("error", FatalErrorText(e));
  // A quit already posted (the window may be gone by now) would close the box at once.
  MSG quit;
  const bool had_quit = ::PeekMessageW(&quit, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE);
  ::MessageBoxW(owner, FatalErrorText(e).c_str(), kCaption, MB_OK | MB_ICONERROR | MB_TASKMODAL);
  if (had_quit) ::PostQuitMessage(static_cast<int>(quit.wParam));
}

// The window is not destroyed here: the program ends right after, and the system takes a
// thread's windows down with it. Destroying it first only delays the exit (under Wine without a
// window manager, by two seconds a window). Until then a message box's loop or a broadcast can
// still reach it: it must no longer lead to this object.
MainWindow::~MainWindow() {
  if (hwnd_) ::SetWindowLongPtrW(hwnd_, GWLP_USERDATA, 0);
}

void MainWindow::Create() {
  WNDCLASSEXW wc{};
  wc.cbSize = sizeof wc;
  wc.style = CS_HREDRAW | CS_VREDRAW;  // the lines are laid out from the client size
  wc.lpfnWndProc = WindowProc;
  wc.hInstance = instance_;
  wc.hIcon = static_cast<HICON>(::LoadImageW(instance_, MAKEINTRESOURCEW(IDI_APP), IMAGE_ICON,
                                             ::GetSystemMetrics(SM_CXICON),
                                             ::GetSystemMetrics(SM_CYICON), LR_DEFAULTCOLOR));
  wc.hIconSm = static_cast<HICON>(::LoadImageW(instance_, MAKEINTRESOURCEW(IDI_APP), IMAGE_ICON,
                                               ::GetSystemMetrics(SM_CXSMICON),
                                               ::GetSystemMetrics(SM_CYSMICON), LR_DEFAULTCOLOR));
  wc.hCursor = ::LoadCursorW(nullptr, IDC_ARROW);
  wc.lpszClassName = kClassName;
  if (!::RegisterClassExW(&wc)) throw LastOsError();

  if (!::CreateWindowExW(0, kClassName, kCaption, WS_OVERLAPPEDWINDOW | WS_CLIPCHILDREN,
                         CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, nullptr,
                         nullptr, instance_, this)) {
    throw LastOsError();
  }
  // Created in tab order: cmReset, txComm, Label1.
  reset_ = CreateChild(hwnd_, 0, WC_BUTTONW, L"Reset", WS_TABSTOP | BS_DEFPUSHBUTTON, kResetId,
                       instance_);
  port_box_ = CreateChild(hwnd_, WS_EX_CLIENTEDGE, WC_EDITW, L"COMxxxx",
                          WS_TABSTOP | ES_LEFT | ES_AUTOHSCROLL, kPortBoxId, instance_);
  ::SendMessageW(port_box_, EM_SETLIMITTEXT, 0, 0);  // no length limit
  label_ = CreateChild(hwnd_, 0, WC_STATICW, L"Com Port", SS_LEFT, kLabelId, instance_);
  last_focus_ = reset_;
  ApplyDpi(WindowDpi(hwnd_), nullptr);
}

void MainWindow::Show(int show_command) {
  ::ShowWindow(hwnd_, show_command);
  ::UpdateWindow(hwnd_);
  // SetFocus activates the window: started minimized or hidden, a stray Enter or Space would
  // press Reset behind the operator's back; started not to be activated, it would take the
  // keyboard from whatever the operator is typing in. So only a window that the system made the
  // foreground one takes it; activated later, it gets the focus through WM_ACTIVATE.
  if (::GetForegroundWindow() == hwnd_ && !::IsIconic(hwnd_)) ::SetFocus(reset_);
  Trace("window", L"shown");
}

int MainWindow::Run() {
  MSG msg;
  while (::GetMessageW(&msg, nullptr, 0, 0) > 0) Dispatch(msg);
  return exit_status_;
}

void MainWindow::Dispatch(MSG& msg) {
  if (hwnd_ && IsReportCopyKey(msg, hwnd_, port_box_)) {
    CopyReport();
    return;
  }
  // Tab, Enter and Space work as in a dialog.
  if (hwnd_ && ::IsDialogMessageW(hwnd_, &msg)) return;
  ::TranslateMessage(&msg);
  ::DispatchMessageW(&msg);
}

void MainWindow::DoEvents() {
  MSG msg;
  while (::PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
    if (msg.message == WM_QUIT) {
      // Leave it for the event loop; if the program was not ending yet, it is now.
      if (form_ && !form_->Ended()) Guarded([&] { form_->Form_Terminate(); });
      ::PostQuitMessage(static_cast<int>(msg.wParam));
      return;
    }
    Dispatch(msg);
  }
}

void MainWindow::WaitForEvent() {
  // Wakes for input that an earlier peek has already seen too, not only for new input; and for
  // touch and pen input, which Windows 7 refuses to wait for. Any failure drops those for good
  // (whatever the error says); a wait that fails even then sleeps for a timer's tick instead,
  // so that the caller looks again without spinning.
  if (::MsgWaitForMultipleObjectsEx(0, nullptr, INFINITE, wake_mask_, MWMO_INPUTAVAILABLE) ==
      WAIT_FAILED) {
    const DWORD error = ::GetLastError();
    const bool narrowed = (wake_mask_ & kTouchAndPen) != 0;
    if (narrowed) {
      Trace("wait", L"failed for " + HexNumber(wake_mask_) + L": " + SystemMessage(error));
      wake_mask_ &= ~kTouchAndPen;
    }
    if (!narrowed || ::MsgWaitForMultipleObjectsEx(0, nullptr, INFINITE, wake_mask_,
                                                   MWMO_INPUTAVAILABLE) == WAIT_FAILED) {
      ::Sleep(kFailedWaitMs);
    }
  }
  if (!wake_mask_traced_) {
    wake_mask_traced_ = true;
    Trace("wait", L"wakes for " + HexNumber(wake_mask_));
  }
}

void MainWindow::ArmPauseTimer(int32_t interval_ms) {
  timer_armed_ = false;
  // Without a timer the wait would never end.
  if (!::SetTimer(hwnd_, kPauseTimerId, static_cast<UINT>(interval_ms), nullptr)) {
    throw LastOsError();
  }
  timer_armed_ = true;
  timer_interval_ms_ = interval_ms;
  timer_due_ = CounterNow() + interval_ms * CounterFrequency() / 1000;
}

void MainWindow::DisarmPauseTimer() {
  timer_armed_ = false;
  ::KillTimer(hwnd_, kPauseTimerId);
}

void MainWindow::OnPauseTimer() {
  if (!timer_armed_) return;
  const LONGLONG now = CounterNow();
  if (now < timer_due_) {
    // The system timer may fire a little early; a tick never comes before its interval.
    const LONGLONG left_ms =
        ((timer_due_ - now) * 1000 + CounterFrequency() - 1) / CounterFrequency();
    // If the timer cannot be set again, an early tick is better than none.
    if (::SetTimer(hwnd_, kPauseTimerId, static_cast<UINT>(left_ms), nullptr)) return;
  }
  timer_due_ = now + timer_interval_ms_ * CounterFrequency() / 1000;
  ::SetTimer(hwnd_, kPauseTimerId, static_cast<UINT>(timer_interval_ms_), nullptr);
  if (form_) form_->TimerPausa_Timer();
}

void MainWindow::SetPortBoxText(const std::wstring& text) {
  if (!::SetWindowTextW(port_box_, text.c_str())) throw LastOsError();
  Trace("portbox", text);
}

std::wstring MainWindow::PortBoxText() const {
  std::wstring text(static_cast<std::size_t>(::GetWindowTextLengthW(port_box_)) + 1, L'\0');
  text.resize(static_cast<std::size_t>(
      ::GetWindowTextW(port_box_, text.data(), static_cast<int>(text.size()))));
  return text;
}

void MainWindow::SetResetEnabled(bool enabled) {
  ::EnableWindow(reset_, enabled ? TRUE : FALSE);
  // A disabled button loses the focus; keep the keyboard on this window meanwhile.
  if (!enabled && ::GetFocus() == nullptr && ::GetActiveWindow() == hwnd_) ::SetFocus(hwnd_);
}

void MainWindow::FocusReset() {
  // Only from the frame (where the disabled button left it) or from nowhere: an operator who
  // tabbed to the port box meanwhile keeps it there. An inactive window gets last_focus_ back on
  // activation.
  if (::GetActiveWindow() != hwnd_) {
    if (last_focus_ == nullptr || last_focus_ == hwnd_) last_focus_ = reset_;
    return;
  }
  const HWND focus = ::GetFocus();
  if (focus == nullptr || focus == hwnd_) ::SetFocus(reset_);
}

void MainWindow::ArmDeviceSettleTimer(int32_t interval_ms) {
  if (!::SetTimer(hwnd_, kDeviceSettleTimerId, static_cast<UINT>(interval_ms), nullptr)) {
    // Without the timer the change would never be looked at: look as soon as this message
    // (sent, and its sender waiting) is answered.
    Trace("devices", L"settle timer not set: " + SystemMessage(::GetLastError()));
    ::PostMessageW(hwnd_, kDeviceSettleDue, 0, 0);
  }
}

void MainWindow::StartDeviceLook() {
  auto look = std::make_unique<DeviceLook>();
  look->window = hwnd_;
  look_lost_ = std::make_shared<std::atomic<bool>>(false);
  look->lost = look_lost_;
  // Not waited for: a look still hanging in WMI when the window closes ends with the process.
  const UniqueHandle thread(::CreateThread(nullptr, 0, DeviceLookThread, look.get(), 0, nullptr));
  if (!thread) throw LastOsError();
  look.release();
}

void MainWindow::AdapterLookDone(const std::wstring& result, const std::optional<Error>& failure) {
  if (failure) {
    Trace("devices", L"look failed, port kept: " + FatalErrorText(*failure));
  } else {
    Trace("devices", L"looked again: " + (result.empty() ? std::wstring(L"no adapter") : result));
  }
}

void MainWindow::EndProgram(int exit_status) {
  exit_status_ = exit_status;
  ::PostQuitMessage(exit_status);
}

std::wstring MainWindow::DecodeAnsi(std::string_view bytes) const {
  return AnsiText(bytes);
}

void MainWindow::ReportLineAdded(const std::wstring& line) {
  Trace("report", line);
  ::InvalidateRect(hwnd_, nullptr, FALSE);
  ::UpdateWindow(hwnd_);  // seen now, not at the next pass of the event loop
  accessibility_.LineAdded(hwnd_, line, form_ ? form_->ReportText() : line);
}

void MainWindow::CopyReport() {
  if (!form_) return;
  try {
    const std::wstring text = form_->ReportText();
    CopyTextToClipboard(hwnd_, text);
    Trace("copy", DecimalNumber(static_cast<long long>(form_->ReportLines().size())) + L" lines");
  } catch (const Error& e) {
    // Copying is a convenience: the report stays on the window.
    Trace("copy", L"failed: " + FatalErrorText(e));
    ::MessageBeep(MB_ICONWARNING);
  }
}

bool MainWindow::OnContextMenu(HWND target, LPARAM lp) {
  POINT at{GET_X_LPARAM(lp), GET_Y_LPARAM(lp)};
  // The keyboard's (-1, -1) as coordinates: on 64-bit Windows the LPARAM is not -1.
  if (at.x == -1 && at.y == -1) {
    // From the keyboard (Shift+F10, the menu key): at the top-left corner of the lines.
    at = POINT{0, 0};
    ::ClientToScreen(hwnd_, &at);
  } else if (target != hwnd_) {
    return true;  // over a control, which has its own menu or none
  } else {
    // The caption and the border keep the window menu.
    POINT client = at;
    RECT area;
    if (!::ScreenToClient(hwnd_, &client) || !::GetClientRect(hwnd_, &area) ||
        !::PtInRect(&area, client)) {
      return false;
    }
  }
  if (ChooseCopyFromMenu(hwnd_, at)) CopyReport();
  return true;
}

void MainWindow::DrawReportLines(HDC dc, const RECT& client) {
  if (!form_) return;
  // The controls' column spans from the label's top to the button's bottom.
  const ReportGeometry geometry{line_height_,
                                client.right,
                                client.bottom,
                                TwipsToPixels(kResetTwips.left, dpi_),
                                TwipsToPixels(kLabelTwips.top, dpi_),
                                TwipsToPixels(kResetTwips.top + kResetTwips.height, dpi_)};
  auto measure = [dc](std::wstring_view text) {
    SIZE size{};
    ::GetTextExtentPoint32W(dc, text.data(), static_cast<int>(text.size()), &size);
    return static_cast<int>(size.cx);
  };
  const auto& lines = form_->ReportLines();
  for (const ReportRow& row : LayoutReportRows(
           lines, [this](std::size_t i) { return form_->OwnLine(i); }, geometry, measure)) {
    ::TextOutW(dc, 0, static_cast<int>(row.slot) * line_height_, row.text.c_str(),
               static_cast<int>(row.text.size()));
  }
}

void MainWindow::ApplyDpi(UINT dpi, const RECT* suggested_window) {
  dpi_ = dpi;
  LOGFONTW lf = MessageFont(dpi);
  UniqueGdi<HFONT> font(::CreateFontIndirectW(&lf));
  if (!font) throw LastOsError();
  for (HWND control : {reset_, port_box_, label_}) {
    ::SendMessageW(control, WM_SETFONT, reinterpret_cast<WPARAM>(font.get()), TRUE);
  }
  font_ = std::move(font);

  HDC dc = ::GetDC(hwnd_);
  {
    SelectedObject selected(dc, font_.get());
    TEXTMETRICW tm{};
    ::GetTextMetricsW(dc, &tm);
    line_height_ = tm.tmHeight + tm.tmExternalLeading;
  }
  ::ReleaseDC(hwnd_, dc);

  Place(reset_, kResetTwips, dpi);
  Place(port_box_, kPortBoxTwips, dpi);
  Place(label_, kLabelTwips, dpi);

  if (suggested_window) {
    ::SetWindowPos(hwnd_, nullptr, suggested_window->left, suggested_window->top,
                   suggested_window->right - suggested_window->left,
                   suggested_window->bottom - suggested_window->top, SWP_NOZORDER | SWP_NOACTIVATE);
  } else {
    RECT r{0, 0, TwipsToPixels(kClientWidthTwips, dpi), TwipsToPixels(kClientHeightTwips, dpi)};
    const DWORD style = static_cast<DWORD>(::GetWindowLongPtrW(hwnd_, GWL_STYLE));
    const DWORD ex_style = static_cast<DWORD>(::GetWindowLongPtrW(hwnd_, GWL_EXSTYLE));
    if (!(Dpi().AdjustWindowRectExForDpi &&
          Dpi().AdjustWindowRectExForDpi(&r, style, FALSE, ex_style, dpi))) {
      ::AdjustWindowRectEx(&r, style, FALSE, ex_style);
    }
    ::SetWindowPos(hwnd_, nullptr, 0, 0, r.right - r.left, r.bottom - r.top,
                   SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
  }
  ::InvalidateRect(hwnd_, nullptr, TRUE);
}

void MainWindow::Paint() {
  const PaintScope paint(hwnd_);
  const HDC dc = paint.dc();
  RECT client;
  ::GetClientRect(hwnd_, &client);
  if (client.right > 0 && client.bottom > 0) {
    // Drawn off screen and copied in one go, so a new line does not flicker the others.
    const UniqueMemoryDc memory(::CreateCompatibleDC(dc));
    UniqueGdi<HBITMAP> bitmap(
        memory.get() ? ::CreateCompatibleBitmap(dc, client.right, client.bottom) : nullptr);
    if (bitmap) {
      SelectedObject selected_bitmap(memory.get(), bitmap.get());
      DrawReport(memory.get(), client);
      ::BitBlt(dc, 0, 0, client.right, client.bottom, memory.get(), 0, 0, SRCCOPY);
    } else {
      // No memory for the bitmap (a huge window, GDI short of it): flicker rather than leave
      // stale pixels.
      DrawReport(dc, client);
    }
  }
}

// The background and the lines, on the given device context.
void MainWindow::DrawReport(HDC dc, const RECT& client) {
  SelectedObject selected_font(dc, font_.get());
  ::FillRect(dc, &client, ::GetSysColorBrush(COLOR_BTNFACE));
  ::SetBkMode(dc, TRANSPARENT);
  ::SetTextColor(dc, ::GetSysColor(COLOR_BTNTEXT));
  DrawReportLines(dc, client);
}

template <typename Handler>
void MainWindow::Guarded(Handler&& handler) noexcept {
  try {
    handler();
  } catch (const Error& e) {
    Fail(&e);
  } catch (...) {
    Fail(nullptr);
  }
}

void MainWindow::Fail(const Error* e) noexcept {
  // One box: a handler that fails again while it is up (its loop dispatches our messages) must
  // not open another one on top, and so on until the stack runs out.
  if (failing_) return;
  failing_ = true;
  // Ended first, so that nothing of the form runs from the box's loop; the quit this posts
  // waits until the box is dismissed.
  if (form_) {
    form_->EndAfterError();
  } else {
    EndProgram(1);
  }
  try {
    ShowFatalError(
        hwnd_, e ? *e : Error(static_cast<uint32_t>(E_UNEXPECTED), SystemMessage(E_UNEXPECTED)));
  } catch (...) {
    // Not even the message could be made: end without it.
  }
}

LRESULT CALLBACK MainWindow::WindowProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
  MainWindow* self;
  if (msg == WM_NCCREATE) {
    self = static_cast<MainWindow*>(reinterpret_cast<CREATESTRUCTW*>(lp)->lpCreateParams);
    self->hwnd_ = hwnd;
    ::SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
  } else {
    self = reinterpret_cast<MainWindow*>(::GetWindowLongPtrW(hwnd, GWLP_USERDATA));
  }
  if (!self) return ::DefWindowProcW(hwnd, msg, wp, lp);
  // No exception may cross user32's frames: with the i686 toolchain's DWARF unwinding, Windows
  // ends the process without a word.
  LRESULT result = 0;
  self->Guarded([&] { result = self->OnMessage(msg, wp, lp); });
  return result;
}

LRESULT MainWindow::OnMessage(UINT msg, WPARAM wp, LPARAM lp) {
  switch (msg) {
    case WM_COMMAND:
      // Minimized or hidden, the button cannot be seen: Enter or Space reaching the window is a
      // stray key (a dialog's Enter presses the default button wherever the focus is).
      if (LOWORD(wp) == kResetId && form_ && ::IsWindowVisible(hwnd_) && !::IsIconic(hwnd_)) {
        form_->cmReset_Click();
      }
      return 0;
    case DM_GETDEFID:
      return MAKELRESULT(kResetId, DC_HASDEFID);
    case WM_TIMER:
      if (wp == kPauseTimerId) OnPauseTimer();
      if (wp == kDeviceSettleTimerId) {
        ::KillTimer(hwnd_, kDeviceSettleTimerId);
        if (form_) form_->DeviceSettleTimer_Timer();
      }
      return 0;
    case kDeviceSettleDue:
      if (form_) form_->DeviceSettleTimer_Timer();
      return 0;
    case kDeviceLookDone: {
      const std::unique_ptr<DeviceLook> look(reinterpret_cast<DeviceLook*>(lp));
      if (form_) form_->DeviceLookFinished(look->names, look->failure);
      return 0;
    }
    case WM_DEVICECHANGE:
      // A device added or removed; the queries before a change are answered by the default.
      if (form_ && (wp == DBT_DEVNODES_CHANGED || wp == DBT_DEVICEARRIVAL ||
                    wp == DBT_DEVICEREMOVECOMPLETE)) {
        Trace("devices", L"changed");
        form_->DevicesChanged();
      }
      return TRUE;
    case WM_CONTEXTMENU:
      if (OnContextMenu(reinterpret_cast<HWND>(wp), lp)) return 0;
      break;
    case WM_ERASEBKGND:
      return 1;  // Paint covers every pixel
    case WM_PAINT:
      Paint();
      return 0;
    case WM_ACTIVATE:
      // Give the focus back to the control that had it, as a dialog does.
      if (LOWORD(wp) == WA_INACTIVE) {
        // The frame itself too: it holds the keyboard while the button is disabled.
        if (HWND focus = ::GetFocus(); focus == hwnd_ || (focus && ::IsChild(hwnd_, focus))) {
          last_focus_ = focus;
        }
      } else if (HIWORD(wp) == 0 && last_focus_ && ::IsWindowEnabled(last_focus_)) {
        // Not while minimized (HIWORD): keys would reach Reset unseen. Restoring activates again.
        ::SetFocus(last_focus_);
        return 0;
      }
      break;
    case WM_DPICHANGED:
      ApplyDpi(HIWORD(wp), reinterpret_cast<const RECT*>(lp));
      return 0;
    case WM_CLOSE:
      if (form_) {
        form_->Form_Unload();
      } else {
        EndProgram(0);
      }
      return 0;
    case WM_DESTROY:
      ::PostQuitMessage(exit_status_);
      return 0;
    case WM_NCDESTROY: {
      HWND gone = std::exchange(hwnd_, nullptr);
      return ::DefWindowProcW(gone, msg, wp, lp);
    }
  }
  return ::DefWindowProcW(hwnd_, msg, wp, lp);
}

}  // namespace qm
