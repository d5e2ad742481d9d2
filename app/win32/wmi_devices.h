#pragma once

#include "app/form_host.h"

namespace qm {

// The plug-and-play devices as WMI lists them (Win32_PnPEntity in root\CIMV2). The calling
// thread must have joined a COM apartment. Every failure throws Error with the HRESULT.
class WmiDeviceQuery final : public DeviceQuery {
 public:
  std::vector<std::optional<std::wstring>> PnPDeviceNames() override;
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
