#include "serial/posix/cp210x_ports.h"

#include <dirent.h>
#include <libudev.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>

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
// serial port or its USB interface); the USB device when it is, and the interface on the way.
udev_device* Cp210xUsbDevice(udev_device* tty, udev_device** interface) {
  bool bound = false;
  *interface = nullptr;
  for (udev_device* d = tty; d; d = udev_device_get_parent(d)) {
    if (Text(udev_device_get_driver(d)) == kDriver) bound = true;
    if (Text(udev_device_get_subsystem(d)) != "usb") continue;
    const std::string type = Text(udev_device_get_devtype(d));
    if (type == "usb_interface") *interface = d;
    if (type == "usb_device") return bound ? d : nullptr;  // parents are owned by their child
  }
  return nullptr;
}

// Where a port is: its USB device's port path; with several interfaces (a CP2105 has two
// ports, a CP2108 four), its interface's ("1-2:1.3", as udev's ID_PATH ends), so that each
// port is a socket of its own.
std::string Location(udev_device* usb, udev_device* interface) {
  const std::string interfaces = Text(udev_device_get_sysattr_value(usb, "bNumInterfaces"));
  if (interface && std::strtol(interfaces.c_str(), nullptr, 10) > 1) {
    return Text(udev_device_get_sysname(interface));
  }
  return Text(udev_device_get_sysname(usb));
}

constexpr std::string_view kUsbSerialTty = "ttyUSB";

}  // namespace

std::vector<std::pair<std::string, unsigned long>> UsbSerialTtys(const char* folder) {
  std::vector<std::pair<std::string, unsigned long>> ttys;
  const std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(folder), ::closedir);
  if (!dir) return ttys;
  while (const dirent* entry = ::readdir(dir.get())) {
    if (std::string_view(entry->d_name).substr(0, kUsbSerialTty.size()) == kUsbSerialTty) {
      ttys.emplace_back(entry->d_name, static_cast<unsigned long>(entry->d_ino));
    }
  }
  std::sort(ttys.begin(), ttys.end());
  return ttys;
}

UdevDevices::UdevDevices() : udev_(udev_new()) {
  if (!udev_) throw UdevError(0);
  // udev's daemon leaves its control socket here while it runs; without it, udev's events never
  // come, and the kernel's own are the ones to hear.
  const bool daemon = ::access("/run/udev/control", F_OK) == 0;
  monitor_ = udev_monitor_new_from_netlink(udev_, daemon ? "udev" : "kernel");
  if (monitor_ && (udev_monitor_filter_add_match_subsystem_devtype(monitor_, "tty", nullptr) < 0 ||
                   udev_monitor_enable_receiving(monitor_) < 0)) {
    udev_monitor_unref(monitor_);
    monitor_ = nullptr;  // (a sandbox without netlink): looked for again from time to time
  }
  events_come_ = monitor_ && daemon;
}

UdevDevices::~UdevDevices() {
  if (monitor_) udev_monitor_unref(monitor_);
  udev_unref(udev_);
}

int UdevDevices::EventDescriptor() const {
  return monitor_ ? udev_monitor_get_fd(monitor_) : -1;
}

bool UdevDevices::Drain() {
  if (!monitor_) return false;
  bool tty = false;
  // A message the filter turns away reads as no device (the kernel's are filtered here, not in
  // the socket): read on while any is pending.
  pollfd pending{udev_monitor_get_fd(monitor_), POLLIN, 0};
  while (::poll(&pending, 1, 0) > 0 && (pending.revents & POLLIN) != 0) {
    if (UniqueDevice device{udev_monitor_receive_device(monitor_)}) tty = true;
  }
  return tty;
}

bool UdevDevices::TtysChanged() {
  auto ttys = UsbSerialTtys("/sys/class/tty");
  if (ttys == ttys_) return false;
  ttys_ = std::move(ttys);
  return true;
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
    udev_device* interface;
    udev_device* usb = Cp210xUsbDevice(tty.get(), &interface);
    if (!node || !usb) continue;
    found.emplace_back(
        Text(udev_device_get_sysname(tty.get())),
        Cp210xPort{node, Text(udev_device_get_sysattr_value(usb, "product")),
                   Text(udev_device_get_sysattr_value(usb, "serial")), Location(usb, interface),
                   Text(udev_device_get_sysattr_value(usb, "devnum"))});
  }
  std::sort(found.begin(), found.end(),
            [](const auto& a, const auto& b) { return NaturalLess(a.first, b.first); });
  std::vector<Cp210xPort> ports;
  for (auto& [name, port] : found) ports.push_back(std::move(port));
  return ports;
}

}  // namespace qm
