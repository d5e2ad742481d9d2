#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace qm {

// A CP210x adapter's serial port: its device path and the USB device's product string.
struct Cp210xPort {
  std::string path;  // e.g. "/dev/ttyUSB0"
  std::string product;
};

// The serial ports whose USB interface is bound to the kernel's cp210x driver, read from the
// sysfs tree at `sysfs_root` ("/sys" on a running system; a fake tree in tests), in natural
// order of their names. Their paths are under `dev_dir`. A tree that cannot be read gives none.
std::vector<Cp210xPort> FindCp210xPorts(const std::string& sysfs_root, const std::string& dev_dir);

// Names compared with runs of digits taken as numbers: "ttyUSB2" < "ttyUSB10".
bool NaturalLess(std::string_view a, std::string_view b);

}  // namespace qm
