#include "serial/serial_port.h"

namespace qm {

namespace {
// Win32 error codes, spelled out so the rule stays testable off Windows.
constexpr uint32_t kFileNotFound = 2;
constexpr uint32_t kPathNotFound = 3;
constexpr uint32_t kAccessDenied = 5;
constexpr uint32_t kSharingViolation = 32;
constexpr uint32_t kLockViolation = 33;
}  // namespace

std::wstring OpenFailureReason(const Error& e) {
  switch (e.Number()) {
    case kFileNotFound:
    case kPathNotFound:
      return L"no such port";
    case kSharingViolation:
    case kLockViolation:
      return L"port in use by another program";
    case kAccessDenied:
      // Windows' serial drivers refuse a second opener with this code, so it usually means busy.
      return L"access denied (the port may be in use by another program)";
    default:
      return e.Description();
  }
}

}  // namespace qm
