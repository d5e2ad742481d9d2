#include "console/posix/terminal.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <optional>
#include <string>

#include <curses.h>
#include <term.h>
// term.h names every capability as a macro; these two are ordinary words here.
#undef columns
#undef lines

#include "common/error.h"
#include "console/board/keys.h"
#include "serial/posix/posix_serial_port.h"

namespace qm {

namespace {

// tputs hands the bytes of a capability (its padding dealt with) to a function of one int.
std::string* g_capability_out = nullptr;
int CollectByte(int byte) {
  g_capability_out->push_back(static_cast<char>(byte));
  return byte;
}

// A capability's string as it is to be written; empty when the terminal has none.
std::string Capability(const char* text) {
  if (text == nullptr || text == reinterpret_cast<const char*>(-1)) return "";
  std::string out;
  g_capability_out = &out;  // only the thread that sets the terminal up, or the board's, call
  ::tputs(text, 1, CollectByte);
  g_capability_out = nullptr;
  return out;
}

const char* Find(const char* name) {
  const char* text = ::tigetstr(const_cast<char*>(name));
  return text == reinterpret_cast<const char*>(-1) ? nullptr : text;
}

int g_resize_fd = -1;  // the write end of the resize pipe, for the handler
// SIGWINCH and SIGTSTP: the signal's number down the pipe, for the board's thread to act on.
void OnResize(int signal) {
  const int saved = errno;
  const char byte = static_cast<char>(signal);
  [[maybe_unused]] const ssize_t ignored = ::write(g_resize_fd, &byte, 1);
  errno = saved;
}

// `signal` to OnResize from now on; what it did before in `before` (unless nullptr).
bool Catch(int signal, struct sigaction* before) {
  struct sigaction action {};
  action.sa_handler = OnResize;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  return ::sigaction(signal, &action, before) == 0;
}

// Empties the pipe; whether SIGTSTP was among what came.
bool Drain(int fd) {
  char bytes[64];
  bool stop = false;
  for (ssize_t got; (got = ::read(fd, bytes, sizeof bytes)) > 0;) {
    for (ssize_t i = 0; i < got; ++i) stop = stop || bytes[i] == SIGTSTP;
  }
  return stop;
}

class TerminfoTerminal final : public Terminal {
 public:
  TerminfoTerminal(std::string cup, bool colours) : cup_(std::move(cup)), colours_(colours) {
    // The board's own description of the terminal, that never blocks: a terminal stopped with
    // Ctrl+S or a stalled ssh must not keep the board from ending.
    if (const char* name = ::ttyname(STDOUT_FILENO)) {
      own_.reset(::open(name, O_WRONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    }
    out_ = own_.get() >= 0 ? own_.get() : STDOUT_FILENO;
    sequences_.move = [](int row, int column, const void* context) {
      const char* cup = static_cast<const TerminfoTerminal*>(context)->cup_.c_str();
      return Capability(::tparm(const_cast<char*>(cup), row, column, 0, 0, 0, 0, 0, 0, 0));
    };
    sequences_.context = this;
    const std::string sgr0 = Capability(Find("sgr0"));
    const char* setaf = Find("setaf");
    for (int ink = 0; ink < kInks; ++ink) sequences_.ink[ink] = sgr0;
    if (colours_ && setaf) {
      const int colour[kInks] = {0, COLOR_GREEN, COLOR_RED, COLOR_YELLOW, COLOR_CYAN};
      for (int ink = 1; ink < kInks; ++ink) {
        sequences_.ink[ink] = sgr0 + Capability(::tparm(const_cast<char*>(setaf), colour[ink], 0, 0,
                                                        0, 0, 0, 0, 0, 0));
      }
    } else {
      colours_ = false;
    }

    int fds[2];
    if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) throw ErrnoError(errno);
    wake_read_.reset(fds[0]);
    wake_write_.reset(fds[1]);
    if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) throw ErrnoError(errno);
    resize_read_.reset(fds[0]);
    resize_write_.reset(fds[1]);
    g_resize_fd = fds[1];
    resize_handled_ = Catch(SIGWINCH, &resize_before_);
    // Ctrl+Z: the terminal is given back before the program stops (unless the caller has
    // stopping ignored), and the board taken up again when it goes on.
    if (::sigaction(SIGTSTP, nullptr, &stop_before_) == 0 && stop_before_.sa_handler != SIG_IGN) {
      stop_handled_ = Catch(SIGTSTP, nullptr);
    }
    keys_ = ::isatty(STDIN_FILENO) && ::tcgetattr(STDIN_FILENO, &settings_before_) == 0;
    Enter();
  }

