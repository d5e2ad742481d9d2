// The console edition's command line, and text from outside bytes.
#include <gtest/gtest.h>

#include <utility>

#include "common/text.h"
#include "console/console.h"
#include "console/events.h"
#include "tests/unit/fakes.h"

namespace qm::test {
namespace {

using Mode = Options::Mode;

struct ArgumentsCase {
  const char* name;
  std::vector<std::wstring> args;
  std::optional<Mode> mode;  // nullopt: a usage error
  std::vector<std::wstring> ports;
  int32_t settle_ms = kDefaultSettleMs;
  bool json = false;
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
  EXPECT_EQ(parsed.options->ports, c.ports);
  EXPECT_EQ(parsed.options->settle_ms, c.settle_ms);
  EXPECT_EQ(parsed.options->json, c.json);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Arguments,
    ::testing::Values(
        ArgumentsCase{"None", {}, Mode::kOne, {}, kDefaultSettleMs},
        ArgumentsCase{"Port", {L"--port", L"ttyUSB3"}, Mode::kOne, {L"ttyUSB3"}},
        ArgumentsCase{"PortWithEquals", {L"--port=COM5"}, Mode::kOne, {L"COM5"}},
        ArgumentsCase{"SeveralPorts", {L"--port", L"a", L"--port=b"}, Mode::kOne, {L"a", L"b"}},
        ArgumentsCase{"List", {L"--list", L"--json"}, Mode::kList, {}, kDefaultSettleMs, true},
        ArgumentsCase{"All", {L"--all"}, Mode::kAll, {}, kDefaultSettleMs},
        ArgumentsCase{"Watch", {L"--watch"}, Mode::kWatch, {}, kDefaultSettleMs},
        ArgumentsCase{"Settle", {L"--watch", L"--settle", L"2.5"}, Mode::kWatch, {}, 2500},
        ArgumentsCase{"SettleZero", {L"--settle=0", L"--watch"}, Mode::kWatch, {}, 0},
        ArgumentsCase{"SettleMilliseconds", {L"--watch", L"--settle=.125"}, Mode::kWatch, {}, 125},
        ArgumentsCase{"SettleAnHour", {L"--watch", L"--settle=3600"}, Mode::kWatch, {}, 3600000},
        ArgumentsCase{"HelpWinsOverTheRest", {L"--all", L"--help"}, Mode::kHelp, {}, kDefaultSettleMs},
        ArgumentsCase{"Version", {L"--version"}, Mode::kVersion, {}, kDefaultSettleMs},
        ArgumentsCase{"PortWithoutName", {L"--port"}, std::nullopt, {}},
        ArgumentsCase{"PortEmpty", {L"--port="}, std::nullopt, {}},
        ArgumentsCase{"SamePortTwice", {L"--port", L"a", L"--port", L"a"}, std::nullopt, {}},
        ArgumentsCase{"PortAndAll", {L"--port", L"a", L"--all"}, std::nullopt, {}},
        ArgumentsCase{"ListAndAll", {L"--list", L"--all"}, std::nullopt, {}},
        ArgumentsCase{"WatchAndPort", {L"--watch", L"--port", L"a"}, std::nullopt, {}},
        ArgumentsCase{"SettleWithoutWatch", {L"--all", L"--settle", L"1"}, std::nullopt, {}},
        ArgumentsCase{"SettleNotANumber", {L"--watch", L"--settle", L"1s"}, std::nullopt, {}},
        ArgumentsCase{"SettleTooFine", {L"--watch", L"--settle", L"0.0001"}, std::nullopt, {}},
        ArgumentsCase{"SettleOverAnHour", {L"--watch", L"--settle", L"3600.001"}, std::nullopt, {}},
        ArgumentsCase{"SettleOverByTenths", {L"--watch", L"--settle=3600.5"}, std::nullopt, {}},
        ArgumentsCase{"SettleMissing", {L"--watch", L"--settle"}, std::nullopt, {}},
        ArgumentsCase{"ExpectBlank", {L"--expect", L" "}, std::nullopt, {}},
        ArgumentsCase{"ExpectTwoLines", {L"--expect", L"OK\r\nOK"}, std::nullopt, {}},
        ArgumentsCase{"ExpectWithList", {L"--list", L"--expect", L"OK"}, std::nullopt, {}},
        ArgumentsCase{"Unknown", {L"-x"}, std::nullopt, {}},
        ArgumentsCase{"Positional", {L"COM3"}, std::nullopt, {}}),
    [](const ::testing::TestParamInfo<ArgumentsCase>& info) { return info.param.name; });

TEST(Json, StringsAreValidWhateverTheTextAndTimesAreUtc) {
  EXPECT_EQ(JsonString(L"O\"K\\ \u00e9\x01"), L"\"O\\\"K\\\\ \u00e9\\u0001\"");
  EXPECT_EQ(JsonString(ArgumentText("\xFF") + L"a"), L"\"\\ufffda\"");  // a lone surrogate
  if constexpr (sizeof(wchar_t) == 4) {
    EXPECT_EQ(JsonString(std::wstring(1, wchar_t(0x110000))), L"\"\\ufffd\"");  // no character
  }
  EXPECT_EQ(JsonString(L"\x7f\x85\x9b\xa0"), L"\"\\u007f\\u0085\\u009b\xa0\"");  // no C1 raw
  EXPECT_EQ(SerialFromInstanceId(L"USB\\VID_10C4&PID_EA60\\0001"), L"0001");
  EXPECT_EQ(SerialFromInstanceId(L"USB\\VID_10C4&PID_EA60\\5&1A2B3C4&0&2"), L"");  // made up
  EXPECT_EQ(SerialFromInstanceId(L"ACPI\\PNP0501\\1"), L"");
  EXPECT_EQ(IsoTime(0), L"1970-01-01T00:00:00.000Z");
  EXPECT_EQ(IsoTime(1796706062345), L"2026-12-08T05:01:02.345Z");
  EXPECT_EQ(IsoTime(1709251199999), L"2024-02-29T23:59:59.999Z");
}

TEST(ExitStatus, FollowsTheOutcome) {
  EXPECT_EQ(ExitStatusFor(ExchangeOutcome::kAnswered), 0);
  EXPECT_EQ(ExitStatusFor(ExchangeOutcome::kNoAnswer), 1);
  EXPECT_EQ(ExitStatusFor(ExchangeOutcome::kCouldNotOpen), 2);
  EXPECT_EQ(ExitStatusFor(ExchangeOutcome::kUnexpected), 4);
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
      // Only the bytes that are not UTF-8 fall back, each on its own.
      {"caf\xC3\xA9 \xB0""C", L"caf\u00E9 \u00B0C"},
      {"\xE2\x82 \xE2\x82\xAC", L"\u00E2\u0082 \u20AC"},
      // Bytes that can never start a sequence, whatever follows them.
      {"\x80\xBF", L"\u0080\u00BF"},
      {"\xC1\xBF", L"\u00C1\u00BF"},
      {"\xF5\x80\x80\x80", L"\u00F5\u0080\u0080\u0080"},
      {"\xFF\xC3\xB1", L"\u00FF\u00F1"},
      {"\xF4\x90\x80\x80", L"\u00F4\u0090\u0080\u0080"},  // past U+10FFFF
      {"\xE0\x80\x80", L"\u00E0\u0080\u0080"},            // overlong
      {"\xF0\x80\x80\x80", L"\u00F0\u0080\u0080\u0080"},
      {"\xF8\x90\x80\x80", L"\u00F8\u0090\u0080\u0080"},  // no five-byte lead starts four
  };
  for (const auto& c : cases) {
    EXPECT_EQ(TextFromBytes(c.bytes), c.text);
    if (Utf8(c.text) != c.bytes) {
      // Only bytes that were not UTF-8 come back different, and then as valid UTF-8.
      EXPECT_EQ(TextFromBytes(Utf8(c.text)), c.text);
    }
  }
  EXPECT_EQ(Utf8(L"\u00F1\u20AC"), "\xC3\xB1\xE2\x82\xAC");

