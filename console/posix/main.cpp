// quillomarvet: the console edition on Linux.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstdlib>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>

#include "common/text.h"
#include "console/board/terminal.h"
#include "console/console.h"
#include "console/posix/terminal.h"
#include "quillomarvet_version.h"
#include "serial/posix/cp210x_ports.h"
#include "serial/posix/posix_serial_port.h"

namespace qm {
namespace {

// Descriptors 0 to 2 that the caller left closed (`<&- >&-`) are opened on /dev/null, so that
// nothing this program opens later (the signal pipe, a port) is taken for a standard stream.
void KeepStandardStreamsOpen() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    const int null = ::open("/dev/null", O_RDWR);
    if (null >= 0 && null != fd) {
      ::dup2(null, fd);
      ::close(null);
    }
  }
}

// Writes all of `bytes` to `fd`; false with errno set when the system refuses.
bool WriteAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t written = ::write(fd, bytes.data(), bytes.size());
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return false;
    bytes.remove_prefix(static_cast<std::size_t>(written));
  }
  return true;
}

// SIGINT, SIGTERM and SIGHUP, through a self-pipe: the handler writes one byte that nobody
// reads, so every thread that polls the pipe wakes, now and at any later look. The first signal
// is kept, for the program to end by it once its ports are closed.
class SignalInterrupt final : public Interrupt {
 public:
  SignalInterrupt() {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) throw ErrnoError(errno);
    read_end_.reset(fds[0]);
    write_end_.reset(fds[1]);
    write_fd_ = fds[1];
    if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) throw ErrnoError(errno);
    quit_read_.reset(fds[0]);
    quit_write_.reset(fds[1]);
    struct sigaction action {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    for (int signal : {SIGINT, SIGTERM, SIGHUP}) {
      // A signal the caller chose to ignore (nohup, a background job's SIGINT) stays ignored.
      struct sigaction before {};
      if (::sigaction(signal, nullptr, &before) == 0 && before.sa_handler == SIG_IGN) continue;
      ::sigaction(signal, &action, nullptr);
    }
  }

  bool Raised() const override { return signal_.load() != 0 || cut_short_.load(); }
  int Signal() const { return signal_.load(); }

  // Wakes only the watch's wait for devices (its own pipe): the exchanges sleep on.
  void Quit() override {
    quit_ = true;
    const char byte = 1;
    [[maybe_unused]] const ssize_t ignored = ::write(quit_write_.get(), &byte, 1);
  }
  bool Quitting() const override { return quit_.load() && signal_.load() == 0; }
  void CutShort() override {
    cut_short_ = true;
    const char byte = 1;
    [[maybe_unused]] const ssize_t ignored = ::write(write_fd_, &byte, 1);
  }

  void Sleep(int32_t ms) override { SleepOr(-1, ms); }

  // Sleeps up to `ms` milliseconds (no limit when negative), waking at once for the interrupt
  // (and with `or_quit`, for the operator's q); and when `fd` becomes readable, with true.
  bool SleepOr(int fd, int32_t ms, bool or_quit = false) {
    pollfd p[3] = {{read_end_.get(), POLLIN, 0},
                   {fd, POLLIN, 0},
                   {or_quit ? quit_read_.get() : -1, POLLIN, 0}};
    // An interrupted poll is an early wake: the caller looks again.
    return ::poll(p, 3, ms) > 0 && (p[1].revents & POLLIN) != 0;
  }

  // Waits up to `ms` milliseconds (no limit when negative) for `fd` to take a write without
  // blocking, or to have an error for the write to tell; false when the time passes first, or
  // with `until_interrupt`, when the interrupt has come.
  bool WaitWritable(int fd, int32_t ms, bool until_interrupt) {
    pollfd p[2] = {{fd, POLLOUT, 0}, {until_interrupt ? read_end_.get() : -1, POLLIN, 0}};
    return ::poll(p, 2, ms) > 0 && p[0].revents != 0;
  }

  // Around a write that may still sleep (a terminal with less room than poll promised): a
  // signal that lands on another thread is passed on to this one, whose write then ends (EINTR).
  static void Writing(bool now) { writer_.store(now ? ::gettid() : 0); }

 private:
  static void OnSignal(int signal) {
    const int saved = errno;
    int none = 0;
    signal_.compare_exchange_strong(none, signal);
    const char byte = 1;
    [[maybe_unused]] const ssize_t ignored = ::write(write_fd_, &byte, 1);
    // By thread id, not pthread_t: a thread that has ended since is no one's (ESRCH).
    const pid_t writer = writer_.load();
    if (writer != 0 && writer != ::gettid()) ::syscall(SYS_tgkill, ::getpid(), writer, signal);
    errno = saved;
  }

  // Set by the handler, read by every exchange's thread: atomic, and lock-free so that the
  // handler may touch it.
  static inline std::atomic<int> signal_{0};
  static_assert(std::atomic<int>::is_always_lock_free);
  static inline int write_fd_ = -1;
  std::atomic<bool> quit_{false}, cut_short_{false};
  static inline std::atomic<pid_t> writer_{0};
  UniqueFd read_end_, write_end_, quit_read_, quit_write_;
};

