#include "console/console.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <map>

#include "common/text.h"

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
    L"Usage: quillomarvet [--port PORT]... | --list | --all | --watch [--settle SECONDS]",
    L"                    [--json]",
    L"",
    L"Puts a device on a CP210x USB-to-serial adapter back to its factory settings: opens the",
    L"port (57600 baud, 8N1, no flow control), sends AT+DEFAULT and ten line ends, waits 2 s and",
    L"prints \"Open port\", the device's answer (or \"NO COMM\") and \"Port closed\".",
    L"",
    L"Options:",
    L"  (no option)       the first CP210x adapter found",
    L"  --port PORT       that port; given several times, those ports all at once",
    L"  --list            the adapters found: port, location, serial number, product",
    L"  --all             every adapter found, all at once; each line starts with its port",
    L"  --watch           every adapter present and every one plugged in later, once per",
    L"                    plug-in, until interrupted; a summary on standard error at the end",
    L"  --settle SECONDS  with --watch: how long a device plugged in is given to power up",
    L"                    before it is reset (default 1)",
    L"  --json            JSON Lines on standard output: one object per adapter, exchange and",
    L"                    run of several ports",
    L"  --help            this text",
    L"  --version         the version",
    L"",
    L"Exit status (with several ports the highest wins):",
    L"  0    every device answered",
    L"  1    some device gave no answer",
    L"  2    some port could not be opened",
    L"  3    no adapter found and no --port given",
    L"  64   a usage error",
    L"  70   the program could not run, list the devices or write its output (the reason is",
    L"       on standard error)",
#ifdef _WIN32
    L"  130  interrupted (Ctrl+C, Ctrl+Break, the console closed): the ports are closed first",
#else
    L"  130  interrupted by Ctrl+C (SIGINT): the ports are closed, then it ends by the signal",
    L"  143  ended by SIGTERM, likewise",
    L"  129  ended by SIGHUP (the terminal closed), likewise",
#endif
};

int64_t UnixMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

// `value` in decimal, with leading zeros to `width` digits.
std::wstring Padded(int64_t value, std::size_t width) {
  std::wstring digits = DecimalNumber(value);
  return std::wstring(width > digits.size() ? width - digits.size() : 0, L'0') + digits;
}

const wchar_t* OutcomeName(ExchangeOutcome outcome) {
  switch (outcome) {
    case ExchangeOutcome::kAnswered: return L"answered";
    case ExchangeOutcome::kNoAnswer: return L"no-answer";
    case ExchangeOutcome::kCouldNotOpen: return L"cannot-open";
    case ExchangeOutcome::kNone: break;
  }
  return L"interrupted";  // the program ended during the exchange, or before it
}

void SayCannotList(ConsolePlatform& platform, const Error& e) {
  platform.PrintError(L"quillomarvet: cannot list the devices: " + FatalErrorText(e));
}

std::wstring JsonOrNull(const std::wstring& text) {
  return text.empty() ? L"null" : JsonString(text);
}

// The members that say which adapter a record is about.
std::wstring JsonAdapter(const std::wstring& port, const Adapter& adapter) {
  return L"\"port\":" + JsonString(port) + L",\"location\":" + JsonOrNull(adapter.location) +
         L",\"serial\":" + JsonOrNull(adapter.serial) + L",\"product\":" +
         JsonOrNull(adapter.name);
}

// How each exchange of a run ended.
struct Tally {
  int answered = 0, no_answer = 0, cannot_open = 0, interrupted = 0;
  int Total() const { return answered + no_answer + cannot_open + interrupted; }
};

// One port's exchange: Form1 on the console, with what JSON says of the adapter.
class Station {
 public:
  Station(ConsolePlatform& platform, std::unique_ptr<SerialPort> port, Adapter adapter,
          bool prefixed, bool json)
      : platform_(platform),
        port_(std::move(port), platform.interrupt()),
        adapter_(std::move(adapter)),
        host_(platform, prefixed ? Prefix() : L"", json),
        form_(host_, port_, devices_),
        json_(json) {
    host_.Attach(form_, port_);
  }

  // Runs the exchange (unless the interrupt came first) and, with JSON, writes its record.
  void Run() {
    const int64_t started = UnixMs(), steady = platform_.SteadyMs();
    if (!platform_.interrupt().Raised()) form_.cmReset_Click();
    if (json_) platform_.PrintRecord(Record(started, platform_.SteadyMs() - steady));
    done_ = true;
  }
  bool Done() const { return done_; }
  ExchangeOutcome Outcome() const { return form_.LastOutcome(); }

