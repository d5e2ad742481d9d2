// Fuzzes discovery: device names in, port name text and port number out.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "app/port_names.h"
#include "common/error.h"

namespace {

void Require(bool condition) {
  if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // Names are separated by 0x00; a name that is just 0x01 stands for a device without one.
  // A byte 0x02 expands to the adapter's name, so matches are common.
  std::vector<std::optional<std::wstring>> names(1, std::wstring());
  for (size_t i = 0; i < size; ++i) {
    if (data[i] == 0x00) {
      names.emplace_back(std::wstring());
    } else if (data[i] == 0x01 && names.back() && names.back()->empty()) {
      names.back().reset();
    } else if (names.back() && data[i] == 0x02) {
      *names.back() += qm::kAdapterName;
    } else if (names.back()) {
      *names.back() += static_cast<wchar_t>(data[i]);
    }
  }

  const std::wstring text = qm::PortNameText(names);
  bool any_adapter = false;
  for (const auto& name : names) {
    any_adapter = any_adapter || (name && name->find(qm::kAdapterName) != std::wstring::npos);
  }
  Require(any_adapter == !text.empty());
  Require(text.empty() || text.rfind(L"COM", 0) == 0);

  // Writing a number back and reading it again changes nothing.
  const qm::LeadingNumber number = qm::ReadLeadingNumber(text.size() > 3 ? text.substr(3) : L"");
  const std::wstring decimal = qm::DecimalText(number);
  Require(qm::DecimalText(qm::ReadLeadingNumber(decimal)) == decimal);

  if (!text.empty()) {
    try {
      const int16_t port = qm::PortNumberFromText(text);
      Require(qm::DecimalText(qm::ReadLeadingNumber(std::to_wstring(port))) == decimal);
    } catch (const qm::Error& e) {
      Require(e.Number() == qm::kErrOverflow);
      Require(decimal.size() >= 5);  // only numbers past 16 bits overflow
    }
  }
  return 0;
}
