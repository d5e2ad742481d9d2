#pragma once

#include "app/form_host.h"

namespace qm {

// The plug-and-play devices as WMI lists them (Win32_PnPEntity in root\CIMV2). The calling
// thread must have joined a COM apartment. Every failure throws Error with the HRESULT.
class WmiDeviceQuery final : public DeviceQuery {
 public:
  std::vector<std::optional<std::wstring>> PnPDeviceNames() override;
};

// Joins the calling thread to a single-threaded COM apartment for the life of the object.
class ComApartment {
 public:
  ComApartment();
  ComApartment(const ComApartment&) = delete;
  ComApartment& operator=(const ComApartment&) = delete;
  ~ComApartment();
};

}  // namespace qm
