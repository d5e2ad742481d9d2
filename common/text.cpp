#include "common/text.h"

#include <algorithm>

namespace qm {

namespace {

constexpr char32_t kStrayByteBase = 0xDC00;  // ArgumentText's stray bytes: U+DC80 to U+DCFF

// C0, DEL and C1: a terminal acts on each of them (DEL rubs out the character before it on some).
bool IsControl(char32_t c) {
  return c < 0x20 || (c >= 0x7F && c <= 0x9F);
}

bool IsStrayByte(char32_t c) {
  return c >= kStrayByteBase + 0x80 && c <= kStrayByteBase + 0xFF;
}

void Append(std::wstring& text, char32_t c) {
  if constexpr (sizeof(wchar_t) == 2) {
    if (c >= 0x10000) {
      c -= 0x10000;
      text += static_cast<wchar_t>(0xD800 + (c >> 10));
      text += static_cast<wchar_t>(0xDC00 + (c & 0x3FF));
      return;
    }
  }
  text += static_cast<wchar_t>(c);
}

// The length of the valid UTF-8 sequence at the start of `bytes` and its character; 0 when
// the first byte does not start one (then it stands alone).
std::size_t Sequence(std::string_view bytes, char32_t& c) {
  const unsigned char lead = static_cast<unsigned char>(bytes[0]);
  std::size_t extra;
  if (lead < 0x80) {
    c = lead;
    return 1;
  } else if (lead >= 0xC2 && lead <= 0xDF) {
    extra = 1;
    c = lead & 0x1F;
  } else if ((lead & 0xF0) == 0xE0) {
    extra = 2;
    c = lead & 0x0F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    extra = 3;
    c = lead & 0x07;
  } else {
    return 0;  // a continuation byte, C0, C1 or F5 to FF: never the start of a character
  }
  if (extra >= bytes.size()) return 0;  // cut short
  for (std::size_t k = 1; k <= extra; ++k) {
    const unsigned char next = static_cast<unsigned char>(bytes[k]);
    if ((next & 0xC0) != 0x80) return 0;
    c = (c << 6) | (next & 0x3F);
  }
  static constexpr char32_t kShortest[] = {0, 0x80, 0x800, 0x10000};
  if (c < kShortest[extra] || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return 0;
  return 1 + extra;
}

std::wstring Decode(std::string_view bytes, char32_t stray_base) {
  std::wstring text;
  text.reserve(bytes.size());
  while (!bytes.empty()) {
    char32_t c = 0;
    std::size_t length = Sequence(bytes, c);
    if (length == 0) {
      c = stray_base + static_cast<unsigned char>(bytes[0]);
      length = 1;
    }
    Append(text, c);
    bytes.remove_prefix(length);
  }
  return text;
}

// The characters of `text`, surrogate pairs joined where wchar_t is 16 bits wide.
template <typename Visit>
void ForEachCharacter(std::wstring_view text, Visit&& visit) {
  for (std::size_t i = 0; i < text.size(); ++i) {
    char32_t c = static_cast<char32_t>(text[i]);
    if constexpr (sizeof(wchar_t) == 2) {
      c &= 0xFFFF;
      if (c >= 0xD800 && c < 0xDC00 && i + 1 < text.size()) {
        const char32_t low = static_cast<char32_t>(text[i + 1]) & 0xFFFF;
        if (low >= 0xDC00 && low < 0xE000) {
          c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
          ++i;
        }
      }
    }
    visit(c);
  }
}

void AppendUtf8(std::string& bytes, char32_t c) {
  if (c >= 0xD800 && c < 0xE000) c = 0xFFFD;  // a lone surrogate
  if (c < 0x80) {
    bytes += static_cast<char>(c);
  } else if (c < 0x800) {
    bytes += static_cast<char>(0xC0 | (c >> 6));
    bytes += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    bytes += static_cast<char>(0xE0 | (c >> 12));
    bytes += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    bytes += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    bytes += static_cast<char>(0xF0 | (c >> 18));
    bytes += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    bytes += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    bytes += static_cast<char>(0x80 | (c & 0x3F));
  }
}

}  // namespace

std::wstring TextFromBytes(std::string_view bytes) {
  return Decode(bytes, 0);
}

std::wstring ArgumentText(std::string_view bytes) {
  return Decode(bytes, kStrayByteBase);
}

std::string ArgumentBytes(std::wstring_view text) {
  std::string bytes;
  ForEachCharacter(text, [&](char32_t c) {
    if (IsStrayByte(c)) {
      bytes += static_cast<char>(c - kStrayByteBase);
    } else {
      AppendUtf8(bytes, c);
    }
  });
  return bytes;
}

std::wstring ReadableText(std::wstring_view text) {
  std::wstring readable;
  ForEachCharacter(text, [&](char32_t c) {
    if (IsControl(c) || IsStrayByte(c)) {
      static constexpr wchar_t kHex[] = L"0123456789abcdef";
      const unsigned value = IsStrayByte(c) ? c - kStrayByteBase : c;
      readable += L"\\x";
      readable += kHex[(value >> 4) & 0xF];
      readable += kHex[value & 0xF];
    } else {
      Append(readable, c);
    }
  });
  return readable;
}

std::wstring WithoutControls(std::wstring_view text) {
  std::wstring kept;
  std::copy_if(text.begin(), text.end(), std::back_inserter(kept),
               [](wchar_t c) { return !IsControl(static_cast<char32_t>(c)); });
  return kept;
}

std::string Utf8(std::wstring_view text) {
  std::string bytes;
  ForEachCharacter(text, [&](char32_t c) { AppendUtf8(bytes, c); });
  return bytes;
}

}  // namespace qm