// --log's file: each record whole, then on the disk, before Append returns. The writes are made
// on a thread of the file's own: a log that stalls (a FIFO whose reader stopped reading, a hung
// network folder) holds the verdicts, but not the end. After a signal, a record gets the moment
// standard output gets, then the log is given up.
class AppendedFile final : public RecordFile {
 public:
  AppendedFile(UniqueFd fd, bool regular, std::function<bool()> signalled)
      : shared_(std::make_shared<Shared>()), signalled_(std::move(signalled)) {
    shared_->fd = std::move(fd);
    shared_->regular = regular;
    try {
      std::thread(Writer, shared_).detach();  // left in a stalled write, it ends with the process
    } catch (const std::system_error& e) {
      throw ErrnoError(e.code().value());
    }
  }

  ~AppendedFile() override {
    std::lock_guard<std::mutex> lock(shared_->mutex);
    shared_->closing = true;
    shared_->wake.notify_all();
  }

  void Append(std::string_view line) override {
    using Clock = std::chrono::steady_clock;
    std::unique_lock<std::mutex> lock(shared_->mutex);
    if (shared_->given_up) throw Stalled();
    shared_->line.assign(line);
    shared_->result.reset();
    shared_->wake.notify_all();
    std::optional<Clock::time_point> give_up_at;
    while (!shared_->result) {
      // A signal is not a thing to wait on here: it is looked for every so often, and only
      // while a record is on its way.
      if (!give_up_at && signalled_()) give_up_at = Clock::now() + kGrace;
      if (give_up_at && Clock::now() >= *give_up_at) {
        shared_->given_up = true;
        throw Stalled();
      }
      shared_->done.wait_for(lock, give_up_at ? *give_up_at - Clock::now() : kLook);
    }
    if (*shared_->result != 0) throw ErrnoError(*shared_->result);
  }

 private:
  static constexpr std::chrono::milliseconds kLook{100};
  static constexpr std::chrono::milliseconds kGrace{300};  // as standard output's
  struct Shared {
    std::mutex mutex;
    std::condition_variable wake, done;
    std::string line;           // the record to write; empty once taken
    std::optional<int> result;  // 0 or the errno of the record last written
    bool closing = false, given_up = false;
    UniqueFd fd;
    bool regular = false;
  };

  static Error Stalled() {
    return Error(ETIMEDOUT,
                 L"it stalled, and was given up at the end (a reader that stopped "
                 L"reading, or a folder that hangs)");
  }

  static void Writer(std::shared_ptr<Shared> shared) {
    std::unique_lock<std::mutex> lock(shared->mutex);
    for (;;) {
      shared->wake.wait(lock, [&] { return shared->closing || !shared->line.empty(); });
      if (shared->line.empty()) return;
      const std::string line = std::move(shared->line);
      shared->line.clear();
      lock.unlock();
      const int result = Write(shared->fd.get(), shared->regular, line);
      lock.lock();
      shared->result = result;
      shared->done.notify_all();
    }
  }

  // 0, or the errno of the write that failed.
  static int Write(int fd, bool regular, std::string_view line) {
    std::size_t written = 0;
    int error = 0;
    while (written < line.size()) {
      const ssize_t n = ::write(fd, line.data() + written, line.size() - written);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        error = n < 0 ? errno : ENOSPC;
        break;
      }
      // A short write (a full disk, a file at its size limit) is written on: the next write
      // says why.
      written += static_cast<std::size_t>(n);
    }
    if (error != 0) {
      // The part written is taken back, so that the next record does not continue half a line:
      // from where this write left the offset, so that what another program appended to the
      // same log before it stays.
      if (regular && written > 0) {
        const off_t end = ::lseek(fd, 0, SEEK_CUR);
        if (end < 0 || ::ftruncate(fd, end - static_cast<off_t>(written)) != 0) return errno;
      }
      return error;
    }
    // A pipe or a terminal has no disk to reach.
    if (regular && ::fdatasync(fd) != 0) return errno;
    return 0;
  }

  std::shared_ptr<Shared> shared_;
  std::function<bool()> signalled_;
};

