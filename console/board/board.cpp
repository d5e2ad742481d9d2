#include "console/board/board.h"

#include <ctime>

#include "common/error.h"
#include "console/json.h"
#include "console/station.h"

namespace qm {

std::wstring ClockText(int64_t unix_ms) {
  const std::time_t seconds = static_cast<std::time_t>(unix_ms / 1000);
  std::tm local{};
#ifdef _WIN32
  if (::localtime_s(&local, &seconds) != 0) return L"--:--:--";
#else
  if (!::localtime_r(&seconds, &local)) return L"--:--:--";
#endif
  return Padded(local.tm_hour, 2) + L":" + Padded(local.tm_min, 2) + L":" + Padded(local.tm_sec, 2);
}

BoardEvents::BoardEvents(ConsolePlatform& platform, std::unique_ptr<Terminal> terminal)
    : platform_(platform), terminal_(std::move(terminal)) {
  running_ = true;
  platform_.Start([this] {
    Draw();
    running_ = false;
  });
}

BoardEvents::~BoardEvents() {
  Stop();
  if (running_) platform_.WaitForJobs();
}

template <typename Change>
void BoardEvents::Update(Change change) {
  {
    Locked lock(mutex_);
    change(model_);
  }
  changed_ = true;
  terminal_->Wake();
}

void BoardEvents::WatchStarted(const WatchStart& start) {
  Update([&](BoardModel& m) { m.Watching(start, ClockText(start.unix_ms)); });
}

void BoardEvents::Found(const Adapter& adapter, int32_t settle_ms) {
  Update([&](BoardModel& m) { m.Found(adapter, platform_.SteadyMs() + settle_ms); });
}

void BoardEvents::Started(const ExchangeId& id) {
  Update([&](BoardModel& m) { m.Started(id, platform_.SteadyMs()); });
}

void BoardEvents::Finished(const ExchangeId& id, const Verdict& verdict) {
  Update([&](BoardModel& m) { m.Finished(id, verdict, ClockText(UnixMs())); });
}

void BoardEvents::Pulled(const Adapter& adapter) {
  Update([&](BoardModel& m) { m.Pulled(adapter); });
}

void BoardEvents::Problem(const std::wstring& text) {
  Update([&](BoardModel& m) { m.Problem(text); });
}

void BoardEvents::ProblemOver(const std::wstring& text) {
  Update([&](BoardModel& m) { m.ProblemOver(text); });
}

void BoardEvents::Link(const std::wstring& text) {
  Update([&](BoardModel& m) { m.Link(text); });
}

void BoardEvents::Stop() {
  stop_ = true;
  terminal_->Leaving();
}

void BoardEvents::Draw() {
  int64_t drawn_ms = -1;
  bool moving = false;
  while (!stop_) {
    const int64_t now = platform_.SteadyMs();
    int32_t wait = -1;
    if (changed_) {
      wait = drawn_ms < 0
                 ? 0
                 : static_cast<int32_t>(std::max<int64_t>(0, drawn_ms + kMinimumGapMs - now));
    } else if (moving) {
      wait = static_cast<int32_t>(std::max<int64_t>(0, drawn_ms + kTickMs - now));
    }
    if (wait != 0) {
      switch (terminal_->Wait(wait)) {
        case Terminal::Woken::kQuit:
          // The board goes on showing the exchanges under way until the watch is over.
          Update([](BoardModel& m) { m.Ending(); });
          platform_.interrupt().Quit();
          continue;
        case Terminal::Woken::kResized:
          changed_ = true;
          drawn_ms = -1;  // at once
          continue;
        case Terminal::Woken::kWoken:
          continue;  // changed_ or stop_ tell
        case Terminal::Woken::kTimeout:
          break;
      }
    }
    if (stop_) break;
    changed_ = false;
    const Terminal::Size size = terminal_->CurrentSize();
    Frame frame;
    {
      Locked lock(mutex_);
      drawn_ms = platform_.SteadyMs();
      frame = Layout(model_, size.columns, size.rows, drawn_ms, terminal_->Colours());
      moving = model_.Moving();
    }
    try {
      terminal_->Show(frame);
    } catch (const Error& e) {
      // A terminal gone: the watch ends as it would for a line that cannot be written.
      platform_.OutputLost(e);
      platform_.interrupt().Quit();
      break;
    }
  }
}

}  // namespace qm