  // A path is bytes: they come back exactly, and are shown without anything a terminal obeys.
  for (const std::string bytes : {"dir/port\xFF", "caf\xE9", "\xED\xA0\x80", "\xC3\xB1"}) {
    EXPECT_EQ(ArgumentBytes(ArgumentText(bytes)), bytes);
  }
  EXPECT_EQ(ReadableText(ArgumentText("p\xFF\x1B[2J\xC2\x9B\xC3\xB1")), L"p\\xff\\x1b[2J\\x9b\u00F1");
  EXPECT_EQ(WithoutControls(TextFromBytes("\x9B[2J \xC2\x9B\xC2\xA0o\x7Fk")), L"[2J \u00A0ok");
}

// A console that shows nothing and runs each job at once: its own interrupt.
class QuietConsole : public ConsolePlatform, public Interrupt {
 public:
  std::wstring WhatWasLookedFor() const override { return {}; }
  std::wstring PortExample() const override { return {}; }
  std::wstring DecodeAnsi(std::string_view bytes) const override { return TextFromBytes(bytes); }
  void PrintLine(const std::wstring&) override {}
  void PrintRecord(const std::wstring&) override {}
  void PrintError(const std::wstring&) override {}
  bool OutputFailed() const override { return false; }
  void OutputLost(const Error&) override {}
  Interrupt& interrupt() override { return *this; }
  void Start(std::function<void()> job) override { job(); }
  void WaitForJobs() override {}
  std::unique_ptr<RecordFile> OpenLog(const std::wstring&) override { throw Error(1, L"none"); }
};

// A console whose interrupt the test raises, and a port that raises it at a chosen moment.
class ScriptedConsole final : public QuietConsole {
 public:
  bool Raised() const override { return raised; }
  void Sleep(int32_t) override {}
  std::vector<Adapter> FindAdapters() override { return {}; }
  std::unique_ptr<SerialPort> MakePort(const std::wstring&) override;
  void WaitForDeviceChange(int32_t) override {}

