#include "console/console.h"

#include "common/text.h"
#include "console/arguments.h"
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

}  // namespace qm
