// The order adapters are listed in. (Which ttys are adapters: udev decides, tested end to end
// under umockdev.)
#include <gtest/gtest.h>

#include "common/text.h"
#include "serial/posix/cp210x_ports.h"

namespace qm::test {
namespace {

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
