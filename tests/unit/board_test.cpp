// The station board's model, its layout to any terminal size, and its drawing.
#include <gtest/gtest.h>

#include <cwctype>

#include "common/error.h"
#include "common/text.h"
#include "console/board/keys.h"
#include "console/board/model.h"

namespace qm::test {
namespace {

Adapter InSocket(int n) {
  const std::wstring number = DecimalNumber(n);
  return {L"/dev/ttyUSB" + number, L"Bench", L"1-" + number, L"QM" + number, L"dev" + number};
}

// What socket n's device did: a port that could not be opened every 7th; nothing from those
// divisible by 3; with --expect OK, those one short of it answered ERROR; the rest OK.
ExchangeOutcome OutcomeOf(int n, bool expect) {
  if (n % 7 == 0) return ExchangeOutcome::kCouldNotOpen;
  if (n % 3 == 0) return ExchangeOutcome::kNoAnswer;
  return expect && n % 3 == 2 ? ExchangeOutcome::kUnexpected : ExchangeOutcome::kAnswered;
}

void Answered(BoardModel& model, int n, ExchangeOutcome outcome, const std::wstring& answer) {
  const ExchangeId id{n, InSocket(n).port, InSocket(n), true, InSocket(n).port};
  model.Found(id.adapter, 0);
  model.Started(id, 0);
  Verdict verdict;
  verdict.outcome = outcome;
  verdict.answer = answer;
  model.Finished(id, verdict, L"10:02:03");
}

// `sockets` sockets 1-1, 1-2, ..., each with its verdict.
BoardModel Bench(int sockets, bool expect = false) {
  BoardModel model;
  model.Watching({0, 1000, L"CP210x adapters", expect ? L"OK" : L""}, L"10:00:00");
  for (int n = 1; n <= sockets; ++n) {
    const ExchangeOutcome outcome = OutcomeOf(n, expect);
    Answered(model, n, outcome,
             outcome == ExchangeOutcome::kAnswered     ? L"OK"
             : outcome == ExchangeOutcome::kUnexpected ? L"ERROR"
                                                       : L"");
  }
  return model;
}

std::wstring Text(const Frame& f) {
  std::wstring all;
  for (const std::wstring& row : f.text) all += row + L"\n";
  return all;
}

struct SizeCase {
  const char* name;
  int sockets, width, height;
  bool colours;
  bool all_shown;              // every socket's place and verdict on the screen
  bool expect = false;         // with --expect OK
  bool failures_shown = true;  // every failed one's, when not all fit
};

void PrintTo(const SizeCase& c, std::ostream* os) {
  *os << c.name;
}

class BoardLayout : public ::testing::TestWithParam<SizeCase> {};

TEST_P(BoardLayout, FillsTheTerminalExactlyAndShowsEverySocket) {
  const SizeCase& c = GetParam();
  const Frame frame = Layout(Bench(c.sockets, c.expect), c.width, c.height, 0, c.colours);
  ASSERT_EQ(frame.width, c.width);
  ASSERT_EQ(frame.height, c.height);
  ASSERT_EQ(frame.text.size(), static_cast<std::size_t>(c.height));
  bool inked = false;
  for (int r = 0; r < c.height; ++r) {
    ASSERT_EQ(frame.text[r].size(), static_cast<std::size_t>(c.width)) << "row " << r;
    ASSERT_EQ(frame.ink[r].size(), static_cast<std::size_t>(c.width)) << "row " << r;
    for (char ink : frame.ink[r]) inked = inked || ink != 0;
  }
  if (c.width > 0) {
    EXPECT_EQ(inked, c.colours);
  }
  if (c.width >= 30) {  // the totals shortened to fit, but no failure's count lost
    std::wstring totals = frame.text[1];
    for (wchar_t& ch : totals) ch = static_cast<wchar_t>(std::towlower(ch));
    const Tally t = Bench(c.sockets, c.expect).totals();
    EXPECT_NE(totals.find(DecimalNumber(t.no_answer) + L" no "), std::wstring::npos)
        << Utf8(totals);
    EXPECT_NE(totals.find(DecimalNumber(t.cannot_open) + L" c"), std::wstring::npos)
        << Utf8(totals);
    if (c.expect) {  // its own count in the totals
      EXPECT_NE(totals.find(DecimalNumber(t.unexpected) + L" unexpected"), std::wstring::npos)
          << Utf8(totals);
    }
  }
  if (!c.all_shown && !c.failures_shown) return;
  // Each socket once, its verdict after it on the same row, in natural order.
  std::size_t previous_row = 0, previous_column = 0;
  for (int n = 1; n <= c.sockets; ++n) {
    if (!c.all_shown && OutcomeOf(n, c.expect) == ExchangeOutcome::kAnswered) continue;
    const std::wstring key = L"1-" + DecimalNumber(n) + L" ";
    std::size_t row = 0, column = std::wstring::npos;
    for (; row + 1 < frame.text.size(); ++row) {  // not in the last events
      const std::wstring& text = frame.text[row];
      for (std::size_t at = text.find(key); at != std::wstring::npos; at = text.find(key, at + 1)) {
        if (at == 0 || text[at - 1] == L' ') column = at;
      }
      if (column != std::wstring::npos) break;
    }
    ASSERT_NE(column, std::wstring::npos) << "socket " << n << " missing:\n" << Utf8(Text(frame));
    std::wstring rest = frame.text[row].substr(column + key.size());
    rest = rest.substr(0, rest.find(L"1-"));  // up to the next socket's place
    // The verdict, in the good ink only where the device answered as expected.
    const ExchangeOutcome outcome = OutcomeOf(n, c.expect);
    const std::size_t word = rest.find(outcome == ExchangeOutcome::kNoAnswer       ? L"NO COMM"
                                       : outcome == ExchangeOutcome::kAnswered     ? L"OK"
                                       : outcome == ExchangeOutcome::kCouldNotOpen ? L"cannot op"
                                                                                   : L"ERROR");
    ASSERT_NE(word, std::wstring::npos) << Utf8(Text(frame));
    if (c.colours) {
      EXPECT_EQ(frame.ink[row][column + key.size() + word],
                static_cast<char>(outcome == ExchangeOutcome::kAnswered ? Ink::kGood : Ink::kBad))
          << "socket " << n << "'s verdict";
    }
    EXPECT_TRUE(column > previous_column || (column == previous_column && row > previous_row))
        << "socket " << n << " out of order";
    previous_row = row;
    previous_column = column;
  }
}

INSTANTIATE_TEST_SUITE_P(Sizes, BoardLayout,
                         ::testing::Values(SizeCase{"One", 1, 80, 24, true, true},
                                           SizeCase{"Twenty", 20, 80, 24, true, true},
                                           SizeCase{"FortyEight", 48, 80, 24, true, true},
                                           SizeCase{"SixtyFour", 64, 80, 24, true, true},
                                           SizeCase{"NoColour", 20, 80, 24, false, true},
                                           SizeCase{"Narrow", 20, 40, 24, true, true},
                                           SizeCase{"NarrowCompact", 30, 30, 20, true, true},
                                           SizeCase{"GridExactlyFull", 30, 80, 10, true, true},
                                           SizeCase{"FailuresFirst", 24, 40, 10, true, false},
                                           SizeCase{"Judged", 20, 80, 24, true, true, true},
                                           SizeCase{"JudgedGrid", 48, 80, 24, true, true, true},
                                           SizeCase{"Tiny", 64, 10, 3, true, false, false, false},
                                           SizeCase{"Nothing", 5, 0, 0, true, false, false, false}),
                         [](const ::testing::TestParamInfo<SizeCase>& info) {
                           return info.param.name;
                         });

TEST(BoardModel, KeepsAPulledVerdictUntilTheNextDeviceAndCountsPerSocket) {
  BoardModel model = Bench(12);
  EXPECT_TRUE(NaturalLess(L"1-2", L"1-10"));
  EXPECT_FALSE(NaturalLess(L"1-10", L"1-2"));
  EXPECT_EQ(model.sockets()[1].key, L"1-2");  // not 1-10
  model.Pulled(InSocket(3));
  std::wstring screen = Text(Layout(model, 80, 24, 0, false));
  EXPECT_NE(screen.find(L"pulled, NO COMM"), std::wstring::npos) << Utf8(screen);
  // The next device in socket 1-3: settling, its count kept; the late verdict of the one
  // before counts but does not cover it.
  Adapter next = InSocket(3);
  next.instance = L"again";
  model.Found(next, 2000);
  Verdict late;
  late.outcome = ExchangeOutcome::kNoAnswer;
  model.Finished({99, next.port, InSocket(3), true, next.port}, late, L"10:05:00");
  const Socket& socket = model.sockets()[2];
  EXPECT_EQ(socket.state, Socket::State::kSettling);
  EXPECT_FALSE(socket.pulled);
  EXPECT_EQ(socket.failed, 2);
  screen = Text(Layout(model, 80, 24, 500, false));
  const std::size_t row = screen.find(L"\n1-3 ");
  EXPECT_NE(screen.substr(row, screen.find(L'\n', row + 1) - row).find(L" settling 2s "),
            std::wstring::npos)
      << Utf8(screen);
  EXPECT_NE(screen.find(L"Last: 10:05:00 1-3 NO COMM  10:02:03 1-12 NO COMM"), std::wstring::npos);
  // A problem that is over gives the line back to the one before it, or to the events.
  model.Problem(L"cannot write the log");
  model.Problem(L"cannot list the devices");
  model.ProblemOver(L"cannot list the devices");
  EXPECT_EQ(model.problem(), L"cannot write the log");
  model.ProblemOver(L"cannot write the log");
  // Narrower: the events that fit whole, never a socket cut from its verdict.
  EXPECT_EQ(Layout(model, 40, 24, 500, false).text[23],
            std::wstring(L"Last: 10:05:00 1-3 NO COMM").append(14, L' '));
  // Narrower still: the newest cut rather than none.
  EXPECT_EQ(Layout(model, 20, 24, 500, false).text[23], L"Last: 10:05:00 1-3 N");

  // Pulled before its reset, or during it: said at once.
  const Adapter settling = InSocket(13), resetting = InSocket(14);
  model.Found(settling, 2000);
  model.Found(resetting, 0);
  model.Started({14, resetting.port, resetting, true, resetting.port}, 0);
  model.Pulled(settling);
  model.Pulled(resetting);
  const Frame frame = Layout(model, 80, 24, 1000, false);
  EXPECT_NE(frame.text[15].find(L" pulled, not reset "), std::wstring::npos) << Utf8(Text(frame));
  EXPECT_NE(frame.text[16].find(L" pulled mid-reset "), std::wstring::npos) << Utf8(Text(frame));
}

// A device's answer in any script: each character in the cells the system's tables give it,
// '?' for what has none; a cut never splits a character two cells wide.
TEST(BoardLayout, DrawsEachCharacterInTheCellsItTakes) {
  const struct {
    std::wstring answer, cells;
  } cases[] = {
      {L"\u041e\u597d", std::wstring(L"\u041e\u597d\0", 3)},  // Cyrillic, Chinese
      {L"e\u0301\u202e\u0378\x9b[2J", L"e????[2J"},  // a combining accent, a bidi override,
                                                     // unassigned, C1 CSI
  };
  for (const auto& c : cases) {
    BoardModel model;
    Answered(model, 1, ExchangeOutcome::kAnswered, c.answer);
    const std::wstring row = Layout(model, 80, 24, 0, false).text[3];
    EXPECT_EQ(row.substr(row.find(L"QM1") + 7, c.cells.size() + 1), c.cells + L" ") << Utf8(row);
  }
  BoardModel model;
  Answered(model, 1, ExchangeOutcome::kAnswered, std::wstring(40, L'\u597d'));
  Answered(model, 2, ExchangeOutcome::kAnswered, L"x" + std::wstring(40, L'\u597d'));
  for (int width = 30; width <= 80; ++width) {
    for (const std::wstring& row : Layout(model, width, 24, 0, false).text) {
      for (std::size_t i = 0; i < row.size(); ++i) {
        const bool wide = row[i] != kSecondCell && CharacterCells(row[i]) == 2;
        EXPECT_EQ(wide, i + 1 < row.size() && row[i + 1] == kSecondCell) << width << Utf8(row);
      }
    }
  }
}

// Sockets whose names share their start (four hubs, a cascade) are still told apart.
TEST(BoardLayout, TellsSocketsApartByWhatEndsTheirNames) {
  BoardModel model;
  for (int n = 0; n < 16; ++n) {
    Adapter adapter = InSocket(n);
    adapter.location =
        L"Port_#000" + DecimalNumber(n % 4 + 1) + L".Hub_#000" + DecimalNumber(n / 4 + 1);
    model.Found(adapter, 0);
  }
  model.Found({L"/dev/ttyUSB99", L"", L"1-1.1.4.3", L"", L""}, 0);
  // Hub 3, port 12.
  model.Found({L"COM40", L"", L"Port_#0012.Hub_#0003", L"", L""}, 0);
  EXPECT_EQ(model.sockets()[5].key, L"H2P1");                         // in the hubs' order
  const std::wstring screen = Text(Layout(model, 80, 10, 0, false));  // the compact grid
  for (int n = 0; n < 16; ++n) {
    const std::wstring key = L"H" + DecimalNumber(n / 4 + 1) + L"P" + DecimalNumber(n % 4 + 1);
    EXPECT_NE(screen.find(key + L" "), std::wstring::npos) << Utf8(screen);
  }
  EXPECT_NE(screen.find(L"~.1.4.3 "), std::wstring::npos) << Utf8(screen);
  EXPECT_NE(screen.find(L"H3P12 "), std::wstring::npos) << Utf8(screen);
}

TEST(BoardPaint, WritesOnlyChangedRowsAndNeverTheLastCell) {
  const Sequences ecma = Ecma48Sequences();
  Frame before{3, 2, {L"abc", L"def"}, {std::string(3, 0), std::string(3, 0)}};
  EXPECT_EQ(Paint(&before, before, ecma), "");
  EXPECT_EQ(Paint(nullptr, before, ecma), "\x1b[1;1H\x1b[0mabc\x1b[2;1H\x1b[0mde");
  Frame after = before;
  after.text[1] = L"dXf";
  after.ink[1][1] = static_cast<char>(Ink::kBad);
  EXPECT_EQ(Paint(&before, after, ecma), "\x1b[2;1H\x1b[0md\x1b[31mX\x1b[0m");
  // A wide character once, and never into the last cell.
  const Frame wide{4, 1, {std::wstring(L"\u597d\0\u597d\0", 4)}, {std::string(4, 0)}};
  EXPECT_EQ(Paint(nullptr, wide, ecma), "\x1b[1;1H\x1b[0m\xe5\xa5\xbd ");
}

// Only a q typed by hand ends the watch: not a function key, not a paste, not a scanner, however
// the bytes are read (the end-to-end test sends whole ones).
TEST(BoardKeys, OnlyAQTypedOnItsOwnQuits) {
  using Reads = std::vector<std::pair<int64_t, std::string>>;  // when, what
  const struct {
    const char* name;
    Reads reads;
    bool quits;
  } cases[] = {
      {"q", {{0, "q"}}, true},
      {"F2 read in two", {{0, "\x1bO"}, {1, "Q"}}, false},
      {"a scanner, a byte a read", {{0, "Q"}, {3, "M"}, {6, "0"}, {9, "0"}, {12, "1"}}, false},
      {"a paste ending in q", {{0, "abc"}, {2, "q"}}, false},
      {"a lone ESC, then q", {{0, "\x1b"}, {500, "q"}}, true},
  };
  for (const auto& c : cases) {
    KeyReader keys;
    for (const auto& [at, bytes] : c.reads) {
      EXPECT_FALSE(keys.Quit(at)) << c.name;
      keys.Read(bytes, at);
    }
    const int64_t last = c.reads.back().first;
    EXPECT_FALSE(keys.Quit(last + KeyReader::kAloneMs - 1)) << c.name;
    EXPECT_EQ(keys.Due().has_value(), c.quits) << c.name;
    EXPECT_EQ(keys.Quit(last + KeyReader::kAloneMs), c.quits) << c.name;
  }
}

}  // namespace
}  // namespace qm::test