  bool raised = false;
  int raise_at_write = 0;  // 0: as the port opens
  std::string wire;
  bool open = false;
};

class TrippingPort final : public SerialPort {
 public:
  explicit TrippingPort(ScriptedConsole& console) : console_(console) {}
  void SetCommPort(int16_t) override {}
  int16_t CommPort() const override { return 0; }
  bool PortOpen() const override { return console_.open; }
  void Open() override { console_.raised = console_.raise_at_write == 0, console_.open = true; }
  void Close() override { console_.open = false; }
  void Write(std::string_view bytes) override {
    console_.wire += bytes;
    if (++writes_ == console_.raise_at_write) console_.raised = true;
  }
  std::string ReadPending() override { return {}; }

 private:
  ScriptedConsole& console_;
  int writes_ = 0;
};

std::unique_ptr<SerialPort> ScriptedConsole::MakePort(const std::wstring&) {
  return std::make_unique<TrippingPort>(*this);
}

TEST(ConsoleInterrupt, NeverLeavesHalfACommand) {
  std::string whole = "AT+DEFAULT";
  for (int i = 0; i < 10; ++i) whole += "\r\n";
  for (const auto& [raise_at_write, sent] : {std::pair{0, std::string()}, {1, whole}, {6, whole}}) {
    ScriptedConsole console;
    console.raise_at_write = raise_at_write;
    EXPECT_EQ(RunConsole({L"--port", L"p"}, console, L""), kExitInterrupted);
    EXPECT_EQ(console.wire, sent) << "raised at write " << raise_at_write;
    EXPECT_FALSE(console.open);
  }
}

// What reached the screen and the log, in order.
struct Seen final : public ConsoleEvents, public RecordFile {
  std::vector<std::wstring> said;
  std::vector<std::wstring>* into = &said;  // the log's writes, among the screen's
  bool fail = false;
  std::wstring not_synced;
  void Append(std::string_view line) override {
    if (fail) throw Error(28, L"No space left on device");
    into->push_back(L"log " + std::wstring(line.begin(), line.begin() + 18));
  }
  std::wstring NotSynced() override { return std::exchange(not_synced, L""); }
  void Line(const ExchangeId&, const std::wstring& line) override { said.push_back(line); }
  void Finished(const ExchangeId&, const Verdict&) override { said.push_back(L"verdict"); }
  void Problem(const std::wstring& text) override { said.push_back(text); }
};

TEST(Log, EachRecordIsKeptBeforeItsVerdictIsShownAndAFailureIsSaidOnce) {
  Seen screen;
  auto file = std::make_unique<Seen>();
  Seen& log_file = *file;
  log_file.into = &screen.said;
  LogEvents log(std::move(file), L"bench.jsonl");
  FanOut events(&log, screen);
  const ExchangeId a{1, L"/dev/ttyUSB0", {}, true, L"/dev/ttyUSB0"}, b{2, L"/dev/ttyUSB1", {}, true, L"/dev/ttyUSB1"};
  events.Line(a, L"Open port");
  events.Line(b, L"Open port");
  events.Line(a, L"OK");
  events.Finished(a, Verdict{});
  EXPECT_EQ(screen.said, (std::vector<std::wstring>{L"log {\"type\":\"exchange\"", L"Open port",
                                                    L"OK", L"verdict"}));
  log_file.fail = true;
  events.Finished(b, Verdict{});
  events.Summary(Tally{});
  EXPECT_EQ(screen.said.size(), 7u);  // the failure said once, then b's line and verdict
  EXPECT_EQ(screen.said[4], L"cannot write the log bench.jsonl: No space left on device");
  EXPECT_EQ(log.Failure(),
            L"cannot write the log bench.jsonl: No space left on device (2 records not kept)");
  // Written whole but not flushed (a share that refuses it): kept, and said so.
  log_file.fail = false;
  log_file.not_synced = L"The request is not supported.";
  events.Summary(Tally{});
  EXPECT_EQ(screen.said.back(),
            L"the log bench.jsonl is written, not synced: The request is not supported.");
  EXPECT_NE(log.Failure().find(L"(2 records not kept)"), std::wstring::npos);
}

// A bench seen through scripted looks on FakeHost's clock: from its time on, each look's result
// (adapters, or a failure) stands until the next, and a device change comes with each. Once the
// script is over and nothing is left to wait for, Ctrl+C. Jobs run inline; every port answers.
class ScriptedBench final : public QuietConsole {
 public:
  struct Look {
    int64_t at;
    std::optional<std::vector<Adapter>> adapters;  // nullopt: the look fails
  };
  explicit ScriptedBench(std::vector<Look> looks) : looks_(std::move(looks)) {}

