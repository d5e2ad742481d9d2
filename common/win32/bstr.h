#pragma once

#include <windows.h>

#include <oleauto.h>

#include <string_view>

#include "common/win32/os_error.h"

namespace qm {

// Owns a BSTR.
class Bstr {
 public:
  explicit Bstr(std::wstring_view text)
      : bstr_(::SysAllocStringLen(text.data(), static_cast<UINT>(text.size()))) {
    if (!bstr_) throw HresultError(E_OUTOFMEMORY);
  }
  Bstr(const Bstr&) = delete;
  Bstr& operator=(const Bstr&) = delete;
  ~Bstr() { ::SysFreeString(bstr_); }
  BSTR get() const { return bstr_; }

 private:
  BSTR bstr_;
};

}  // namespace qm
