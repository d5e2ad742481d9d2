// quillomarvet: the console edition on Linux.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <system_error>
#include <thread>

#include "common/text.h"
#include "console/console.h"
#include "quillomarvet_version.h"
#include "serial/posix/cp210x_ports.h"
#include "serial/posix/posix_serial_port.h"

namespace qm {
namespace {

// SIGINT, SIGTERM and SIGHUP, through a self-pipe: the handler writes one byte that nobody
// reads, so every thread that polls the pipe wakes, now and at any later look.
class SignalInterrupt final : public Interrupt {
 public:
  SignalInterrupt() {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) throw ErrnoError(errno);
    read_end_.reset(fds[0]);
    write_end_.reset(fds[1]);
    write_fd_ = fds[1];
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

  bool Raised() const override { return raised_.load(); }

  void Sleep(int32_t ms) override {
    pollfd p{read_end_.get(), POLLIN, 0};
    ::poll(&p, 1, ms);  // an interrupted poll is an early wake: the caller looks again
  }

 private:
  static void OnSignal(int) {
    const int saved = errno;
    raised_.store(true);
    const char byte = 1;
    [[maybe_unused]] const ssize_t ignored = ::write(write_fd_, &byte, 1);
    errno = saved;
  }

  // Set by the handler, read by every exchange's thread: atomic, and lock-free so that the
  // handler may touch it.
  static inline std::atomic<bool> raised_{false};
  static_assert(std::atomic<bool>::is_always_lock_free);
  static inline int write_fd_ = -1;
  UniqueFd read_end_, write_end_;
};

class LinuxPlatform final : public ConsolePlatform {
 public:
  LinuxPlatform() {
    // Tests point discovery at a fake tree and a directory of stand-in device nodes.
    if (const char* root = std::getenv("QM_SYSFS_ROOT")) sysfs_root_ = root;
    if (const char* dev = std::getenv("QM_DEV_DIR")) dev_dir_ = dev;
  }

  std::vector<Adapter> FindAdapters() override {
    std::vector<Adapter> adapters;
    for (const Cp210xPort& port : FindCp210xPorts(sysfs_root_, dev_dir_)) {
      adapters.push_back({TextFromBytes(port.path), TextFromBytes(port.product)});
    }
    return adapters;
  }

  std::wstring WhatWasLookedFor() const override {
    return L"serial ports of CP210x USB-to-UART adapters (ttys bound to the cp210x driver in " +
           TextFromBytes(sysfs_root_) + L"/class/tty)";
  }

  std::wstring PortExample() const override { return L"/dev/ttyUSB0"; }

  std::unique_ptr<SerialPort> MakePort(const std::wstring& name) override {
    std::string path = Utf8(name);
    if (path.empty()) return nullptr;
    if (path.find('/') == std::string::npos) path = dev_dir_ + "/" + path;  // "ttyUSB0"
    return std::make_unique<PosixSerialPort>(path);
  }

  std::wstring DecodeAnsi(std::string_view bytes) const override { return TextFromBytes(bytes); }

  void PrintLine(const std::wstring& line) override {
    std::lock_guard<std::mutex> lock(output_);
    if (interrupt_.Raised()) return;
    Put(stdout, line);
  }

  void PrintError(const std::wstring& line) override {
    std::lock_guard<std::mutex> lock(output_);
    Put(stderr, line);
  }

  Interrupt& interrupt() override { return interrupt_; }

  void RunTogether(const std::vector<std::function<void()>>& jobs) override {
    std::vector<std::thread> threads;
    for (const auto& job : jobs) {
      try {
        threads.emplace_back(job);
      } catch (const std::system_error&) {
        job();  // no thread to be had: this one runs here, the rest still at the same time
      }
    }
    for (std::thread& t : threads) t.join();
  }

 private:
  static void Put(std::FILE* stream, const std::wstring& line) {
    const std::string bytes = Utf8(line) + "\n";
    std::fwrite(bytes.data(), 1, bytes.size(), stream);
    std::fflush(stream);  // a script reading a pipe sees each line as it comes
  }

  std::string sysfs_root_ = "/sys";
  std::string dev_dir_ = "/dev";
  SignalInterrupt interrupt_;
  std::mutex output_;
};

}  // namespace
}  // namespace qm

int main(int argc, char** argv) {
  try {
    qm::LinuxPlatform platform;
    std::vector<std::wstring> args;
    for (int i = 1; i < argc; ++i) args.push_back(qm::TextFromBytes(argv[i]));
    return qm::RunConsole(args, platform, QM_VERSION_TEXT);
  } catch (const qm::Error& e) {
    std::fprintf(stderr, "quillomarvet: %s\n", qm::Utf8(qm::FatalErrorText(e)).c_str());
    return qm::kExitFailure;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "quillomarvet: unexpected failure: %s\n", e.what());
    return qm::kExitFailure;
  }
}
