#pragma once

#include <string>

#include "console/console.h"

namespace qm {

// `value` in decimal, with leading zeros to `width` digits.
std::wstring Padded(int64_t value, std::size_t width);
const wchar_t* OutcomeName(ExchangeOutcome outcome);
std::wstring JsonOrNull(const std::wstring& text);
// The members that say which adapter a record is about.
std::wstring JsonAdapter(const std::wstring& port, const Adapter& adapter);

}  // namespace qm
