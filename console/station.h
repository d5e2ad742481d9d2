#pragma once

#include <atomic>
#include <memory>

#include "console/console.h"
#include "console/events.h"
#include "console/summary.h"

namespace qm {

int64_t UnixMs();

// Form1 asks for the machine's devices only in Form_Load, which the console does not run: it
// finds its adapters itself and names the port directly.
class NoDevices final : public DeviceQuery {
 public:
  std::vector<std::optional<std::wstring>> PnPDeviceNames() override { return {}; }
};

// One port's exchange: Form1 on the console, telling the events what happens.
class Station {
 public:
  Station(ConsolePlatform& platform, ConsoleEvents& events, std::unique_ptr<SerialPort> port,
          Adapter adapter, bool prefixed, int number, std::wstring expect = L"");

  // Runs the exchange (unless the interrupt came first) and tells its verdict.
  void Run();
  bool Done() const { return done_; }
  // Form1's outcome, judged by --expect; kNone until Done.
  ExchangeOutcome Outcome() const { return outcome_; }

 private:
  ConsolePlatform& platform_;
  ConsoleEvents& events_;
  WholeCommandPort port_;
  ExchangeId id_;
  NoDevices devices_;
  ConsoleHost host_;
  Form1 form_;
  std::wstring expect_;
  ExchangeOutcome outcome_ = ExchangeOutcome::kNone;
  std::atomic<bool> done_{false};
};

// The exchanges of --port, --all or the first adapter: all at once, each on its own.
int RunExchanges(const std::vector<Adapter>& adapters, bool several, ConsolePlatform& platform,
                 ConsoleEvents& events, const std::wstring& expect = L"");

}  // namespace qm
