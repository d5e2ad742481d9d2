#include "console/watch.h"

#include <algorithm>
#include <map>

#include "console/station.h"
#include "console/summary.h"

namespace qm {

std::wstring CannotList(const Error& e) {
  return L"cannot list the devices: " + FatalErrorText(e);
}

namespace {
constexpr int64_t kLookAgainAfterFailureMs = 1000;
// After q, what an exchange under way may still take: the rest of its wait for the answer, and
// a moment to close its port.
constexpr int64_t kQuitGraceMs = kAnswerWaitMs + 300;
constexpr int32_t kQuitLookMs = 50;
}  // namespace

int Watch(const Options& options, ConsolePlatform& platform, ConsoleEvents& events, Tally& tally) {
  struct Plugged {
    Adapter adapter;
    int64_t due_ms;
    bool started = false;
  };
  std::map<std::wstring, Plugged> present;  // by port, location and serial
  std::vector<std::unique_ptr<Station>> running;
  std::wstring failure;  // why the last look failed (said once, not at every look)
  int number = 0;
  platform.WaitForDeviceChange(0);  // listening before the first look: nothing plugged is missed
  tally.judged = !options.expect.empty();
  events.WatchStarted({UnixMs(), options.settle_ms, L"CP210x adapters", options.expect});
  while (!platform.interrupt().Raised() && !platform.OutputFailed() &&
         !platform.interrupt().Quitting()) {
    const int64_t now = platform.SteadyMs();
    std::vector<Adapter> adapters;
    try {
      adapters = platform.FindAdapters();
      if (!failure.empty()) events.ProblemOver(failure);
      failure.clear();
    } catch (const Error& e) {
      if (platform.interrupt().Raised()) break;  // the look was given up for the interrupt
      if (failure.empty()) events.Problem(failure = CannotList(e));
    }
    std::map<std::wstring, Plugged> seen;
    for (Adapter& adapter : adapters) {
      // The same port, socket and serial number after a pull and a plug-in between two looks:
      // the instance (a new USB device number) tells them apart.
      std::wstring key = adapter.port + L'\n' + adapter.location + L'\n' + adapter.serial + L'\n' +
                         adapter.instance;
      auto it = present.find(key);
      if (it != present.end()) {
        seen.emplace(key, std::move(it->second));
      } else {
        events.Found(adapter, options.settle_ms);
        seen.emplace(key, Plugged{std::move(adapter), now + options.settle_ms});
      }
    }
    if (failure.empty()) {  // a failed look forgets nobody
      for (const auto& [key, plugged] : present) {
        if (seen.count(key) == 0) events.Pulled(plugged.adapter);
      }
      present = std::move(seen);
    }

    int64_t next_due = -1;
    for (auto& [key, plugged] : present) {
      if (plugged.started || platform.interrupt().Quitting()) continue;  // after q, none new
      if (plugged.due_ms > now) {
        if (next_due < 0 || plugged.due_ms < next_due) next_due = plugged.due_ms;
        continue;
      }
      plugged.started = true;
      std::unique_ptr<SerialPort> port = platform.MakePort(plugged.adapter.port);
      if (!port) continue;  // discovery gives only names that name ports
      running.push_back(std::make_unique<Station>(platform, events, std::move(port),
                                                  plugged.adapter, true, ++number, options.expect));
      platform.Start([s = running.back().get()] { s->Run(); });
    }
    // Finished exchanges are counted and let go: a bench runs all day.
    running.erase(std::remove_if(running.begin(), running.end(),
                                 [&](const std::unique_ptr<Station>& s) {
                                   if (!s->Done()) return false;
                                   tally.Count(s->Outcome());
                                   return true;
                                 }),
                  running.end());
    // A failed look is tried again soon: the change that came with it may be the last one
    // for a long time, and the adapter it brought would be missed until the next plug-in.
    if (!failure.empty()) {
      const int64_t retry = platform.SteadyMs() + kLookAgainAfterFailureMs;
      if (next_due < 0 || retry < next_due) next_due = retry;
    }
    platform.WaitForDeviceChange(
        next_due < 0 ? -1
                     : static_cast<int32_t>(std::max<int64_t>(0, next_due - platform.SteadyMs())));
  }
  // q: the exchanges under way end first (the board still shows them); Ctrl+C cuts them short.
  Interrupt& interrupt = platform.interrupt();
  const auto under_way = [&] {
    return std::any_of(running.begin(), running.end(),
                       [](const std::unique_ptr<Station>& s) { return !s->Done(); });
  };
  const int64_t grace_over = platform.SteadyMs() + kQuitGraceMs;
  while (interrupt.Quitting() && !interrupt.Raised() && under_way()) {
    const int64_t left = grace_over - platform.SteadyMs();
    if (left <= 0) {
      interrupt.CutShort();
      break;
    }
    interrupt.Sleep(static_cast<int32_t>(std::min<int64_t>(left, kQuitLookMs)));
  }
  events.Stop();
  platform.WaitForJobs();
  for (const auto& station : running) tally.Count(station->Outcome());
  events.Summary(tally);
  if (interrupt.Quitting()) return kExitAnswered;
  return interrupt.Raised() ? kExitInterrupted : kExitFailure;
}

}  // namespace qm
