#pragma once

#include <cstdint>
#include <optional>

namespace qm {

// The device query's walk over its results, one IEnumWbemClassObject::Next call at a time. Each
// call waits at most kNextWaitMs: a hung WMI service must not keep the window from ever
// appearing.
inline constexpr int32_t kNextWaitMs = 2000;
// Calls that time out add up to this at most; then the query has failed.
inline constexpr int32_t kDeviceWalkLimitMs = 30000;

// Whether a listed device is plugged in now. Since Windows 10 the class lists every device the
// machine has ever seen: one not connected has Present FALSE and ConfigManagerErrorCode 45
// (CM_PROB_PHANTOM); the code alone tells where the class has no Present (before Windows 10).
// A property that could not be read says nothing: the device is still considered.
bool DeviceConnected(std::optional<bool> present, std::optional<int64_t> config_manager_error);

class DeviceWalk {
 public:
  enum class Step {
    kDevice,     // one device came: read it
    kEnd,        // no more devices
    kWaitAgain,  // the call timed out: call again
    kFailed,     // the HRESULT says why
  };

  // What Next's HRESULT `hr` means with `returned` objects given. Throws Error once the calls
  // that timed out reach kDeviceWalkLimitMs.
  Step Next(uint32_t hr, uint32_t returned);

 private:
  int32_t timed_out_ms_ = 0;
};

}  // namespace qm
