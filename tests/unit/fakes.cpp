#include "tests/unit/fakes.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <new>
#include <stdexcept>

namespace qm::test {

void FakeHost::DoEvents() {
  if (++do_events_calls >= kSpinLimit) {
    // Polling the queue without ever sleeping: the clock never moves. Fail now, rather than at
    // the test's timeout.
    ADD_FAILURE() << "DoEvents called " << kSpinLimit << " times: the wait is spinning";
    throw std::runtime_error("spinning");
  }
  if (each_pass) each_pass(do_events_calls);
  // Input first, then the timer tick, as a window system delivers them.
  while (!events_.empty() && events_.begin()->first <= now) {
    auto action = std::move(events_.begin()->second);
    events_.erase(events_.begin());
    action();
  }
  if (timer_due_ && *timer_due_ <= now) {
    ticks.push_back(now);
    timer_due_ = now + timer_interval_;
    if (form_) form_->TimerPausa_Timer();
  }
  if (settle_due_ && *settle_due_ <= now) {
    settle_due_.reset();
    if (form_) form_->DeviceSettleTimer_Timer();
  }
}

void FakeHost::StartDeviceLook() {
  look_lost_ = false;
  At(now + look_ms, [this] {
    std::vector<std::optional<std::wstring>> names;
    std::optional<Error> failure;
    try {
      names = devices->PnPDeviceNames();
    } catch (const Error& e) {
      failure = e;
    }
    if (lost_looks > 0) {
      --lost_looks;
      look_lost_ = true;
      return;
    }
    if (form_) form_->DeviceLookFinished(names, failure);
  });
}

std::optional<int64_t> FakeHost::NextDue() const {
  std::optional<int64_t> next;
  if (!events_.empty()) next = events_.begin()->first;
  for (const auto& due : {timer_due_, settle_due_}) {
    if (due && (!next || *due < *next)) next = due;
  }
  return next;
}

void FakeHost::RunUntil(int64_t until_ms) {
  for (;;) {
    DoEvents();
    const std::optional<int64_t> next = NextDue();
    if (!next || *next > until_ms) break;
    now = std::max(now, *next);
  }
  now = std::max(now, until_ms);
}

void FakeHost::WaitForEvent() {
  ++waits;
  const std::optional<int64_t> next = NextDue();
  if (!next) {
    ADD_FAILURE() << "WaitForEvent with nothing that could ever wake it";
    throw std::runtime_error("deadlock");
  }
  if (*next > now) now = *next;
}

void FakeHost::ArmPauseTimer(int32_t interval_ms) {
  if (arm_error) throw *arm_error;
  timer_interval_ = interval_ms;
  // Like a window timer with no usable interval: it never ticks.
  if (interval_ms > 0) {
    timer_due_ = now + interval_ms;
  } else {
    timer_due_.reset();
  }
}

std::wstring FakeHost::DecodeAnsi(std::string_view bytes) const {
  std::wstring text;
  for (char c : bytes) text += static_cast<wchar_t>(static_cast<unsigned char>(c));
  return text;
}

bool FakePort::PortOpen() const {
  if (fail_open_state) throw Error(31, L"A device attached to the system is not functioning.");
  return open_;
}

void FakePort::Open() {
  if (open_) throw Error(kErrPortAlreadyOpen, L"Port already open");
  if (open_error) throw *open_error;
  if (open_out_of_memory) throw std::bad_alloc();
  open_ = true;
  ++opens;
  ++session_;
  sent_this_session_ = 0;
  received_ = noise_on_open;
}

void FakePort::Close() {
  open_ = false;
  ++closes;
  received_.clear();
}

void FakePort::Write(std::string_view bytes) {
  const int index = static_cast<int>(writes.size());
  writes.emplace_back(bytes);
  if (!open_) throw Error(kErrPortNotOpen, L"Operation valid only when the port is open");
  if (index == failing_write) throw Error(1117, L"The request could not be performed.");
  wire += bytes;
  const std::size_t before = sent_this_session_;
  sent_this_session_ += bytes.size();
  // The device answers when the 30th byte of the command has arrived.
  if (before < 30 && sent_this_session_ >= 30 && !answer.empty()) {
    const int session = session_;
    host_.At(host_.now + answer_delay_ms, [this, session] {
      if (open_ && session == session_) received_ += answer;
    });
  }
}

std::string FakePort::ReadPending() {
  if (!open_) throw Error(kErrPortNotOpen, L"Operation valid only when the port is open");
  if (fail_reads) throw Error(1117, L"The request could not be performed.");
  return std::exchange(received_, {});
}

}  // namespace qm::test
