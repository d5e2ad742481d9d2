#pragma once

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
