#pragma once

#include <atomic>
#include <memory>

#include "common/text.h"
#include "console/console.h"
#include "console/json.h"
#include "console/summary.h"

namespace qm {

int64_t UnixMs();
int64_t SteadyMs();

// Form1 asks for the machine's devices only in Form_Load, which the console does not run: it
// finds its adapters itself and names the port directly.
class NoDevices final : public DeviceQuery {
 public:
  std::vector<std::optional<std::wstring>> PnPDeviceNames() override { return {}; }
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
    const int64_t started = UnixMs(), steady = SteadyMs();
    if (!platform_.interrupt().Raised()) form_.cmReset_Click();
    if (json_) platform_.PrintRecord(Record(started, SteadyMs() - steady));
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
    return L"{\"type\":\"exchange\"," + JsonAdapter(port_.PortName(), adapter_) +
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

// The exchanges of --port, --all or the first adapter: all at once, each on its own.
int RunExchanges(const std::vector<Adapter>& adapters, bool several, const Options& options,
                 ConsolePlatform& platform);

}  // namespace qm