  void Count(Tally& tally) const {
    switch (Outcome()) {
      case ExchangeOutcome::kAnswered: ++tally.answered; break;
      case ExchangeOutcome::kNoAnswer: ++tally.no_answer; break;
      case ExchangeOutcome::kCouldNotOpen: ++tally.cannot_open; break;
      case ExchangeOutcome::kNone: ++tally.interrupted; break;
    }
  }

 private:
  std::wstring Prefix() const {
    std::wstring prefix = port_.PortName();
    if (!adapter_.location.empty()) prefix += L" (" + adapter_.location + L")";
    return prefix + L": ";
  }

  std::wstring Record(int64_t started_ms, int64_t took_ms) const {
    std::wstring answer;
    const auto& lines = form_.ReportLines();
    for (std::size_t i = 0; i < lines.size(); ++i) {
      if (!form_.OwnLine(i)) answer = WithoutControls(lines[i]);
    }
    const bool answered = Outcome() == ExchangeOutcome::kAnswered;
    const bool unopened = Outcome() == ExchangeOutcome::kCouldNotOpen;
    return L"{\"type\":\"exchange\"," + JsonAdapter(port_.PortPath(), adapter_) +
           L",\"outcome\":\"" + OutcomeName(Outcome()) + L"\",\"answer\":" +
           (answered ? JsonString(answer) : L"null") + L",\"reason\":" +
           JsonOrNull(unopened ? port_.OpenFailure() : L"") + L",\"started\":\"" +
           IsoTime(started_ms) + L"\",\"seconds\":" + DecimalNumber(took_ms / 1000) + L"." +
           Padded(took_ms % 1000, 3) + L"}";
  }

  ConsolePlatform& platform_;
  WholeCommandPort port_;
  Adapter adapter_;
  NoDevices devices_;
  ConsoleHost host_;
  Form1 form_;
  bool json_;
  std::atomic<bool> done_{false};
};

void PrintSummary(ConsolePlatform& platform, const Tally& tally, bool json, bool human) {
  if (json) {
    platform.PrintRecord(L"{\"type\":\"summary\",\"answered\":" + DecimalNumber(tally.answered) +
                         L",\"no-answer\":" + DecimalNumber(tally.no_answer) +
                         L",\"cannot-open\":" + DecimalNumber(tally.cannot_open) +
                         L",\"interrupted\":" + DecimalNumber(tally.interrupted) + L"}");
  }
  if (human) {
    std::wstring line = DecimalNumber(tally.Total()) + L" reset: " +
                        DecimalNumber(tally.answered) + L" answered, " +
                        DecimalNumber(tally.no_answer) + L" no answer, " +
                        DecimalNumber(tally.cannot_open) + L" could not be opened";
    if (tally.interrupted > 0) line += L", " + DecimalNumber(tally.interrupted) + L" interrupted";
    platform.PrintError(line);
  }
}

int RunExchanges(const std::vector<Adapter>& adapters, bool several, const Options& options,
                 ConsolePlatform& platform) {
  std::vector<std::unique_ptr<Station>> stations;
  for (const Adapter& adapter : adapters) {
    std::unique_ptr<SerialPort> port = platform.MakePort(adapter.port);
    if (!port) {
      platform.PrintError(L"quillomarvet: " + adapter.port + L" is not a port name (e.g. " +
                          platform.PortExample() + L")");
      return kExitUsage;
    }
    stations.push_back(std::make_unique<Station>(platform, std::move(port), adapter, several,
                                                 options.json));
  }
  if (stations.size() == 1) {
    stations.front()->Run();
  } else {
    for (auto& station : stations) platform.Start([s = station.get()] { s->Run(); });
    platform.WaitForJobs();
  }

  Tally tally;
  int status = kExitAnswered;
  for (const auto& station : stations) {
    station->Count(tally);
    status = std::max(status, ExitStatusFor(station->Outcome()));
  }
  if (several) PrintSummary(platform, tally, options.json, false);
  if (platform.interrupt().Raised()) return kExitInterrupted;
  return status;
}

constexpr int64_t kLookAgainAfterFailureMs = 1000;

