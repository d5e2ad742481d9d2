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
  std::string path;     // the device node as udev names it, e.g. "/dev/ttyUSB0"
  std::string product;  // the USB device's product string
  std::string serial;   // its serial number; empty when it has none
  // Its USB port path, e.g. "1-1.4" (bus 1, hub socket 1, then 4); on an adapter with several
  // ports (CP2105, CP2108), the port's USB interface, e.g. "1-1.4:1.1".
  std::string location;
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

  // Device events: a descriptor that becomes readable when a tty may have come or gone (-1 when
  // there is no monitor), and Drain to read what is pending, true when a tty came or went.
  // They are udev's where its daemon runs, else the kernel's own.
  int EventDescriptor() const;
  bool Drain();
  // Whether udev's daemon runs to send those events. Without it (a container, some embedded
  // images) the kernel's may not reach this program either (another network namespace), and
  // TtysChanged must be asked from time to time.
  bool EventsCome() const { return events_come_; }
  // Whether the USB serial ttys differ from those of the last call (the first call: true when
  // there are any): a look at one folder's names, without a walk through every device.
  bool TtysChanged();

 private:
  udev* udev_ = nullptr;
  udev_monitor* monitor_ = nullptr;
  bool events_come_ = false;
  std::vector<std::pair<std::string, unsigned long>> ttys_;  // names and inode numbers
};

// The USB serial ttys in a folder such as /sys/class/tty, by name, with their inode numbers: a
// tty that goes and comes back under the same name between two looks has a new one. Empty when
// the folder cannot be read.
std::vector<std::pair<std::string, unsigned long>> UsbSerialTtys(const char* folder);

}  // namespace qm
