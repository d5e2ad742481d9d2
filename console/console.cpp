#include "console/console.h"

#include "common/text.h"
#include "console/arguments.h"
#include "console/board/board.h"
#include "console/board/terminal.h"
#include "console/events.h"
#include "console/json.h"
#include "console/station.h"
#include "console/watch.h"

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

// Exchanges and the watch, shown on the screen and kept in the log.
int RunShown(const Options& options, const std::vector<Adapter>* adapters, bool several,
             ConsolePlatform& platform) {
  std::unique_ptr<LogEvents> log;
  if (!options.log.empty()) {
    try {
      log = std::make_unique<LogEvents>(platform.OpenLog(options.log), options.log);
    } catch (const Error& e) {
      // Before any port is touched: a bench that must keep its verdicts does not start without.
      platform.PrintError(L"quillomarvet: cannot open the log " + options.log + L": " +
                          FatalErrorText(e));
      return kExitFailure;
    }
  }
  std::unique_ptr<ConsoleEvents> screen = Screen(options, platform);
  FanOut events(log.get(), *screen);
  if (adapters) return RunExchanges(*adapters, several, platform, events, options.expect);

  Tally tally;
  const int status = Watch(options, platform, events, tally);
  screen.reset();  // the terminal as it was, before the summary is said on it
  if (log) log->SetScreen(nullptr);
  platform.PrintError(SummaryLine(tally));
  if (log && !log->Failure().empty()) platform.PrintError(L"quillomarvet: " + log->Failure());
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
      return RunShown(options, nullptr, true, platform);
    case Options::Mode::kOne:
      if (!options.ports.empty()) {
        std::vector<Adapter> named;
        for (const std::wstring& port : options.ports) named.push_back({port, L"", L"", L"", L""});
        return RunShown(options, &named, named.size() > 1, platform);
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
  return RunShown(options, &adapters, options.mode == Options::Mode::kAll, platform);
}

}  // namespace qm
