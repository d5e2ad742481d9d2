#include "common/error.h"

#include <cwchar>

namespace qm {

std::wstring Error::NumberText() const {
  wchar_t buf[16];
  if (number_ & 0x80000000u) {
    std::swprintf(buf, 16, L"0x%08X", static_cast<unsigned>(number_));
  } else {
    std::swprintf(buf, 16, L"%u", static_cast<unsigned>(number_));
  }
  return buf;
}

Error OverflowError() { return Error(kErrOverflow, L"Overflow"); }

std::wstring FatalErrorText(const Error& e) {
  return L"Error " + e.NumberText() + L": " + e.Description();
}

}  // namespace qm