  bool Raised() const override { return raised_; }
  void Sleep(int32_t ms) override { clock_.RunUntil(clock_.now + ms); }
  int64_t SteadyMs() const override { return clock_.now; }
  std::vector<Adapter> FindAdapters() override {
    const Look* current = nullptr;
    for (const Look& look : looks_) current = look.at <= clock_.now ? &look : current;
    if (current && !current->adapters) throw Error(5, L"Access is denied.");
    return current ? *current->adapters : std::vector<Adapter>();
  }
  std::unique_ptr<SerialPort> MakePort(const std::wstring& name) override {
    resets.emplace_back(name, clock_.now);
    auto port = std::make_unique<FakePort>(clock_);
    port->answer = answer;
    return port;
  }
  void PrintRecord(const std::wstring& record) override { records.push_back(record); }
  void WaitForDeviceChange(int32_t ms) override {
    int64_t until = ms < 0 ? INT64_MAX : clock_.now + ms;
    for (const Look& look : looks_) {
      if (look.at > clock_.now) until = std::min(until, look.at);
    }
    if (looks_.empty() || until > looks_.back().at + 10000) {
      raised_ = true;  // also ends endless failing looks
    } else {
      clock_.RunUntil(until);
    }
  }

  std::vector<std::pair<std::wstring, int64_t>> resets;  // port, when
  std::string answer = "OK\r\n";                         // every device's
  std::vector<std::wstring> records;

