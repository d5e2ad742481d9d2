// Finding the adapter's port among the device names, and the port number taken from it.
#include <gtest/gtest.h>

#include "app/device_walk.h"
#include "app/port_names.h"
#include "tests/unit/fakes.h"

namespace qm::test {
namespace {

using Names = std::vector<std::optional<std::wstring>>;

const std::wstring kBridge = L"Silicon Labs CP210x USB to UART Bridge";

struct LoadCase {
  const char* name;
  Names devices;
  std::wstring port_box;
  std::optional<int16_t> port;  // nullopt: the load fails with an overflow
};

void PrintTo(const LoadCase& c, std::ostream* os) {
  *os << c.name;
}

class FormLoad : public ::testing::TestWithParam<LoadCase> {};

TEST_P(FormLoad, ShowsThePortNamesAndPicksTheFirst) {
  const LoadCase& c = GetParam();
  Rig rig;
  rig.devices.names = c.devices;
  rig.port.SetCommPort(kStoredCommPort);
  if (!c.port) {
    try {
      rig.form.Form_Load();
      FAIL() << "expected an overflow";
    } catch (const Error& e) {
      EXPECT_EQ(e.Number(), kErrOverflow);
      EXPECT_EQ(e.Description(), L"Overflow");
    }
    EXPECT_EQ(rig.host.port_box, c.port_box);
    return;
  }
  rig.form.Form_Load();
  EXPECT_EQ(rig.host.port_box, c.port_box);
  EXPECT_EQ(rig.port.CommPort(), *c.port);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FormLoad,
    ::testing::Values(
        LoadCase{"NoAdapterKeepsTheStoredPort",
                 {L"Wine PnP Device", L"PCI Express Root Port", std::nullopt},
                 L"",
                 1},
        LoadCase{"NoDevicesAtAll", {}, L"", 1},
        LoadCase{"OneAdapter", {L"HID Keyboard", kBridge + L" (COM3)"}, L"COM3", 3},
        LoadCase{"TwoAdaptersFirstOneWins",
                 {kBridge + L" (COM3)", L"Generic Monitor", kBridge + L" (COM7)"},
                 L"COM3COM7",
                 3},
        LoadCase{"NameWithoutComGivesPortZero", {kBridge}, L"COM0", 0},
        LoadCase{
            "CaseMustMatchExactly", {L"silicon labs cp210x usb to uart bridge (COM4)"}, L"", 1},
        LoadCase{"LowerCaseComStillFound", {kBridge + L" (com5)"}, L"COM5", 5},
        LoadCase{"NameInsideALongerName", {L"Acme " + kBridge + L" #2 (COM12)"}, L"COM12", 12},
        LoadCase{"LastComCounts", {kBridge + L" COM2 (COM9)"}, L"COM9", 9},
        LoadCase{"ComAtTheVeryStart", {L"COM5 " + kBridge}, L"COM5", 5},
        LoadCase{"WithoutComFromTheThirdCharacter", {L"XY7 " + kBridge}, L"COM7", 7},
        LoadCase{
            "NullNamesAreSkipped", {std::nullopt, kBridge + L" (COM4)", std::nullopt}, L"COM4", 4},
        LoadCase{"LeadingBlanksAndSign", {kBridge + L" (COM \t\n+0042)"}, L"COM42", 42},
        LoadCase{"NegativeNumber", {kBridge + L" (COM-3)"}, L"COM-3", -3},
        LoadCase{"LargestPort", {kBridge + L" (COM32767)"}, L"COM32767", 32767},
        LoadCase{"SmallestPort", {kBridge + L" (COM-32768)"}, L"COM-32768", -32768},
        LoadCase{"PortOverflows", {kBridge + L" (COM32768)"}, L"COM32768", std::nullopt},
        LoadCase{"LongRunOfDigitsIsKeptThenOverflows",
                 {kBridge + L" (COM0000123456789012345678901234567890)"},
                 L"COM123456789012345678901234567890",
                 std::nullopt},
        LoadCase{"SecondAdapterDoesNotMatterForThePort",
                 {kBridge + L" (COM3)", kBridge + L" (COM99999)"},
                 L"COM3COM99999",
                 3}),
    [](const ::testing::TestParamInfo<LoadCase>& info) { return info.param.name; });

// After a device change the adapter is looked for as at start-up, once the changes settle,
// never during an exchange, and a failed look changes nothing and ends nothing.
TEST(DevicesChanged, LooksAgainOnceTheChangesSettle) {
  constexpr int64_t kSettle = kDeviceSettleMs;
  constexpr int64_t kExchangeEnd = kAnswerWaitMs;  // an exchange pressed at 0 ends here
  struct Case {
    const char* name;
    std::vector<int64_t> changes;  // when a change is notified
    bool exchange;                 // Reset pressed at 0
    Names after;                   // the devices from the first change on
    std::optional<Error> failure;  // the query fails
    bool fails;                    // the look fails (the query, or the port number)
    std::vector<int64_t> looks;    // when the adapter was looked for again
    std::wstring port_box;
    int16_t port;
    int64_t look_ms = 0;       // how long each look takes
    int64_t press_at = 0;      // when Reset is pressed, if it is
    int unreported_looks = 0;  // looks whose outcome came during an exchange and was redone
    int lost_looks = 0;        // looks whose outcome never arrives
  } cases[] = {
      {"IdleLooksAfterTheSettle",
       {100},
       false,
       {kBridge + L" (COM3)"},
       {},
       false,
       {100 + kSettle},
       L"COM3",
       3},
      {"ABurstIsOneLook",
       {100, 150, 200, 350},
       false,
       {kBridge + L" (COM3)"},
       {},
       false,
       {350 + kSettle},
       L"COM3",
       3},
      {"ChangesApartAreLookedAtEach",
       {100, 1000},
       false,
       {kBridge + L" (COM3)"},
       {},
       false,
       {100 + kSettle, 1000 + kSettle},
       L"COM3",
       3},
      {"AdapterGoneEmptiesTheBoxAndKeepsThePort",
       {100},
       false,
       {L"HID Keyboard"},
       {},
       false,
       {100 + kSettle},
       L"",
       7},
      {"DuringAnExchangeWaitsForItsEnd",
       {500},
       true,
       {kBridge + L" (COM3)"},
       {},
       false,
       {kExchangeEnd},
       L"COM3",
       3},
      {"SettlingWhenTheExchangeEndsWaitsForTheSettle",
       {kExchangeEnd - 50},
       true,
       {kBridge + L" (COM3)"},
       {},
       false,
       {kExchangeEnd - 50 + kSettle},
       L"COM3",
       3},
      {"FailedQueryKeepsPortAndBox",
       {100},
       false,
       {},
       Error(0x80041003, L"Access denied"),
       true,
       {100 + kSettle},
       L"COM7",
       7},
      {"OverflowKeepsPortAndBox",
       {100},
       false,
       {kBridge + L" (COM99999)"},
       {},
       true,
       {100 + kSettle},
       L"COM7",
       7},
      // The window goes on while a look runs; a change meanwhile is looked at once it is over.
      {"AChangeDuringALookStartsOneMoreAfterIt",
       {100, 500},
       false,
       {kBridge + L" (COM3)"},
       {},
       false,
       {100 + kSettle + 1000, 100 + kSettle + 2000},
       L"COM3",
       3,
       1000},
      {"ALookEndingDuringAnExchangeIsDoneAgainAfterIt",
       {100},
       true,
       {kBridge + L" (COM3)"},
       {},
       false,
       {500 + kExchangeEnd + 1000},
       L"COM3",
       3,
       1000,
       500,
       1},
      {"ALookWhoseOutcomeIsLostIsMadeAgainAtTheNextChange",
       {100, 1000},
       false,
       {kBridge + L" (COM3)"},
       {},
       false,
       {1000 + kSettle},
       L"COM3",
       3,
       0,
       0,
       1,
       1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Rig rig;
    rig.port.answer = "OK\r\n";
    rig.devices.names = {kBridge + L" (COM7)"};
    rig.form.Form_Load();
    rig.devices.names = c.after;
    rig.devices.failure = c.failure;
    rig.host.look_ms = c.look_ms;
    rig.host.lost_looks = c.lost_looks;
    for (int64_t t : c.changes) rig.host.At(t, [&] { rig.form.DevicesChanged(); });
    if (c.exchange) rig.host.At(c.press_at, [&] { rig.form.cmReset_Click(); });
    rig.host.RunUntil(5000);

    std::vector<int64_t> looks;
    for (const auto& look : rig.host.looks) {
      looks.push_back(look.at);
      EXPECT_EQ(look.failed, c.fails);
      if (c.exchange) {
        EXPECT_EQ(look.lines_drawn, 3u) << "looked at once the exchange was over";
      }
    }
    EXPECT_EQ(looks, c.looks);
    EXPECT_EQ(rig.devices.queries, 1 + static_cast<int>(c.looks.size()) + c.unreported_looks);
    EXPECT_EQ(rig.host.port_box, c.port_box);
    EXPECT_EQ(rig.port.CommPort(), c.port);
    EXPECT_FALSE(rig.host.ended_with.has_value()) << "the program carries on";
    if (c.exchange) {
      EXPECT_EQ(rig.host.drawn, (std::vector<std::wstring>{L"Open port", L"OK", L"Port closed"}));
      EXPECT_EQ(rig.port.opens, 1);
      EXPECT_EQ(rig.port.wire.size(), 30u);
    }
  }
}

TEST(DevicesChanged, NothingAfterTheProgramHasEnded) {
  Rig rig;
  rig.form.Form_Load();
  rig.form.Form_Unload();
  rig.host.At(100, [&] { rig.form.DevicesChanged(); });
  rig.host.RunUntil(5000);
  EXPECT_EQ(rig.devices.queries, 1);
}

TEST(ReadLeadingNumber, StopsAtTheFirstOtherCharacter) {
  struct Case {
    std::wstring text, decimal;
  } cases[] = {
      {L"12)", L"12"},        {L"", L"0"},    {L"-", L"0"},   {L"-0", L"0"},  {L"+7x", L"7"},
      {L"  \t\n-15", L"-15"}, {L"1 2", L"1"}, {L"\r5", L"0"}, {L"007", L"7"}, {L"3COM7", L"3"},
      {L"x9", L"0"},          {L"--5", L"0"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(DecimalText(ReadLeadingNumber(c.text)), c.decimal)
        << std::string(c.text.begin(), c.text.end());
  }
}

TEST(PortNumberFromText, ReadsFromTheFourthCharacter) {
  EXPECT_EQ(PortNumberFromText(L"COM3COM7"), 3);
  EXPECT_EQ(PortNumberFromText(L"COM"), 0);
  EXPECT_EQ(PortNumberFromText(L"XYZ-12"), -12);
  EXPECT_THROW(PortNumberFromText(L"COM-32769"), Error);
  EXPECT_THROW(PortNumberFromText(L"COM100000"), Error);
}

TEST(DeviceWalk, ATimeoutIsNeverTheEndOfTheList) {
  constexpr uint32_t kTimedOut = 0x40004;  // WBEM_S_TIMEDOUT
  using Step = DeviceWalk::Step;
  struct Case {
    uint32_t hr, returned;
    Step step;
  } cases[] = {
      {0, 1, Step::kDevice},
      {1, 0, Step::kEnd},
      {0, 0, Step::kEnd},
      {kTimedOut, 0, Step::kWaitAgain},
      {0x40005, 0, Step::kFailed},     // another success code
      {0x80041003, 0, Step::kFailed},  // WBEM_E_ACCESS_DENIED
      {0x80041003, 1, Step::kFailed},
  };
  for (const Case& c : cases) {
    DeviceWalk walk;
    EXPECT_EQ(walk.Next(c.hr, c.returned), c.step) << std::hex << c.hr << " " << c.returned;
  }

  // A service that keeps timing out fails the query once the waits add up to the limit.
  DeviceWalk walk;
  EXPECT_EQ(walk.Next(0, 1), Step::kDevice);
  int waits = 0;
  try {
    while (walk.Next(kTimedOut, 0) == Step::kWaitAgain) ++waits;
    ADD_FAILURE() << "the walk ended without an error";
  } catch (const Error& e) {
    EXPECT_EQ(FatalErrorText(e),
              L"Error 0x80041069: WMI has not listed the devices within 30 seconds.");
  }
  EXPECT_EQ(waits + 1, kDeviceWalkLimitMs / kNextWaitMs);

  // Each device it gives: a remembered one (not connected) is left out, an unreadable one kept.
  const struct {
    std::optional<bool> present;
    std::optional<int64_t> error;
    bool kept;
  } devices[] = {
      {true, 0, true},           {false, 45, false},
      {false, 0, false},         {true, 45, true},
      {std::nullopt, 45, false}, {std::nullopt, 0, true},
      {std::nullopt, 28, true},  {std::nullopt, std::nullopt, true},
  };
  for (const auto& d : devices) {
    EXPECT_EQ(DeviceConnected(d.present, d.error), d.kept)
        << (d.present ? int{*d.present} : -1) << " " << d.error.value_or(-1);
  }
}

}  // namespace
}  // namespace qm::test