class LinuxPlatform final : public ConsolePlatform {
 public:
  LinuxPlatform() {
    // A closed standard output must not end the program in the middle of an exchange: the
    // write fails with EPIPE instead, and the program ends by SIGPIPE once its ports are
    // closed. A caller that ignores SIGPIPE gets a write error, as from any other program.
    struct sigaction before {};
    pipe_ignored_by_caller_ =
        ::sigaction(SIGPIPE, nullptr, &before) == 0 && before.sa_handler == SIG_IGN;
    ::signal(SIGPIPE, SIG_IGN);
  }

  std::vector<Adapter> FindAdapters() override {
    std::vector<Adapter> adapters;
    for (const Cp210xPort& port : Devices().FindCp210xPorts()) {
      adapters.push_back({ArgumentText(port.path), TextFromBytes(port.product),
                          TextFromBytes(port.location), TextFromBytes(port.serial),
                          TextFromBytes(port.instance)});
    }
    return adapters;
  }

  std::wstring WhatWasLookedFor() const override {
    return L"serial ports of CP210x USB-to-UART adapters (ttys whose USB interface is bound to "
           L"the cp210x driver)";
  }

  std::wstring PortExample() const override { return L"/dev/ttyUSB0"; }

  std::unique_ptr<SerialPort> MakePort(const std::wstring& name) override {
    std::string path = ArgumentBytes(name);  // the bytes given, whatever their encoding
    if (path.empty()) return nullptr;
    if (path.find('/') == std::string::npos) path = "/dev/" + path;  // "ttyUSB0"
    return std::make_unique<PosixSerialPort>(path);
  }

  std::wstring DecodeAnsi(std::string_view bytes) const override { return TextFromBytes(bytes); }

  void PrintLine(const std::wstring& line) override {
    std::lock_guard<std::mutex> lock(output_);
    if (interrupt_.Raised() || output_error_ != 0) return;
    if (!Put(STDOUT_FILENO, line)) output_error_ = errno;
  }

  // JSON escapes every control character itself: written as it is, it stays valid JSON.
  void PrintRecord(const std::wstring& line) override {
    std::lock_guard<std::mutex> lock(output_);
    if (output_error_ == 0 && !Output(STDOUT_FILENO, Utf8(line) + "\n")) output_error_ = errno;
  }

  void OutputLost(const Error& e) override {
    std::lock_guard<std::mutex> lock(output_);
    if (output_error_ == 0) output_error_ = static_cast<int>(e.Number());
  }

  bool OutputFailed() const override {
    std::lock_guard<std::mutex> lock(output_);
    return output_error_ != 0;
  }

  void PrintError(const std::wstring& line) override {
    std::lock_guard<std::mutex> lock(output_);
    Put(STDERR_FILENO, line);
  }

  Interrupt& interrupt() override { return interrupt_; }

  void Start(std::function<void()> job) override {
    {
      std::lock_guard<std::mutex> lock(jobs_mutex_);
      ++jobs_;
    }
    auto run = [this, job = std::move(job)] {
      job();
      std::lock_guard<std::mutex> lock(jobs_mutex_);
      if (--jobs_ == 0) jobs_done_.notify_all();
    };
    try {
      std::thread(run).detach();  // a watch runs all day: nothing is left to join
    } catch (const std::system_error&) {
      run();  // no thread to be had: this one runs here, the rest still at the same time
    }
  }

  void WaitForJobs() override {
    std::unique_lock<std::mutex> lock(jobs_mutex_);
    jobs_done_.wait(lock, [this] { return jobs_ == 0; });
  }

