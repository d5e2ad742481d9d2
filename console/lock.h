#pragma once

#include <cstdint>
#include <functional>
#include <memory>

namespace qm {

// A mutex for the console's platform-free code: the Windows toolchain's C++ library has no
// std::mutex (its thread model is win32), so each platform gives its own.
class Mutex {
 public:
  Mutex();
  ~Mutex();
  Mutex(const Mutex&) = delete;
  Mutex& operator=(const Mutex&) = delete;
  void Lock();
  void Unlock();

 private:
  friend class Condition;
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// A condition variable over Mutex, for the same reason.
class Condition {
 public:
  Condition();
  ~Condition();
  Condition(const Condition&) = delete;
  Condition& operator=(const Condition&) = delete;
  // With `mutex` locked: releases it until woken or `ms` milliseconds have passed (no limit
  // when negative), then takes it again. May wake early: the caller looks again.
  void Wait(Mutex& mutex, int32_t ms);
  void WakeAll();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// A thread that runs `job` and is joined when the owner goes.
class JoinedThread {
 public:
  explicit JoinedThread(std::function<void()> job);  // throws Error when no thread can be had
  ~JoinedThread();
  JoinedThread(const JoinedThread&) = delete;
  JoinedThread& operator=(const JoinedThread&) = delete;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

class Locked {
 public:
  explicit Locked(Mutex& mutex) : mutex_(mutex) { mutex_.Lock(); }
  Locked(const Locked&) = delete;
  Locked& operator=(const Locked&) = delete;
  ~Locked() { mutex_.Unlock(); }

 private:
  Mutex& mutex_;
};

}  // namespace qm
