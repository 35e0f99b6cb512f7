// Taking the event queue's lock on the two paths that meet on it all the
// time: submitters appending and the dispatch loop taking its batch. Both
// hold it for a copy of a record or a swap of two vectors, far shorter than
// the sleep and wake-up a contended mutex costs, so a taker first retries
// for a moment. Submitting threads and the dispatch thread.
#pragma once

#include <mutex>

namespace ko::core {

// Retries before a contended queue lock is waited for: a few microseconds,
// the lock's longest ordinary hold (an append that grows the queue).
inline constexpr int QueueLockSpins = 128;

inline void cpuRelax() noexcept {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#elif defined(__aarch64__)
  asm volatile("yield" ::: "memory");
#endif
}

// Locks `lock`, retrying QueueLockSpins times before it blocks.
inline void lockQueue(std::mutex& lock) {
  for (int i = 0; i < QueueLockSpins; ++i) {
    if (lock.try_lock()) return;
    cpuRelax();
  }
  lock.lock();
}

}  // namespace ko::core
