// Test stand-in for WMI's locator (CLSID_WbemLocator), registered in the end-to-end tests' Wine
// prefix in place of Wine's own, whose devices are all "Wine PnP Device". It does what the tool
// asks of WMI and nothing more, as C:\qm-wmi\script.txt says, read afresh on every connection
// (and while a hang lasts, so a test can release it by rewriting the file). One line each:
//   name <text>              a device with that name (UTF-8), in the order given
//   null                     a device whose name is VT_NULL
//   id <text>                the device before it has that DeviceID (its instance ID)
//   absent                   the device before is one Windows only remembers: Present FALSE,
//                            ConfigManagerErrorCode 45, Status "Unknown" (others TRUE, 0, "OK")
//   others <n>               n devices named "Other device 1" .. "Other device <n>"
//   hang connect|next [ms]   ConnectServer, or the first Next, waits that long, or while the
//                            line is there; Next honours its own time-out (WBEM_S_TIMEDOUT)
//   timedout <n>             the first n Next calls return WBEM_S_TIMEDOUT
//   fail connect|query|next|get <hresult>
// It appends what it was given to C:\qm-wmi\calls.txt: "connect <namespace> <flags>",
// "blanket <authn> <authz> <level> <impersonation>", "query <language> <flags> <text>".
#include <windows.h>

#include <wbemidl.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <memory>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

namespace {

constexpr char kScript[] = "C:\\qm-wmi\\script.txt";
constexpr char kCalls[] = "C:\\qm-wmi\\calls.txt";

struct Script {
  std::vector<std::optional<std::wstring>> names;
  std::vector<std::wstring> ids;  // beside names; empty: none
  std::vector<bool> absent;       // beside names
  long hang_connect_ms = -1, hang_next_ms = -1;  // -1: no hang; 0: while the line is there
  long timed_out = 0;
  HRESULT fail_connect = S_OK, fail_query = S_OK, fail_next = S_OK, fail_get = S_OK;
};

std::wstring Wide(const std::string& text) {
  std::wstring wide(text.size(), L'\0');
  wide.resize(static_cast<std::size_t>(
      ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), wide.data(),
                            static_cast<int>(wide.size()))));
  return wide;
}

std::string Narrow(const wchar_t* text) {
  if (!text) return "(null)";
  std::string out(std::wcslen(text) * 3, '\0');
  out.resize(static_cast<std::size_t>(
      ::WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(std::wcslen(text)), out.data(),
                            static_cast<int>(out.size()), nullptr, nullptr)));
  return out;
}

Script ReadScript() {
  Script s;
  std::unique_ptr<FILE, int (*)(FILE*)> file(std::fopen(kScript, "rb"), std::fclose);
  char buffer[4096];
  while (file && std::fgets(buffer, sizeof buffer, file.get())) {
    std::string line(buffer);
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
    const std::size_t space = line.find(' ');
    const std::string word = line.substr(0, space);
    const std::string rest = space == std::string::npos ? "" : line.substr(space + 1);
    const char* arg = rest.c_str() + std::min(rest.find(' '), rest.size());
    const long number = std::strtol(rest.c_str(), nullptr, 0);
    const auto hr = static_cast<HRESULT>(std::strtoul(arg, nullptr, 0));
    if (word == "name") s.names.push_back(Wide(rest));
    if (word == "null") s.names.push_back(std::nullopt);
    if (word == "id" && !s.names.empty()) {
      s.ids.resize(s.names.size());
      s.ids.back() = Wide(rest);
    }
    if (word == "absent" && !s.names.empty()) {
      s.absent.resize(s.names.size());
      s.absent.back() = true;
    }
    if (word == "others") {
      for (long i = 1; i <= number; ++i) s.names.push_back(L"Other device " + std::to_wstring(i));
    }
    if (word == "hang")
      (rest.rfind("connect", 0) == 0 ? s.hang_connect_ms : s.hang_next_ms) =
          std::strtol(arg, nullptr, 10);
    if (word == "timedout") s.timed_out = number;
    if (word == "fail") {
      for (auto [step, field] : {std::pair{"connect", &s.fail_connect},
                                 {"query", &s.fail_query},
                                 {"next", &s.fail_next},
                                 {"get", &s.fail_get}}) {
        if (rest.rfind(step, 0) == 0) *field = hr;
      }
    }
  }
  return s;
}

