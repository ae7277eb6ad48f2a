#include "python/panic.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>

namespace sorvid::python {
namespace {

constexpr const char* kPanicDoc =
    "Raised when sorvid_vector_db fails internally (a broken invariant, or a store used from a thread "
    "other than the one that created it).\n\n"
    "Like SystemExit, it derives from BaseException rather than Exception, so that it propagates to "
    "the top and typically ends the interpreter instead of being swallowed by `except Exception`.";

// Created on first need and kept for the life of the process.
PyObject* panic_exception_type() {
  static PyObject* type = nullptr;
  if (type == nullptr) {
    type = PyErr_NewExceptionWithDoc("sorvid_vector_db.PanicException", kPanicDoc, PyExc_BaseException, nullptr);
  }
  return type;
}

[[noreturn]] void abort_at_boundary() {
  std::fputs("uncaught panic at ffi boundary\n", stderr);
  std::fflush(stderr);
  std::abort();
}

}  // namespace

std::uint64_t current_thread_number() {
  static std::atomic<std::uint64_t> next{1};
  thread_local const std::uint64_t number = next.fetch_add(1, std::memory_order_relaxed);
  return number;
}

PyObject* raise_panic(const std::string& text, std::source_location where) {
  std::fprintf(stderr, "thread 'ThreadId(%llu)' panicked at %s:%u:\n%s\n",
               static_cast<unsigned long long>(current_thread_number()), where.file_name(),
               static_cast<unsigned>(where.line()), text.c_str());
  std::fflush(stderr);
  PyObject* type = panic_exception_type();
  if (type == nullptr) abort_at_boundary();
  PyObject* message = PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace");
  if (message == nullptr) abort_at_boundary();
  PyErr_SetObject(type, message);
  Py_DECREF(message);
  return nullptr;
}

}  // namespace sorvid::python
