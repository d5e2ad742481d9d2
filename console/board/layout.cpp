#include <algorithm>

#include "common/error.h"
#include "console/board/model.h"

namespace qm {

namespace {

// A character of a text as the board draws it, and the cells it takes: controls (C0 and C1), and
// whatever has no width of its own, become '?', so that nothing steers the terminal or joins
// its neighbour.
struct Glyph {
  std::size_t at, units;  // where it is in the text, in wchar_t
  wchar_t shown;
  int cells;
};

std::vector<Glyph> Glyphs(std::wstring_view text) {
  std::vector<Glyph> glyphs;
  for (std::size_t i = 0; i < text.size();) {
    char32_t c = static_cast<char32_t>(text[i]);
    std::size_t units = 1;
    if constexpr (sizeof(wchar_t) == 2) {  // UTF-16: a pair is one character
      if (c >= 0xD800 && c < 0xDC00 && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
          text[i + 1] < 0xE000) {
        c = 0x10000 + ((c - 0xD800) << 10) + (static_cast<char32_t>(text[i + 1]) - 0xDC00);
        units = 2;
      }
    }
    const bool control = c < 0x20 || (c >= 0x7F && c < 0xA0);
    const int cells = control ? 0 : c < 0x7F ? 1 : CharacterCells(c);  // ASCII: no need to ask
    // A cell holds one wchar_t: a character that needs two of them is not drawn either.
    if (cells == 0 || units == 2) {
      glyphs.push_back({i, units, L'?', 1});
    } else {
      glyphs.push_back({i, units, static_cast<wchar_t>(c), cells});
    }
    i += units;
  }
  return glyphs;
}

int Cells(std::wstring_view text) {
  int cells = 0;
  for (const Glyph& g : Glyphs(text)) cells += g.cells;
  return cells;
}

// A frame being filled; whatever falls outside it is cut off, nothing wraps, and a cut never
// splits a character two cells wide.
class Canvas {
 public:
  Canvas(int width, int height, bool colours) : colours_(colours) {
    frame_.width = std::max(width, 0);
    frame_.height = std::max(height, 0);
    frame_.text.assign(static_cast<std::size_t>(frame_.height),
                       std::wstring(static_cast<std::size_t>(frame_.width), L' '));
    frame_.ink.assign(static_cast<std::size_t>(frame_.height),
                      std::string(static_cast<std::size_t>(frame_.width), 0));
  }

  // Puts `text` at (row, column), at most `limit` cells of it (no limit when negative); returns
  // the column after it.
  int Put(int row, int column, std::wstring_view text, Ink ink = Ink::kNormal, int limit = -1) {
    if (row < 0 || row >= frame_.height) return column;
    const int end = limit < 0 ? frame_.width : std::min(frame_.width, column + limit);
    for (const Glyph& g : Glyphs(text)) {
      if (column + g.cells > end) break;
      if (column >= 0) {
        Set(row, column, g.shown, ink);
        if (g.cells == 2) Set(row, column + 1, kSecondCell, ink);
      }
      column += g.cells;
    }
    return column;
  }

  Frame Take() { return std::move(frame_); }

 private:
  // One cell; a wide character partly written over goes whole.
  void Set(int row, int column, wchar_t c, Ink ink) {
    std::wstring& text = frame_.text[static_cast<std::size_t>(row)];
    const std::size_t at = static_cast<std::size_t>(column);
    if (c != kSecondCell && text[at] == kSecondCell && at > 0) text[at - 1] = L' ';
    if (at + 1 < text.size() && text[at + 1] == kSecondCell) text[at + 1] = L' ';
    text[at] = c;
    frame_.ink[static_cast<std::size_t>(row)][at] =
        static_cast<char>(colours_ ? ink : Ink::kNormal);
  }