void Record(const std::string& line) {
  std::unique_ptr<FILE, int (*)(FILE*)> file(std::fopen(kCalls, "ab"), std::fclose);
  if (file) std::fprintf(file.get(), "%s\n", line.c_str());
}

// Waits while the hang lasts (`ms` from `since`, or while the script says so when `ms` is 0),
// at most `limit` ms; whether it still lasts.
bool Hang(long Script::*which, long ms, DWORD since, DWORD limit) {
  const DWORD start = ::GetTickCount();
  for (;;) {
    const bool hanging =
        ms > 0 ? ::GetTickCount() - since < static_cast<DWORD>(ms) : ReadScript().*which >= 0;
    if (!hanging) return false;
    if (limit != INFINITE && ::GetTickCount() - start >= limit) return true;
    // Messages sent from other threads are dispatched meanwhile, as COM's wait does while a
    // single-threaded apartment calls the real WMI out of process.
    MSG message;
    ::PeekMessageW(&message, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
    ::Sleep(20);
  }
}

// Reference counting and QueryInterface for the interfaces a class lists.
template <typename... Interfaces>
class Object : public Interfaces... {
 public:
  virtual ~Object() = default;
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    *out = nullptr;
    using First = std::tuple_element_t<0, std::tuple<Interfaces...>>;
    if (IsEqualIID(iid, IID_IUnknown)) *out = static_cast<First*>(this);
    ((IsEqualIID(iid, __uuidof(Interfaces)) ? * out = static_cast<Interfaces*>(this) : nullptr),
     ...);
    if (!*out) return E_NOINTERFACE;
    AddRef();
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ::InterlockedIncrement(&refs_); }
  ULONG STDMETHODCALLTYPE Release() override {
    const LONG left = ::InterlockedDecrement(&refs_);
    if (left == 0) delete this;
    return static_cast<ULONG>(left);
  }

 private:
  LONG refs_ = 1;
};

#define UNUSED(name, ...)                                \
  HRESULT STDMETHODCALLTYPE name(__VA_ARGS__) override { \
    return WBEM_E_NOT_SUPPORTED;                         \
  }

class Device final : public Object<IWbemClassObject> {
 public:
  Device(std::optional<std::wstring> name, std::wstring id, bool absent, HRESULT fail)
      : name_(std::move(name)), id_(std::move(id)), absent_(absent), fail_(fail) {}
  HRESULT STDMETHODCALLTYPE Get(LPCWSTR property, LONG, VARIANT* value, CIMTYPE*, LONG*) override {
    if (FAILED(fail_)) return fail_;
    ::VariantInit(value);
    if (property && std::wcscmp(property, L"Present") == 0) {
      value->vt = VT_BOOL;
      value->boolVal = absent_ ? VARIANT_FALSE : VARIANT_TRUE;
      return S_OK;
    }
    if (property && std::wcscmp(property, L"ConfigManagerErrorCode") == 0) {
      value->vt = VT_I4;  // CIM_UINT32 comes as VT_I4
      value->lVal = absent_ ? 45 : 0;
      return S_OK;
    }
    if (property && std::wcscmp(property, L"Status") == 0) {
      value->vt = VT_BSTR;
      value->bstrVal = ::SysAllocString(absent_ ? L"Unknown" : L"OK");
      return S_OK;
    }
    const bool id = property && std::wcscmp(property, L"DeviceID") == 0;
    if (!id && (!property || std::wcscmp(property, L"Name") != 0)) return WBEM_E_NOT_FOUND;
    const std::optional<std::wstring>& text = id ? std::optional(id_) : name_;
    value->vt = text ? VT_BSTR : VT_NULL;
    if (text) value->bstrVal = ::SysAllocStringLen(text->data(), text->size());
    return S_OK;
  }
  UNUSED(GetQualifierSet, IWbemQualifierSet**)
  UNUSED(Put, LPCWSTR, LONG, VARIANT*, CIMTYPE)
  UNUSED(Delete, LPCWSTR)
  UNUSED(GetNames, LPCWSTR, LONG, VARIANT*, SAFEARRAY**)
  UNUSED(BeginEnumeration, LONG)
  UNUSED(Next, LONG, BSTR*, VARIANT*, CIMTYPE*, LONG*)
  UNUSED(EndEnumeration)
  UNUSED(GetPropertyQualifierSet, LPCWSTR, IWbemQualifierSet**)
  UNUSED(Clone, IWbemClassObject**)
  UNUSED(GetObjectText, LONG, BSTR*)
  UNUSED(SpawnDerivedClass, LONG, IWbemClassObject**)
  UNUSED(SpawnInstance, LONG, IWbemClassObject**)
  UNUSED(CompareTo, LONG, IWbemClassObject*)
  UNUSED(GetPropertyOrigin, LPCWSTR, BSTR*)
  UNUSED(InheritsFrom, LPCWSTR)
  UNUSED(GetMethod, LPCWSTR, LONG, IWbemClassObject**, IWbemClassObject**)
  UNUSED(PutMethod, LPCWSTR, LONG, IWbemClassObject*, IWbemClassObject*)
  UNUSED(DeleteMethod, LPCWSTR)
  UNUSED(BeginMethodEnumeration, LONG)
  UNUSED(NextMethod, LONG, BSTR*, IWbemClassObject**, IWbemClassObject**)
  UNUSED(EndMethodEnumeration)
  UNUSED(GetMethodQualifierSet, LPCWSTR, IWbemQualifierSet**)
  UNUSED(GetMethodOrigin, LPCWSTR, BSTR*)

