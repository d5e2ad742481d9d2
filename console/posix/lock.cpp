#include <mutex>

#include "console/lock.h"

namespace qm {

struct Mutex::Impl {
  std::mutex mutex;
};

Mutex::Mutex() : impl_(std::make_unique<Impl>()) {}
Mutex::~Mutex() = default;
void Mutex::Lock() {
  impl_->mutex.lock();
}
void Mutex::Unlock() {
  impl_->mutex.unlock();
}

}  // namespace qm
