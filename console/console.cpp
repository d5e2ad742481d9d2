#include "console/console.h"

#include <algorithm>
#include <chrono>

namespace qm {

namespace {

// Form1 asks for the machine's devices only in Form_Load, which the console does not run: it
// finds its adapters itself and names the port directly.
class NoDevices final : public DeviceQuery {
 public:
  std::vector<std::optional<std::wstring>> PnPDeviceNames() override { return {}; }
};

// --help, and through it the manual page (a test compares the two): every option on a line
// of its own starting "  --", every exit status on one starting with its number.
const wchar_t* const kUsage[] = {
    L"Usage: quillomarvet [--port PORT | --list | --all]",
    L"",
    L"Puts a device on a CP210x USB-to-serial adapter back to its factory settings: opens the",
    L"port (57600 baud, 8N1, no flow control), sends AT+DEFAULT and ten line ends, waits 2 s and",
    L"prints \"Open port\", the device's answer (or \"NO COMM\") and \"Port closed\".",
    L"",
    L"Options:",
    L"  (no option)   the first CP210x adapter found",
    L"  --port PORT   that port",
    L"  --list        the adapters found: the port, then the device's name",
    L"  --all         every adapter found, all at once; each line starts with its port",
    L"  --help        this text",
    L"  --version     the version",
    L"",
    L"Exit status (with --all the highest wins):",
    L"  0    every device answered",
    L"  1    some device gave no answer",
    L"  2    some port could not be opened",
    L"  3    no adapter found and no --port given",
    L"  64   a usage error",
    L"  70   the program could not run or write its output (the reason is on standard error)",
#ifdef _WIN32
    L"  130  interrupted (Ctrl+C, Ctrl+Break, the console closed): the ports are closed first",
#else
    L"  130  interrupted by Ctrl+C (SIGINT): the ports are closed, then it ends by the signal",
    L"  143  ended by SIGTERM, likewise",
    L"  129  ended by SIGHUP (the terminal closed), likewise",
#endif
};

int RunExchanges(const std::vector<std::wstring>& ports, bool prefixed, ConsolePlatform& platform) {
  struct Station {
    std::unique_ptr<SerialPort> port;
    std::unique_ptr<ConsoleHost> host;
    NoDevices devices;
    std::unique_ptr<Form1> form;
  };
  std::vector<std::unique_ptr<Station>> stations;
  for (const std::wstring& name : ports) {
    auto station = std::make_unique<Station>();
    station->port = platform.MakePort(name);
    if (!station->port) {
      platform.PrintError(L"quillomarvet: " + name + L" is not a port name (e.g. " +
                          platform.PortExample() + L")");
      return kExitUsage;
    }
    station->host =
        std::make_unique<ConsoleHost>(platform, prefixed ? station->port->PortName() + L": " : L"");
    station->form = std::make_unique<Form1>(*station->host, *station->port, station->devices);
    station->host->Attach(*station->form);
    stations.push_back(std::move(station));
  }

  std::vector<std::function<void()>> jobs;
  for (auto& station : stations) {
    Station* s = station.get();
    jobs.emplace_back([s, &platform] {
      if (!platform.interrupt().Raised()) s->form->cmReset_Click();
    });
  }
  if (jobs.size() == 1) {
    jobs.front()();
  } else {
    platform.RunTogether(jobs);
  }

  if (platform.interrupt().Raised()) return kExitInterrupted;
  int status = kExitAnswered;
  for (const auto& station : stations) {
    status = std::max(status, ExitStatusFor(station->form->LastOutcome()));
  }
  return status;
}

void SayNoAdapter(ConsolePlatform& platform) {
  platform.PrintError(L"quillomarvet: no adapter found. Looked for " + platform.WhatWasLookedFor() +
                      L".");
  platform.PrintError(L"Name the port with --port, e.g. quillomarvet --port " +
                      platform.PortExample());
}

}  // namespace

int ExitStatusFor(ExchangeOutcome outcome) {
  switch (outcome) {
    case ExchangeOutcome::kAnswered:
      return kExitAnswered;
    case ExchangeOutcome::kCouldNotOpen:
      return kExitCannotOpen;
    case ExchangeOutcome::kNoAnswer:
    case ExchangeOutcome::kNone:
      break;
  }
  return kExitNoAnswer;
}

ParsedArguments ParseArguments(const std::vector<std::wstring>& args) {
  Options options;
  bool list = false, all = false, help = false, version = false;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::wstring& arg = args[i];
    std::optional<std::wstring> port;
    if (arg == L"--help" || arg == L"-h") {
      help = true;
    } else if (arg == L"--version") {
      version = true;
    } else if (arg == L"--list") {
      list = true;
    } else if (arg == L"--all") {
      all = true;
    } else if (arg == L"--port") {
      if (i + 1 == args.size()) return {std::nullopt, L"--port needs a port name"};
      port = args[++i];
    } else if (arg.rfind(L"--port=", 0) == 0) {
      port = arg.substr(7);
    } else {
      return {std::nullopt, L"unknown argument: " + arg};
    }
    if (port) {
      if (port->empty()) return {std::nullopt, L"--port needs a port name"};
      if (options.port) return {std::nullopt, L"--port given twice"};
      options.port = std::move(port);
    }
  }
  if (help) {
    options.mode = Options::Mode::kHelp;
  } else if (version) {
    options.mode = Options::Mode::kVersion;
  } else if (static_cast<int>(list) + static_cast<int>(all) + static_cast<int>(bool(options.port)) >
             1) {
    return {std::nullopt, L"--port, --list and --all do not go together"};
  } else if (list) {
    options.mode = Options::Mode::kList;
  } else if (all) {
    options.mode = Options::Mode::kAll;
  }
  return {options, L""};
}