 private:
  std::optional<std::wstring> name_;
  std::wstring id_;
  bool absent_;
  HRESULT fail_;
};

class Devices final : public Object<IEnumWbemClassObject> {
 public:
  explicit Devices(Script script) : s_(std::move(script)) {}
  HRESULT STDMETHODCALLTYPE Next(LONG timeout, ULONG count, IWbemClassObject** out,
                                 ULONG* returned) override {
    *returned = 0;
    if (FAILED(s_.fail_next)) return s_.fail_next;
    if (s_.hang_next_ms >= 0) {
      if (!hang_since_) hang_since_ = ::GetTickCount();
      const DWORD limit = timeout < 0 ? INFINITE : static_cast<DWORD>(timeout);
      if (Hang(&Script::hang_next_ms, s_.hang_next_ms, *hang_since_, limit)) {
        return WBEM_S_TIMEDOUT;
      }
      s_.hang_next_ms = -1;
    }
    if (s_.timed_out > 0) {
      --s_.timed_out;
      return WBEM_S_TIMEDOUT;
    }
    for (; *returned < count && next_ < s_.names.size(); ++*returned, ++next_) {
      out[*returned] = new Device(s_.names[next_], next_ < s_.ids.size() ? s_.ids[next_] : L"",
                                  next_ < s_.absent.size() && s_.absent[next_], s_.fail_get);
    }
    return *returned == count ? WBEM_S_NO_ERROR : WBEM_S_FALSE;
  }
  UNUSED(Reset)
  UNUSED(NextAsync, ULONG, IWbemObjectSink*)
  UNUSED(Clone, IEnumWbemClassObject**)
  UNUSED(Skip, LONG, ULONG)

 private:
  Script s_;
  std::size_t next_ = 0;
  std::optional<DWORD> hang_since_;
};