  ~TerminfoTerminal() override {
    Leave();
    if (stop_handled_) ::sigaction(SIGTSTP, &stop_before_, nullptr);
    if (resize_handled_) ::sigaction(SIGWINCH, &resize_before_, nullptr);
    g_resize_fd = -1;
  }

  Size CurrentSize() override {
    winsize size{};
    if (::ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0 && size.ws_row > 0) {
      return {size.ws_col, size.ws_row};
    }
    const int width = ::tigetnum(const_cast<char*>("cols"));
    const int height = ::tigetnum(const_cast<char*>("lines"));
    return {width > 0 ? width : 80, height > 0 ? height : 24};
  }

  bool Colours() const override { return colours_; }

  Woken Wait(int32_t ms) override {
    using Clock = std::chrono::steady_clock;
    const auto now_ms = [] {
      return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now().time_since_epoch())
          .count();
    };
    const int64_t until = ms < 0 ? -1 : now_ms() + ms;
    for (;;) {
      const int64_t now = now_ms();
      if (keys_read_.Quit(now)) return Woken::kQuit;
      if (until >= 0 && now >= until) return Woken::kTimeout;
      // Until the caller's time, or until a q read alone has stood alone long enough.
      int64_t wait = until < 0 ? -1 : until - now;
      if (const std::optional<int64_t> due = keys_read_.Due()) {
        wait = wait < 0 ? *due - now : std::min(wait, *due - now);
      }
      pollfd p[3] = {{wake_read_.get(), POLLIN, 0},
                     {resize_read_.get(), POLLIN, 0},
                     {keys_ && !keys_gone_ ? STDIN_FILENO : -1, POLLIN, 0}};
      if (::poll(p, 3, static_cast<int>(wait)) <= 0) {
        continue;  // the time is looked at again above
      }
      if (p[1].revents & POLLIN) {
        if (Drain(resize_read_.get())) Suspend();
        return Woken::kResized;
      }
      if (p[2].revents & POLLIN) {
        char bytes[256];
        const ssize_t got = ::read(STDIN_FILENO, bytes, sizeof bytes);
        if (got > 0)
          keys_read_.Read(std::string_view(bytes, static_cast<std::size_t>(got)), now_ms());
        if (got == 0) keys_gone_ = true;
      } else if (p[2].revents & (POLLHUP | POLLERR | POLLNVAL)) {
        keys_gone_ = true;  // no more keys: not polled again, or it would spin
      }
      if (p[0].revents & POLLIN) {
        Drain(wake_read_.get());
        return Woken::kWoken;
      }
    }
  }

  void Leaving() override {
    leaving_ = true;
    Wake();
  }

  void Wake() override {
    const char byte = 1;
    [[maybe_unused]] const ssize_t ignored = ::write(wake_write_.get(), &byte, 1);
  }

  void Show(const Frame& frame) override {
    const bool fresh = shown_.width != frame.width || shown_.height != frame.height;
    std::string bytes = Paint(fresh ? nullptr : &shown_, frame, sequences_);
    if (fresh) bytes = Capability(Find("clear")) + bytes;
    switch (Write(bytes)) {
      case Written::kFailed:
        throw ErrnoError(errno);
      case Written::kGivenUp:
        shown_ = Frame{};
        break;  // unknown now: all of it next time
      case Written::kAll:
        shown_ = frame;
        break;
    }
  }

