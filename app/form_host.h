#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/error.h"

namespace qm {

// What the window system gives Form1. The Win32 window implements it; the unit tests drive
// Form1 through a scripted fake on a virtual clock.
class FormHost {
 public:
  virtual ~FormHost() = default;

  // A report line was added at the end of Form1::ReportLines(): show it now.
  virtual void ReportLineAdded(const std::wstring& line) = 0;

  // Handles every pending window event, then returns.
  virtual void DoEvents() = 0;
  // Sleeps until the next window event (input, repaint, timer tick) is pending.
  virtual void WaitForEvent() = 0;

  // TimerPausa: ticks every interval while armed; arming again restarts the interval.
  virtual void ArmPauseTimer(int32_t interval_ms) = 0;
  virtual void DisarmPauseTimer() = 0;

  // txComm
  virtual void SetPortBoxText(const std::wstring& text) = 0;
  virtual std::wstring PortBoxText() const = 0;

  // cmReset
  virtual void SetResetEnabled(bool enabled) = 0;
  virtual void FocusReset() = 0;

  // A one-shot timer that calls Form1::DeviceSettleTimer_Timer once, `interval_ms` after the
  // last arming (arming again restarts it).
  virtual void ArmDeviceSettleTimer(int32_t interval_ms) = 0;
  // Starts listing the machine's devices for a look after a device change; the names, or why
  // they could not be had, go to Form1::DeviceLookFinished later, from the event loop. The Win32
  // window lists them on a thread of its own: a hung WMI service must not freeze it.
  virtual void StartDeviceLook() = 0;
  // Whether the running look's outcome could not be handed to the window (its queue was full)
  // and so will never reach Form1::DeviceLookFinished.
  virtual bool DeviceLookLost() const = 0;
  // The adapter was looked for again after a device change, with this port name text, or the
  // look failed (and the port and the port box are as they were).
  virtual void AdapterLookDone(const std::wstring& result, const std::optional<Error>& failure) = 0;

  // Destroys the window and ends the event loop with the given exit status.
  virtual void EndProgram(int exit_status) = 0;

  // Bytes in the ANSI code page, as text to draw.
  virtual std::wstring DecodeAnsi(std::string_view bytes) const = 0;
};

// The machine's plug-and-play devices, by display name (nullopt for a device without one).
class DeviceQuery {
 public:
  virtual ~DeviceQuery() = default;
  virtual std::vector<std::optional<std::wstring>> PnPDeviceNames() = 0;
};

}  // namespace qm
