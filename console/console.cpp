#include "console/console.h"

#include "common/text.h"
#include "console/arguments.h"
#include "console/board/board.h"
#include "console/board/terminal.h"
#include "console/events.h"
#include "console/json.h"
#include "console/station.h"
#include "console/watch.h"
#ifdef QM_WITH_MQTT
#include "console/mqtt/files.h"
#include "console/mqtt/publisher.h"
#endif

namespace qm {

namespace {

void SayNoAdapter(ConsolePlatform& platform) {
  platform.PrintError(L"quillomarvet: no adapter found. Looked for " + platform.WhatWasLookedFor() +
                      L".");
  platform.PrintError(L"Name the port with --port, e.g. quillomarvet --port " +
                      platform.PortExample());
}

// The screen's renderer: the records with --json; the board for a watch on a terminal that can
// take it, unless --plain; else the lines.
std::unique_ptr<ConsoleEvents> Screen(const Options& options, ConsolePlatform& platform) {
  if (options.json) return std::make_unique<JsonEvents>(platform);
  if (options.mode == Options::Mode::kWatch && !options.plain) {
    if (std::unique_ptr<Terminal> terminal = platform.OpenTerminal()) {
      return std::make_unique<BoardEvents>(platform, std::move(terminal));
    }
  }
  return std::make_unique<LinesEvents>(platform, options.expect);
}

#ifdef QM_WITH_MQTT
// --mqtt's publisher, reading the log's unsent records before anything is added to it; nullptr
// with `status` set when it cannot start.
std::unique_ptr<MqttPublisher> StartPublisher(const Options& options, ConsolePlatform& platform,
                                              std::wstring_view version, int& status) {
  MqttSettings settings;
  std::wstring error;
  settings.url = *ParseMqttUrl(options.mqtt, error);
  settings.host = HostName();
  settings.bench = options.bench.empty() ? settings.host : options.bench;
  settings.password_file = options.mqtt_password_file;
  settings.cafile = options.mqtt_cafile;
  settings.wait_ms = options.mqtt_wait_ms;
  settings.log = options.log;
  settings.version = std::wstring(version);
  settings.watched = options.mode == Options::Mode::kWatch ? L"CP210x adapters" : L"ports";
  settings.started_unix_ms = UnixMs();
  try {
    auto publisher = std::make_unique<MqttPublisher>(std::move(settings));
    for (const std::wstring& note : publisher->notes()) {
      platform.PrintError(L"quillomarvet: " + note);
    }
    return publisher;
  } catch (const Error& e) {
    platform.PrintError(L"quillomarvet: --mqtt: " + FatalErrorText(e));
    status = kExitFailure;
    return nullptr;
  }
}
#endif

// Exchanges and the watch, shown on the screen, kept in the log and published.
int RunShown(const Options& options, const std::vector<Adapter>* adapters, bool several,
             ConsolePlatform& platform, std::wstring_view version) {
  RecordSink* sink = nullptr;
#ifdef QM_WITH_MQTT
  std::unique_ptr<MqttPublisher> mqtt;
  if (!options.mqtt.empty()) {
    int status = 0;
    mqtt = StartPublisher(options, platform, version, status);
    if (!mqtt) return status;
    sink = mqtt.get();
  }
#else
  (void)version;
  if (!options.mqtt.empty()) {
    platform.PrintError(L"quillomarvet: --mqtt: this build has no MQTT client");
    return kExitFailure;
  }
#endif
  std::unique_ptr<LogEvents> log;
  if (!options.log.empty()) {
    try {
      log = std::make_unique<LogEvents>(platform.OpenLog(options.log), options.log, sink);
    } catch (const Error& e) {
      // Before any port is touched: a bench that must keep its verdicts does not start without.
      platform.PrintError(L"quillomarvet: cannot open the log " + options.log + L": " +
                          FatalErrorText(e));
      return kExitFailure;
    }
  } else if (sink) {
    log = std::make_unique<LogEvents>(nullptr, L"", sink);
  }
  std::unique_ptr<ConsoleEvents> screen = Screen(options, platform);
#ifdef QM_WITH_MQTT
  if (mqtt) mqtt->SetScreen(screen.get());
#endif
  FanOut events(log.get(), *screen);
  int status;
  Tally tally;
  if (adapters) {
    status = RunExchanges(*adapters, several, platform, events, options.expect);
  } else {
    status = Watch(options, platform, events, tally);
  }
#ifdef QM_WITH_MQTT
  if (mqtt) mqtt->SetScreen(nullptr);
#endif
  screen.reset();  // the terminal as it was, before the summary is said on it
  if (log) log->SetScreen(nullptr);
  if (!adapters) {
    platform.PrintError(SummaryLine(tally));
    if (log && !log->Failure().empty()) platform.PrintError(L"quillomarvet: " + log->Failure());
  }
#ifdef QM_WITH_MQTT
  if (mqtt) {
    const int64_t left = mqtt->Finish();
    if (left > 0 && !mqtt->Problem().empty()) {
      platform.PrintError(L"quillomarvet: " + mqtt->Problem());
    }
    if (left > 0 && options.log.empty()) {
      platform.PrintError(L"quillomarvet: the broker did not take " + DecimalNumber(left) +
                          (left == 1 ? L" record" : L" records") + L" within --mqtt-wait: lost");
      status = std::max(status, kExitFailure);
    } else if (left > 0) {
      platform.PrintError(L"quillomarvet: " + DecimalNumber(left) +
                          (left == 1 ? L" record waits" : L" records wait") + L" in the log " +
                          options.log + L" for the broker: sent at the next start");
    }
  }
#endif
  return status;
}

}  // namespace

std::wstring SerialFromInstanceId(std::wstring_view instance_id) {
  const std::size_t slash = instance_id.rfind(L'\\');
  if (slash == std::wstring_view::npos || instance_id.substr(0, 4) != L"USB\\") return L"";
  const std::wstring_view last = instance_id.substr(slash + 1);
  return last.find(L'&') == std::wstring_view::npos ? std::wstring(last) : L"";
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
      for (const std::wstring& line : UsageLines()) platform.PrintLine(line);
      return kExitAnswered;
    case Options::Mode::kVersion:
      platform.PrintLine(L"quillomarvet " + std::wstring(version));
      return kExitAnswered;
    case Options::Mode::kWatch:
      return RunShown(options, nullptr, true, platform, version);
    case Options::Mode::kOne:
      if (!options.ports.empty()) {
        std::vector<Adapter> named;
        for (const std::wstring& port : options.ports) named.push_back({port, L"", L"", L"", L""});
        return RunShown(options, &named, named.size() > 1, platform, version);
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
    platform.PrintError(L"quillomarvet: " + CannotList(e));
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
    adapters.resize(1);
  }
  return RunShown(options, &adapters, options.mode == Options::Mode::kAll, platform, version);
}

}  // namespace qm
