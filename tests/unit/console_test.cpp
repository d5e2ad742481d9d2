// The console edition's command line, and text from outside bytes.
#include <gtest/gtest.h>

#include "common/text.h"
#include "console/console.h"

namespace qm::test {
namespace {

using Mode = Options::Mode;

struct ArgumentsCase {
  const char* name;
  std::vector<std::wstring> args;
  std::optional<Mode> mode;  // nullopt: a usage error
  std::optional<std::wstring> port;
};

void PrintTo(const ArgumentsCase& c, std::ostream* os) {
  *os << c.name;
}

class Arguments : public ::testing::TestWithParam<ArgumentsCase> {};

TEST_P(Arguments, AreReadSo) {
  const ArgumentsCase& c = GetParam();
  const ParsedArguments parsed = ParseArguments(c.args);
  ASSERT_EQ(parsed.options.has_value(), c.mode.has_value())
      << std::string(parsed.error.begin(), parsed.error.end());
  if (!c.mode) {
    EXPECT_FALSE(parsed.error.empty());
    return;
  }
  EXPECT_EQ(parsed.options->mode, *c.mode);
  EXPECT_EQ(parsed.options->port, c.port);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Arguments,
    ::testing::Values(
        ArgumentsCase{"None", {}, Mode::kOne, std::nullopt},
        ArgumentsCase{"Port", {L"--port", L"ttyUSB3"}, Mode::kOne, L"ttyUSB3"},
        ArgumentsCase{"PortWithEquals", {L"--port=COM5"}, Mode::kOne, L"COM5"},
        ArgumentsCase{"List", {L"--list"}, Mode::kList, std::nullopt},
        ArgumentsCase{"All", {L"--all"}, Mode::kAll, std::nullopt},
        ArgumentsCase{"HelpWinsOverTheRest", {L"--all", L"--help"}, Mode::kHelp, std::nullopt},
        ArgumentsCase{"Version", {L"--version"}, Mode::kVersion, std::nullopt},
        ArgumentsCase{"PortWithoutName", {L"--port"}, std::nullopt, std::nullopt},
        ArgumentsCase{"PortEmpty", {L"--port="}, std::nullopt, std::nullopt},
        ArgumentsCase{"PortTwice", {L"--port", L"a", L"--port", L"b"}, std::nullopt, std::nullopt},
        ArgumentsCase{"PortAndAll", {L"--port", L"a", L"--all"}, std::nullopt, std::nullopt},
        ArgumentsCase{"ListAndAll", {L"--list", L"--all"}, std::nullopt, std::nullopt},
        ArgumentsCase{"Unknown", {L"-x"}, std::nullopt, std::nullopt},
        ArgumentsCase{"Positional", {L"COM3"}, std::nullopt, std::nullopt}),
    [](const ::testing::TestParamInfo<ArgumentsCase>& info) { return info.param.name; });

TEST(ExitStatus, FollowsTheOutcome) {
  EXPECT_EQ(ExitStatusFor(ExchangeOutcome::kAnswered), 0);
  EXPECT_EQ(ExitStatusFor(ExchangeOutcome::kNoAnswer), 1);
  EXPECT_EQ(ExitStatusFor(ExchangeOutcome::kCouldNotOpen), 2);
}

TEST(Text, Utf8IsDecodedAndAnythingElseIsKeptBytewise) {
  const struct {
    std::string bytes;
    std::wstring text;
  } cases[] = {
      {"OK", L"OK"},
      {"\xC3\xB1"
       "and\xC3\xBA",
       L"\u00F1and\u00FA"},
      {"\xE2\x82\xAC", L"\u20AC"},
      {"\xF0\x9F\x98\x80", std::wstring(L"\U0001F600")},
      {"caf\xE9", L"caf\u00E9"},                // Latin-1: not UTF-8
      {"\xC3", L"\u00C3"},                      // cut short
      {"\xC0\xAF", L"\u00C0\u00AF"},            // overlong
      {"\xED\xA0\x80", L"\u00ED\u00A0\u0080"},  // a surrogate
  };
  for (const auto& c : cases) {
    EXPECT_EQ(TextFromBytes(c.bytes), c.text);
    if (Utf8(c.text) != c.bytes) {
      // Only bytes that were not UTF-8 come back different, and then as valid UTF-8.
      EXPECT_EQ(TextFromBytes(Utf8(c.text)), c.text);
    }
  }
  EXPECT_EQ(Utf8(L"\u00F1\u20AC"), "\xC3\xB1\xE2\x82\xAC");
}

}  // namespace
}  // namespace qm::test
