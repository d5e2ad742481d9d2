// Fuzzes turning outside bytes (a device's answer, the system's text, sysfs files) into text
// and text into UTF-8 for the console, and paths into text and back.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "common/text.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  const std::wstring text = qm::TextFromBytes(bytes);
  const std::string utf8 = qm::Utf8(text);
  // Whatever came in, what goes out reads back as the same text.
  if (qm::TextFromBytes(utf8) != text) std::abort();
  // A path's bytes come back exactly; what is shown of them holds no control character.
  const std::wstring path = qm::ArgumentText(bytes);
  if (qm::ArgumentBytes(path) != bytes) std::abort();
  // Valid UTF-8 (no stray byte in the path) comes out as it came in.
  const bool valid = std::none_of(path.begin(), path.end(),
                                  [](wchar_t c) { return c >= 0xDC80 && c <= 0xDCFF; });
  if (valid && utf8 != bytes) std::abort();
  for (wchar_t c : qm::ReadableText(path)) {
    if (c < 0x20 || (c >= 0x7F && c <= 0x9F)) std::abort();
  }
  return 0;
}
