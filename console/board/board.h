#pragma once

#include <atomic>
#include <memory>

#include "console/board/model.h"
#include "console/board/terminal.h"
#include "console/events.h"
#include "console/lock.h"

namespace qm {

// The station board: the events kept in a model, drawn on the terminal by a job of its own,
// when something changed (at most every kMinimumGapMs) and every second while a countdown or a
// progress moves; at once after a resize. The operator's q ends the watch.
class BoardEvents final : public ConsoleEvents {
 public:
  BoardEvents(ConsolePlatform& platform, std::unique_ptr<Terminal> terminal);
  // Stops drawing, then leaves the terminal as it was.
  ~BoardEvents() override;

  void WatchStarted(const WatchStart& start) override;
  void Found(const Adapter& adapter, int32_t settle_ms) override;
  void Started(const ExchangeId& id) override;
  void Finished(const ExchangeId& id, const Verdict& verdict) override;
  void Pulled(const Adapter& adapter) override;
  void Problem(const std::wstring& text) override;
  void ProblemOver(const std::wstring& text) override;
  void Stop() override;
  void Link(const std::wstring& text) override;

 private:
  static constexpr int32_t kMinimumGapMs = 100;
  static constexpr int32_t kTickMs = 1000;

  template <typename Change>
  void Update(Change change);
  void Draw();

  ConsolePlatform& platform_;
  std::unique_ptr<Terminal> terminal_;
  Mutex mutex_;
  BoardModel model_;  // under mutex_
  std::atomic<bool> changed_{true}, stop_{false}, running_{false};
};

// The wall clock as "10:02:03", local time.
std::wstring ClockText(int64_t unix_ms);

}  // namespace qm
