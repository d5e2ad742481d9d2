#include "serial/posix/posix_serial_port.h"

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <vector>

#include "common/text.h"

namespace qm {

namespace {

// A write gives up after this, so a stuck port cannot hang the program.
constexpr int kWriteTimeoutConstantMs = 500;
constexpr int kWriteTimeoutPerByteMs = 2;

void Check(int result) {
  if (result < 0) throw ErrnoError(errno);
}

void ConfigureLine(int fd) {
  termios tio{};
  Check(::tcgetattr(fd, &tio));
  // Every setting is made: a port keeps what a previous program left behind, XON/XOFF among them.
  ::cfmakeraw(&tio);
  tio.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY | INPCK | ISTRIP);
  tio.c_iflag |= IGNBRK;
  tio.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | CSTOPB | CRTSCTS);
  tio.c_cflag |= CS8 | CLOCAL | CREAD;
  tio.c_cc[VMIN] = 0;  // reads return at once with what is there
  tio.c_cc[VTIME] = 0;
  Check(::cfsetispeed(&tio, B57600));
  Check(::cfsetospeed(&tio, B57600));
  Check(::tcsetattr(fd, TCSANOW, &tio));
}

// Low, as boards that wire DTR or RTS to their reset line expect of a terminal at rest. This
// cannot spare such a board a pulse: the kernel raises both lines as it opens a tty whose speed
// is not 0, before any program can act. A pseudo-terminal has no modem lines and refuses the
// request; that is no reason to fail.
void LowerModemLines(int fd) {
  int lines = TIOCM_DTR | TIOCM_RTS;
  if (::ioctl(fd, TIOCMBIC, &lines) < 0 && errno != ENOTTY && errno != EINVAL) {
    throw ErrnoError(errno);
  }
}

// Devices that are terminals but no serial port: writing the command there would type it into
// a user's session (and a program that reconfigures them leaves it unusable).
constexpr unsigned kTtyMajor = 4;         // tty0 to tty63 are virtual consoles; ttyS* follow
constexpr unsigned kVirtualConsoles = 64;
constexpr unsigned kTtyAuxMajor = 5;      // 5:0 is /dev/tty, 5:1 /dev/console

// Whether the character device `device` is a terminal, asked before it is opened: opening some
// devices does harm by itself (a watchdog starts counting down). Sysfs names a device's
// subsystem; a pseudo-terminal has no entry there, but its driver is in /proc/tty/drivers. When
// neither can be read, the checks made once it is open decide.
bool MayBeTerminal(dev_t device) {
  const std::string entry =
      "/sys/dev/char/" + std::to_string(major(device)) + ":" + std::to_string(minor(device));
  char target[PATH_MAX];
  const ssize_t length = ::readlink((entry + "/subsystem").c_str(), target, sizeof target - 1);
  if (length > 0) {
    const std::string_view subsystem(target, static_cast<std::size_t>(length));
    return subsystem.substr(subsystem.rfind('/') + 1) == "tty";
  }
  std::ifstream drivers("/proc/tty/drivers");
  if (!drivers) return true;
  // "pty_slave  /dev/pts  136 0-1048575 pty:slave": name, node, major, minors, type
  std::string name, node, minors, type;
  unsigned driver_major = 0;
  while (drivers >> name >> node >> driver_major >> minors >> type) {
    unsigned first = 0, last = 0;
    const int read = std::sscanf(minors.c_str(), "%u-%u", &first, &last);
    if (read < 2) last = first;
    if (read >= 1 && driver_major == major(device) && minor(device) >= first &&
        minor(device) <= last) {
      return true;
    }
  }
  return false;
}

// /dev/console and the ttys behind it ("ttyS0 tty0"): the kernel writes its messages there, and
// a login prompt often waits on them.
bool IsSystemConsole(dev_t device) {
  const auto is = [device](const std::string& name) {
    struct stat st {};
    return ::stat(("/dev/" + name).c_str(), &st) == 0 && S_ISCHR(st.st_mode) &&
           st.st_rdev == device;
  };
  if (major(device) == kTtyAuxMajor && minor(device) == 1) return true;
  if (is("console")) return true;
  std::ifstream active("/sys/class/tty/console/active");
  std::string name;
  while (active >> name) {
    if (is(name)) return true;
  }
  return false;
}

