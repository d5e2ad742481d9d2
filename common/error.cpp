#include "common/error.h"

namespace qm {

std::wstring HexNumber(uint32_t value) {
  std::wstring text = L"0x00000000";
  for (std::size_t i = text.size() - 1; value != 0; --i, value >>= 4) {
    text[i] = L"0123456789ABCDEF"[value & 0xF];
  }
  return text;
}

std::wstring DecimalNumber(long long value) {
  unsigned long long magnitude = value < 0 ? 0ull - static_cast<unsigned long long>(value)
                                           : static_cast<unsigned long long>(value);
  std::wstring digits;
  do {
    digits.insert(digits.begin(), static_cast<wchar_t>(L'0' + magnitude % 10));
    magnitude /= 10;
  } while (magnitude != 0);
  return value < 0 ? L"-" + digits : digits;
}

std::wstring Error::NumberText() const {
  return (number_ & 0x80000000u) ? HexNumber(number_) : DecimalNumber(number_);
}

Error OverflowError() {
  return Error(kErrOverflow, L"Overflow");
}

std::wstring FatalErrorText(const Error& e) {
  return L"Error " + e.NumberText() + L": " + e.Description();
}

}  // namespace qm
