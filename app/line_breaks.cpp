#include "app/line_breaks.h"

#include <algorithm>

#include "app/form1.h"

namespace qm {

namespace {

bool IsSpace(wchar_t c) {
  return c == L' ';
}

// The end of the longest run of whole words from `begin` that fits in `width`, or `begin` when
// not even the first word fits.
std::size_t FitWords(std::wstring_view text, std::size_t begin, int width,
                     const MeasureText& measure) {
  std::size_t fit = begin;
  std::size_t end = begin;
  while (end < text.size()) {
    while (end < text.size() && IsSpace(text[end])) ++end;  // spaces inside the row are kept
    while (end < text.size() && !IsSpace(text[end])) ++end;
    if (measure(text.substr(begin, end - begin)) > width) break;
    fit = end;
  }
  return fit;
}

// Where the character at `i` ends: a surrogate pair is one character, never split.
std::size_t CharacterEnd(std::wstring_view text, std::size_t i) {
  const bool pair = i + 1 < text.size() && text[i] >= 0xD800 && text[i] <= 0xDBFF &&
                    text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF;
  return i + (pair ? 2 : 1);
}

// The end of the longest run of characters from `begin` that fits in `width`: at least one.
std::size_t FitCharacters(std::wstring_view text, std::size_t begin, int width,
                          const MeasureText& measure) {
  std::size_t end = CharacterEnd(text, begin);
  while (end < text.size() && !IsSpace(text[end]) &&
         measure(text.substr(begin, CharacterEnd(text, end) - begin)) <= width) {
    end = CharacterEnd(text, end);
  }
  return end;
}

}  // namespace

std::vector<std::wstring> BreakLine(std::wstring_view text,
                                    const std::function<int(std::size_t)>& width_of_row,
                                    const MeasureText& measure) {
  std::vector<std::wstring> rows;
  std::size_t begin = 0;
  do {
    const int width = width_of_row(rows.size());
    std::size_t end = FitWords(text, begin, width, measure);
    if (end == begin) end = FitCharacters(text, begin, width, measure);
    rows.emplace_back(text.substr(begin, end - begin));
    begin = end;
    while (begin < text.size() && IsSpace(text[begin])) ++begin;
  } while (begin < text.size());
  return rows;
}

std::vector<ReportRow> LayoutReportRows(const std::deque<std::wstring>& lines,
                                        const std::function<bool(std::size_t)>& breakable,
                                        const ReportGeometry& g, const MeasureText& measure) {
  // Slots above the client area (negative) are never seen: they get the whole width.
  auto slot_width = [&](long long slot) {
    if (slot < 0) return g.client_width;
    const long long top = slot * g.line_height;
    const long long bottom = top + g.line_height;
    const bool beside = top < g.column_bottom && bottom > g.column_top;
    return beside ? std::min(g.column_left, g.client_width) : g.client_width;
  };
  auto rows_from = [&](std::size_t line, long long first_slot) {
    if (!breakable(line)) return std::vector<std::wstring>{lines[line]};
    return BreakLine(
        lines[line],
        [&](std::size_t row) { return slot_width(first_slot + static_cast<long long>(row)); },
        measure);
  };

  // From the top, as long as everything fits.
  std::vector<ReportRow> rows;
  std::size_t next = 0;
  std::size_t fit = 0;
  for (std::size_t i = 0; i < lines.size() && fit == 0; ++i) {
    std::vector<std::wstring> pieces = rows_from(i, static_cast<long long>(next));
    const VisibleLines visible =
        VisibleReportLines(next + pieces.size(), g.line_height, g.client_height);
    if (visible.first > 0) {
      fit = visible.count;
      if (fit == 0) return {};  // not even one row shows
      break;
    }
    for (std::wstring& piece : pieces) rows.push_back({next++, std::move(piece)});
  }
  if (fit == 0) return rows;

  // From the bottom: the newest line ends in the last slot. A line's rows depend on where it
  // starts, so it is tried one more row up until its rows fit above the newer lines. Where a
  // start higher up leaves a row to spare (a wider slot at the top of the column), that row
  // stays empty rather than putting text beside the controls.
  rows.clear();
  long long end = static_cast<long long>(fit) - 1;
  for (std::size_t i = lines.size(); i-- > 0 && end >= 0;) {
    long long start = end;
    std::vector<std::wstring> pieces = rows_from(i, start);
    while (static_cast<long long>(pieces.size()) > end - start + 1) {
      --start;
      pieces = rows_from(i, start);
    }
    for (std::size_t k = 0; k < pieces.size(); ++k) {
      const long long slot = start + static_cast<long long>(k);
      if (slot >= 0) rows.push_back({static_cast<std::size_t>(slot), std::move(pieces[k])});
    }
    end = start - 1;
  }
  std::sort(rows.begin(), rows.end(),
            [](const ReportRow& a, const ReportRow& b) { return a.slot < b.slot; });
  return rows;
}

}  // namespace qm
