// Finding CP210x adapters on fake sysfs trees laid out as the kernel lays them out.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "serial/posix/cp210x_ports.h"

namespace qm::test {
namespace {

namespace fs = std::filesystem;

enum class Kind { kCp210x, kFtdi, kCdcAcm, kBuiltIn, kVirtual };

struct Tty {
  std::string name;
  Kind kind;
  std::string product;
};

void Put(const fs::path& file, const std::string& text) {
  fs::create_directories(file.parent_path());
  std::ofstream(file) << text << "\n";
}

void Link(const fs::path& link, const fs::path& target) {
  fs::create_directories(link.parent_path());
  fs::create_directory_symlink(target, link);
}

// One tty under `root`, on a USB device of its own where it has one.
void AddTty(const fs::path& root, const Tty& tty, int usb_port) {
  const fs::path drivers_usb = root / "bus/usb/drivers";
  const fs::path drivers_serial = root / "bus/usb-serial/drivers";
  const fs::path usb =
      root / "devices/pci0000:00/0000:00:14.0/usb1" / ("1-" + std::to_string(usb_port));
  const fs::path interface = usb / (usb.filename().string() + ":1.0");
  fs::path device;  // what class/tty/<name>/device points at
  fs::path node;    // the tty's own directory
  switch (tty.kind) {
    case Kind::kCp210x:
    case Kind::kFtdi: {
      const std::string driver = tty.kind == Kind::kCp210x ? "cp210x" : "ftdi_sio";
      Put(usb / "idVendor", tty.kind == Kind::kCp210x ? "10c4" : "0403");
      Put(usb / "product", tty.product);
      fs::create_directories(drivers_usb / driver);
      fs::create_directories(drivers_serial / driver);
      Put(interface / "bInterfaceNumber", "00");
      Link(interface / "driver", drivers_usb / driver);
      device = interface / tty.name;
      Link(device / "driver", drivers_serial / driver);
      node = device / "tty" / tty.name;
      break;
    }
    case Kind::kCdcAcm:
      Put(usb / "idVendor", "2341");
      Put(usb / "product", tty.product);
      fs::create_directories(drivers_usb / "cdc_acm");
      Link(interface / "driver", drivers_usb / "cdc_acm");
      device = interface;
      node = interface / "tty" / tty.name;
      break;
    case Kind::kBuiltIn:
      fs::create_directories(root / "bus/platform/drivers/serial8250");
      device = root / "devices/platform/serial8250";
      Link(device / "driver", root / "bus/platform/drivers/serial8250");
      node = device / "tty" / tty.name;
      break;
    case Kind::kVirtual:
      node = root / "devices/virtual/tty" / tty.name;
      break;
  }
  Put(node / "dev", "188:0");
  if (!device.empty()) Link(node / "device", device);
  Link(root / "class/tty" / tty.name, node);
}

struct DiscoveryCase {
  const char* name;
  std::vector<Tty> ttys;
  std::vector<std::pair<std::string, std::string>> found;  // path, product
};

void PrintTo(const DiscoveryCase& c, std::ostream* os) {
  *os << c.name;
}

class Discovery : public ::testing::TestWithParam<DiscoveryCase> {
 protected:
  void SetUp() override {
    root_ = fs::temp_directory_path() /
            ("qm-sysfs-" + std::to_string(::getpid()) + "-" +
             ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(root_);
    fs::create_directories(root_ / "class/tty");
  }
  void TearDown() override { fs::remove_all(root_); }
  fs::path root_;
};

TEST_P(Discovery, FindsTheCp210xPortsInNaturalOrder) {
  const DiscoveryCase& c = GetParam();
  int usb_port = 1;
  for (const Tty& tty : c.ttys) AddTty(root_, tty, usb_port++);
  std::vector<std::pair<std::string, std::string>> found;
  for (const Cp210xPort& p : FindCp210xPorts(root_.string(), "/dev")) {
    found.emplace_back(p.path, p.product);
  }
  EXPECT_EQ(found, c.found);
}

const std::string kBridge = "CP2102 USB to UART Bridge Controller";

INSTANTIATE_TEST_SUITE_P(
    Trees, Discovery,
    ::testing::Values(
        DiscoveryCase{"None", {{"tty0", Kind::kVirtual, ""}, {"ttyS0", Kind::kBuiltIn, ""}}, {}},
        DiscoveryCase{"One",
                      {{"ttyS0", Kind::kBuiltIn, ""}, {"ttyUSB0", Kind::kCp210x, kBridge}},
                      {{"/dev/ttyUSB0", kBridge}}},
        DiscoveryCase{
            "TwoInNaturalOrder",
            {{"ttyUSB10", Kind::kCp210x, "Bench B"}, {"ttyUSB2", Kind::kCp210x, "Bench A"}},
            {{"/dev/ttyUSB2", "Bench A"}, {"/dev/ttyUSB10", "Bench B"}}},
        DiscoveryCase{"OtherUsbSerialDevicesDoNotMatch",
                      {{"ttyUSB0", Kind::kFtdi, "FT232R USB UART"},
                       {"ttyACM0", Kind::kCdcAcm, "Arduino Uno"},
                       {"ttyUSB1", Kind::kCp210x, kBridge}},
                      {{"/dev/ttyUSB1", kBridge}}}),
    [](const ::testing::TestParamInfo<DiscoveryCase>& info) { return info.param.name; });

TEST(Discovery, ATreeThatIsNotThereGivesNone) {
  EXPECT_TRUE(FindCp210xPorts("/nonexistent/sysfs", "/dev").empty());
}

TEST(NaturalOrder, NumbersCompareByValue) {
  const std::vector<std::string> sorted{"ttyUSB",    "ttyUSB0",  "ttyUSB2", "ttyUSB10",
                                        "ttyUSB10a", "ttyUSB11", "ttyUSBa"};
  for (std::size_t i = 0; i < sorted.size(); ++i) {
    for (std::size_t j = 0; j < sorted.size(); ++j) {
      EXPECT_EQ(NaturalLess(sorted[i], sorted[j]), i < j) << sorted[i] << " vs " << sorted[j];
    }
  }
}

}  // namespace
}  // namespace qm::test
