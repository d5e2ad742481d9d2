#pragma once

#include "app/form_host.h"

namespace qm {

// The plug-and-play devices as WMI lists them (Win32_PnPEntity in root\CIMV2). The calling
// thread must have joined a COM apartment. Every failure throws Error with the HRESULT.
class WmiDeviceQuery final : public DeviceQuery {
 public:
  std::vector<std::optional<std::wstring>> PnPDeviceNames() override;

  struct Device {
    std::optional<std::wstring> name;
    std::wstring instance_id;  // DeviceID, e.g. USB\VID_10C4&PID_EA60\0001; empty if none
  };
  // The same walk, with each device's instance ID too.
  std::vector<Device> PnPDevices();

 private:
  std::vector<Device> Walk(bool with_ids);
};

// Joins the calling thread to a COM apartment for the life of the object: single-threaded for
// a thread with a window, the multithreaded one for a worker.
class ComApartment {
 public:
  explicit ComApartment(bool single_threaded = true);
  ComApartment(const ComApartment&) = delete;
  ComApartment& operator=(const ComApartment&) = delete;
  ~ComApartment();
};

}  // namespace qm
