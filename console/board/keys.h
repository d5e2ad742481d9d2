#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace qm {

// The operator's keys, from the bytes a terminal sends: only a q typed on its own ends the
// watch. Escape sequences (F2 is ESC O Q, an arrow ESC [ A) are read whole and ignored, a lone
// ESC too; so is whatever comes as a burst, each byte hard on the last: a paste, or a barcode
// scanner typing a serial number such as QM0001.
class KeyReader {
 public:
  // Nothing else this long before a q and after it: typed by hand. A scanner's characters
  // come a few milliseconds apart, a person's keys a tenth of a second and more.
  static constexpr int64_t kAloneMs = 100;

  // Bytes read from the terminal at `now_ms` (a steady clock).
  void Read(std::string_view bytes, int64_t now_ms);
  // Whether a q stood alone, now that kAloneMs have passed since it with nothing after it.
  bool Quit(int64_t now_ms);
  // When Quit may turn true; nullopt while no q waits.
  std::optional<int64_t> Due() const;

 private:
  enum class State { kText, kEscape, kCsi, kSs3, kString, kStringEscape };
  State state_ = State::kText;
  std::optional<int64_t> last_ms_, q_ms_;
};

}  // namespace qm
