// Quillomarvet: puts a device on a CP210x USB-to-serial adapter back to its factory settings.
#include <windows.h>

#include <commctrl.h>  // after windows.h, which it needs

#include "app/form1.h"
#include "app/win32/main_window.h"
#include "app/win32/wmi_devices.h"
#include "serial/win32/win32_serial_port.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int show_command) {
  using namespace qm;
  try {
    ComApartment com;
    INITCOMMONCONTROLSEX controls{sizeof controls, ICC_STANDARD_CLASSES};
    ::InitCommonControlsEx(&controls);

    MainWindow window(instance);
    window.Create();
    Win32SerialPort port;
    WmiDeviceQuery devices;
    Form1 form(window, port, devices);
    window.Attach(form);
    // The form goes first; the window outlives it, and so could a message for it.
    struct Detach {
      MainWindow& window;
      ~Detach() { window.Detach(); }
    } detach{window};
    form.Form_Load();
    window.Show(show_command);
    return window.Run();
  } catch (const Error& e) {
    ShowFatalError(nullptr, e);
    return 1;
  } catch (...) {
    ShowFatalError(nullptr, Error(static_cast<uint32_t>(E_UNEXPECTED), L"Unexpected failure"));
    return 1;
  }
}
