#include "serial/posix/cp210x_ports.h"

#include <libudev.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "common/text.h"
#include "serial/posix/posix_serial_port.h"

namespace qm {

namespace {

constexpr std::string_view kDriver = "cp210x";

struct EnumerateDeleter {
  void operator()(udev_enumerate* e) const { udev_enumerate_unref(e); }
};
struct DeviceDeleter {
  void operator()(udev_device* d) const { udev_device_unref(d); }
};
using UniqueEnumerate = std::unique_ptr<udev_enumerate, EnumerateDeleter>;
using UniqueDevice = std::unique_ptr<udev_device, DeviceDeleter>;

std::string Text(const char* text) {
  return text ? text : "";
}

// libudev returns a negative errno, or NULL with errno set.
Error UdevError(int result) {
  return ErrnoError(result < 0 ? -result : (errno != 0 ? errno : ENOMEM));
}

// From a tty upwards to its USB device: whether the cp210x driver is bound on the way (to the
// serial port or its USB interface); the USB device when it is.
udev_device* Cp210xUsbDevice(udev_device* tty) {
  bool bound = false;
  for (udev_device* d = tty; d; d = udev_device_get_parent(d)) {
    if (Text(udev_device_get_driver(d)) == kDriver) bound = true;
    if (Text(udev_device_get_subsystem(d)) == "usb" &&
        Text(udev_device_get_devtype(d)) == "usb_device") {
      return bound ? d : nullptr;  // parents are owned by their child
    }
  }
  return nullptr;
}

}  // namespace

UdevDevices::UdevDevices() : udev_(udev_new()) {
  if (!udev_) throw UdevError(0);
  // udev's daemon leaves its control socket here while it runs.
  monitor_ = udev_monitor_new_from_netlink(udev_, "udev");
  if (monitor_ && (udev_monitor_filter_add_match_subsystem_devtype(monitor_, "tty", nullptr) < 0 ||
                   udev_monitor_enable_receiving(monitor_) < 0)) {
    udev_monitor_unref(monitor_);
    monitor_ = nullptr;  // (a sandbox without netlink): looked for again from time to time
  }
  events_come_ = monitor_ && ::access("/run/udev/control", F_OK) == 0;
}

UdevDevices::~UdevDevices() {
  if (monitor_) udev_monitor_unref(monitor_);
  udev_unref(udev_);
}

int UdevDevices::EventDescriptor() const {
  return monitor_ ? udev_monitor_get_fd(monitor_) : -1;
}

void UdevDevices::Drain() {
  if (!monitor_) return;
  while (UniqueDevice device{udev_monitor_receive_device(monitor_)}) {
  }
}

std::vector<Cp210xPort> UdevDevices::FindCp210xPorts() {
  UniqueEnumerate enumerate(udev_enumerate_new(udev_));
  if (!enumerate) throw UdevError(0);
  if (int r = udev_enumerate_add_match_subsystem(enumerate.get(), "tty"); r < 0) throw UdevError(r);
  // USB serial drivers (cp210x among them) name their ports so: the rest need no look.
  if (int r = udev_enumerate_add_match_sysname(enumerate.get(), "ttyUSB*"); r < 0) {
    throw UdevError(r);
  }
  // Where udev runs, only what it has set up (the device node's group and permissions).
  if (events_come_) {
    if (int r = udev_enumerate_add_match_is_initialized(enumerate.get()); r < 0) throw UdevError(r);
  }
  if (int r = udev_enumerate_scan_devices(enumerate.get()); r < 0) throw UdevError(r);
  std::vector<std::pair<std::string, Cp210xPort>> found;  // tty name, port
  udev_list_entry* entry;
  udev_list_entry_foreach(entry, udev_enumerate_get_list_entry(enumerate.get())) {
    UniqueDevice tty(udev_device_new_from_syspath(udev_, udev_list_entry_get_name(entry)));
    if (!tty) continue;  // gone since the scan
    const char* node = udev_device_get_devnode(tty.get());
    udev_device* usb = Cp210xUsbDevice(tty.get());
    if (!node || !usb) continue;
    found.emplace_back(Text(udev_device_get_sysname(tty.get())),
                       Cp210xPort{node, Text(udev_device_get_sysattr_value(usb, "product")),
                                  Text(udev_device_get_sysattr_value(usb, "serial")),
                                  Text(udev_device_get_sysname(usb)),
                                  Text(udev_device_get_sysattr_value(usb, "devnum"))});
  }
  std::sort(found.begin(), found.end(),
            [](const auto& a, const auto& b) { return NaturalLess(a.first, b.first); });
  std::vector<Cp210xPort> ports;
  for (auto& [name, port] : found) ports.push_back(std::move(port));
  return ports;
}

}  // namespace qm
