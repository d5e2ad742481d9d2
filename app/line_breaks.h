#pragma once

#include <cstddef>
#include <deque>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace qm {

// The width of a piece of text, in pixels, in the font it is drawn with.
using MeasureText = std::function<int(std::wstring_view)>;

// Breaks `text` at spaces into rows, row k at most width_of_row(k) pixels wide; the spaces at
// a break are dropped. A word wider than its row is split between characters, at least one
// character a row, so every text ends. An empty text is one empty row.
std::vector<std::wstring> BreakLine(std::wstring_view text,
                                    const std::function<int(std::size_t)>& width_of_row,
                                    const MeasureText& measure);

// Where the report rows go, in pixels of the client area.
struct ReportGeometry {
  int line_height;
  int client_width, client_height;
  // The controls' column: a row that lies beside it ends at column_left.
  int column_left, column_top, column_bottom;
};

// One row drawn at y = slot * line_height.
struct ReportRow {
  std::size_t slot;
  std::wstring text;
};

// The visible rows of the report. A line that may be broken (`breakable`) gets as many rows as
// the room beside or below the controls needs; any other line is one row, however long. Until
// the rows overflow the client area they run from the top; after that the newest line's last
// row is the last visible one and older rows leave at the top. Each row is broken for the slot
// it is drawn in, so the layout follows the scrolling.
std::vector<ReportRow> LayoutReportRows(const std::deque<std::wstring>& lines,
                                        const std::function<bool(std::size_t)>& breakable,
                                        const ReportGeometry& geometry, const MeasureText& measure);

}  // namespace qm
