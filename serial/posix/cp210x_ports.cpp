#include "serial/posix/cp210x_ports.h"

#include <algorithm>
#include <filesystem>
#include <fstream>

namespace qm {

namespace fs = std::filesystem;

namespace {

constexpr std::string_view kDriver = "cp210x";

bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}

// The first line of a sysfs attribute, without its line end; empty when it cannot be read.
std::string Attribute(const fs::path& file) {
  std::ifstream in(file);
  std::string line;
  std::getline(in, line);
  while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.pop_back();
  return line;
}

// The name of the driver bound to the device at `dir`, if any.
std::string DriverOf(const fs::path& dir) {
  std::error_code ec;
  const fs::path target = fs::read_symlink(dir / "driver", ec);
  return ec ? std::string() : target.filename().string();
}

// From a tty's device upwards to the USB device: whether the cp210x driver is bound on the way
// (to the serial port or its USB interface), and the USB device's product string.
bool IsCp210x(const fs::path& device, const fs::path& root, std::string& product) {
  bool bound = false;
  for (fs::path dir = device; !dir.empty() && dir != root && dir != dir.parent_path();
       dir = dir.parent_path()) {
    if (DriverOf(dir) == kDriver) bound = true;
    std::error_code ec;
    if (fs::exists(dir / "idVendor", ec)) {  // the USB device itself: go no further
      if (bound) product = Attribute(dir / "product");
      return bound;
    }
  }
  return false;
}

}  // namespace

bool NaturalLess(std::string_view a, std::string_view b) {
  std::size_t i = 0, j = 0;
  while (i < a.size() && j < b.size()) {
    if (IsDigit(a[i]) && IsDigit(b[j])) {
      std::size_t ei = i, ej = j;
      while (ei < a.size() && a[ei] == '0') ++ei;
      while (ej < b.size() && b[ej] == '0') ++ej;
      std::size_t ni = ei, nj = ej;
      while (ni < a.size() && IsDigit(a[ni])) ++ni;
      while (nj < b.size() && IsDigit(b[nj])) ++nj;
      const std::string_view da = a.substr(ei, ni - ei), db = b.substr(ej, nj - ej);
      if (da.size() != db.size()) return da.size() < db.size();
      if (da != db) return da < db;
      i = ni;
      j = nj;
    } else {
      if (a[i] != b[j]) return a[i] < b[j];
      ++i;
      ++j;
    }
  }
  return a.size() - i < b.size() - j;
}

std::vector<Cp210xPort> FindCp210xPorts(const std::string& sysfs_root, const std::string& dev_dir) {
  const fs::path root(sysfs_root);
  std::vector<std::pair<std::string, std::string>> found;  // tty name, product
  std::error_code ec;
  for (fs::directory_iterator it(root / "class" / "tty", ec), end; !ec && it != end;
       it.increment(ec)) {
    std::error_code link_ec;
    const fs::path device = fs::canonical(it->path() / "device", link_ec);
    if (link_ec) continue;  // a virtual terminal: no device behind it
    std::string product;
    if (IsCp210x(device, fs::canonical(root, link_ec), product)) {
      found.emplace_back(it->path().filename().string(), product);
    }
  }
  std::sort(found.begin(), found.end(),
            [](const auto& a, const auto& b) { return NaturalLess(a.first, b.first); });
  std::vector<Cp210xPort> ports;
  for (auto& [name, product] : found) {
    ports.push_back({(fs::path(dev_dir) / name).string(), std::move(product)});
  }
  return ports;
}

}  // namespace qm
