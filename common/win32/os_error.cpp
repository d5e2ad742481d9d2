#include "common/win32/os_error.h"

namespace qm {

namespace {

std::wstring FormatFrom(DWORD flags, HMODULE module, DWORD code) {
  wchar_t* buffer = nullptr;
  const DWORD length =
      ::FormatMessageW(flags | FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS,
                       module, code, 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
  std::wstring text;
  if (length != 0 && buffer) text.assign(buffer, length);
  if (buffer) ::LocalFree(buffer);
  while (!text.empty() && (text.back() == L'\r' || text.back() == L'\n' || text.back() == L' ')) {
    text.pop_back();
  }
  return text;
}

}  // namespace

std::wstring SystemMessage(DWORD code) {
  std::wstring text = FormatFrom(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, code);
  if (text.empty()) {
    text = L"Unknown error " + HexNumber(code);
  }
  return text;
}

Error OsError(DWORD code) {
  return Error(code, SystemMessage(code));
}

Error LastOsError() {
  return OsError(::GetLastError());
}

Error HresultError(HRESULT hr) {
  const DWORD code = static_cast<DWORD>(hr);
  std::wstring text = FormatFrom(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, code);
  if (text.empty()) {
    // WBEM_E_* codes live in WMI's own message table.
    if (HMODULE wmi = ::LoadLibraryExW(L"wmiutils.dll", nullptr, LOAD_LIBRARY_AS_DATAFILE)) {
      text = FormatFrom(FORMAT_MESSAGE_FROM_HMODULE, wmi, code);
      ::FreeLibrary(wmi);
    }
  }
  if (text.empty()) text = SystemMessage(code);
  return Error(code, text);
}

}  // namespace qm
