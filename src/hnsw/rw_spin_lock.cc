#include "hnsw/rw_spin_lock.h"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

namespace sorvid::hnsw {
namespace {

constexpr int kSpinsBeforeSleep = 128;

inline void cpu_relax() {
#if defined(__x86_64__) || defined(__i386__)
  _mm_pause();
#endif
}

}  // namespace

void RwSpinLock::lock() {
  int spins = 0;
  while (true) {
    std::uint32_t expected = 0;
    if (word_.compare_exchange_weak(expected, kWriter, std::memory_order_acquire, std::memory_order_relaxed)) {
      return;
    }
    if (expected == 0) continue;  // spurious failure
    if (++spins < kSpinsBeforeSleep) {
      cpu_relax();
    } else {
      word_.wait(expected, std::memory_order_relaxed);
    }
  }
}

void RwSpinLock::unlock() {
  word_.store(0, std::memory_order_release);
  word_.notify_all();
}

void RwSpinLock::lock_shared() {
  int spins = 0;
  std::uint32_t observed = word_.load(std::memory_order_relaxed);
  while (true) {
    if ((observed & kWriter) == 0) {
      if (word_.compare_exchange_weak(observed, observed + 1, std::memory_order_acquire, std::memory_order_relaxed)) {
        return;
      }
      continue;  // `observed` now holds the current word
    }
    if (++spins < kSpinsBeforeSleep) {
      cpu_relax();
    } else {
      word_.wait(observed, std::memory_order_relaxed);
    }
    observed = word_.load(std::memory_order_relaxed);
  }
}

void RwSpinLock::unlock_shared() {
  // The last reader out wakes a writer that may sleep on the word.
  if (word_.fetch_sub(1, std::memory_order_release) == 1) word_.notify_all();
}

}  // namespace sorvid::hnsw
