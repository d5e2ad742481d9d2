// What the window keeps and shows of its report lines.
#include <gtest/gtest.h>

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
      {0, 16, 415, 0, 0},       // nothing yet
      {3, 16, 415, 0, 3},       // one exchange: from the top
      {25, 16, 415, 0, 25},     // 400 px: still fits
      {26, 16, 415, 1, 25},     // 416 px: the oldest leaves at the top
      {27, 16, 415, 2, 25},     // nine exchanges
      {1000, 16, 415, 975, 25},
      {5, 16, 10, 5, 0},        // shorter than one line
      {5, 16, 0, 5, 0},         // minimised
      {5, 24, 622, 0, 5},       // 144 dpi
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
