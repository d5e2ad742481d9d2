#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

struct udev;
struct udev_monitor;

namespace qm {

// A CP210x adapter's serial port, and the USB device it belongs to.
struct Cp210xPort {
  std::string path;      // the device node as udev names it, e.g. "/dev/ttyUSB0"
  std::string product;   // the USB device's product string
  std::string serial;    // its serial number; empty when it has none
  std::string location;  // its USB port path, e.g. "1-1.4" (bus 1, hub socket 1, then 4)
  std::string instance;  // the USB device number, new at every plug-in
};

// The machine's devices as udev sees them: the CP210x adapters, and their comings and goings.
class UdevDevices {
 public:
  UdevDevices();  // throws Error
  ~UdevDevices();
  UdevDevices(const UdevDevices&) = delete;
  UdevDevices& operator=(const UdevDevices&) = delete;

  // The ttys whose USB interface is bound to the kernel's cp210x driver, in natural order of
  // their names. Throws Error when the devices cannot be listed.
  std::vector<Cp210xPort> FindCp210xPorts();

  // Device events, through udev's monitor: a descriptor that becomes readable when a tty comes
  // or goes (-1 when there is no monitor), and Drain to read what is pending.
  int EventDescriptor() const;
  void Drain();
  // Whether udev's daemon runs to send those events; in a container it often does not, and the
  // devices must be looked at again from time to time.
  bool EventsCome() const { return events_come_; }

 private:
  udev* udev_ = nullptr;
  udev_monitor* monitor_ = nullptr;
  bool events_come_ = false;
};


}  // namespace qm
