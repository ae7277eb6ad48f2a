// RwSpinLock: a reader-writer lock in one 32-bit word, one per base-layer
// node during a build.
//
// The word counts readers, or holds the writer bit. Holds are short (copying
// or rewriting one list) except a node's own insertion, which keeps its write
// lock for the whole insertion; so waiters spin briefly and then sleep on the
// word instead of burning a core.
#pragma once

#include <atomic>
#include <cstdint>

namespace sorvid::hnsw {

class RwSpinLock {
 public:
  void lock();
  void unlock();
  void lock_shared();
  void unlock_shared();

 private:
  static constexpr std::uint32_t kWriter = 0x80000000u;
  std::atomic<std::uint32_t> word_{0};
};

// Scoped holders, so that every path releases what it took.
class ReadGuard {
 public:
  explicit ReadGuard(RwSpinLock& lock) : lock_(lock) { lock_.lock_shared(); }
  ~ReadGuard() { lock_.unlock_shared(); }
  ReadGuard(const ReadGuard&) = delete;
  ReadGuard& operator=(const ReadGuard&) = delete;

 private:
  RwSpinLock& lock_;
};

class WriteGuard {
 public:
  explicit WriteGuard(RwSpinLock& lock) : lock_(lock) { lock_.lock(); }
  ~WriteGuard() { lock_.unlock(); }
  WriteGuard(const WriteGuard&) = delete;
  WriteGuard& operator=(const WriteGuard&) = delete;

 private:
  RwSpinLock& lock_;
};

}  // namespace sorvid::hnsw