  // A record the disk took only part of (a power cut mid-write) is left as one line of its own:
  // the next record starts on a new line, where it is read whole (--mqtt's outbox too).
  static void EndTornLine(const std::string& path, int fd, off_t size) {
    UniqueFd reader(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    char last = '\n';
    if (reader.get() < 0 || ::pread(reader.get(), &last, 1, size - 1) != 1 || last == '\n') return;
    if (::write(fd, "\n", 1) != 1) throw ErrnoError(errno);
  }

  std::unique_ptr<RecordFile> OpenLog(const std::wstring& path) override {
    const std::string bytes = ArgumentBytes(path);
    // Without waiting: a FIFO that nobody reads would hold the open until somebody does.
    UniqueFd fd(
        ::open(bytes.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NONBLOCK, 0666));
    if (fd.get() < 0) {
      const int error = errno;
      struct stat st {};
      if (error == ENXIO && ::stat(bytes.c_str(), &st) == 0 && S_ISFIFO(st.st_mode)) {
        throw Error(ENXIO, L"a FIFO that nothing reads (its reader must be there first)");
      }
      throw ErrnoError(error);
    }
    const int flags = ::fcntl(fd.get(), F_GETFL);
    if (flags < 0 || ::fcntl(fd.get(), F_SETFL, flags & ~O_NONBLOCK) != 0) throw ErrnoError(errno);
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0) throw ErrnoError(errno);
    const bool regular = S_ISREG(st.st_mode);
    if (regular && st.st_size > 0) EndTornLine(bytes, fd.get(), st.st_size);
    if (regular) SyncFolder(bytes);
    return std::make_unique<AppendedFile>(std::move(fd), regular,
                                          [this] { return interrupt_.Signal() != 0; });
  }

  std::unique_ptr<Terminal> OpenTerminal() override { return OpenTerminfoTerminal(); }

  void WaitForDeviceChange(int32_t ms) override {
    UdevDevices& devices = Devices();
    if (devices.EventsCome()) {
      if (interrupt_.SleepOr(devices.EventDescriptor(), ms, true)) devices.Drain();
      return;
    }
    // Without udev's daemon: the kernel's events where they reach this program, and where they
    // do not, a look at the ttys' names every half second; the devices themselves are walked
    // only when one of those says that something changed.
    const int64_t until = ms < 0 ? -1 : SteadyMs() + ms;
    for (;;) {
      int64_t step = kLookAgainMs;
      if (until >= 0) step = std::clamp<int64_t>(until - SteadyMs(), 0, step);
      const bool event =
          interrupt_.SleepOr(devices.EventDescriptor(), static_cast<int32_t>(step), true);
      bool changed = event && devices.Drain();
      changed = devices.TtysChanged() || changed;  // the names seen now: the next look's start
      if (changed || interrupt_.Raised() || interrupt_.Quitting() ||
          (until >= 0 && SteadyMs() >= until)) {
        return;
      }
    }
  }

  // Every port is closed: ends as a calling shell expects. By the signal that came, so that a
  // script stops too; by SIGPIPE when standard output was closed under it, like any Unix tool
  // in a pipeline; with 70 when standard output could not be written. Otherwise `status`.
  int Finish(int status) {
    // A signal from here on is held, not lost: it is the one to end by, if none came before.
    sigset_t signals, pending;
    sigemptyset(&signals);
    for (int s : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&signals, s);
    ::pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    int signal = interrupt_.Signal();
    if (signal == 0 && ::sigpending(&pending) == 0) {
      for (int s : {SIGINT, SIGTERM, SIGHUP}) {
        struct sigaction current {};
        if (::sigismember(&pending, s) == 1 && ::sigaction(s, nullptr, &current) == 0 &&
            current.sa_handler != SIG_IGN) {
          signal = s;
          break;
        }
      }
    }
    if (signal == 0 && output_error_ == EPIPE && !pipe_ignored_by_caller_) signal = SIGPIPE;
    if (signal != 0) {
      ::signal(signal, SIG_DFL);
      sigset_t set;
      sigemptyset(&set);
      sigaddset(&set, signal);
      ::pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
      ::raise(signal);
      return 128 + signal;  // not reached: the signal's default action ends the program
    }
    if (output_error_ != 0) {
      PrintError(L"quillomarvet: cannot write standard output: " + ErrnoText(output_error_));
      return kExitFailure;
    }
    return status;
  }

 private:
  // One line, whole, as UTF-8; whatever could steer a terminal is written out as \xNN.
  bool Put(int fd, const std::wstring& line) { return Output(fd, Utf8(ReadableText(line)) + "\n"); }