// Whether `device` is where standard input, output or error goes: the terminal this program
// prints on, also when it runs in a session of its own (setsid, a service manager).
bool IsStandardStream(dev_t device) {
  for (int fd = 0; fd <= 2; ++fd) {
    struct stat st {};
    if (::fstat(fd, &st) == 0 && S_ISCHR(st.st_mode) && st.st_rdev == device) return true;
  }
  return false;
}

// Why the terminal `device` is not to be used as a serial port, from its numbers alone, so that
// it is known before the device is opened (opening a virtual console that is not allocated
// allocates it); empty when nothing here speaks against it.
std::wstring RefusalOf(dev_t device) {
  const unsigned major_number = major(device), minor_number = minor(device);
  if ((major_number == kTtyAuxMajor && minor_number == 0) || IsStandardStream(device)) {
    return L"the terminal this program runs in, not a serial port";
  }
  if (IsSystemConsole(device)) return L"the system console, not a serial port";
  if (major_number == kTtyMajor && minor_number < kVirtualConsoles) {
    return L"a virtual console, not a serial port";
  }
  return {};
}

// Why the device open on `fd` is not to be used as a serial port; empty when it may be.
std::wstring Refusal(int fd) {
  struct stat st {};
  if (::fstat(fd, &st) != 0) throw ErrnoError(errno);
  termios settings{};  // (not isatty: umockdev's stand-in devices answer it falsely)
  if (!S_ISCHR(st.st_mode) || ::tcgetattr(fd, &settings) != 0) return L"not a serial port";
  if (::tcgetsid(fd) == ::getsid(0)) return L"the terminal this program runs in, not a serial port";
  return RefusalOf(st.st_rdev);
}

// Output still queued when the port closes: given time to go out at this line's speed (ten line
// ends take about 5 ms), but a port that does not drain (a device gone, a line held) is flushed
// rather than waited on.
void DrainOutput(int fd) {
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + std::chrono::milliseconds(kWriteTimeoutConstantMs);
  int queued = 0;
  while (::ioctl(fd, TIOCOUTQ, &queued) == 0 && queued > 0 && Clock::now() < deadline) {
    ::usleep(1000);
  }
  ::tcflush(fd, TCOFLUSH);
}

// The group a user joins to be let into `path`: its owning group, when that is not root's and
// may read and write the device. Empty when joining a group would not help.
std::string GroupToJoin(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0 || !S_ISCHR(st.st_mode) || st.st_gid == 0) return {};
  if ((st.st_mode & (S_IRGRP | S_IWGRP)) != (S_IRGRP | S_IWGRP)) return {};
  // The reentrant form: with --all, several ports may fail at once.
  group entry{};
  group* found = nullptr;
  std::vector<char> buffer(16384);
  if (::getgrgid_r(st.st_gid, &entry, buffer.data(), buffer.size(), &found) != 0 || !found) {
    return {};
  }
  return found->gr_name;
}

}  // namespace

void UniqueFd::reset(int fd) {
  if (fd_ >= 0) ::close(fd_);
  fd_ = fd;
}

std::wstring ErrnoText(int number) {
  char buffer[256] = {};
  // The GNU strerror_r returns its text; the XSI one fills the buffer.
#if defined(__GLIBC__) && defined(_GNU_SOURCE)
  const char* text = ::strerror_r(number, buffer, sizeof buffer);
#else
  const char* text = ::strerror_r(number, buffer, sizeof buffer) == 0 ? buffer : "";
#endif
  return TextFromBytes(text);
}

Error ErrnoError(int number) {
  return Error(static_cast<uint32_t>(number), ErrnoText(number));
}

std::wstring PosixSerialPort::PortName() const {
  return ReadableText(PortPath());
}

std::wstring PosixSerialPort::PortPath() const {
  return ArgumentText(path_);
}

