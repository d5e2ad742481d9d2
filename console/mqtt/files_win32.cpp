#include <windows.h>

#include <cerrno>
#include <cstdio>

#include "common/win32/os_error.h"
#include "common/win32/unique.h"
#include "console/mqtt/files.h"

namespace qm {

FilePtr OpenToRead(const std::wstring& path) {
  FilePtr file(::_wfopen(path.c_str(), L"rb"));
  if (!file) {
    const DWORD error = ::GetLastError();
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return nullptr;
    throw OsError(error);
  }
  return file;
}

bool ReadLine(std::FILE* file, std::string& line) {
  line.clear();
  char buffer[4096];
  while (std::fgets(buffer, sizeof buffer, file)) {
    line += buffer;
    if (!line.empty() && line.back() == '\n') {
      line.pop_back();
      if (!line.empty() && line.back() == '\r') line.pop_back();
      return true;
    }
  }
  return !line.empty();
}

void ReplaceFile(const std::wstring& path, std::string_view bytes) {
  const std::wstring written = path + L".new";
  {
    HANDLE opened = ::CreateFileW(written.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
    if (opened == INVALID_HANDLE_VALUE) throw LastOsError();
    UniqueHandle file(opened);
    DWORD done = 0;
    if (!::WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &done, nullptr)) {
      throw LastOsError();
    }
    if (done != bytes.size()) throw OsError(ERROR_HANDLE_DISK_FULL);
  }
  if (!::MoveFileExW(written.c_str(), path.c_str(),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    throw LastOsError();
  }
}

std::wstring HostName() {
  wchar_t name[MAX_COMPUTERNAME_LENGTH + 1] = {};
  DWORD size = MAX_COMPUTERNAME_LENGTH + 1;
  if (!::GetComputerNameW(name, &size) || size == 0) return L"bench";
  return std::wstring(name, size);
}

}  // namespace qm