  // Writes all of `bytes` to standard output or error (with `output_` held) and never sleeps in
  // write itself: a reader that stalls (a paused pager, a stopped ssh) holds the output, but
  // not the interrupt. Once the interrupt has come, the streams get a moment more in all, then
  // what they do not take is dropped. False with errno set when the system refuses the write.
  bool Output(int fd, std::string_view bytes) {
    using Clock = std::chrono::steady_clock;
    bool& dropped = fd == STDOUT_FILENO ? stdout_dropped_ : stderr_dropped_;
    while (!bytes.empty() && !dropped) {
      if (!interrupt_.Raised()) {
        if (!interrupt_.WaitWritable(fd, -1, true)) continue;  // the interrupt: look again
      } else {
        if (!give_up_at_) give_up_at_ = Clock::now() + std::chrono::milliseconds(kLastOutputMs);
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(*give_up_at_ - Clock::now());
        if (!interrupt_.WaitWritable(fd, static_cast<int32_t>(std::max<int64_t>(left.count(), 0)),
                                     false)) {
          dropped = true;
          break;
        }
      }
      // A pipe that polls writable has room for PIPE_BUF bytes: no more, so the write returns.
      SignalInterrupt::Writing(true);
      const ssize_t written =
          ::write(fd, bytes.data(), std::min(bytes.size(), static_cast<std::size_t>(PIPE_BUF)));
      SignalInterrupt::Writing(false);
      if (written < 0 && (errno == EINTR || errno == EAGAIN)) continue;
      if (written <= 0) return false;
      bytes.remove_prefix(static_cast<std::size_t>(written));
    }
    return true;
  }

  // The file's name too reaches the disk, not only what is written in it: a log made today must
  // not vanish with its verdicts at a power cut. Its folder is the one the name leads to through
  // any symbolic link. A folder that may be written but not read cannot be opened to sync it:
  // said, and the log is kept all the same.
  void SyncFolder(const std::string& log) {
    std::string folder = ".";
    if (char* real = ::realpath(log.c_str(), nullptr)) {
      folder.assign(real);
      std::free(real);
      folder.erase(std::max<std::size_t>(folder.rfind('/'), 1));  // "/" for a log at the root
    } else if (const std::size_t slash = log.rfind('/'); slash != std::string::npos) {
      folder = slash == 0 ? "/" : log.substr(0, slash);
    }
    UniqueFd directory(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (directory.get() >= 0 && ::fsync(directory.get()) == 0) return;
    const int error = errno;
    if (error != EACCES) throw ErrnoError(error);
    PrintError(L"quillomarvet: the log's folder " + TextFromBytes(folder) +
               L" cannot be read to sync it (" + ErrnoText(error) +
               L"): a log made now may not outlive a power cut");
  }

  static constexpr int32_t kLookAgainMs = 500;
  static constexpr int32_t kLastOutputMs = 300;  // what the streams get after the interrupt

  // Made at the first look, so that --help or --port needs nothing of udev.
  UdevDevices& Devices() {
    if (!devices_) devices_ = std::make_unique<UdevDevices>();
    return *devices_;
  }

  std::unique_ptr<UdevDevices> devices_;
  SignalInterrupt interrupt_;
  std::mutex jobs_mutex_;
  std::condition_variable jobs_done_;
  int jobs_ = 0;
  mutable std::mutex output_;
  int output_error_ = 0;  // errno of the first failed write to standard output
  bool stdout_dropped_ = false, stderr_dropped_ = false;  // stalled after the interrupt
  std::optional<std::chrono::steady_clock::time_point> give_up_at_;
  bool pipe_ignored_by_caller_ = false;
};

}  // namespace
}  // namespace qm

int main(int argc, char** argv) {
  qm::KeepStandardStreamsOpen();
  const auto fatal = [](const std::wstring& text) {
    qm::WriteAll(STDERR_FILENO, qm::Utf8(qm::ReadableText(L"quillomarvet: " + text)) + "\n");
    return qm::kExitFailure;
  };
  std::unique_ptr<qm::LinuxPlatform> platform;
  try {
    platform = std::make_unique<qm::LinuxPlatform>();
  } catch (const qm::Error& e) {
    return fatal(qm::FatalErrorText(e));
  }
  int status;
  try {
    std::vector<std::wstring> args;
    for (int i = 1; i < argc; ++i) args.push_back(qm::ArgumentText(argv[i]));
    status = qm::RunConsole(args, *platform, QM_VERSION_TEXT);
  } catch (const qm::Error& e) {
    status = fatal(qm::FatalErrorText(e));
  } catch (const std::exception& e) {
    status = fatal(L"unexpected failure: " + qm::TextFromBytes(e.what()));
  }
  return platform->Finish(status);  // a signal that came still ends the program by it
}