  Frame frame_;
  bool colours_;
};

// A name too long for its column keeps its end, the part that tells one socket (a hub's last
// port, a port's number) from the next: "~1.4.3" for 1-1.1.4.3.
std::wstring Tail(const std::wstring& text, int width) {
  if (Cells(text) <= width) return text;
  const std::vector<Glyph> glyphs = Glyphs(text);
  const int room = width < 2 ? width : width - 1;
  std::size_t from = text.size();
  int cells = 0;
  for (auto g = glyphs.rbegin(); g != glyphs.rend() && cells + g->cells <= room; ++g) {
    cells += g->cells;
    from = g->at;
  }
  return (width < 2 ? L"" : L"~") + text.substr(from);
}

std::wstring Seconds(int64_t ms) {
  return DecimalNumber(ms / 1000) + (ms % 1000 ? L"." + DecimalNumber(ms % 1000 / 100) : L"");
}

int Percent(const Socket& s, int64_t now_ms) {
  return static_cast<int>(std::clamp<int64_t>((now_ms - s.since_ms) * 100 / kAnswerWaitMs, 0, 100));
}

int64_t SecondsLeft(const Socket& s, int64_t now_ms) {
  return std::max<int64_t>(0, (s.since_ms - now_ms + 999) / 1000);
}

// A socket's state in a few words, and its ink; `room` tells how much room there is.
std::pair<std::wstring, Ink> State(const Socket& s, int64_t now_ms, int room, bool ending) {
  switch (s.state) {
    case Socket::State::kSettling:
      // Never reset: pulled before its time, or the watch ends first.
      if (s.pulled) return {room < 17 ? L"(pulled)" : L"pulled, not reset", Ink::kNormal};
      if (ending) return {L"not reset", Ink::kNormal};
      return {(room < 12 ? L"wait " : L"settling ") + DecimalNumber(SecondsLeft(s, now_ms)) + L"s",
              Ink::kBusy};
    case Socket::State::kResetting: {
      // Its verdict comes when the exchange ends; no progress to show until then.
      if (s.pulled) return {room < 16 ? L"(pulled)" : L"pulled mid-reset", Ink::kBusy};
      const int percent = Percent(s, now_ms);
      if (room < 26) return {L"reset " + DecimalNumber(percent) + L"%", Ink::kBusy};
      const int filled = percent / 10;
      return {L"resetting [" + std::wstring(static_cast<std::size_t>(filled), L'#') +
                  std::wstring(static_cast<std::size_t>(10 - filled), L'.') + L"] " +
                  DecimalNumber(percent) + L"%",
              Ink::kBusy};
    }
    case Socket::State::kVerdict:
      break;
  }
  std::wstring word = VerdictWord(s.verdict);
  if (s.verdict.outcome == ExchangeOutcome::kCouldNotOpen && !s.verdict.reason.empty() &&
      room >= 20) {
    word += L": " + s.verdict.reason;
  }
  if (s.pulled) {
    word = room < 12 ? L"(" + word + L")" : L"pulled, " + word;
  }
  return {word, VerdictInk(s.verdict.outcome)};
}

// Which sockets a screen too small for all of them shows first: failures, then those busy.
int Urgency(const Socket& s) {
  if (s.state == Socket::State::kVerdict) return VerdictInk(s.verdict.outcome) == Ink::kBad ? 0 : 2;
  return s.pulled ? 2 : 1;
}

int LongestOf(const std::vector<Socket>& sockets, std::wstring Socket::*field, int at_least,
              int at_most) {
  int longest = at_least;
  for (const Socket& s : sockets) longest = std::max(longest, Cells(s.*field));
  return std::min(longest, at_most);
}

// The totals, as long as the width allows: in words; in the board's own words; then only the
// counts that are not zero, the failures first, cut at the end if even that is too long.
// Returns the column after the totals.
int Totals(Canvas& canvas, const Tally& t, int width) {
  const struct {
    int n;
    const wchar_t *words, *short_words;
    Ink ink;
    bool said;  // even when none
  } counts[] = {
      {t.answered, L"answered", L"OK", Ink::kGood, true},
      {t.unexpected, L"unexpected", L"unexpected", Ink::kBad, t.judged},
      {t.no_answer, L"no answer", L"NO COMM", Ink::kBad, true},
      {t.cannot_open, L"could not be opened", L"cannot open", Ink::kBad, true},
      {t.interrupted, L"interrupted", L"interrupted", Ink::kNormal, false},
  };
  std::vector<std::pair<std::wstring, Ink>> forms[3];
  for (const auto& c : counts) {
    if (c.n == 0 && !c.said) continue;
    const Ink ink = c.n ? c.ink : Ink::kNormal;
    forms[0].emplace_back(DecimalNumber(c.n) + L" " + c.words, ink);
    forms[1].emplace_back(DecimalNumber(c.n) + L" " + c.short_words, ink);
  }
  for (const bool failures : {true, false}) {
    for (const auto& c : counts) {
      if (c.n > 0 && (c.ink == Ink::kBad) == failures) {
        forms[2].emplace_back(DecimalNumber(c.n) + L" " + c.short_words, c.ink);
      }
    }
  }
  for (int form = 0; form < 3; ++form) {
    const auto& parts = forms[form];
    std::wstring head = DecimalNumber(t.Total()) + L" reset";
    if (form == 2 && !parts.empty()) head.clear();
    if (!head.empty() && !parts.empty()) head += L": ";
    int cells = Cells(head);
    for (const auto& part : parts) cells += Cells(part.first) + 2;
    if (cells - 2 > width && form < 2) continue;
    int column = canvas.Put(1, 0, head);
    for (const auto& [text, ink] : parts) {
      if (&text != &parts.front().first) column = canvas.Put(1, column, L", ");
      column = canvas.Put(1, column, text, ink);
    }
    return column;
  }
  return width;
}

}  // namespace

Frame Layout(const BoardModel& model, int width, int height, int64_t now_ms, bool colours) {
  Canvas canvas(width, height, colours);
  const std::vector<Socket>& sockets = model.sockets();
  const int n = static_cast<int>(sockets.size());
  const bool ending = model.ending();

  int column = canvas.Put(0, 0, L"quillomarvet --watch", Ink::kTitle);
  column = canvas.Put(0, column,
                      L"  " + model.watched() + L" since " + model.since() + L", settle " +
                          Seconds(model.settle_ms()) + L" s" +
                          (model.expect().empty() ? L"" : L", expect " + model.expect()));
  if (width - column >= 10 && !ending) canvas.Put(0, width - 8, L"q: quit");
  column = Totals(canvas, model.totals(), width);
  // The broker's link at the right end, where it fits.
  const int link_width = static_cast<int>(model.link().size());
  if (link_width > 0 && width - column >= link_width + 2) {
    canvas.Put(1, width - link_width - 1, model.link(),
               model.link() == L"MQTT connected" ? Ink::kNormal : Ink::kBad);
  }

  // The last row: the end under way, a problem, else the last few events.
  const int last = height - 1;
  if (ending) {
    const int busy = static_cast<int>(std::count_if(sockets.begin(), sockets.end(), [](auto& s) {
      return s.state == Socket::State::kResetting;
    }));
    canvas.Put(last, 0,
               busy == 0 ? std::wstring(L"Ending")
                         : L"Ending once " + DecimalNumber(busy) +
                               (busy == 1 ? L" reset ends" : L" resets end") +
                               L" (2 s at most; Ctrl+C cuts short)",
               Ink::kBusy);
  } else if (!model.problem().empty()) {
    canvas.Put(last, 0, L"! " + model.problem(), Ink::kBad);
  } else {
    column = canvas.Put(last, 0, L"Last: ");
    for (const std::wstring& event : model.events()) {
      // Whole ones, but the newest one cut rather than none.
      if (column + Cells(event) > width && &event != &model.events().front()) break;
      column = canvas.Put(last, column, event + L"  ");
    }
  }

  const int top = 3, rows = std::max(0, height - 4);
  if (n <= rows) {
    // One row each: socket, port, serial, state, time of the verdict, answered/failed.
    const int key_w = LongestOf(sockets, &Socket::key, 6, 14);
    int port_w = LongestOf(sockets, &Socket::port, 4, 18);
    int serial_w = LongestOf(sockets, &Socket::serial, 6, 14);
    const int time_w = 8, count_w = 7;
    const auto state_room = [&] {
      return width - key_w - 1 - (port_w ? port_w + 1 : 0) - (serial_w ? serial_w + 1 : 0) -
             time_w - 1 - count_w - 1;
    };
    if (state_room() < 16) serial_w = 0;
    if (state_room() < 16) port_w = 0;
    const int state_w = std::max(state_room(), 0);
    const auto columns = [&](int row, const std::wstring& key, const std::wstring& port,
                             const std::wstring& serial) {
      canvas.Put(row, 0, Tail(key, key_w));
      int c = key_w + 1;
      if (port_w) canvas.Put(row, c, Tail(port, port_w)), c += port_w + 1;
      if (serial_w) canvas.Put(row, c, Tail(serial, serial_w)), c += serial_w + 1;
      return c;
    };
    int c = columns(2, L"SOCKET", L"PORT", L"SERIAL");
    canvas.Put(2, c, L"STATE", Ink::kTitle);
    canvas.Put(2, c + state_w + 1, L"TIME");
    canvas.Put(2, c + state_w + 1 + time_w + 1, L"OK/FAIL");
    for (int i = 0; i < n; ++i) {
      const Socket& s = sockets[static_cast<std::size_t>(i)];
      const int row = top + i;
      c = columns(row, s.key, s.port, s.serial);
      const auto [text, ink] = State(s, now_ms, state_w, ending);
      canvas.Put(row, c, text, ink, state_w);
      c += state_w + 1;
      if (s.state == Socket::State::kVerdict)
        canvas.Put(row, c, s.verdict_time, Ink::kNormal, time_w);
      c += time_w + 1;
      const std::wstring counts = DecimalNumber(s.answered) + L"/" + DecimalNumber(s.failed);
      canvas.Put(row, c, counts, s.failed ? Ink::kBad : Ink::kNormal, count_w);
    }
    return canvas.Take();
  }

  // Compact: a grid of short cells, column by column, each "socket state"; when not all fit,
  // the failures first, then those busy, so that no failure is hidden behind a good one.
  const int key_w = LongestOf(sockets, &Socket::key, 3, 7);
  const int cell_w = key_w + 1 + 9;  // "(NO COMM)" whole
  const int per_row = std::max(1, (width + 1) / (cell_w + 1));
  const int shown = std::min(n, per_row * rows);
  const int used_rows = std::max(1, (shown + per_row - 1) / per_row);
  std::vector<const Socket*> order;
  for (const Socket& s : sockets) order.push_back(&s);
  if (shown < n) {
    std::stable_sort(order.begin(), order.end(),
                     [](const Socket* a, const Socket* b) { return Urgency(*a) < Urgency(*b); });
  }
  canvas.Put(2, 0,
             L"(x): pulled" + (shown < n ? L"; " + DecimalNumber(n - shown) + L" more not shown"
                                         : std::wstring()));
  for (int i = 0; i < shown; ++i) {
    const Socket& s = *order[static_cast<std::size_t>(i)];
    const int row = top + i % used_rows, col = (i / used_rows) * (cell_w + 1);
    canvas.Put(row, col, Tail(s.key, key_w));
    const auto [text, ink] = State(s, now_ms, cell_w - key_w - 1, ending);
    canvas.Put(row, col + key_w + 1, text, ink, cell_w - key_w - 1);
  }
  return canvas.Take();
}

}  // namespace qm
