#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qm {

// The display name Windows gives the USB-to-serial adapter, followed by its port, e.g.
// "Silicon Labs CP210x USB to UART Bridge (COM3)".
inline constexpr std::wstring_view kAdapterName = L"Silicon Labs CP210x USB to UART Bridge";

// A number read from the start of a text: its sign and its digits, without leading zeros
// ("0" when the text starts with no digit). Kept as text so a long run of digits survives.
struct LeadingNumber {
  bool negative = false;
  std::wstring digits = L"0";
};

// Skips spaces, tabs and line feeds, takes an optional sign and the digits after it, and stops
// at the first other character.
LeadingNumber ReadLeadingNumber(std::wstring_view text);

// Plain decimal, with a minus sign when negative ("0" is never signed).
std::wstring DecimalText(const LeadingNumber& number);

// The port name text for the given device names, in their order: "COM<n>" for every adapter,
// joined with no separator, empty when none matches. A device without a name never matches.
std::wstring PortNameText(const std::vector<std::optional<std::wstring>>& device_names);

// The port number of a port name text: the leading number from its 4th character on.
// Throws the overflow error outside -32768..32767.
int16_t PortNumberFromText(std::wstring_view text);

}  // namespace qm
