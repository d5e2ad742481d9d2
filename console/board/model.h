#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "console/board/terminal.h"
#include "console/events.h"
#include "console/summary.h"

namespace qm {

// One socket of the bench: where adapters are plugged in, and what became of the last one.
struct Socket {
  enum class State { kSettling, kResetting, kVerdict };
  std::wstring key;  // the USB location, else the port
  std::wstring location, port, serial;
  std::wstring instance;  // the device now in it (or pulled from it last)
  State state = State::kSettling;
  int64_t since_ms = 0;  // steady clock: settling until; resetting since
  Verdict verdict;
  std::wstring verdict_time;  // "10:02:03"
  bool pulled = false;
  int answered = 0, failed = 0;  // this socket's verdicts so far
};

// The bench as the board shows it (htop's ProcessList): sockets in natural order, the totals,
// the last few events. Not locked: its owner keeps it.
class BoardModel {
 public:
  static constexpr std::size_t kEventsKept = 8;

  void Watching(const WatchStart& start, std::wstring clock);
  void Found(const Adapter& adapter, int64_t due_ms);
  void Started(const ExchangeId& id, int64_t now_ms);
  void Finished(const ExchangeId& id, const Verdict& verdict, std::wstring clock);
  void Pulled(const Adapter& adapter);
  void Problem(const std::wstring& text) { problems_.push_back(text); }
  void ProblemOver(const std::wstring& text);
  void Link(const std::wstring& text) { link_ = text; }
  // The operator's q: no device is taken any more, those under way end first.
  void Ending() { ending_ = true; }

  const std::vector<Socket>& sockets() const { return sockets_; }
  const Tally& totals() const { return totals_; }
  const std::deque<std::wstring>& events() const { return events_; }  // newest first
  const std::wstring& since() const { return since_; }
  const std::wstring& watched() const { return watched_; }
  int32_t settle_ms() const { return settle_ms_; }
  const std::wstring& link() const { return link_; }  // how records reach the broker
  bool ending() const { return ending_; }
  const std::wstring& expect() const { return expect_; }
  // The newest problem that is not over; empty when none.
  std::wstring problem() const { return problems_.empty() ? L"" : problems_.back(); }
  // Whether some socket shows a countdown or a progress that moves with time.
  bool Moving() const;

 private:
  Socket& At(const Adapter& adapter);
  Socket* Holding(const Adapter& adapter);

  std::vector<Socket> sockets_;
  Tally totals_;
  std::deque<std::wstring> events_;
  std::wstring since_, watched_, expect_, link_;
  std::vector<std::wstring> problems_;
  int32_t settle_ms_ = 0;
  bool ending_ = false;
};

// The socket an adapter is in, in a few letters: its USB location (Windows' "Port_#0004.Hub_#0001"
// as H1P4, in the hub's order), else its port.
std::wstring SocketKey(const Adapter& adapter);

// What a verdict is called in a few letters: the answer, "NO COMM", "cannot open", ...
std::wstring VerdictWord(const Verdict& verdict);
Ink VerdictInk(ExchangeOutcome outcome);

// The board drawn to exactly `width` x `height` cells (htop's Panel) at steady time `now_ms`:
// one row per socket while they fit, else a compact grid of short cells.
Frame Layout(const BoardModel& model, int width, int height, int64_t now_ms, bool colours);

}  // namespace qm