 private:
  enum class Written { kAll, kGivenUp, kFailed };
  // Writes all of `bytes`, waiting for room as long as it takes, but once the board is being
  // left only a moment more. kFailed with errno set when the terminal refuses.
  Written Write(const std::string& bytes) {
    using Clock = std::chrono::steady_clock;
    std::optional<Clock::time_point> give_up_at;
    for (std::size_t done = 0; done < bytes.size();) {
      const ssize_t written = ::write(out_, bytes.data() + done, bytes.size() - done);
      if (written > 0) {
        done += static_cast<std::size_t>(written);
        continue;
      }
      if (written < 0 && errno != EINTR && errno != EAGAIN) return Written::kFailed;
      if (leaving_ && !give_up_at) give_up_at = Clock::now() + std::chrono::milliseconds(300);
      if (give_up_at && Clock::now() >= *give_up_at) return Written::kGivenUp;
      // A stopped terminal may say it has room and still take nothing: never a busy wait.
      pollfd p{out_, POLLOUT, 0};
      if (::poll(&p, 1, 50) > 0) ::usleep(20000);
    }
    return Written::kAll;
  }

  // Keys one at a time, unechoed (Ctrl+C and Ctrl+Z still signals: ISIG stays), the board's own
  // screen, no cursor; Leave puts all of it back as it was found.
  void Enter() {
    if (keys_) {
      termios keys = settings_before_;
      keys.c_lflag &= static_cast<tcflag_t>(~(ICANON | ECHO));
      keys.c_cc[VMIN] = 1;
      keys.c_cc[VTIME] = 0;
      ::tcsetattr(STDIN_FILENO, TCSANOW, &keys);
    }
    Write(Capability(Find("smcup")) + Capability(Find("civis")) + Capability(Find("clear")));
    shown_ = Frame{};  // all of it is drawn again
  }
  void Leave() {
    std::string bytes = Capability(Find("sgr0")) + Capability(Find("cnorm"));
    const std::string rmcup = Capability(Find("rmcup"));
    if (!rmcup.empty()) {
      bytes += rmcup;
    } else if (const std::string clear = Capability(Find("clear")); !clear.empty()) {
      bytes += clear;  // no screen of its own (TERM=linux, vt100): what the board drew goes
    } else {
      bytes += "\r\n";  // at least what comes next starts on a line of its own
    }
    Write(bytes);
    // Ctrl+Z from a script (sh -c 'quillomarvet --watch'): the shell may have taken the terminal
    // back already. Blocked, SIGTTOU lets the settings go back from the background group instead
    // of stopping the program here, to stop itself again once in the foreground.
    sigset_t ttou, before;
    sigemptyset(&ttou);
    sigaddset(&ttou, SIGTTOU);
    const bool blocked = ::pthread_sigmask(SIG_BLOCK, &ttou, &before) == 0;
    while (keys_ && ::tcsetattr(STDIN_FILENO, TCSANOW, &settings_before_) != 0 && errno == EINTR) {
    }
    if (blocked) ::pthread_sigmask(SIG_SETMASK, &before, nullptr);
  }
  // Stops the program as Ctrl+Z's default would, with the terminal as it was; back again once
  // the shell lets it go on (fg, bg: a board in the background waits for the terminal).
  void Suspend() {
    Leave();
    ::signal(SIGTSTP, SIG_DFL);
    ::raise(SIGTSTP);
    Catch(SIGTSTP, nullptr);
    Enter();
  }

  std::string cup_;
  bool colours_;
  UniqueFd own_;
  int out_ = STDOUT_FILENO;
  std::atomic<bool> leaving_{false};
  Sequences sequences_;
  Frame shown_;
  UniqueFd wake_read_, wake_write_, resize_read_, resize_write_;
  struct sigaction resize_before_ {
  }, stop_before_{};
  bool resize_handled_ = false, stop_handled_ = false;
  termios settings_before_{};
  bool keys_ = false;
  bool keys_gone_ = false;
  KeyReader keys_read_;
};

}  // namespace

std::unique_ptr<Terminal> OpenTerminfoTerminal() {
  if (!::isatty(STDOUT_FILENO)) return nullptr;
  int error = 0;
  if (::setupterm(nullptr, STDOUT_FILENO, &error) != OK) return nullptr;  // TERM unknown
  const char* cup = Find("cup");
  if (!cup || ::tigetflag(const_cast<char*>("hc")) > 0) return nullptr;
  const char* no_colour = std::getenv("NO_COLOR");
  const bool colours = ::tigetnum(const_cast<char*>("colors")) >= 8 && !(no_colour && *no_colour);
  return std::make_unique<TerminfoTerminal>(cup, colours);
}

}  // namespace qm
