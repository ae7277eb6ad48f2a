// Engine work with the GIL released.
//
// The engine never touches a Python object, so while it works (rebuilding
// the index, encoding and writing the log or the snapshot, reading the files,
// waiting for another process's lock on the log) other Python threads may
// run. Only engine work goes inside: arguments are converted before, and
// result objects and exceptions are made after the GIL is back. The caller
// keeps its access to the store (borrow_flag.h) across the released region,
// so a thread that reaches the store meanwhile is refused exactly as it
// would be with the GIL held.
//
// On a free-threaded build the same calls detach the thread state, so that a
// stop-the-world pause (garbage collection) does not wait for the engine.
#pragma once

#include <exception>
#include <optional>
#include <type_traits>
#include <utility>

#include "python/compat.h"
#include "python/panic.h"

namespace sorvid::python {

// Runs `work` with the calling thread's GIL released and returns its result
// once the GIL is back. A C++ exception from `work` is caught inside, and
// thrown again only after the GIL is back, so that run_at_boundary turns it
// into MemoryError (std::bad_alloc) or PanicException (anything else) as it
// does for any other call. Keeping the exception copies nothing, and
// rethrowing it takes its little bookkeeping from the runtime's emergency
// pool when the heap is exhausted, so an out-of-memory failure arrives
// intact. The GIL is retaken in ordinary code rather than a destructor: at
// interpreter shutdown retaking it may end a daemon thread by unwinding its
// stack (see is_thread_exit), which must not start inside a noexcept destructor.
template <class Work>
std::invoke_result_t<Work&> without_gil(Work&& work) {
  std::optional<std::invoke_result_t<Work&>> value;
  std::exception_ptr failure;
  PyThreadState* const thread = PyEval_SaveThread();
  try {
    value.emplace(work());
  } catch (...) {
    if (is_thread_exit()) throw;  // the thread is being cancelled; it never runs Python again
    failure = std::current_exception();
  }
  PyEval_RestoreThread(thread);
  if (failure) std::rethrow_exception(failure);
  return std::move(*value);
}

}  // namespace sorvid::python
