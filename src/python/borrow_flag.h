// Per-object access control: many shared accesses or one exclusive access.
//
// Every call on a VectorEntry or VectorStore holds an access for its whole
// length. Under the GIL a refusal can only come from Python code that runs in
// the middle of a call (an argument conversion, a finalizer) and calls back
// into the same object; it is reported as RuntimeError instead of letting two
// calls work on one object at once.
#pragma once

#include <atomic>
#include <cstdint>

namespace sorvid::python {

enum class Access { kShared, kExclusive };

// 0 = free, n >= 1 = n shared accesses, all ones = one exclusive access.
class BorrowFlag {
 public:
  bool try_acquire(Access access);
  void release(Access access);

 private:
  static constexpr std::uintptr_t kExclusive = ~std::uintptr_t{0};
  std::atomic<std::uintptr_t> word_{0};
};

// Holds one access for a scope. When the access is refused, the guard is
// false and a RuntimeError is set ("Already mutably borrowed" for a shared
// access, "Already borrowed" for an exclusive one).
class [[nodiscard]] AccessGuard {
 public:
  AccessGuard(BorrowFlag& flag, Access access);
  ~AccessGuard();
  AccessGuard(const AccessGuard&) = delete;
  AccessGuard& operator=(const AccessGuard&) = delete;

  explicit operator bool() const { return held_; }

 private:
  BorrowFlag& flag_;
  Access access_;
  bool held_;
};

}  // namespace sorvid::python