void PosixSerialPort::Open() {
  if (fd_) throw Error(kErrPortAlreadyOpen, L"Port already open");
  struct stat st {};
  if (::stat(path_.c_str(), &st) == 0) {  // what can be told now is not even opened
    if (!S_ISCHR(st.st_mode) || !MayBeTerminal(st.st_rdev)) {
      throw Error(kErrNotSerialPort, L"not a serial port");
    }
    if (std::wstring refusal = RefusalOf(st.st_rdev); !refusal.empty()) {
      throw Error(kErrNotSerialPort, std::move(refusal));
    }
  }
  UniqueFd fd(::open(path_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
  if (!fd) throw ErrnoError(errno);
  // Before anything is changed on it.
  if (std::wstring refusal = Refusal(fd.get()); !refusal.empty()) {
    throw Error(kErrNotSerialPort, std::move(refusal));
  }
  // flock keeps out every other program that asks (this one included, whoever runs it);
  // TIOCEXCL also keeps out those that do not ask, unless they run as root.
  if (::flock(fd.get(), LOCK_EX | LOCK_NB) < 0)
    throw ErrnoError(errno == EWOULDBLOCK ? EBUSY : errno);
  Check(::tcgetattr(fd.get(), &saved_));
  // (umockdev's stand-in devices refuse it: flock still holds.)
  if (::ioctl(fd.get(), TIOCEXCL) < 0 && errno != ENOTTY && errno != EINVAL) {
    throw ErrnoError(errno);
  }
  // From here on the port is changed: Close puts it back, also when the set-up fails.
  fd_ = std::move(fd);
  try {
    ConfigureLine(fd_.get());
    // Only once the port is surely ours (another program's board must not be reset by a failed
    // open), and after the speed is set: leaving a speed of 0 raises them again on some drivers.
    LowerModemLines(fd_.get());
    ::tcflush(fd_.get(), TCIOFLUSH);
  } catch (...) {
    Close();
    throw;
  }
}

void PosixSerialPort::Close() {
  if (!fd_) return;
  DrainOutput(fd_.get());
  // What the previous program left, for the next one (a pseudo-terminal in cooked mode stays
  // usable); and the exclusive mode, which outlives this descriptor while another one is open
  // on the device (a pseudo-terminal's other side).
  ::tcsetattr(fd_.get(), TCSANOW, &saved_);
  ::ioctl(fd_.get(), TIOCNXCL);
  fd_.reset();
}

std::wstring PosixSerialPort::OpenFailureReason(const Error& e) const {
  switch (e.Number()) {
    case ENOENT:
    case ENODEV:
    case ENXIO:
    case ENOTDIR:
      return L"no such port";
    case EBUSY:
      return L"port in use by another program";
    case EISDIR:
    case ENOTTY:
      return L"not a serial port";
    case kErrNotSerialPort:
      return e.Description();
    case EACCES:
    case EPERM: {
      const std::string group = GroupToJoin(path_);
      if (group.empty()) return L"permission denied";
      return L"permission denied (join the group " + TextFromBytes(group) + L" that owns " +
             PortName() + L", e.g. sudo usermod -aG " + TextFromBytes(group) +
             L" $USER, then log in again)";
    }
    default:
      return e.Description();
  }
}

void PosixSerialPort::RequireOpen() const {
  if (!fd_) throw Error(kErrPortNotOpen, L"Operation valid only when the port is open");
}

void PosixSerialPort::Write(std::string_view bytes) {
  RequireOpen();
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + std::chrono::milliseconds(
                                           kWriteTimeoutConstantMs +
                                           kWriteTimeoutPerByteMs * static_cast<int>(bytes.size()));
  while (!bytes.empty()) {
    const ssize_t written = ::write(fd_.get(), bytes.data(), bytes.size());
    if (written > 0) {
      bytes.remove_prefix(static_cast<std::size_t>(written));
      continue;
    }
    if (written < 0 && errno == EINTR) continue;
    if (written < 0 && errno != EAGAIN) throw ErrnoError(errno);
    // The output queue is full: wait for room, but not past the deadline.
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) throw ErrnoError(ETIMEDOUT);
    pollfd p{fd_.get(), POLLOUT, 0};
    if (::poll(&p, 1, static_cast<int>(left)) < 0 && errno != EINTR) throw ErrnoError(errno);
    if (p.revents & (POLLERR | POLLHUP | POLLNVAL)) throw ErrnoError(EIO);
  }
}

std::string PosixSerialPort::ReadPending() {
  RequireOpen();
  std::string received;
  char chunk[4096];
  for (;;) {
    const ssize_t got = ::read(fd_.get(), chunk, sizeof chunk);
    if (got > 0) {
      received.append(chunk, static_cast<std::size_t>(got));
      continue;
    }
    if (got == 0 || errno == EAGAIN) break;  // nothing more for now
    if (errno == EINTR) continue;
    // The far side went away (EIO on a pty whose other end closed): what came before still
    // counts.
    if (!received.empty()) break;
    throw ErrnoError(errno);
  }
  return received;
}

}  // namespace qm