// --watch: every adapter present, and every one plugged in later, reset once per plug-in, each
// after the settle time and each on its own; until the interrupt.
int Watch(const Options& options, ConsolePlatform& platform) {
  struct Plugged {
    Adapter adapter;
    int64_t due_ms;
    bool started = false;
  };
  std::map<std::wstring, Plugged> present;  // by port, location and serial
  std::vector<std::unique_ptr<Station>> running;
  Tally tally;
  bool failing = false;  // the last look failed (said once, not at every look)
  platform.WaitForDeviceChange(0);  // listening before the first look: nothing plugged is missed
  while (!platform.interrupt().Raised() && !platform.OutputFailed()) {
    const int64_t now = platform.SteadyMs();
    std::vector<Adapter> adapters;
    try {
      adapters = platform.FindAdapters();
      failing = false;
    } catch (const Error& e) {
      if (platform.interrupt().Raised()) break;  // the look was given up for the interrupt
      if (!failing) SayCannotList(platform, e);
      failing = true;
    }
    std::map<std::wstring, Plugged> seen;
    for (Adapter& adapter : adapters) {
      // The same port, socket and serial number after a pull and a plug-in between two looks:
      // the instance (a new USB device number) tells them apart.
      std::wstring key = adapter.port + L'\n' + adapter.location + L'\n' + adapter.serial +
                         L'\n' + adapter.instance;
      auto it = present.find(key);
      if (it != present.end()) {
        seen.emplace(key, std::move(it->second));
      } else {
        seen.emplace(key, Plugged{std::move(adapter), now + options.settle_ms});
      }
    }
    if (!failing) present = std::move(seen);  // a failed look forgets nobody

    int64_t next_due = -1;
    for (auto& [key, plugged] : present) {
      if (plugged.started) continue;
      if (plugged.due_ms > now) {
        if (next_due < 0 || plugged.due_ms < next_due) next_due = plugged.due_ms;
        continue;
      }
      plugged.started = true;
      std::unique_ptr<SerialPort> port = platform.MakePort(plugged.adapter.port);
      if (!port) continue;  // discovery gives only names that name ports
      running.push_back(std::make_unique<Station>(platform, std::move(port), plugged.adapter,
                                                  true, options.json));
      platform.Start([s = running.back().get()] { s->Run(); });
    }
    // Finished exchanges are counted and let go: a bench runs all day.
    running.erase(std::remove_if(running.begin(), running.end(),
                                 [&](const std::unique_ptr<Station>& s) {
                                   if (!s->Done()) return false;
                                   s->Count(tally);
                                   return true;
                                 }),
                  running.end());
    // A failed look is tried again soon: the change that came with it may be the last one
    // for a long time, and the adapter it brought would be missed until the next plug-in.
    if (failing) {
      const int64_t retry = platform.SteadyMs() + kLookAgainAfterFailureMs;
      if (next_due < 0 || retry < next_due) next_due = retry;
    }
    platform.WaitForDeviceChange(
        next_due < 0 ? -1
                     : static_cast<int32_t>(std::max<int64_t>(0, next_due - platform.SteadyMs())));
  }
  platform.WaitForJobs();
  for (const auto& station : running) station->Count(tally);
  PrintSummary(platform, tally, options.json, true);
  return platform.interrupt().Raised() ? kExitInterrupted : kExitFailure;
}

void SayNoAdapter(ConsolePlatform& platform) {
  platform.PrintError(L"quillomarvet: no adapter found. Looked for " + platform.WhatWasLookedFor() +
                      L".");
  platform.PrintError(L"Name the port with --port, e.g. quillomarvet --port " +
                      platform.PortExample());
}

// Seconds as --settle takes them: digits, with up to three decimals; at most an hour.
std::optional<int32_t> SettleMs(const std::wstring& text) {
  int64_t ms = 0;
  int decimals = -1;
  for (wchar_t c : text) {
    if (c == L'.' && decimals < 0) {
      decimals = 0;
    } else if (c >= L'0' && c <= L'9' && decimals < 3) {
      ms = ms * 10 + (c - L'0');
      if (decimals >= 0) ++decimals;
      if (ms > 3600000) return std::nullopt;
    } else {
      return std::nullopt;
    }
  }
  if (text.empty() || text == L".") return std::nullopt;
  for (int d = std::max(decimals, 0); d < 3; ++d) ms *= 10;
  if (ms > 3600000) return std::nullopt;
  return static_cast<int32_t>(ms);
}

}  // namespace

