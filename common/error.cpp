#include "common/error.h"


namespace qm {

std::wstring HexNumber(uint32_t value) {
  std::wstring text = L"0x00000000";
  for (std::size_t i = text.size() - 1; value != 0; --i, value >>= 4) {
    text[i] = L"0123456789ABCDEF"[value & 0xF];
  }
  return text;
}

std::wstring Error::NumberText() const {
  return (number_ & 0x80000000u) ? HexNumber(number_) : std::to_wstring(number_);
}

Error OverflowError() { return Error(kErrOverflow, L"Overflow"); }

std::wstring FatalErrorText(const Error& e) {
  return L"Error " + e.NumberText() + L": " + e.Description();
}

}  // namespace qm
