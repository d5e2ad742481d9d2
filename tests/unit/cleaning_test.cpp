// Cleaning the device's answer of control characters.
#include <gtest/gtest.h>

#include "app/form1.h"

namespace qm {
namespace {

std::string AllBytesFrom(int first) {
  std::string s;
  for (int b = first; b < 256; ++b) s += static_cast<char>(b);
  return s;
}

TEST(QuitaCaracteresDeControl, KeepsEverythingButControlBytes) {
  struct Case {
    std::string in, out;
  } cases[] = {
      {"", ""},
      {"OK\r\n", "OK"},
      {"OK\r\nREADY\r\n", "OKREADY"},
      {"\r\n\r\n", ""},
      {std::string("A\0B\tC\x1b[0m\x1f", 10), "ABC[0m"},
      {" ~\x7f", " ~\x7f"},                      // space and DEL stay
      {"\x82\xa0\x82\xa2", "\x82\xa0\x82\xa2"},  // a double-byte pair survives whole
      {"caf\xe9\r\n", "caf\xe9"},
      {AllBytesFrom(0), AllBytesFrom(0x20)},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Form1::QuitaCaracteresDeControl(c.in), c.out)
        << "input of " << c.in.size() << " bytes";
  }
}

TEST(QuitaCaracteresDeControl, HasNoLengthLimit) {
  // Past 32767 characters a 16-bit counter would overflow and nothing would be drawn.
  std::string answer;
  for (int i = 0; i < 20000; ++i) answer += "OK\r\n";
  const std::string cleaned = Form1::QuitaCaracteresDeControl(answer);
  ASSERT_EQ(cleaned.size(), 40000u);
  EXPECT_EQ(cleaned.substr(39996), "OKOK");
}

}  // namespace
}  // namespace qm
