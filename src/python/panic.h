// Internal failures and the exception they become.
//
// A broken invariant inside a call must not bring the interpreter down: the
// call is abandoned at the module boundary, the failure is reported on
// standard error, and PanicException (a direct subclass of BaseException, so
// `except Exception` does not swallow it) is raised with the failure's text.
//
// Running out of memory is no broken invariant: std::bad_alloc (wherever it
// was thrown, including a worker thread of an index build) becomes Python's
// own MemoryError, quietly, as it would for a Python allocation.
#pragma once

#include <cstdint>
#include <exception>
#include <new>
#include <source_location>
#include <string>

#include "python/compat.h"

namespace sorvid::python {

// Inside `catch (...)`: whether the unwinding caught is the one that ends a
// thread from inside (pthread_exit, which CPython before 3.14 calls when a
// daemon thread retakes the GIL at interpreter shutdown). It has no exception
// object, which tells it apart from every C++ exception. It must be thrown on
// untouched: swallowing it aborts the process. (Catching it by its type would
// bind a reference to that absent object.)
inline bool is_thread_exit() noexcept { return !std::current_exception(); }

// A small number that tells the calling operating-system thread apart from
// every other thread of the process (1 for the first thread that asks).
std::uint64_t current_thread_number();

// Reports `text` on standard error and sets PanicException(text). Returns
// nullptr so callers can `return raise_panic(...)`.
PyObject* raise_panic(const std::string& text, std::source_location where = std::source_location::current());

// Sets MemoryError and returns `failed`. PyErr_NoMemory itself needs no
// memory: it takes a preallocated MemoryError.
template <class Status>
Status raise_no_memory(Status failed) {
  PyErr_NoMemory();
  return failed;
}

// Runs `body`, turning std::bad_alloc into MemoryError and `failed`. For code
// that holds Python references (an iterator, a buffer, a half-filled list) an
// exception must not skip releasing.
template <class Status, class Body>
Status or_memory_error(Status failed, Body&& body) {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    return raise_no_memory(failed);
  }
}

// Runs `body` (which returns a new reference or nullptr with an exception
// set) and turns std::bad_alloc escaping it into MemoryError, and any other
// C++ exception into PanicException.
template <class Body>
PyObject* run_at_boundary(Body&& body, std::source_location where = std::source_location::current()) {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    return raise_no_memory<PyObject*>(nullptr);
  } catch (const std::exception& failure) {
    return raise_panic(failure.what(), where);
  } catch (...) {
    if (is_thread_exit()) throw;
    return raise_panic("internal failure of unknown kind", where);
  }
}

// The same for slots that return an int or Py_ssize_t status (-1 on error).
template <class Status, class Body>
Status run_at_boundary_status(Body&& body, std::source_location where = std::source_location::current()) {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    return raise_no_memory(Status(-1));
  } catch (const std::exception& failure) {
    raise_panic(failure.what(), where);
  } catch (...) {
    if (is_thread_exit()) throw;
    raise_panic("internal failure of unknown kind", where);
  }
  return Status(-1);
}

}  // namespace sorvid::python