int RunConsole(const std::vector<std::wstring>& args, ConsolePlatform& platform,
               std::wstring_view version) {
  const ParsedArguments parsed = ParseArguments(args);
  if (!parsed.options) {
    platform.PrintError(L"quillomarvet: " + parsed.error);
    platform.PrintError(L"Try quillomarvet --help");
    return kExitUsage;
  }
  const Options& options = *parsed.options;
  switch (options.mode) {
    case Options::Mode::kHelp:
      for (const wchar_t* line : kUsage) platform.PrintLine(line);
      return kExitAnswered;
    case Options::Mode::kVersion:
      platform.PrintLine(L"quillomarvet " + std::wstring(version));
      return kExitAnswered;
    case Options::Mode::kOne:
      if (options.port) return RunExchanges({*options.port}, false, platform);
      break;
    case Options::Mode::kList:
    case Options::Mode::kAll:
      break;
  }

  std::vector<Adapter> adapters;
  try {
    adapters = platform.FindAdapters();
  } catch (const Error& e) {
    // Not the same as no adapter: a script must not take a broken (or hung) device list for an
    // empty bench.
    platform.PrintError(L"quillomarvet: cannot list the devices: " + FatalErrorText(e));
    return kExitFailure;
  }
  if (adapters.empty()) {
    SayNoAdapter(platform);
    return kExitNoAdapter;
  }
  if (options.mode == Options::Mode::kList) {
    for (const Adapter& a : adapters) platform.PrintLine(a.port + L"  " + a.name);
    return kExitAnswered;
  }
  if (options.mode == Options::Mode::kOne)
    return RunExchanges({adapters.front().port}, false, platform);
  std::vector<std::wstring> ports;
  for (const Adapter& a : adapters) ports.push_back(a.port);
  return RunExchanges(ports, true, platform);
}

int64_t ConsoleHost::NowMs() const {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

void ConsoleHost::ReportLineAdded(const std::wstring& line) {
  platform_.PrintLine(prefix_ + line);
}

void ConsoleHost::DoEvents() {
  if (!form_ || form_->Ended()) return;
  if (platform_.interrupt().Raised()) {
    form_->Form_Terminate();  // closes the port; the exchange stops where it is
    return;
  }
  if (timer_armed_ && NowMs() >= timer_due_ms_) {
    timer_due_ms_ += timer_interval_ms_;
    form_->TimerPausa_Timer();
  }
}

void ConsoleHost::WaitForEvent() {
  // With no timer there is nothing but the interrupt to wait for; look again now and then.
  int64_t wait_ms = 100;
  if (timer_armed_) wait_ms = std::max<int64_t>(0, timer_due_ms_ - NowMs());
  if (wait_ms > 0) platform_.interrupt().Sleep(static_cast<int32_t>(wait_ms));
}

void ConsoleHost::ArmPauseTimer(int32_t interval_ms) {
  timer_armed_ = interval_ms > 0;  // like a window timer: no positive interval, no tick
  timer_interval_ms_ = interval_ms;
  timer_due_ms_ = NowMs() + interval_ms;
}

}  // namespace qm
