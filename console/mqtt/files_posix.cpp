#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <climits>

#include "common/text.h"
#include "console/mqtt/files.h"
#include "serial/posix/posix_serial_port.h"

namespace qm {

FilePtr OpenToRead(const std::wstring& path) {
  FilePtr file(std::fopen(ArgumentBytes(path).c_str(), "rbe"));
  if (!file && errno != ENOENT) throw ErrnoError(errno);
  return file;
}

void ReplaceFile(const std::wstring& path, std::string_view bytes) {
  const std::string target = ArgumentBytes(path), written = target + ".new";
  UniqueFd fd(::open(written.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
  if (fd.get() < 0) throw ErrnoError(errno);
  while (!bytes.empty()) {
    const ssize_t n = ::write(fd.get(), bytes.data(), bytes.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) throw ErrnoError(n < 0 ? errno : ENOSPC);
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  // On the disk before it takes the old one's name: after a power cut the name holds the old
  // text or the new, never an empty file (a file system that cannot sync a file is let be).
  if (::fdatasync(fd.get()) != 0 && errno != EINVAL && errno != ENOTSUP) throw ErrnoError(errno);
  if (::rename(written.c_str(), target.c_str()) != 0) throw ErrnoError(errno);
}

Error SystemError(int number) {
  return ErrnoError(number);
}

std::wstring HostName() {
  char name[HOST_NAME_MAX + 1] = {};
  if (::gethostname(name, sizeof name - 1) != 0 || name[0] == '\0') return L"bench";
  return TextFromBytes(name);
}

}  // namespace qm
