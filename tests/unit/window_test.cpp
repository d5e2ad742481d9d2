// What the window keeps and shows of its report lines.
#include <gtest/gtest.h>

#include <cstdlib>

#include "app/layout.h"
#include "tests/unit/fakes.h"

namespace qm::test {
namespace {

TEST(ReportLines, KeepsTheNewestThousand) {
  Rig rig;
  for (int i = 0; i < 1005; ++i) rig.form.report(std::to_wstring(i));
  const auto& lines = rig.form.ReportLines();
  ASSERT_EQ(lines.size(), kMaxReportLines);
  EXPECT_EQ(lines.front(), L"5");
  EXPECT_EQ(lines.back(), L"1004");
  EXPECT_EQ(rig.host.drawn.size(), 1005u) << "every line was shown as it came";
}

TEST(ReportLines, CopiedWholeAndJoinedWithCrLf) {
  Rig rig;
  EXPECT_EQ(rig.form.ReportText(), L"");
  const std::string answer = "V" + std::string(300, '7') + "\r\n";
  rig.port.answer = answer;
  rig.form.cmReset_Click();
  rig.port.open_error = Error(2, L"The system cannot find the file specified.");
  rig.form.cmReset_Click();
  EXPECT_EQ(rig.form.ReportText(), L"Open port\r\nV" + std::wstring(300, L'7') +
                                       L"\r\nPort closed\r\nOpen port\r\nCannot open COM1: "
                                       L"no such port\r\nPort closed");
  const std::vector<bool> own = {true, false, true, true, true, true};
  for (std::size_t i = 0; i < own.size(); ++i) EXPECT_EQ(rig.form.OwnLine(i), own[i]) << i;
}

TEST(ReportLines, NothingIsDrawnOnceTheProgramHasEnded) {
  Rig rig;
  rig.form.Form_Unload();
  rig.form.report(L"late");
  EXPECT_TRUE(rig.host.drawn.empty());
}

TEST(VisibleReportLines, NewestLineStaysVisible) {
  struct Case {
    std::size_t lines;
    int line_height, client_height;
    std::size_t first, count;
  } cases[] = {
      {0, 16, 415, 0, 0},                           // nothing yet
      {3, 16, 415, 0, 3},                           // one exchange: from the top
      {25, 16, 415, 0, 25},                         // 400 px: still fits
      {26, 16, 415, 1, 25},                         // 416 px: the oldest leaves at the top
      {27, 16, 415, 2, 25},                         // nine exchanges
      {1000, 16, 415, 975, 25}, {5, 16, 10, 5, 0},  // shorter than one line
      {5, 16, 0, 5, 0},                             // minimised
      {5, 24, 622, 0, 5},                           // 144 dpi
  };
  for (const Case& c : cases) {
    const VisibleLines v = VisibleReportLines(c.lines, c.line_height, c.client_height);
    EXPECT_EQ(v.first, c.first) << c.lines << " lines in " << c.client_height << " px";
    EXPECT_EQ(v.count, c.count) << c.lines << " lines in " << c.client_height << " px";
    if (v.count > 0) {
      EXPECT_EQ(v.first + v.count, c.lines) << "the last line is the newest";
    }
  }
}

}  // namespace
}  // namespace qm::test

