#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "app/form1.h"

namespace qm::test {

// A window system on a virtual clock. Scripted events fall due at given times and are handled
// by DoEvents; WaitForEvent jumps the clock to the next one (or to the pause timer's tick).
class FakeHost : public FormHost {
 public:
  void Attach(Form1& form) { form_ = &form; }

  // Runs `action` in the first DoEvents at or after `at_ms`.
  void At(int64_t at_ms, std::function<void()> action) {
    events_.emplace(at_ms, std::move(action));
  }

  void ReportLineAdded(const std::wstring& line) override { drawn.push_back(line); }
  void DoEvents() override;
  void WaitForEvent() override;
  void ArmPauseTimer(int32_t interval_ms) override;
  void DisarmPauseTimer() override { timer_due_.reset(); }
  bool TimerArmed() const { return timer_due_.has_value(); }
  void SetPortBoxText(const std::wstring& text) override { port_box = text; }
  std::wstring PortBoxText() const override { return port_box; }
  void SetResetEnabled(bool enabled) override { reset_enabled_history.push_back(enabled); }
  void FocusReset() override { ++focus_reset_calls; }
  void ArmDeviceSettleTimer(int32_t interval_ms) override { settle_due_ = now + interval_ms; }
  // The look takes look_ms on the virtual clock.
  void StartDeviceLook() override;
  bool DeviceLookLost() const override { return look_lost_; }
  void AdapterLookDone(const std::wstring& result, const std::optional<Error>& failure) override {
    looks.push_back({now, result, failure.has_value(), drawn.size()});
  }
  void EndProgram(int exit_status) override { ended_with = exit_status; }
  std::wstring DecodeAnsi(std::string_view bytes) const override;  // Latin-1

  // The window idle until `until_ms`: handles what falls due on the way.
  void RunUntil(int64_t until_ms);

  int64_t now = 0;
  std::vector<std::wstring> drawn;
  std::wstring port_box = L"COMxxxx";
  std::vector<bool> reset_enabled_history;
  int focus_reset_calls = 0;
  std::optional<int> ended_with;
  int do_events_calls = 0;
  // Runs at the start of every DoEvents with its 1-based count: an event between two writes.
  std::function<void(int)> each_pass;
  std::optional<Error> arm_error;  // ArmPauseTimer fails with this (no timer to be had)
  static constexpr int kSpinLimit = 100000;
  int waits = 0;
  std::vector<int64_t> ticks;  // when the pause timer ticked
  struct Look {
    int64_t at;
    std::wstring result;
    bool failed;
    std::size_t lines_drawn;  // report lines drawn by then
  };
  std::vector<Look> looks;  // the adapter looked for after a device change
  DeviceQuery* devices = nullptr;
  int64_t look_ms = 0;
  int lost_looks = 0;  // the outcomes of the next so many looks never arrive

 private:
  Form1* form_ = nullptr;
  std::multimap<int64_t, std::function<void()>> events_;
  std::optional<int64_t> NextDue() const;

  std::optional<int64_t> timer_due_;
  int32_t timer_interval_ = 0;
  std::optional<int64_t> settle_due_;
  bool look_lost_ = false;
};

// A serial port with a device behind it that answers once the whole command has arrived.
class FakePort : public SerialPort {
 public:
  explicit FakePort(FakeHost& host) : host_(host) {}

  void SetCommPort(int16_t port) override { port_ = port; }
  int16_t CommPort() const override { return port_; }
  bool PortOpen() const override;
  void Open() override;
  void Close() override;
  void Write(std::string_view bytes) override;
  std::string ReadPending() override;

  // The device's behaviour.
  std::string answer;               // sent back once the 30 command bytes are in
  int64_t answer_delay_ms = 50;     // after the last of them
  std::string noise_on_open;        // arrives as soon as the port opens
  std::optional<Error> open_error;  // Open fails with this
  bool open_out_of_memory = false;  // Open throws std::bad_alloc
  int failing_write = -1;           // 0-based index of a write that fails
  bool fail_reads = false;
  bool fail_open_state = false;  // PortOpen throws

  // What happened.
  std::vector<std::string> writes;  // every write attempted, in order
  std::string wire;                 // the bytes that got through
  int opens = 0;
  int closes = 0;

 private:
  FakeHost& host_;
  int16_t port_ = kStoredCommPort;
  bool open_ = false;
  std::string received_;  // the receive buffer
  int session_ = 0;       // answers belong to the opening they were sent in
  std::size_t sent_this_session_ = 0;
};

// Device names for GetCOM.
class FakeDevices : public DeviceQuery {
 public:
  std::vector<std::optional<std::wstring>> PnPDeviceNames() override {
    ++queries;
    if (failure) throw *failure;
    return names;
  }
  std::vector<std::optional<std::wstring>> names;
  std::optional<Error> failure;  // the query fails with this
  int queries = 0;
};

// Form1 wired to the fakes.
struct Rig {
  Rig() {
    host.Attach(form);
    host.devices = &devices;
  }
  FakeHost host;
  FakePort port{host};
  FakeDevices devices;
  Form1 form{host, port, devices};
};

}  // namespace qm::test
