#include "console/board/keys.h"

namespace qm {

void KeyReader::Read(std::string_view bytes, int64_t now_ms) {
  const bool burst = last_ms_ && now_ms - *last_ms_ < kAloneMs;
  // A sequence that stops half-way (a lone ESC) is over once nothing follows it.
  if (!burst) state_ = State::kText;
  last_ms_ = now_ms;
  q_ms_.reset();  // a q with something right after it was part of a burst
  const bool q_alone = !burst && bytes.size() == 1 && (bytes[0] == 'q' || bytes[0] == 'Q');
  for (const char byte : bytes) {
    const auto c = static_cast<unsigned char>(byte);
    switch (state_) {
      case State::kText:
        if (c == 0x1B) state_ = State::kEscape;
        break;
      case State::kEscape:  // ECMA-48: ESC, intermediates 0x20-0x2F, a final byte
        if (c == '[') {
          state_ = State::kCsi;
        } else if (c == 'O') {
          state_ = State::kSs3;
        } else if (c == 'P' || c == ']' || c == 'X' || c == '^' || c == '_') {
          state_ = State::kString;  // DCS, OSC, SOS, PM, APC: up to ST or BEL
        } else if (c != 0x1B && (c < 0x20 || c > 0x2F)) {
          state_ = State::kText;
        }
        break;
      case State::kCsi:  // parameters and intermediates, then a final byte 0x40-0x7E
        if (c == 0x1B) {
          state_ = State::kEscape;
        } else if (c >= 0x40 && c <= 0x7E) {
          state_ = State::kText;
        }
        break;
      case State::kSs3:  // one byte: the key
        state_ = c == 0x1B ? State::kEscape : State::kText;
        break;
      case State::kString:
        if (c == 0x07) state_ = State::kText;
        if (c == 0x1B) state_ = State::kStringEscape;
        break;
      case State::kStringEscape:
        state_ = c == '\\' ? State::kText : State::kString;
        break;
    }
  }
  if (q_alone) q_ms_ = now_ms;
}

bool KeyReader::Quit(int64_t now_ms) {
  if (!q_ms_ || now_ms - *q_ms_ < kAloneMs) return false;
  q_ms_.reset();
  return true;
}

std::optional<int64_t> KeyReader::Due() const {
  if (!q_ms_) return std::nullopt;
  return *q_ms_ + kAloneMs;
}

}  // namespace qm
