#pragma once

#include <cstdint>
#include <exception>
#include <string>

namespace qm {

// An error with the number and description the user is shown. Numbers are Win32 error codes,
// HRESULTs, or the program's own (such as kOverflow).
class Error : public std::exception {
 public:
  Error(uint32_t number, std::wstring description)
      : number_(number), description_(std::move(description)) {}

  uint32_t Number() const { return number_; }
  const std::wstring& Description() const { return description_; }
  const char* what() const noexcept override { return "Quillomarvet error"; }

  // HRESULT failures read best in hexadecimal, everything else in decimal.
  std::wstring NumberText() const;

 private:
  uint32_t number_;
  std::wstring description_;
};

// "0x" and eight upper-case hexadecimal digits.
std::wstring HexNumber(uint32_t value);
// Plain decimal. (std::to_wstring would bring the whole printf machinery into the .exe.)
std::wstring DecimalNumber(long long value);

// The program's own error numbers.
inline constexpr uint32_t kErrOverflow = 6;
inline constexpr uint32_t kErrPortAlreadyOpen = 8005;
inline constexpr uint32_t kErrPortNotOpen = 8018;

Error OverflowError();

// "Error <number>: <description>", as shown in the fatal-error message box.
std::wstring FatalErrorText(const Error& e);

}  // namespace qm
