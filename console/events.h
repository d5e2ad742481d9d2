#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "console/console.h"
#include "console/lock.h"
#include "console/summary.h"

namespace qm {

// One exchange, as the events name it.
struct ExchangeId {
  int number = 0;     // one for each exchange of the run
  std::wstring port;  // as the port names itself, for people
  Adapter adapter;
  bool prefixed = false;  // several at once: lines for people say whose they are
  std::wstring path;      // as programs name it (JSON): the path whole
};

// How an exchange ended.
struct Verdict {
  ExchangeOutcome outcome = ExchangeOutcome::kNone;
  std::wstring answer;  // the device's answer, cleaned; empty unless it answered (at all)
  std::wstring reason;  // why the port could not be opened
  int64_t started_unix_ms = 0;
  int64_t took_ms = 0;
};

struct WatchStart {
  int64_t unix_ms = 0;
  int32_t settle_ms = 0;
  std::wstring watched;   // what is watched, in a few words
  std::wstring expect{};  // --expect's line; empty without it
};

// What happens in a run, as the exchanges and the watch report it. Called from any thread: an
// implementation keeps its own order. Each implementation shows it its own way: the lines for
// people, the JSON records, the board.
class ConsoleEvents {
 public:
  virtual ~ConsoleEvents() = default;
  virtual void WatchStarted(const WatchStart&) {}
  // A device plugged in (or present at the start), reset once the settle time is over.
  virtual void Found(const Adapter&, int32_t /*settle_ms*/) {}
  virtual void Started(const ExchangeId&) {}
  virtual void Line(const ExchangeId&, const std::wstring&) {}
  virtual void Finished(const ExchangeId&, const Verdict&) {}
  virtual void Pulled(const Adapter&) {}
  virtual void Summary(const Tally&) {}
  // Something went wrong that the run goes on through (the log cannot be written, the devices
  // cannot be listed): the operator must know.
  virtual void Problem(const std::wstring&) {}
  // A problem told before is over (the devices can be listed again).
  virtual void ProblemOver(const std::wstring&) {}
  // The run is over: nothing more is drawn (an exchange may still tell its verdict).
  virtual void Stop() {}
};

// The lines for people on standard output, as they come.
class LinesEvents final : public ConsoleEvents {
 public:
  explicit LinesEvents(ConsolePlatform& platform, std::wstring expect = L"")
      : platform_(platform), expect_(std::move(expect)) {}
  void Line(const ExchangeId& id, const std::wstring& line) override;
  // An unexpected answer is said after its exchange's lines: they show it as an answer.
  void Finished(const ExchangeId& id, const Verdict& verdict) override;
  void Problem(const std::wstring& text) override;

 private:
  ConsolePlatform& platform_;
  std::wstring expect_;
};

// --log: the JSON records appended to a file, each on the disk before anyone is shown it. A
// failed write is said once through `screen` and counted; the run goes on.
class LogEvents final : public ConsoleEvents {
 public:
  LogEvents(std::unique_ptr<RecordFile> file, std::wstring path)
      : file_(std::move(file)), path_(std::move(path)) {}
  void SetScreen(ConsoleEvents* screen) { screen_ = screen; }

  void WatchStarted(const WatchStart& start) override;
  void Finished(const ExchangeId& id, const Verdict& verdict) override;
  void Summary(const Tally& tally) override;
  // Why records were lost, and how many; empty when none was.
  std::wstring Failure() const;

 private:
  void Append(const std::wstring& record);

  std::unique_ptr<RecordFile> file_;
  std::wstring path_;
  ConsoleEvents* screen_ = nullptr;
  mutable Mutex mutex_;
  std::wstring error_;
  int lost_ = 0;
};

// Each event to the log first, then to the screen's renderer. With a log, an exchange's lines
// for people wait for its verdict, so that nothing is shown before its record is on the disk.
class FanOut final : public ConsoleEvents {
 public:
  FanOut(LogEvents* log, ConsoleEvents& screen);

  void WatchStarted(const WatchStart& start) override;
  void Found(const Adapter& adapter, int32_t settle_ms) override;
  void Started(const ExchangeId& id) override;
  void Line(const ExchangeId& id, const std::wstring& line) override;
  void Finished(const ExchangeId& id, const Verdict& verdict) override;
  void Pulled(const Adapter& adapter) override;
  void Summary(const Tally& tally) override;
  void Problem(const std::wstring& text) override { screen_.Problem(text); }
  void ProblemOver(const std::wstring& text) override { screen_.ProblemOver(text); }
  void Stop() override { screen_.Stop(); }

 private:
  LogEvents* log_;
  ConsoleEvents& screen_;
  Mutex mutex_;
  std::vector<std::pair<int, std::wstring>> held_;  // lines by exchange number
};

}  // namespace qm
