// Fuzzes the station board with what devices and the operator send it: answers, serial numbers
// and locations of any bytes on a terminal of any size, and any keys.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "common/text.h"
#include "console/board/keys.h"
#include "console/board/model.h"

namespace {

// Every cell is a character the terminal draws in one or two cells (the second one marked);
// nothing from outside reaches the terminal as a control.
void CheckFrame(const qm::Frame& frame, int width, int height) {
  if (frame.width != width || frame.height != height) std::abort();
  if (frame.text.size() != static_cast<std::size_t>(height) ||
      frame.ink.size() != frame.text.size())
    std::abort();
  for (int row = 0; row < height; ++row) {
    const std::wstring& text = frame.text[row];
    if (text.size() != static_cast<std::size_t>(width) || frame.ink[row].size() != text.size())
      std::abort();
    for (int column = 0; column < width; ++column) {
      const wchar_t c = text[column];
      if (c == qm::kSecondCell) {
        if (column == 0 || qm::CharacterCells(static_cast<char32_t>(text[column - 1])) != 2)
          std::abort();
        continue;
      }
      const int cells = qm::CharacterCells(static_cast<char32_t>(c));
      if (cells == 0) std::abort();
      if (cells == 2 && (column + 1 == width || text[column + 1] != qm::kSecondCell)) std::abort();
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 3) return 0;
  const int width = 1 + data[0] % 160, height = 1 + data[1] % 50, sockets = data[2] % 70;
  const std::string_view rest(reinterpret_cast<const char*>(data) + 3, size - 3);

  // The keys: without a q among them, nothing ends the watch.
  qm::KeyReader keys;
  bool quit = false;
  int64_t now = 0;
  for (std::size_t i = 0; i < rest.size(); i += 4) {
    now += static_cast<unsigned char>(rest[i]) * 3;
    keys.Read(rest.substr(i, 4), now);
    quit = keys.Quit(now) || quit;
  }
  quit = keys.Quit(now + 1000) || quit;
  if (quit && rest.find_first_of("qQ") == std::string_view::npos) std::abort();

  // The texts: fields split at 0xFF, read as a device's bytes are.
  std::vector<std::wstring> fields;
  std::size_t start = 0;
  while (start <= rest.size()) {
    std::size_t end = rest.find('\xFF', start);
    if (end == std::string_view::npos) end = rest.size();
    fields.push_back(qm::TextFromBytes(std::string(rest.substr(start, end - start))));
    start = end + 1;
  }
  const auto field = [&](std::size_t i) { return fields[i % fields.size()]; };

  qm::BoardModel model;
  model.Watching({0, 1000, field(0), sockets % 2 ? field(1) : L""}, L"10:00:00");
  for (int i = 0; i < sockets; ++i) {
    qm::Adapter adapter{L"/dev/ttyUSB" + std::to_wstring(i), field(i + 1), field(i + 2),
                        field(i + 3), std::to_wstring(i)};
    if (i % 3 == 0) adapter.location.clear();
    model.Found(adapter, 500 + i);
    if (i % 5 == 4) continue;  // still settling
    qm::ExchangeId id{i, adapter.port, adapter, true, adapter.port};
    model.Started(id, 600);
    if (i % 7 == 6) continue;  // resetting
    qm::Verdict verdict;
    verdict.outcome = static_cast<qm::ExchangeOutcome>(i % 5);
    verdict.answer = field(i + 4);
    verdict.reason = field(i + 5);
    model.Finished(id, verdict, L"10:00:02");
    if (i % 4 == 1) model.Pulled(adapter);
  }
  if (sockets % 2) model.Problem(field(sockets));
  if (sockets % 3 == 0) model.Ending();
  CheckFrame(qm::Layout(model, width, height, 1500, sockets % 2 == 0), width, height);
  return 0;
}
