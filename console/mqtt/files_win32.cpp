#include <windows.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "common/text.h"
#include "common/win32/os_error.h"
#include "common/win32/unique.h"
// windows.h names ReplaceFileW so; here it is the one of files.h.
#undef ReplaceFile
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

void ReplaceFile(const std::wstring& path, std::string_view bytes) {
  // Written and on the disk beside it, then moved over it: a reader (or the next start after a
  // power cut) finds the old text or the new, never a part.
  const std::wstring written = path + L".new";
  {
    UniqueHandle file(::CreateFileW(written.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) throw LastOsError();
    DWORD done = 0;
    if (!::WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &done, nullptr)) {
      throw LastOsError();
    }
    if (done != bytes.size()) throw OsError(ERROR_HANDLE_DISK_FULL);
    if (!::FlushFileBuffers(file.get())) throw LastOsError();
  }
  if (!::MoveFileExW(written.c_str(), path.c_str(),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    throw LastOsError();
  }
}

Error SystemError(int number) {
  // libmosquitto puts WSAGetLastError() there after a socket call; a C library number is small.
  if (number >= WSABASEERR) return OsError(static_cast<DWORD>(number));
  return Error(static_cast<uint32_t>(number), TextFromBytes(std::strerror(number)));
}

std::wstring HostName() {
  wchar_t name[MAX_COMPUTERNAME_LENGTH + 1] = {};
  DWORD size = MAX_COMPUTERNAME_LENGTH + 1;
  if (!::GetComputerNameW(name, &size) || size == 0) return L"bench";
  return std::wstring(name, size);
}

}  // namespace qm
