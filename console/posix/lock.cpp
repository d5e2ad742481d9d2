#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <system_error>
#include <thread>

#include "common/text.h"
#include "console/lock.h"
#include "serial/posix/posix_serial_port.h"

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

struct Condition::Impl {
  std::condition_variable condition;
};

Condition::Condition() : impl_(std::make_unique<Impl>()) {}
Condition::~Condition() = default;

void Condition::Wait(Mutex& mutex, int32_t ms) {
  std::unique_lock<std::mutex> lock(mutex.impl_->mutex, std::adopt_lock);
  if (ms < 0) {
    impl_->condition.wait(lock);
  } else {
    impl_->condition.wait_for(lock, std::chrono::milliseconds(ms));
  }
  lock.release();  // still held: the caller's Locked lets it go
}

void Condition::WakeAll() {
  impl_->condition.notify_all();
}

struct JoinedThread::Impl {
  std::thread thread;
};

JoinedThread::JoinedThread(std::function<void()> job) : impl_(std::make_unique<Impl>()) {
  try {
    impl_->thread = std::thread(std::move(job));
  } catch (const std::system_error& e) {
    throw ErrnoError(e.code().value());
  }
}

JoinedThread::~JoinedThread() {
  if (impl_->thread.joinable()) impl_->thread.join();
}

}  // namespace qm