std::wstring SerialFromInstanceId(std::wstring_view instance_id) {
  const std::size_t slash = instance_id.rfind(L'\\');
  if (slash == std::wstring_view::npos || instance_id.substr(0, 4) != L"USB\\") return L"";
  const std::wstring_view last = instance_id.substr(slash + 1);
  return last.find(L'&') == std::wstring_view::npos ? std::wstring(last) : L"";
}

std::wstring JsonString(std::wstring_view text) {
  static constexpr wchar_t kHex[] = L"0123456789abcdef";
  std::wstring json = L"\"";
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char32_t c = static_cast<char32_t>(text[i]);
    const bool high = c >= 0xD800 && c < 0xDC00, low = c >= 0xDC00 && c < 0xE000;
    // A surrogate is kept only as half of a pair (where wchar_t is 16 bits wide).
    const bool paired = high && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] < 0xE000;
    if (c == L'"' || c == L'\\') {
      json += L'\\';
      json += static_cast<wchar_t>(c);
    } else if (c < 0x20 || (c >= 0x7F && c <= 0x9F)) {  // no control reaches a terminal raw
      json += L"\\u00";
      json += kHex[c >> 4];
      json += kHex[c & 0xF];
    } else if ((high && !paired) || low || c > 0x10FFFF) {  // a path's stray bytes are low ones
      json += L"\\ufffd";
    } else {
      json += static_cast<wchar_t>(c);
      if (paired) json += text[++i];
    }
  }
  return json + L"\"";
}

std::wstring IsoTime(int64_t unix_ms) {
  // Days to a civil date (Howard Hinnant's algorithm), so that no C library's time is needed.
  const int64_t ms_of_day = ((unix_ms % 86400000) + 86400000) % 86400000;
  int64_t z = (unix_ms - ms_of_day) / 86400000 + 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const int64_t doe = z - era * 146097;
  const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const int64_t mp = (5 * doy + 2) / 153;
  const int64_t day = doy - (153 * mp + 2) / 5 + 1;
  const int64_t month = mp < 10 ? mp + 3 : mp - 9;
  const int64_t year = yoe + era * 400 + (month <= 2);

  const int64_t ms = ms_of_day % 1000, s = ms_of_day / 1000;
  return DecimalNumber(year) + L"-" + Padded(month, 2) + L"-" + Padded(day, 2) + L"T" +
         Padded(s / 3600, 2) + L":" + Padded(s / 60 % 60, 2) + L":" + Padded(s % 60, 2) + L"." +
         Padded(ms, 3) + L"Z";
}

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
  bool list = false, all = false, watch = false, help = false, version = false, settle = false;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::wstring& arg = args[i];
    // --name VALUE or --name=VALUE
    const auto value = [&](const wchar_t* name) -> std::optional<std::wstring> {
      const std::wstring option(name);
      if (arg == option && i + 1 < args.size()) return args[++i];
      if (arg.rfind(option + L"=", 0) == 0) return arg.substr(option.size() + 1);
      return std::nullopt;
    };
    if (arg == L"--help" || arg == L"-h") {
      help = true;
    } else if (arg == L"--version") {
      version = true;
    } else if (arg == L"--list") {
      list = true;
    } else if (arg == L"--all") {
      all = true;
    } else if (arg == L"--watch") {
      watch = true;
    } else if (arg == L"--json") {
      options.json = true;
    } else if (auto port = value(L"--port")) {
      if (port->empty()) return {std::nullopt, L"--port needs a port name"};
      for (const std::wstring& given : options.ports) {
        if (given == *port) return {std::nullopt, L"--port " + *port + L" given twice"};
      }
      options.ports.push_back(std::move(*port));
    } else if (auto seconds = value(L"--settle")) {
      const std::optional<int32_t> ms = SettleMs(*seconds);
      if (!ms) return {std::nullopt, L"--settle needs seconds from 0 to 3600, e.g. 1.5"};
      options.settle_ms = *ms;
      settle = true;
    } else if (arg == L"--port" || arg == L"--settle") {
      return {std::nullopt, arg + (arg == L"--port" ? L" needs a port name" : L" needs seconds")};
    } else {
      return {std::nullopt, L"unknown argument: " + arg};
    }
  }
  if (help) {
    options.mode = Options::Mode::kHelp;
  } else if (version) {
    options.mode = Options::Mode::kVersion;
  } else if (int(list) + int(all) + int(watch) + int(!options.ports.empty()) > 1) {
    return {std::nullopt, L"--port, --list, --all and --watch do not go together"};
  } else if (settle && !watch) {
    return {std::nullopt, L"--settle goes with --watch"};
  } else if (list) {
    options.mode = Options::Mode::kList;
  } else if (all) {
    options.mode = Options::Mode::kAll;
  } else if (watch) {
    options.mode = Options::Mode::kWatch;
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
    case Options::Mode::kWatch:
      return Watch(options, platform);
    case Options::Mode::kOne:
      if (!options.ports.empty()) {
        std::vector<Adapter> named;
        for (const std::wstring& port : options.ports) named.push_back({port, L"", L"", L"", L""});
        return RunExchanges(named, named.size() > 1, options, platform);
      }
      break;
    case Options::Mode::kList:
    case Options::Mode::kAll:
      break;
  }

  std::vector<Adapter> adapters;
  try {
    adapters = platform.FindAdapters();
  } catch (const Error& e) {
    if (platform.interrupt().Raised()) return kExitInterrupted;
    // Not the same as no adapter: a script must not take a broken (or hung) device list for an
    // empty bench.
    SayCannotList(platform, e);
    return kExitFailure;
  }
  if (adapters.empty()) {
    SayNoAdapter(platform);
    return kExitNoAdapter;
  }
  if (options.mode == Options::Mode::kList) {
    for (const Adapter& a : adapters) {
      if (options.json) {
        platform.PrintRecord(L"{\"type\":\"adapter\"," + JsonAdapter(a.port, a) + L"}");
      } else {
        const auto field = [](const std::wstring& text) { return text.empty() ? L"-" : text; };
        platform.PrintLine(a.port + L"  " + field(a.location) + L"  " + field(a.serial) + L"  " +
                           field(a.name));
      }
    }
    return kExitAnswered;
  }
  if (options.mode == Options::Mode::kOne) {
    return RunExchanges({adapters.front()}, false, options, platform);
  }
  return RunExchanges(adapters, true, options, platform);
}

