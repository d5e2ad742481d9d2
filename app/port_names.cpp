#include "app/port_names.h"

#include "common/error.h"

namespace qm {

namespace {

bool IsDigit(wchar_t c) {
  return c >= L'0' && c <= L'9';
}

wchar_t AsciiUpper(wchar_t c) {
  return (c >= L'a' && c <= L'z') ? c - L'a' + L'A' : c;
}

// 1-based position of the last "COM" in `name`, letters compared without case; 0 when none.
std::size_t LastComPosition(std::wstring_view name) {
  for (std::size_t i = name.size(); i >= 3; --i) {
    const std::size_t start = i - 3;
    if (AsciiUpper(name[start]) == L'C' && AsciiUpper(name[start + 1]) == L'O' &&
        AsciiUpper(name[start + 2]) == L'M') {
      return start + 1;
    }
  }
  return 0;
}

// The text from 1-based character `position` on; empty past the end.
std::wstring_view From(std::wstring_view text, std::size_t position) {
  const std::size_t index = position == 0 ? 0 : position - 1;
  return index < text.size() ? text.substr(index) : std::wstring_view{};
}

}  // namespace

LeadingNumber ReadLeadingNumber(std::wstring_view text) {
  std::size_t i = 0;
  while (i < text.size() && (text[i] == L' ' || text[i] == L'\t' || text[i] == L'\n')) ++i;
  LeadingNumber number;
  if (i < text.size() && (text[i] == L'+' || text[i] == L'-')) {
    number.negative = text[i] == L'-';
    ++i;
  }
  while (i < text.size() && text[i] == L'0') ++i;
  std::wstring digits;
  while (i < text.size() && IsDigit(text[i])) digits += text[i++];
  if (digits.empty()) {
    number.negative = false;  // no digit, or only zeros: the value is 0
  } else {
    number.digits = std::move(digits);
  }
  return number;
}

std::wstring DecimalText(const LeadingNumber& number) {
  return number.negative ? L"-" + number.digits : number.digits;
}

std::wstring PortNameText(const std::vector<std::optional<std::wstring>>& device_names) {
  std::wstring result;
  for (const auto& name : device_names) {
    if (!name || name->find(kAdapterName) == std::wstring::npos) continue;
    const std::size_t p = LastComPosition(*name);
    result += L"COM";
    result += DecimalText(ReadLeadingNumber(From(*name, p == 0 ? 3 : p + 3)));
  }
  return result;
}

int16_t PortNumberFromText(std::wstring_view text) {
  const LeadingNumber number = ReadLeadingNumber(From(text, 4));
  // digits has no leading zeros, so more than five of them is out of range whatever they are.
  if (number.digits.size() > 5) throw OverflowError();
  long value = 0;
  for (wchar_t digit : number.digits) value = value * 10 + (digit - L'0');
  const long limit = number.negative ? 32768 : 32767;
  if (value > limit) throw OverflowError();
  return static_cast<int16_t>(number.negative ? -value : value);
}

}  // namespace qm
