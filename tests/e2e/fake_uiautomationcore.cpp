// Test stand-in for UIAutomationCore.dll under Wine, whose own has no UiaRaiseNotificationEvent:
// tells the end-to-end harness, through OutputDebugString as the tool's traces do, every
// notification the tool raises ("Quillomarvet: spoken: <kind> <processing> <text>").
#include <windows.h>

#include <oleauto.h>

#include <string>

namespace {

// The one provider handed out; it lives as long as the DLL.
struct Provider final : IUnknown {
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    *out = IsEqualIID(iid, IID_IUnknown) ? this : nullptr;
    return *out ? S_OK : E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
  ULONG STDMETHODCALLTYPE Release() override { return 1; }
};
Provider provider;
HWND provided_for = nullptr;

// Printable ASCII as it is, "\\" for a backslash, "\uXXXX" for anything else: the tool's own.
std::string Escaped(const wchar_t* text, UINT length) {
  static const char hex[] = "0123456789ABCDEF";
  std::string out;
  for (UINT i = 0; i < length; ++i) {
    const unsigned c = text[i];
    if (c == L'\\') {
      out += "\\\\";
    } else if (c >= 0x20 && c < 0x7F) {
      out += static_cast<char>(c);
    } else {
      out += "\\u";
      for (int shift = 12; shift >= 0; shift -= 4) out += hex[(c >> shift) & 0xF];
    }
  }
  return out;
}

}  // namespace

// Let go by FreeLibrary (reserved is NULL), not by the process's end: a screen reader that still
// holds the provider would call into code that is gone.
BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID reserved) {
  if (reason == DLL_PROCESS_DETACH && !reserved) {
    OutputDebugStringA("Quillomarvet: unloaded: UIAutomationCore.dll\n");
  }
  return TRUE;
}

extern "C" __declspec(dllexport) HRESULT WINAPI UiaHostProviderFromHwnd(HWND hwnd, IUnknown** out) {
  if (!out) return E_INVALIDARG;
  provided_for = hwnd;
  *out = &provider;
  return S_OK;
}

extern "C" __declspec(dllexport) HRESULT WINAPI UiaDisconnectAllProviders() {
  OutputDebugStringA("Quillomarvet: disconnect: all providers\n");
  return S_OK;
}

extern "C" __declspec(dllexport) HRESULT WINAPI
    UiaRaiseNotificationEvent(IUnknown* raised_on, int kind, int processing, BSTR text,
                              BSTR activity) {
  if (raised_on != &provider || !text || !activity) return E_INVALIDARG;
  const char* window = ::IsWindow(provided_for) ? "window" : "no-window";
  const std::string line = std::string("Quillomarvet: spoken: ") + window + " " +
                           std::to_string(kind) + " " + std::to_string(processing) + " " +
                           Escaped(text, SysStringLen(text)) + "\n";
  OutputDebugStringA(line.c_str());
  return S_OK;
}
