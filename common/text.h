#pragma once

#include <string>
#include <string_view>

namespace qm {

// Bytes from outside (a device's answer, the system's error text, a sysfs file) as text: each
// valid UTF-8 sequence as its character, each byte that is not part of one as the character of
// that number (Latin-1), so one stray byte spoils nothing around it and nothing is lost.
std::wstring TextFromBytes(std::string_view bytes);

// A command-line argument or a path, which on Linux is bytes: as TextFromBytes, except that a
// byte outside valid UTF-8 becomes U+DC80 + (byte - 0x80), so that ArgumentBytes gives back
// exactly the bytes given.
std::wstring ArgumentText(std::string_view bytes);
std::string ArgumentBytes(std::wstring_view text);

// Text that is safe to show on a terminal: control characters (C0, DEL and C1, however they came)
// and the stray bytes of ArgumentText are written as \xNN; the rest is left as it is.
std::wstring ReadableText(std::wstring_view text);

// Text without control characters (C0, DEL and C1): what a terminal shows of a device's answer.
std::wstring WithoutControls(std::wstring_view text);

// Text as UTF-8, for a terminal or a pipe.
std::string Utf8(std::wstring_view text);

// Names compared with runs of digits taken as numbers, leading zeros aside: "ttyUSB2" before
// "ttyUSB10", socket "1-2" before "1-10".
template <typename Char>
bool NaturalLess(std::basic_string_view<Char> a, std::basic_string_view<Char> b) {
  const auto digit = [](Char c) { return c >= Char('0') && c <= Char('9'); };
  std::size_t i = 0, j = 0;
  while (i < a.size() && j < b.size()) {
    if (digit(a[i]) && digit(b[j])) {
      std::size_t ei = i, ej = j;
      while (ei < a.size() && a[ei] == Char('0')) ++ei;
      while (ej < b.size() && b[ej] == Char('0')) ++ej;
      std::size_t ni = ei, nj = ej;
      while (ni < a.size() && digit(a[ni])) ++ni;
      while (nj < b.size() && digit(b[nj])) ++nj;
      const auto da = a.substr(ei, ni - ei), db = b.substr(ej, nj - ej);
      if (da.size() != db.size()) return da.size() < db.size();
      if (da != db) return da < db;
      i = ni;
      j = nj;
    } else {
      if (a[i] != b[j]) return a[i] < b[j];
      ++i;
      ++j;
    }
  }
  return a.size() - i < b.size() - j;
}
inline bool NaturalLess(std::string_view a, std::string_view b) {
  return NaturalLess<char>(a, b);
}
inline bool NaturalLess(std::wstring_view a, std::wstring_view b) {
  return NaturalLess<wchar_t>(a, b);
}

}  // namespace qm
