#include "common/win32/os_error.h"

#include "common/win32/unique.h"

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

// WMI's message table, in the system folder's wbem subfolder. By full path: a bare name is not
// looked for there, and is looked for in the program's own folder first. (For a 32-bit program
// on 64-bit Windows the system folder is redirected to SysWOW64, where the 32-bit copy lives.)
UniqueModule WmiMessages() {
  wchar_t folder[MAX_PATH];
  const UINT length = ::GetSystemDirectoryW(folder, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return UniqueModule();
  const std::wstring path = std::wstring(folder, length) + L"\\wbem\\wmiutils.dll";
  return UniqueModule(::LoadLibraryExW(path.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE));
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
    if (const UniqueModule wmi = WmiMessages()) {
      text = FormatFrom(FORMAT_MESSAGE_FROM_HMODULE, wmi.get(), code);
    }
  }
  if (text.empty()) text = SystemMessage(code);
  return Error(code, text);
}

}  // namespace qm
