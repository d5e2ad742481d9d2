// Breaking the tool's own report lines so that none of their text lies under the controls.
#include <gtest/gtest.h>

#include "app/layout.h"
#include "app/line_breaks.h"

namespace qm {
namespace {

using Rows = std::vector<std::wstring>;

// A proportional font's metrics at a DPI: narrow spaces and punctuation, wide capitals.
MeasureText FakeMeasure(unsigned dpi) {
  return [dpi](std::wstring_view text) {
    int width = 0;
    for (wchar_t c : text) {
      const int at96 = c == L' ' || c == L':' || c == L'.' ? 3 : (c >= L'A' && c <= L'Z') ? 7 : 5;
      width += at96 * static_cast<int>(dpi) / 96;
    }
    return width;
  };
}

TEST(BreakLine, AtWordsWithinEachRowsWidth) {
  const std::wstring reason =
      L"Cannot open COM1: access denied (the port may be in use by another program)";
  struct Case {
    const char* name;
    std::wstring text;
    unsigned dpi;
    std::vector<int> widths;  // row k gets widths[k], the last one for every row after it
    Rows rows;
  } cases[] = {
      {"FitsWhole", L"Open port", 96, {111}, {L"Open port"}},
      {"ExactWidthFits", L"abc de", 96, {28}, {L"abc de"}},
      {"OnePixelShort", L"abc de", 96, {27}, {L"abc", L"de"}},
      {"BesideTheColumnAt96",
       reason,
       96,
       {111},
       {L"Cannot open COM1:", L"access denied (the port", L"may be in use by another",
        L"program)"}},
      // Every width scaled by 1.5: the same words on the same rows.
      {"BesideTheColumnAt144",
       reason,
       144,
       {167},
       {L"Cannot open COM1:", L"access denied (the port", L"may be in use by another",
        L"program)"}},
      {"BesideThenBelow",
       reason,
       96,
       {111, 304},
       {L"Cannot open COM1:", L"access denied (the port may be in use by another program)"}},
      {"BesideThenBelowAt144",
       reason,
       144,
       {167, 456},
       {L"Cannot open COM1:", L"access denied (the port may be in use by another program)"}},
      {"WholeAt96", reason, 96, {380}, {reason}},
      {"WordLongerThanTheWidth",
       L"Cannot open COM1: \\\\.\\COM1234567890",
       96,
       {60},
       {L"Cannot open", L"COM1:", L"\\\\.\\COM1234", L"567890"}},
      {"NoRoomAtAllStillEnds", L"ab c", 96, {0}, {L"a", L"b", L"c"}},
      {"SpacesInsideARowAreKept", L"a  b   c", 96, {25}, {L"a  b", L"c"}},
      {"Empty", L"", 96, {10}, {L""}},
      // Two characters outside the BMP, each a surrogate pair (5 px a code unit): never halved.
      {"SurrogatePairsStayWhole",
       L"\xD83D\xDE00\xD83D\xDE00",
       96,
       {7},
       {L"\xD83D\xDE00", L"\xD83D\xDE00"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const auto width = [&](std::size_t row) {
      return c.widths[std::min(row, c.widths.size() - 1)];
    };
    const MeasureText measure = FakeMeasure(c.dpi);
    const Rows rows = BreakLine(c.text, width, measure);
    EXPECT_EQ(rows, c.rows);
    for (std::size_t k = 0; k < rows.size(); ++k) {
      // One character alone (a surrogate pair too) may be wider than its row.
      const bool one_character =
          rows[k].size() == 1 || (rows[k].size() == 2 && rows[k][0] >= 0xD800);
      if (!one_character) {
        EXPECT_LE(measure(rows[k]), width(k)) << "row " << k;
      }
    }
  }
}

// The rows follow the scrolling: each is broken for the slot it is drawn in.
TEST(LayoutReportRows, OwnLinesStayOutOfTheColumnWhereverTheyScroll) {
  struct Case {
    unsigned dpi;
    int line_height;
  } cases[] = {{96, 16}, {144, 24}};
  const std::wstring failure =
      L"Cannot open COM1: access denied (the port may be in use by another program)";
  const std::wstring answer(80, L'W');  // the device's answer: one row, as received
  for (const Case& c : cases) {
    SCOPED_TRACE(c.dpi);
    const ReportGeometry g{c.line_height,
                           TwipsToPixels(kClientWidthTwips, c.dpi),
                           TwipsToPixels(kClientHeightTwips, c.dpi),
                           TwipsToPixels(kResetTwips.left, c.dpi),
                           TwipsToPixels(kLabelTwips.top, c.dpi),
                           TwipsToPixels(kResetTwips.top + kResetTwips.height, c.dpi)};
    const MeasureText measure = FakeMeasure(c.dpi);
    const std::size_t fit = static_cast<std::size_t>(g.client_height / g.line_height);
    std::deque<std::wstring> lines;
    std::vector<bool> own;
    auto add = [&](const std::wstring& line, bool is_own) {
      lines.push_back(line);
      own.push_back(is_own);
    };
    // Exchange after exchange: a good one, then a failed open, until the view has scrolled.
    for (int exchange = 0; exchange < 20; ++exchange) {
      add(L"Open port", true);
      add(exchange % 2 ? failure : answer, exchange % 2 == 1);
      add(L"Port closed", true);
      const std::vector<ReportRow> rows = LayoutReportRows(
          lines, [&](std::size_t i) { return own[i]; }, g, measure);
      ASSERT_FALSE(rows.empty());
      EXPECT_EQ(rows.back().text, L"Port closed") << "the newest line is the last row";
      std::wstring failure_seen;
      for (std::size_t k = 0; k < rows.size(); ++k) {
        const ReportRow& row = rows[k];
        if (k > 0) {
          EXPECT_GT(row.slot, rows[k - 1].slot);
        }
        EXPECT_LT(row.slot, fit);
        const int top = static_cast<int>(row.slot) * g.line_height;
        const bool beside = top < g.column_bottom && top + g.line_height > g.column_top;
        if (row.text != answer) {
          EXPECT_LE(measure(row.text), beside ? g.column_left : g.client_width)
              << "slot " << row.slot << ": " << std::string(row.text.begin(), row.text.end());
        }
        if (row.text.rfind(L"Cannot", 0) == 0) failure_seen.clear();
        if (row.text != L"Open port" && row.text != L"Port closed" && row.text != answer) {
          failure_seen += (failure_seen.empty() ? L"" : L" ") + row.text;
        }
      }
      if (exchange % 2 == 1) {
        EXPECT_EQ(failure_seen, failure) << "the newest failure, whole";
      }
      if (exchange == 0) {
        EXPECT_EQ(rows.front().slot, 0u) << "from the top before the view fills";
      }
    }
  }
}

// Rows at the column's very edges, and a window narrower than where the column starts: the
// rows each slot gets, written out, so that a slip of one pixel or a wrong bound shows.
TEST(LayoutReportRows, TheColumnsEdgesAndANarrowWindow) {
  const std::wstring words = L"aaaa aaaa aaaa aaaa aaaa";  // 20 px a word, 3 px a space
  struct Case {
    const char* name;
    int client_width;
    std::size_t lines_before;     // one-row lines above the words
    std::vector<ReportRow> rows;  // the words' rows
  } cases[] = {
      // Slot 1 (10..20) ends where the column (20..40) starts; slot 4 (40..50) starts where it
      // ends: neither lies beside it.
      {"TouchingTheTop", 100, 1, {{1, L"aaaa aaaa aaaa aaaa"}, {2, L"aaaa"}}},
      {"TouchingTheBottom", 100, 4, {{4, L"aaaa aaaa aaaa aaaa"}, {5, L"aaaa"}}},
      {"BesideTheColumn", 100, 2, {{2, L"aaaa aaaa"}, {3, L"aaaa aaaa"}, {4, L"aaaa"}}},
      // Narrower than the column's left edge (50): the window's edge is the limit.
      {"NarrowWindow",
       30,
       2,
       {{2, L"aaaa"}, {3, L"aaaa"}, {4, L"aaaa"}, {5, L"aaaa"}, {6, L"aaaa"}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const ReportGeometry g{10, c.client_width, 100, 50, 20, 40};
    std::deque<std::wstring> lines(c.lines_before, L"x");
    lines.push_back(words);
    const std::vector<ReportRow> rows = LayoutReportRows(
        lines, [](std::size_t) { return true; }, g, FakeMeasure(96));
    ASSERT_EQ(rows.size(), c.lines_before + c.rows.size());
    for (std::size_t k = 0; k < c.rows.size(); ++k) {
      EXPECT_EQ(rows[c.lines_before + k].slot, c.rows[k].slot);
      EXPECT_EQ(rows[c.lines_before + k].text, c.rows[k].text);
    }
  }
}

}  // namespace
}  // namespace qm
