#include <algorithm>

#include "common/error.h"
#include "console/board/model.h"

namespace qm {

namespace {

// A frame being filled; whatever falls outside it is cut off, nothing wraps.
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
    const std::size_t r = static_cast<std::size_t>(row);
    for (std::size_t i = 0; i < text.size() && (limit < 0 || static_cast<int>(i) < limit); ++i) {
      if (column >= frame_.width) break;
      if (column >= 0) {
        const std::size_t c = static_cast<std::size_t>(column);
        frame_.text[r][c] = Shown(text[i]);
        frame_.ink[r][c] = static_cast<char>(colours_ ? ink : Ink::kNormal);
      }
      ++column;
    }
    return column;
  }

  Frame Take() { return std::move(frame_); }

 private:
  // One column for sure, and nothing that steers the terminal: controls (C0 and C1), and
  // whatever may be drawn two columns wide or combine with its neighbour, become '?'.
  static wchar_t Shown(wchar_t c) {
    const auto code = static_cast<uint32_t>(c);
    if (code < 0x20 || (code >= 0x7F && code < 0xA0) || code >= 0x300) return L'?';
    return c;
  }

  Frame frame_;
  bool colours_;
};

// A name too long for its column keeps its end, the part that tells one socket (a hub's last
// port, a port's number) from the next: "~1.4.3" for 1-1.1.4.3.
std::wstring Tail(const std::wstring& text, std::size_t width) {
  if (text.size() <= width) return text;
  if (width < 2) return text.substr(text.size() - width);
  return L"~" + text.substr(text.size() - (width - 1));
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
std::pair<std::wstring, Ink> State(const Socket& s, int64_t now_ms, int room) {
  switch (s.state) {
    case Socket::State::kSettling:
      return {(room < 12 ? L"wait " : L"settling ") + DecimalNumber(SecondsLeft(s, now_ms)) + L"s",
              Ink::kBusy};
    case Socket::State::kResetting: {
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

int LongestOf(const std::vector<Socket>& sockets, std::wstring Socket::*field, int at_least,
              int at_most) {
  std::size_t longest = static_cast<std::size_t>(at_least);
  for (const Socket& s : sockets) longest = std::max(longest, (s.*field).size());
  return static_cast<int>(std::min<std::size_t>(longest, static_cast<std::size_t>(at_most)));
}

}  // namespace

Frame Layout(const BoardModel& model, int width, int height, int64_t now_ms, bool colours) {
  Canvas canvas(width, height, colours);
  const std::vector<Socket>& sockets = model.sockets();
  const int n = static_cast<int>(sockets.size());

  int column = canvas.Put(0, 0, L"quillomarvet --watch", Ink::kTitle);
  column = canvas.Put(0, column,
                      L"  " + model.watched() + L" since " + model.since() + L", settle " +
                          Seconds(model.settle_ms()) + L" s" +
                          (model.expect().empty() ? L"" : L", expect " + model.expect()));
  if (width - column >= 10) canvas.Put(0, width - 8, L"q: quit");
  const Tally& t = model.totals();
  canvas.Put(1, 0, DecimalNumber(t.Total()) + L" reset: ");
  column =
      canvas.Put(1, static_cast<int>(DecimalNumber(t.Total()).size()) + 8,
                 DecimalNumber(t.answered) + L" answered", t.answered ? Ink::kGood : Ink::kNormal);
  column = canvas.Put(1, column, L", ");
  if (t.judged) {
    column = canvas.Put(1, column, DecimalNumber(t.unexpected) + L" unexpected",
                        t.unexpected ? Ink::kBad : Ink::kNormal);
    column = canvas.Put(1, column, L", ");
  }
  column = canvas.Put(1, column, DecimalNumber(t.no_answer) + L" no answer",
                      t.no_answer ? Ink::kBad : Ink::kNormal);
  column = canvas.Put(1, column, L", ");
  column = canvas.Put(1, column, DecimalNumber(t.cannot_open) + L" could not be opened",
                      t.cannot_open ? Ink::kBad : Ink::kNormal);
  if (t.interrupted) {
    column = canvas.Put(1, column, L", " + DecimalNumber(t.interrupted) + L" interrupted");
  }
  // The broker's link at the right end, where it fits.
  const int link_width = static_cast<int>(model.link().size());
  if (link_width > 0 && width - column >= link_width + 2) {
    canvas.Put(1, width - link_width - 1, model.link(),
               model.link() == L"MQTT connected" ? Ink::kNormal : Ink::kBad);
  }

  // The last row: a problem, else the last few events.
  const int last = height - 1;
  if (!model.problem().empty()) {
    canvas.Put(last, 0, L"! " + model.problem(), Ink::kBad);
  } else {
    column = canvas.Put(last, 0, L"Last: ");
    for (const std::wstring& event : model.events()) {
      if (column + static_cast<int>(event.size()) > width) break;  // whole ones only
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
      canvas.Put(row, 0, Tail(key, static_cast<std::size_t>(key_w)));
      int c = key_w + 1;
      if (port_w) canvas.Put(row, c, Tail(port, static_cast<std::size_t>(port_w))), c += port_w + 1;
      if (serial_w)
        canvas.Put(row, c, Tail(serial, static_cast<std::size_t>(serial_w))), c += serial_w + 1;
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
      const auto [text, ink] = State(s, now_ms, state_w);
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

  // Compact: a grid of short cells, column by column, each "socket state".
  const int key_w = LongestOf(sockets, &Socket::key, 3, 7);
  const int cell_w = key_w + 1 + 9;  // "(NO COMM)" whole
  const int per_row = std::max(1, (width + 1) / (cell_w + 1));
  const int shown = std::min(n, per_row * rows);
  const int used_rows = std::max(1, (shown + per_row - 1) / per_row);
  canvas.Put(2, 0,
             L"(x): pulled" + (shown < n ? L"; " + DecimalNumber(n - shown) + L" more not shown"
                                         : std::wstring()));
  for (int i = 0; i < shown; ++i) {
    const Socket& s = sockets[static_cast<std::size_t>(i)];
    const int row = top + i % used_rows, col = (i / used_rows) * (cell_w + 1);
    canvas.Put(row, col, Tail(s.key, static_cast<std::size_t>(key_w)));
    const auto [text, ink] = State(s, now_ms, cell_w - key_w - 1);
    canvas.Put(row, col + key_w + 1, text, ink, cell_w - key_w - 1);
  }
  return canvas.Take();
}

}  // namespace qm
