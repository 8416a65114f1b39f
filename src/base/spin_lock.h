// A lock for sections of a few dozen instructions that are almost never
// contended: taking and releasing it is one atomic exchange and one store,
// where a mutex makes two atomic operations and two library calls. A thread
// that finds it held spins briefly, then yields its time slice until the
// holder is done. Not recursive; usable with std::lock_guard.
#pragma once

#include <atomic>
#include <thread>

namespace base {

class SpinLock {
 public:
  void lock() {
    while (held_.exchange(true, std::memory_order_acquire)) {
      for (int spins = 0; held_.load(std::memory_order_relaxed); spins++) {
        if (spins >= 64) std::this_thread::yield();
#if defined(__x86_64__) || defined(__i386__)
        __builtin_ia32_pause();  // lets the core know this loop waits
#endif
      }
    }
  }
  bool try_lock() { return !held_.exchange(true, std::memory_order_acquire); }
  void unlock() { held_.store(false, std::memory_order_release); }

 private:
  std::atomic<bool> held_{false};
};

}  // namespace base
