#include "app/win32/wmi_devices.h"

#include <objbase.h>
#include <oleauto.h>
#include <wbemidl.h>
#include <wrl/client.h>

#include "app/device_walk.h"
#include "common/win32/bstr.h"
#include "common/win32/os_error.h"
#include "common/win32/trace.h"

namespace qm {

namespace {

using Microsoft::WRL::ComPtr;

void Check(HRESULT hr) {
  if (FAILED(hr)) throw HresultError(hr);
}

// Owns a VARIANT.
class Variant {
 public:
  Variant() { ::VariantInit(&v_); }
  Variant(const Variant&) = delete;
  Variant& operator=(const Variant&) = delete;
  ~Variant() { ::VariantClear(&v_); }
  VARIANT* operator&() { return &v_; }
  const VARIANT& get() const { return v_; }

 private:
  VARIANT v_;
};

// A property as `type`, converted as VARIANTs convert; false where it is missing (older
// classes), null, or cannot be had as that type.
bool PropertyAs(IWbemClassObject* device, const wchar_t* name, VARTYPE type, Variant& out) {
  Variant value;
  return SUCCEEDED(device->Get(name, 0, &value, nullptr, nullptr)) && value.get().vt != VT_NULL &&
         SUCCEEDED(::VariantChangeType(&out, &value, 0, type));
}

std::optional<bool> BoolProperty(IWbemClassObject* device, const wchar_t* name) {
  Variant value;
  if (!PropertyAs(device, name, VT_BOOL, value)) return std::nullopt;
  return value.get().boolVal != VARIANT_FALSE;
}

std::optional<int64_t> IntegerProperty(IWbemClassObject* device, const wchar_t* name) {
  Variant value;
  if (!PropertyAs(device, name, VT_I8, value)) return std::nullopt;
  return value.get().llVal;
}

}  // namespace

ComApartment::ComApartment(bool single_threaded) {
  Check(::CoInitializeEx(nullptr,
                         (single_threaded ? COINIT_APARTMENTTHREADED : COINIT_MULTITHREADED) |
                             COINIT_DISABLE_OLE1DDE));
  // Process-wide security for the WMI calls. Someone (a shell extension, say) may have set it
  // already; then the existing setting serves.
  const HRESULT hr =
      ::CoInitializeSecurity(nullptr, -1, nullptr, nullptr, RPC_C_AUTHN_LEVEL_DEFAULT,
                             RPC_C_IMP_LEVEL_IMPERSONATE, nullptr, EOAC_NONE, nullptr);
  if (FAILED(hr) && hr != RPC_E_TOO_LATE) {
    ::CoUninitialize();
    throw HresultError(hr);
  }
}

ComApartment::~ComApartment() {
  ::CoUninitialize();
}

std::vector<std::optional<std::wstring>> WmiDeviceQuery::PnPDeviceNames() {
  std::vector<std::optional<std::wstring>> names;
  for (Device& device : Walk(false)) names.push_back(std::move(device.name));
  return names;
}

std::vector<WmiDeviceQuery::Device> WmiDeviceQuery::PnPDevices() {
  return Walk(true);
}

std::vector<WmiDeviceQuery::Device> WmiDeviceQuery::Walk(bool with_ids) {
  LARGE_INTEGER start, end, frequency;
  ::QueryPerformanceCounter(&start);

  ComPtr<IWbemLocator> locator;
  Check(
      ::CoCreateInstance(CLSID_WbemLocator, nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(&locator)));
  ComPtr<IWbemServices> services;
  // A hung WMI service would otherwise keep the window from ever appearing: the connection
  // gives up after two minutes, and each call of the walk below after a few seconds.
  Check(locator->ConnectServer(Bstr(L"\\\\.\\root\\CIMV2").get(), nullptr, nullptr, nullptr,
                               WBEM_FLAG_CONNECT_USE_MAX_WAIT, nullptr, nullptr, &services));
  Check(::CoSetProxyBlanket(services.Get(), RPC_C_AUTHN_WINNT, RPC_C_AUTHZ_NONE, nullptr,
                            RPC_C_AUTHN_LEVEL_CALL, RPC_C_IMP_LEVEL_IMPERSONATE, nullptr,
                            EOAC_NONE));
  // Forward-only and semi-synchronous: the first devices come while WMI is still finding the
  // rest, and nothing is kept for a second walk.
  ComPtr<IEnumWbemClassObject> devices;
  Check(services->ExecQuery(Bstr(L"WQL").get(), Bstr(L"SELECT * FROM Win32_PnPEntity").get(),
                            WBEM_FLAG_FORWARD_ONLY | WBEM_FLAG_RETURN_IMMEDIATELY, nullptr,
                            &devices));

  std::vector<Device> names;
  DeviceWalk walk;
  for (;;) {
    ComPtr<IWbemClassObject> device;
    ULONG returned = 0;
    const HRESULT hr = devices->Next(kNextWaitMs, 1, &device, &returned);
    const DeviceWalk::Step step = walk.Next(static_cast<uint32_t>(hr), returned);
    if (step == DeviceWalk::Step::kFailed) throw HresultError(hr);
    if (step == DeviceWalk::Step::kEnd) break;
    if (step == DeviceWalk::Step::kWaitAgain) continue;
    // An adapter Windows only remembers (plugged in once elsewhere) has no port to open now.
    if (!DeviceConnected(BoolProperty(device.Get(), L"Present"),
                         IntegerProperty(device.Get(), L"ConfigManagerErrorCode"))) {
      continue;
    }
    Variant name;
    Check(device->Get(L"Name", 0, &name, nullptr, nullptr));
    const VARIANT& v = name.get();
    if (v.vt == VT_BSTR && v.bstrVal) {
      names.push_back({std::wstring(v.bstrVal, ::SysStringLen(v.bstrVal)), L""});
    } else if (v.vt == VT_NULL || v.vt == VT_EMPTY) {
      names.push_back({std::nullopt, L""});
    } else {
      throw HresultError(DISP_E_TYPEMISMATCH);
    }
    // The instance ID only tells which device it was: without it the device is still listed.
    Variant id;
    if (with_ids && SUCCEEDED(device->Get(L"DeviceID", 0, &id, nullptr, nullptr)) &&
        id.get().vt == VT_BSTR && id.get().bstrVal) {
      names.back().instance_id.assign(id.get().bstrVal, ::SysStringLen(id.get().bstrVal));
    }
  }

  ::QueryPerformanceCounter(&end);
  ::QueryPerformanceFrequency(&frequency);
  Trace("devices", DecimalNumber(static_cast<long long>(names.size())) + L" devices in " +
                       DecimalNumber((end.QuadPart - start.QuadPart) * 1000 / frequency.QuadPart) +
                       L" ms");
  return names;
}

}  // namespace qm
