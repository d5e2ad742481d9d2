#include <windows.h>

#include "console/lock.h"

namespace qm {

struct Mutex::Impl {
  SRWLOCK lock = SRWLOCK_INIT;
};

Mutex::Mutex() : impl_(std::make_unique<Impl>()) {}
Mutex::~Mutex() = default;
void Mutex::Lock() {
  ::AcquireSRWLockExclusive(&impl_->lock);
}
void Mutex::Unlock() {
  ::ReleaseSRWLockExclusive(&impl_->lock);
}

}  // namespace qm
