// Fuzzes JSON strings (names, products, answers in the console's records): whatever the text,
// its UTF-8 parses as exactly one JSON string, read strictly, and gives the text back with each
// unit that is no character (a lone surrogate, a path's stray byte) as U+FFFD.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "common/text.h"
#include "console/console.h"

namespace {

void Require(bool condition) {
  if (!condition) std::abort();
}

// One character of strict UTF-8 at `at`: shortest form, no surrogate, up to U+10FFFF.
char32_t NextUtf8(const std::string& s, std::size_t& at) {
  const unsigned char lead = static_cast<unsigned char>(s[at++]);
  if (lead < 0x80) return lead;
  const int extra = lead >= 0xF0 ? 3 : lead >= 0xE0 ? 2 : lead >= 0xC0 ? 1 : 0;
  Require(extra > 0 && lead < 0xF8 && at + extra <= s.size());
  char32_t c = lead & (0x3F >> extra);
  for (int k = 0; k < extra; ++k) {
    const unsigned char next = static_cast<unsigned char>(s[at++]);
    Require((next & 0xC0) == 0x80);
    c = (c << 6) | (next & 0x3F);
  }
  static constexpr char32_t kShortest[] = {0, 0x80, 0x800, 0x10000};
  Require(c >= kShortest[extra] && c <= 0x10FFFF && (c < 0xD800 || c > 0xDFFF));
  return c;
}

unsigned Hex4(const std::string& s, std::size_t& at) {
  Require(at + 4 <= s.size());
  unsigned value = 0;
  for (int k = 0; k < 4; ++k) {
    const char h = s[at++];
    const char* digit = std::strchr("0123456789abcdefABCDEF", h);
    Require(h != 0 && digit != nullptr);
    const unsigned d = static_cast<unsigned>(digit - "0123456789abcdefABCDEF");
    value = value * 16 + (d < 16 ? d : d - 6);
  }
  return value;
}

// The characters of the one JSON string `json` is, or abort.
std::u32string ParseJsonString(const std::string& json) {
  std::u32string text;
  Require(!json.empty() && json[0] == '"');
  std::size_t at = 1;
  for (;;) {
    Require(at < json.size());
    const unsigned char b = static_cast<unsigned char>(json[at]);
    if (b == '"') break;
    Require(b >= 0x20);
    if (b != '\\') {
      const char32_t c = NextUtf8(json, at);
      Require(c < 0x7F || c > 0x9F);  // no control reaches a terminal raw
      text += c;
      continue;
    }
    Require(++at < json.size());
    const char e = json[at++];
    const char* simple = std::strchr("\"\\/bfnrt", e);
    if (e != 'u') {
      Require(e != 0 && simple != nullptr);
      text += static_cast<char32_t>("\"\\/\b\f\n\r\t"[simple - "\"\\/bfnrt"]);
      continue;
    }
    char32_t c = Hex4(json, at);
    Require(c < 0xDC00 || c > 0xDFFF);
    if (c >= 0xD800 && c < 0xDC00) {
      Require(at + 2 <= json.size() && json[at] == '\\' && json[at + 1] == 'u');
      at += 2;
      const unsigned low = Hex4(json, at);
      Require(low >= 0xDC00 && low <= 0xDFFF);
      c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
    }
    text += c;
  }
  Require(at + 1 == json.size());
  return text;
}

// The characters of `text` as JSON must give them: pairs joined where wchar_t is 16 bits wide,
// every other unit that is no Unicode scalar value as U+FFFD.
std::u32string Expected(const std::wstring& text) {
  std::u32string expected;
  for (std::size_t i = 0; i < text.size(); ++i) {
    char32_t c = static_cast<char32_t>(text[i]);
    if constexpr (sizeof(wchar_t) == 2) {
      c &= 0xFFFF;
      const char32_t low = i + 1 < text.size() ? static_cast<char32_t>(text[i + 1]) & 0xFFFF : 0;
      if (c >= 0xD800 && c < 0xDC00 && low >= 0xDC00 && low < 0xE000) {
        c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
        ++i;
      }
    }
    expected += (c >= 0xD800 && c < 0xE000) || c > 0x10FFFF ? U'\uFFFD' : c;
  }
  return expected;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  // The first byte chooses: a path's bytes as the program reads them, or raw wchar_t units.
  const std::string bytes(reinterpret_cast<const char*>(data) + 1, size - 1);
  std::wstring text;
  if (data[0] & 1) {
    std::vector<wchar_t> units(bytes.size() / sizeof(wchar_t));
    if (!units.empty()) std::memcpy(units.data(), bytes.data(), units.size() * sizeof(wchar_t));
    text.assign(units.begin(), units.end());
  } else {
    text = qm::ArgumentText(bytes);
  }
  Require(ParseJsonString(qm::Utf8(qm::JsonString(text))) == Expected(text));
  return 0;
}
