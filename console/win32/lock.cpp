#include <windows.h>

#include "common/win32/os_error.h"

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

struct Condition::Impl {
  CONDITION_VARIABLE condition = CONDITION_VARIABLE_INIT;
};

Condition::Condition() : impl_(std::make_unique<Impl>()) {}
Condition::~Condition() = default;

void Condition::Wait(Mutex& mutex, int32_t ms) {
  ::SleepConditionVariableSRW(&impl_->condition, &mutex.impl_->lock,
                              ms < 0 ? INFINITE : static_cast<DWORD>(ms), 0);
}

void Condition::WakeAll() {
  ::WakeAllConditionVariable(&impl_->condition);
}

struct JoinedThread::Impl {
  std::function<void()> job;
  HANDLE thread = nullptr;
  static DWORD WINAPI Run(void* self) {
    static_cast<Impl*>(self)->job();
    return 0;
  }
};

JoinedThread::JoinedThread(std::function<void()> job) : impl_(std::make_unique<Impl>()) {
  impl_->job = std::move(job);
  impl_->thread = ::CreateThread(nullptr, 0, Impl::Run, impl_.get(), 0, nullptr);
  if (!impl_->thread) throw OsError(::GetLastError());
}

JoinedThread::~JoinedThread() {
  ::WaitForSingleObject(impl_->thread, INFINITE);
  ::CloseHandle(impl_->thread);
}

}  // namespace qm