namespace qm {
namespace {

TEST(Layout, ScalesWithTheDisplay) {
  struct Case {
    unsigned dpi;
    int client_w, client_h, label_top, label_h, box_top, box_h, reset_top, reset_h, width;
  } cases[] = {
      {96, 304, 415, 32, 17, 56, 19, 80, 33, 81},
      {144, 456, 622, 48, 25, 84, 28, 120, 49, 121},
      {192, 608, 830, 64, 34, 112, 38, 160, 66, 162},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.dpi);
    EXPECT_EQ(TwipsToPixels(kClientWidthTwips, c.dpi), c.client_w);
    EXPECT_EQ(TwipsToPixels(kClientHeightTwips, c.dpi), c.client_h);
    EXPECT_EQ(TwipsToPixels(kLabelTwips.top, c.dpi), c.label_top);
    EXPECT_EQ(TwipsToPixels(kLabelTwips.height, c.dpi), c.label_h);
    EXPECT_EQ(TwipsToPixels(kPortBoxTwips.top, c.dpi), c.box_top);
    EXPECT_EQ(TwipsToPixels(kPortBoxTwips.height, c.dpi), c.box_h);
    EXPECT_EQ(TwipsToPixels(kResetTwips.top, c.dpi), c.reset_top);
    EXPECT_EQ(TwipsToPixels(kResetTwips.height, c.dpi), c.reset_h);
    for (const TwipsRect& r : {kLabelTwips, kPortBoxTwips, kResetTwips}) {
      EXPECT_EQ(TwipsToPixels(r.width, c.dpi), c.width) << "one column, one width";
    }
    // The column stays centred: equal margins to within a pixel.
    const int left = TwipsToPixels(kResetTwips.left, c.dpi);
    EXPECT_LE(std::abs(c.client_w - (left + c.width) - left), 1);
  }
}

}  // namespace
}  // namespace qm

#include "common/trace_text.h"

namespace qm {
namespace {

// Undoes TracePieces, as the end-to-end harness does.
std::wstring Unescape(const std::vector<std::string>& pieces) {
  std::string joined;
  for (const std::string& p : pieces) joined += p.substr(p.find_first_of(":+") + 2);
  std::wstring text;
  for (std::size_t i = 0; i < joined.size(); ++i) {
    if (joined[i] != '\\') {
      text += static_cast<wchar_t>(joined[i]);
    } else if (joined[i + 1] == '\\') {
      text += L'\\';
      ++i;
    } else {
      text += static_cast<wchar_t>(std::stoul(joined.substr(i + 2, 4), nullptr, 16));
      i += 5;
    }
  }
  return text;
}

TEST(TracePieces, SplitsLongTextWithoutBreakingEscapes) {
  std::wstring mixed;
  for (int i = 0; i < 3000; ++i) mixed += static_cast<wchar_t>(L" \\a\u00e9\u3042Z"[i % 6]);
  const std::wstring cases[] = {L"", L"Open port", L"C:\\x \u00e9", std::wstring(450, L'x'), mixed};
  for (const std::wstring& text : cases) {
    const auto pieces = TracePieces("report", text);
    ASSERT_FALSE(pieces.empty());
    EXPECT_EQ(pieces[0].rfind("report: ", 0), 0u);
    for (std::size_t i = 0; i < pieces.size(); ++i) {
      EXPECT_LE(pieces[i].size(), kTracePieceLength + 8);
      if (i > 0) {
        EXPECT_EQ(pieces[i].rfind("report+ ", 0), 0u);
      }
      for (char c : pieces[i]) EXPECT_TRUE(c >= 0x20 && c < 0x7f) << "plain ASCII only";
    }
    EXPECT_EQ(Unescape(pieces), text);
  }
  EXPECT_EQ(TracePieces("report", std::wstring(450, L'x')).size(), 3u);
}

}  // namespace
}  // namespace qm

namespace qm {
namespace {

TEST(ErrorNumbers, ReadAsTheSystemWritesThem) {
  EXPECT_EQ(Error(5, L"x").NumberText(), L"5");
  EXPECT_EQ(Error(0, L"x").NumberText(), L"0");
  EXPECT_EQ(Error(0x80041010u, L"x").NumberText(), L"0x80041010");
  EXPECT_EQ(Error(0x8000000Au, L"x").NumberText(), L"0x8000000A");
  EXPECT_EQ(Error(0x8000FFFFu, L"x").NumberText(), L"0x8000FFFF");  // E_UNEXPECTED
  EXPECT_EQ(FatalErrorText(OverflowError()), L"Error 6: Overflow");
  EXPECT_EQ(DecimalNumber(-32768), L"-32768");
  EXPECT_EQ(DecimalNumber(32767), L"32767");
  EXPECT_EQ(DecimalNumber(-9223372036854775807LL - 1), L"-9223372036854775808");
}

}  // namespace
}  // namespace qm