 private:
  std::vector<Look> looks_;
  FakeHost clock_;
  bool raised_ = false;
};

Adapter Plugged(const wchar_t* port, const wchar_t* instance = L"1") {
  return {port, L"CP2102", std::wstring(L"1-") + port, std::wstring(L"QM") + port, instance};
}

TEST(Watch, ResetsEachAdapterOncePerPlugInAfterTheSettleTime) {
  using Looks = std::vector<ScriptedBench::Look>;
  const struct {
    const char* name;
    Looks looks;
    std::vector<std::pair<std::wstring, int64_t>> resets;
  } cases[] = {
      {"once per plug-in, each after settling",
       Looks{{0, {{Plugged(L"A")}}},
             {5000, {{Plugged(L"A")}}},
             {9000, {{Plugged(L"A"), Plugged(L"B")}}}},
       {{L"A", 1000}, {L"B", 10000}}},
      {"a failed look forgets nobody",
       Looks{{0, {{Plugged(L"A")}}}, {5000, std::nullopt}, {8000, {{Plugged(L"A")}}}},
       {{L"A", 1000}}},
      {"a failed look while one settles",
       Looks{{0, {{Plugged(L"A")}}}, {500, std::nullopt}, {3000, {{Plugged(L"A")}}}},
       {{L"A", 1000}}},
      {"pulled and plugged in again between two looks",
       Looks{{0, {{Plugged(L"A")}}}, {5000, {{Plugged(L"A", L"2")}}}},
       {{L"A", 1000}, {L"A", 6000}}},
      {"pulled before it settled", Looks{{0, {{Plugged(L"A")}}}, {500, {{}}}}, {}},
  };
  for (const auto& c : cases) {
    ScriptedBench bench(c.looks);
    EXPECT_EQ(RunConsole({L"--watch", L"--settle=1"}, bench, L""), kExitInterrupted) << c.name;
    EXPECT_EQ(bench.resets, c.resets) << c.name;
  }
}

// --expect OK (blanks around it are not compared): the answer as the device sent it, line by
// line; the record keeps what it said.
TEST(Expect, PassesAnAnswerWithTheLineAndFailsAnyOther) {
  const struct {
    std::string answer;
    bool passes;
    const wchar_t* kept;  // the answer in the record
  } cases[] = {
      {"OK\r\n", true, L"OK"},
      {"AT+DEFAULT\r\r\n  OK \t\r\n\r\n", true, L"AT+DEFAULT  OK "},  // echoed first
      {"\nOK", true, L"OK"},
      {"ERROR\r\n", false, L"ERROR"},
      {"O\r\nK\r\n", false, L"OK"},  // cleaned of its line ends it would read OK
      {"OK OK\r\nOKAY\r\nok\r\n", false, L"OK OKOKAYok"},
      {"\r\n", false, L""},
  };
  for (const auto& c : cases) {
    ScriptedBench bench({});
    bench.answer = c.answer;
    EXPECT_EQ(RunConsole({L"--port", L"p", L"--expect", L" OK\t", L"--json"}, bench, L""),
              c.passes ? kExitAnswered : kExitUnexpected)
        << c.answer;
    ASSERT_EQ(bench.records.size(), 1u);
    EXPECT_NE(bench.records[0].find(std::wstring(L"\"outcome\":\"") +
                                    (c.passes ? L"answered" : L"unexpected") + L"\",\"answer\":" +
                                    JsonString(c.kept) + L","),
              std::wstring::npos)
        << Utf8(bench.records[0]);
  }
  // Counted apart, and in a watch's summary.
  ScriptedBench bench({{0, {{Plugged(L"A"), Plugged(L"B")}}}});
  bench.answer = "ERROR\r\n";
  EXPECT_EQ(RunConsole({L"--watch", L"--expect=OK", L"--json"}, bench, L""), kExitInterrupted);
  EXPECT_NE(bench.records.front().find(L",\"expect\":\"OK\"}"), std::wstring::npos);
  EXPECT_EQ(bench.records.back(),
            L"{\"type\":\"summary\",\"answered\":0,\"unexpected\":2,\"no-answer\":0,"
            L"\"cannot-open\":0,\"interrupted\":0}");
  Tally tally{1, 1, 0, 0, 1, true};
  EXPECT_EQ(SummaryLine(tally),
            L"3 reset: 1 answered, 1 unexpected, 1 no answer, 0 could not be opened");
}

}  // namespace
}  // namespace qm::test
