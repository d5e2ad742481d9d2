// Fuzzes turning outside bytes (a device's answer, the system's text, sysfs files) into text
// and text into UTF-8 for the console.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "common/text.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  const std::wstring text = qm::TextFromBytes(bytes);
  const std::string utf8 = qm::Utf8(text);
  // Whatever came in, what goes out reads back as the same text; valid UTF-8 comes out as it
  // came in.
  if (qm::TextFromBytes(utf8) != text) std::abort();
  if (text.size() < bytes.size() && utf8 != bytes) std::abort();
  return 0;
}
