// The reset exchange, driven through Form1 against a scripted device on a virtual clock.
#include <gtest/gtest.h>

#include "app/port_names.h"
#include "tests/unit/fakes.h"

namespace qm::test {
namespace {

using Lines = std::vector<std::wstring>;

const std::string kCommandBytes = "AT+DEFAULT\r\n\r\n\r\n\r\n\r\n\r\n\r\n\r\n\r\n\r\n";

struct ExchangeCase {
  const char* name;
  std::function<void(FakePort&)> setup;
  Lines lines;
  std::string wire;  // the bytes that reached the device
};

void PrintTo(const ExchangeCase& c, std::ostream* os) {
  *os << c.name;
}

class ExchangeLines : public ::testing::TestWithParam<ExchangeCase> {};

TEST_P(ExchangeLines, DrawsTheseLinesAndPutsTheseBytesOnTheWire) {
  const ExchangeCase& c = GetParam();
  Rig rig;
  c.setup(rig.port);
  rig.form.cmReset_Click();
  EXPECT_EQ(rig.host.drawn, c.lines);
  EXPECT_EQ(rig.port.wire, c.wire);
  EXPECT_EQ(Lines(rig.form.ReportLines().begin(), rig.form.ReportLines().end()), c.lines);
  EXPECT_FALSE(rig.port.PortOpen()) << "the port is released after every exchange";
  // The verdict a console reads agrees with the middle line drawn.
  const ExchangeOutcome outcome = c.lines[1].rfind(L"Cannot open ", 0) == 0
                                      ? ExchangeOutcome::kCouldNotOpen
                                  : c.lines[1] == L"NO COMM" ? ExchangeOutcome::kNoAnswer
                                                             : ExchangeOutcome::kAnswered;
  EXPECT_EQ(rig.form.LastOutcome(), outcome);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ExchangeLines,
    ::testing::Values(
        ExchangeCase{"AnsweredOk",
                     [](FakePort& p) { p.answer = "OK\r\n"; },
                     {L"Open port", L"OK", L"Port closed"},
                     kCommandBytes},
        ExchangeCase{"MultiLineAnswerIsJoined",
                     [](FakePort& p) { p.answer = "OK\r\nREADY\r\n"; },
                     {L"Open port", L"OKREADY", L"Port closed"},
                     kCommandBytes},
        ExchangeCase{"OnlyLineEndsGiveAnEmptyLine",
                     [](FakePort& p) { p.answer = "\r\n\r\n"; },
                     {L"Open port", L"", L"Port closed"},
                     kCommandBytes},
        ExchangeCase{"InputBeforeTheCommandIsDropped",
                     [](FakePort& p) {
                       p.noise_on_open = "BOOT v2\r\n";
                       p.answer = "OK\r\n";
                     },
                     {L"Open port", L"OK", L"Port closed"},
                     kCommandBytes},
        ExchangeCase{"AnswerInTheAnsiCodePage",
                     [](FakePort& p) { p.answer = "caf\xe9\r\n"; },
                     {L"Open port", L"caf\u00e9", L"Port closed"},
                     kCommandBytes},
        ExchangeCase{"NoAnswer",
                     [](FakePort&) {},
                     {L"Open port", L"NO COMM", L"Port closed"},
                     kCommandBytes},
        ExchangeCase{"AnswerAfterTheWaitIsNotAnAnswer",
                     [](FakePort& p) {
                       p.answer = "OK\r\n";
                       p.answer_delay_ms = 2500;
                     },
                     {L"Open port", L"NO COMM", L"Port closed"},
                     kCommandBytes},
        ExchangeCase{"ReadFailureIsNoAnswer",
                     [](FakePort& p) {
                       p.answer = "OK\r\n";
                       p.fail_reads = true;
                     },
                     {L"Open port", L"NO COMM", L"Port closed"},
                     kCommandBytes},
        ExchangeCase{"PortMissing",
                     [](FakePort& p) {
                       p.SetCommPort(7);
                       p.open_error = Error(2, L"The system cannot find the file specified.");
                     },
                     {L"Open port", L"Cannot open COM7: no such port", L"Port closed"},
                     ""},
        ExchangeCase{"PortPathMissing",
                     [](FakePort& p) {
                       p.SetCommPort(12);
                       p.open_error = Error(3, L"The system cannot find the path specified.");
                     },
                     {L"Open port", L"Cannot open COM12: no such port", L"Port closed"},
                     ""},
        ExchangeCase{
            "PortInUse",
            [](FakePort& p) { p.open_error = Error(32, L"The process cannot access the file."); },
            {L"Open port", L"Cannot open COM1: port in use by another program", L"Port closed"},
            ""},
        ExchangeCase{"PortAccessDenied",
                     [](FakePort& p) { p.open_error = Error(5, L"Access is denied."); },
                     {L"Open port",
                      L"Cannot open COM1: access denied (the port may be in use by another "
                      L"program)",
                      L"Port closed"},
                     ""},
        ExchangeCase{
            "PortLocked",
            [](FakePort& p) { p.open_error = Error(33, L"Lock violation."); },
            {L"Open port", L"Cannot open COM1: port in use by another program", L"Port closed"},
            ""},
        ExchangeCase{"PortOpenRunsOutOfMemory",
                     [](FakePort& p) { p.open_out_of_memory = true; },
                     {L"Open port", L"Cannot open COM1: unknown failure", L"Port closed"},
                     ""},
        ExchangeCase{
            "PortFailsForAnotherReason",
            [](FakePort& p) {
              p.open_error = Error(31, L"A device attached to the system is not functioning.");
            },
            {L"Open port", L"Cannot open COM1: A device attached to the system is not functioning.",
             L"Port closed"},
            ""}),
    [](const ::testing::TestParamInfo<ExchangeCase>& info) { return info.param.name; });

TEST(Exchange, SendsTheCommandAsElevenWrites) {
  Rig rig;
  rig.form.cmReset_Click();
  std::vector<std::string> expected{"AT+DEFAULT"};
  expected.insert(expected.end(), 10, "\r\n");
  EXPECT_EQ(rig.port.writes, expected);
  EXPECT_EQ(rig.port.wire.size(), 30u);
}

TEST(Exchange, AFailedWriteDoesNotStopTheOthers) {
  Rig rig;
  rig.port.answer = "OK\r\n";
  rig.port.failing_write = 3;
  rig.form.cmReset_Click();
  EXPECT_EQ(rig.port.writes.size(), 11u) << "every write is attempted";
  std::string nine_line_ends;
  for (int i = 0; i < 9; ++i) nine_line_ends += "\r\n";
  EXPECT_EQ(rig.port.wire, "AT+DEFAULT" + nine_line_ends);
  EXPECT_EQ(rig.host.drawn, (Lines{L"Open port", L"NO COMM", L"Port closed"}))
      << "the device saw 28 bytes, not the whole command";

  // The command itself and the last line end fail the same way.
  for (int failing : {0, 10}) {
    Rig other;
    other.port.failing_write = failing;
    other.form.cmReset_Click();
    EXPECT_EQ(other.port.writes.size(), 11u) << "write " << failing << " failed";
    EXPECT_EQ(other.port.wire.size(), failing == 0 ? 20u : 28u);
    EXPECT_EQ(other.host.drawn, (Lines{L"Open port", L"NO COMM", L"Port closed"}));
  }
}

TEST(Exchange, AFailedOpenWritesNothingAndDoesNotWait) {
  Rig rig;
  rig.port.open_error = Error(2, L"not found");
  rig.form.cmReset_Click();
  EXPECT_TRUE(rig.port.writes.empty());
  EXPECT_EQ(rig.host.now, 0) << "no two-second wait";
  EXPECT_TRUE(rig.host.ticks.empty());
}

TEST(Exchange, UnreadableOpenStateStillClosesThePort) {
  Rig rig;
  rig.port.answer = "OK\r\n";
  rig.port.fail_open_state = true;
  rig.form.cmReset_Click();
  rig.port.fail_open_state = false;
  EXPECT_EQ(rig.port.closes, 2) << "the close before opening and the one after reading";
  EXPECT_FALSE(rig.port.PortOpen());
  EXPECT_EQ(rig.host.drawn, (Lines{L"Open port", L"OK", L"Port closed"}));
}

TEST(Exchange, WaitsTwoSecondsWithoutSpinning) {
  Rig rig;
  // Other window events keep arriving during the wait; none of them ends it.
  for (int64_t t : {100, 700, 1999}) rig.host.At(t, [] {});
  rig.form.cmReset_Click();
  ASSERT_EQ(rig.host.ticks.size(), 1u);
  EXPECT_EQ(rig.host.ticks[0], 2000) << "the wait ends at the first tick, never before";
  EXPECT_GE(rig.host.now, 2000);
  // One pass of events after each write, one per wake-up, and the first pass of the wait.
  EXPECT_LE(rig.host.do_events_calls, 11 + 1 + rig.host.waits);
  EXPECT_EQ(rig.host.waits, 4) << "three events and the tick each wake the wait once";
  EXPECT_FALSE(rig.host.TimerArmed()) << "the timer stops at its tick";
}

TEST(Exchange, WithoutATimerTheExchangeGoesOnToTheRead) {
  Rig rig;
  rig.port.answer = "OK\r\n";
  rig.host.arm_error = Error(1405, L"Not enough quota is available to process this command.");
  rig.form.cmReset_Click();
  EXPECT_EQ(rig.host.now, 0) << "no wait without a timer";
  EXPECT_EQ(rig.host.drawn, (Lines{L"Open port", L"NO COMM", L"Port closed"}));
  EXPECT_FALSE(rig.port.PortOpen());
  EXPECT_EQ(rig.host.reset_enabled_history, (std::vector<bool>{false, true}));
  EXPECT_FALSE(rig.form.ExchangeRunning());
}

TEST(Exchange, PressesDuringTheExchangeStartNothing) {
  Rig rig;
  rig.port.answer = "OK\r\n";
  rig.host.At(0, [&] { rig.form.cmReset_Click(); });  // during the writes
  rig.host.At(500, [&] { rig.form.cmReset_Click(); });
  rig.host.At(1500, [&] { rig.form.cmReset_Click(); });
  rig.form.cmReset_Click();
  EXPECT_EQ(rig.port.wire, kCommandBytes) << "the command went out once";
  EXPECT_EQ(rig.port.opens, 1);
  EXPECT_EQ(rig.host.drawn, (Lines{L"Open port", L"OK", L"Port closed"}));
  EXPECT_EQ(rig.host.reset_enabled_history, (std::vector<bool>{false, true}));
  EXPECT_EQ(rig.host.focus_reset_calls, 1) << "the button gets the focus back";
  EXPECT_FALSE(rig.form.ExchangeRunning());
}

TEST(Exchange, PressesInARowRunIdenticalExchanges) {
  Rig rig;
  rig.port.answer = "OK\r\n";
  for (int i = 0; i < 3; ++i) {
    rig.form.cmReset_Click();
    EXPECT_FALSE(rig.port.PortOpen()) << "released between exchanges";
  }
  Lines expected;
  for (int i = 0; i < 3; ++i)
    expected.insert(expected.end(), {L"Open port", L"OK", L"Port closed"});
  EXPECT_EQ(rig.host.drawn, expected);
  EXPECT_EQ(rig.port.wire, kCommandBytes + kCommandBytes + kCommandBytes);
}

TEST(Exchange, LateAnswerDoesNotShowUpInTheNextExchange) {
  Rig rig;
  rig.port.answer = "LATE\r\n";
  rig.port.answer_delay_ms = 2500;
  rig.form.cmReset_Click();
  rig.port.answer = "";
  rig.port.noise_on_open = "LATE\r\n";  // still on its way when the port reopens
  rig.form.cmReset_Click();
  EXPECT_EQ(rig.host.drawn, (Lines{L"Open port", L"NO COMM", L"Port closed", L"Open port",
                                   L"NO COMM", L"Port closed"}));
}

TEST(Exchange, ClosingTheWindowDuringTheWaitEndsEverything) {
  Rig rig;
  rig.port.answer = "OK\r\n";
  rig.host.At(1000, [&] { rig.form.Form_Unload(); });
  rig.form.cmReset_Click();
  EXPECT_EQ(rig.host.ended_with, 0);
  EXPECT_FALSE(rig.port.PortOpen()) << "the port is released before the program ends";
  EXPECT_EQ(rig.host.drawn, (Lines{L"Open port"})) << "nothing more is drawn";
  EXPECT_LT(rig.host.now, 2000) << "the wait was abandoned";
  EXPECT_EQ(rig.host.reset_enabled_history, (std::vector<bool>{false}))
      << "the gone window is not touched again";
}

TEST(Exchange, ClosingTheWindowDuringTheWritesSendsNoMore) {
  Rig rig;
  rig.host.At(0, [&] { rig.form.Form_Unload(); });
  rig.form.cmReset_Click();
  EXPECT_EQ(rig.port.wire, "AT+DEFAULT");
  EXPECT_EQ(rig.host.ended_with, 0);
  EXPECT_FALSE(rig.port.PortOpen());

  // Closed after the command, after the third write, after the last: nothing more is even tried
  // (a write to the closed port would fail unseen), and there is no wait.
  for (int pass : {1, 3, 11}) {
    Rig other;
    other.host.each_pass = [&](int n) {
      if (n == pass) other.form.Form_Unload();
    };
    other.form.cmReset_Click();
    EXPECT_EQ(other.port.writes.size(), static_cast<std::size_t>(pass)) << "closed at " << pass;
    EXPECT_EQ(other.host.now, 0);
    EXPECT_EQ(other.host.drawn, (Lines{L"Open port"}));
  }
}

TEST(Exchange, AClickQueuedBehindTheCloseStartsNothing) {
  Rig rig;
  rig.form.Form_Unload();
  rig.form.cmReset_Click();
  EXPECT_EQ(rig.port.opens, 0);
  EXPECT_TRUE(rig.port.writes.empty());
  EXPECT_TRUE(rig.host.reset_enabled_history.empty());
}

TEST(Shutdown, ClosesAnOpenPortAndEnds) {
  Rig rig;
  rig.form.Form_Unload();
  EXPECT_EQ(rig.port.closes, 0) << "a closed port is left alone";
  EXPECT_EQ(rig.host.ended_with, 0);

  Rig open;
  open.port.Open();
  open.form.Form_Unload();
  EXPECT_EQ(open.port.closes, 1);
  EXPECT_EQ(open.host.ended_with, 0);
}

TEST(Shutdown, AnErrorWhileClosingReachesTheCaller) {
  Rig rig;
  rig.port.fail_open_state = true;
  EXPECT_THROW(rig.form.Form_Unload(), Error);
  EXPECT_TRUE(rig.form.Ended());
  rig.form.EndAfterError();  // what the window does with it
  EXPECT_EQ(rig.host.ended_with, 1);
}

TEST(Shutdown, AfterAnErrorTheExitStatusStaysOne) {
  // An error reported during the wait; then the usual ending comes through the event loop.
  Rig rig;
  rig.port.answer = "OK\r\n";
  rig.host.At(1000, [&] { rig.form.EndAfterError(); });
  rig.form.cmReset_Click();
  rig.form.Form_Unload();
  EXPECT_EQ(rig.host.ended_with, 1);
  EXPECT_LT(rig.host.now, 2000) << "the wait was abandoned";
  EXPECT_EQ(rig.host.drawn, (Lines{L"Open port"}));
  EXPECT_EQ(rig.host.reset_enabled_history, (std::vector<bool>{false}));
  EXPECT_FALSE(rig.port.PortOpen());

  // The other way round too: a normal end, then an error on the way out.
  Rig closed;
  closed.form.Form_Unload();
  closed.form.EndAfterError();
  EXPECT_EQ(closed.host.ended_with, 0);
}

}  // namespace
}  // namespace qm::test

namespace qm::test {
namespace {

using Lines = std::vector<std::wstring>;

TEST(Pausa, ANonPositiveIntervalDoesNotHang) {
  // A timer without a positive interval never ticks: waiting for it would freeze the window.
  for (int32_t interval : {0, -5}) {
    Rig rig;
    rig.form.Pausa(interval);
    EXPECT_EQ(rig.host.now, 0);
    EXPECT_EQ(rig.host.do_events_calls, 1) << "pending events are still handled once";
  }
}

TEST(Discovery, AnAdapterWithoutAPortNameLeadsToACom0Failure) {
  Rig rig;
  rig.devices.names = {std::wstring(kAdapterName)};
  rig.form.Form_Load();  // no start-up error
  ASSERT_EQ(rig.port.CommPort(), 0);
  rig.port.open_error = Error(2, L"The system cannot find the file specified.");
  rig.form.cmReset_Click();
  EXPECT_EQ(rig.host.drawn,
            (Lines{L"Open port", L"Cannot open COM0: no such port", L"Port closed"}));
}

}  // namespace
}  // namespace qm::test