void WholeCommandPort::Open() {
  written_ = 0;
  open_failure_.clear();
  try {
    port_->Open();
  } catch (const Error& e) {
    open_failure_ = port_->OpenFailureReason(e);
    throw;
  }
}

void WholeCommandPort::Write(std::string_view bytes) {
  if (written_ == 0 && interrupt_.Raised()) throw Error(0, L"interrupted before the command");
  try {
    port_->Write(bytes);
    written_ += bytes.size();
  } catch (...) {
    written_ = kCommandSize;  // a port that cannot take it does not hold the interrupt back
    throw;
  }
}

int64_t ConsolePlatform::SteadyMs() const {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

void ConsoleHost::ReportLineAdded(const std::wstring& line) {
  if (json_) return;  // the exchange's record says it all at the end
  // A device's answer is cleaned of the control bytes below 0x20; a terminal honours C1
  // controls too (U+009B starts an escape sequence on some), so those go as well.
  platform_.PrintLine(prefix_ + WithoutControls(line));
}

void ConsoleHost::DoEvents() {
  if (!form_ || form_->Ended()) return;
  if (platform_.interrupt().Raised() && !(port_ && port_->CommandUnfinished())) {
    form_->Form_Terminate();  // closes the port; the exchange stops where it is
    return;
  }
  if (timer_armed_ && platform_.SteadyMs() >= timer_due_ms_) {
    timer_due_ms_ += timer_interval_ms_;
    form_->TimerPausa_Timer();
  }
}

void ConsoleHost::WaitForEvent() {
  // With no timer there is nothing but the interrupt to wait for; look again now and then.
  int64_t wait_ms = 100;
  if (timer_armed_) wait_ms = std::max<int64_t>(0, timer_due_ms_ - platform_.SteadyMs());
  if (wait_ms > 0) platform_.interrupt().Sleep(static_cast<int32_t>(wait_ms));
}

void ConsoleHost::ArmPauseTimer(int32_t interval_ms) {
  timer_armed_ = interval_ms > 0;  // like a window timer: no positive interval, no tick
  timer_interval_ms_ = interval_ms;
  timer_due_ms_ = platform_.SteadyMs() + interval_ms;
}

}  // namespace qm
