#include "python/borrow_flag.h"

#include "python/compat.h"

namespace sorvid::python {

bool BorrowFlag::try_acquire(Access access) {
  std::uintptr_t current = word_.load(std::memory_order_relaxed);
  if (access == Access::kExclusive) {
    return current == 0 && word_.compare_exchange_strong(current, kExclusive, std::memory_order_acquire);
  }
  while (current != kExclusive && current != kExclusive - 1) {
    if (word_.compare_exchange_weak(current, current + 1, std::memory_order_acquire)) return true;
  }
  return false;
}

void BorrowFlag::release(Access access) {
  if (access == Access::kExclusive) {
    word_.store(0, std::memory_order_release);
  } else {
    word_.fetch_sub(1, std::memory_order_release);
  }
}

AccessGuard::AccessGuard(BorrowFlag& flag, Access access)
    : flag_(flag), access_(access), held_(flag.try_acquire(access)) {
  if (!held_) {
    PyErr_SetString(PyExc_RuntimeError, access == Access::kShared ? "Already mutably borrowed" : "Already borrowed");
  }
}

AccessGuard::~AccessGuard() {
  if (held_) flag_.release(access_);
}

}  // namespace sorvid::python