class Services final : public Object<IWbemServices, IClientSecurity> {
 public:
  explicit Services(Script script) : s_(std::move(script)) {}
  HRESULT STDMETHODCALLTYPE ExecQuery(const BSTR language, const BSTR query, LONG flags,
                                      IWbemContext*, IEnumWbemClassObject** out) override {
    char hex[16];
    std::snprintf(hex, sizeof hex, "0x%lx", static_cast<unsigned long>(flags));
    Record("query " + Narrow(language) + " " + hex + " " + Narrow(query));
    *out = nullptr;
    if (FAILED(s_.fail_query)) return s_.fail_query;
    *out = new Devices(s_);
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE SetBlanket(IUnknown*, DWORD authn, DWORD authz, OLECHAR*, DWORD level,
                                       DWORD impersonation, void*, DWORD) override {
    Record("blanket " + std::to_string(authn) + " " + std::to_string(authz) + " " +
           std::to_string(level) + " " + std::to_string(impersonation));
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE QueryBlanket(IUnknown*, DWORD*, DWORD*, OLECHAR**, DWORD*, DWORD*,
                                         void**, DWORD*) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE CopyProxy(IUnknown*, IUnknown**) override { return E_NOTIMPL; }
  UNUSED(OpenNamespace, const BSTR, LONG, IWbemContext*, IWbemServices**, IWbemCallResult**)
  UNUSED(CancelAsyncCall, IWbemObjectSink*)
  UNUSED(QueryObjectSink, LONG, IWbemObjectSink**)
  UNUSED(GetObject, const BSTR, LONG, IWbemContext*, IWbemClassObject**, IWbemCallResult**)
  UNUSED(GetObjectAsync, const BSTR, LONG, IWbemContext*, IWbemObjectSink*)
  UNUSED(PutClass, IWbemClassObject*, LONG, IWbemContext*, IWbemCallResult**)
  UNUSED(PutClassAsync, IWbemClassObject*, LONG, IWbemContext*, IWbemObjectSink*)
  UNUSED(DeleteClass, const BSTR, LONG, IWbemContext*, IWbemCallResult**)
  UNUSED(DeleteClassAsync, const BSTR, LONG, IWbemContext*, IWbemObjectSink*)
  UNUSED(CreateClassEnum, const BSTR, LONG, IWbemContext*, IEnumWbemClassObject**)
  UNUSED(CreateClassEnumAsync, const BSTR, LONG, IWbemContext*, IWbemObjectSink*)
  UNUSED(PutInstance, IWbemClassObject*, LONG, IWbemContext*, IWbemCallResult**)
  UNUSED(PutInstanceAsync, IWbemClassObject*, LONG, IWbemContext*, IWbemObjectSink*)
  UNUSED(DeleteInstance, const BSTR, LONG, IWbemContext*, IWbemCallResult**)
  UNUSED(DeleteInstanceAsync, const BSTR, LONG, IWbemContext*, IWbemObjectSink*)
  UNUSED(CreateInstanceEnum, const BSTR, LONG, IWbemContext*, IEnumWbemClassObject**)
  UNUSED(CreateInstanceEnumAsync, const BSTR, LONG, IWbemContext*, IWbemObjectSink*)
  UNUSED(ExecQueryAsync, const BSTR, const BSTR, LONG, IWbemContext*, IWbemObjectSink*)
  UNUSED(ExecNotificationQuery, const BSTR, const BSTR, LONG, IWbemContext*, IEnumWbemClassObject**)
  UNUSED(ExecNotificationQueryAsync, const BSTR, const BSTR, LONG, IWbemContext*, IWbemObjectSink*)
  UNUSED(ExecMethod, const BSTR, const BSTR, LONG, IWbemContext*, IWbemClassObject*,
         IWbemClassObject**, IWbemCallResult**)
  UNUSED(ExecMethodAsync, const BSTR, const BSTR, LONG, IWbemContext*, IWbemClassObject*,
         IWbemObjectSink*)

 private:
  Script s_;
};

class Locator final : public Object<IWbemLocator> {
 public:
  HRESULT STDMETHODCALLTYPE ConnectServer(const BSTR name, const BSTR, const BSTR, const BSTR,
                                          LONG flags, const BSTR, IWbemContext*,
                                          IWbemServices** out) override {
    char hex[16];
    std::snprintf(hex, sizeof hex, "0x%lx", static_cast<unsigned long>(flags));
    Record("connect " + Narrow(name) + " " + hex);
    *out = nullptr;
    const Script s = ReadScript();
    if (s.hang_connect_ms >= 0) {
      Hang(&Script::hang_connect_ms, s.hang_connect_ms, ::GetTickCount(), INFINITE);
    }
    if (FAILED(s.fail_connect)) return s.fail_connect;
    *out = new Services(s);
    return S_OK;
  }
};

class Factory final : public Object<IClassFactory> {
 public:
  HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID iid, void** out) override {
    *out = nullptr;
    if (outer) return CLASS_E_NOAGGREGATION;
    Locator* locator = new Locator;
    const HRESULT hr = locator->QueryInterface(iid, out);
    locator->Release();
    return hr;
  }
  HRESULT STDMETHODCALLTYPE LockServer(BOOL) override { return S_OK; }
};

}  // namespace

extern "C" __declspec(dllexport) HRESULT STDAPICALLTYPE
    DllGetClassObject(REFCLSID clsid, REFIID iid, void** out) {
  *out = nullptr;
  if (!IsEqualCLSID(clsid, CLSID_WbemLocator)) return CLASS_E_CLASSNOTAVAILABLE;
  Factory* factory = new Factory;
  const HRESULT hr = factory->QueryInterface(iid, out);
  factory->Release();
  return hr;
}

// Never unloaded while the tool runs: a look still hanging in it when the window closes must
// not find its code gone.
extern "C" __declspec(dllexport) HRESULT STDAPICALLTYPE DllCanUnloadNow() {
  return S_FALSE;
}
