#include "app/device_walk.h"

#include "common/error.h"

namespace qm {

namespace {
// WMI's codes, spelled out so the rule stays testable off Windows.
constexpr uint32_t kOk = 0;                  // WBEM_S_NO_ERROR
constexpr uint32_t kFalse = 1;               // WBEM_S_FALSE: fewer objects than asked for
constexpr uint32_t kTimedOut = 0x40004;      // WBEM_S_TIMEDOUT, a success code
constexpr uint32_t kETimedOut = 0x80041069;  // WBEM_E_TIMED_OUT
}  // namespace

bool DeviceConnected(std::optional<bool> present, std::optional<int64_t> config_manager_error) {
  constexpr int64_t kNotConnected = 45;  // CM_PROB_PHANTOM
  if (present) return *present;
  return config_manager_error != kNotConnected;
}

DeviceWalk::Step DeviceWalk::Next(uint32_t hr, uint32_t returned) {
  if (hr & 0x80000000u) return Step::kFailed;
  if (returned > 0) return Step::kDevice;
  if (hr == kOk || hr == kFalse) return Step::kEnd;
  // Any other code with nothing in hand is not the end of the list: read as "no more devices", a
  // stuck query would pass for a machine without an adapter.
  if (hr != kTimedOut) return Step::kFailed;
  timed_out_ms_ += kNextWaitMs;
  if (timed_out_ms_ >= kDeviceWalkLimitMs) {
    throw Error(kETimedOut, L"WMI has not listed the devices within " +
                                DecimalNumber(kDeviceWalkLimitMs / 1000) + L" seconds.");
  }
  return Step::kWaitAgain;
}

}  // namespace qm
