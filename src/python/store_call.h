// The call sequence that every VectorStore method, property and slot follows:
// bind the arguments, check the receiver and its owner thread, take shared or
// exclusive access, convert the arguments, call the engine, convert the
// result, release the access. A method states its parameters and access kind
// once, in a StoreMethod, and supplies only the engine call; a body whose
// engine call can run long makes it through without_gil (gil_release.h),
// inside the access, between the conversions.
#pragma once

#include <string>

#include "core/store_error.h"
#include "python/argument_binding.h"
#include "python/conversions.h"
#include "python/panic.h"
#include "python/store_object.h"

namespace sorvid::python {

struct StoreMethod {
  Signature signature;
  Access access;
  // Whether the engine call may change or drop records, so that the store
  // takes back the entries it has lent (entry_loans.h) before making it.
  bool changes_records = false;
};

// The engine part of a method: given the store and the converted arguments
// (in parameter order), returns a new reference or nullptr with an exception.
using StoreMethodBody = PyObject* (*)(StoreObject& store, ArgValue* args);

// Takes back every entry `store` has lent; false with MemoryError set when
// there is no memory for the copies (the records are then left unchanged).
bool take_loans_back(StoreObject& store);

// Raises the exception that a StoreError becomes: OSError for I/O failures,
// ValueError for every other kind, with the error's message as the one
// argument. Returns nullptr.
PyObject* raise_store_error(const StoreError& error);

// Raises the owner-thread PanicException for `store` and returns nullptr.
PyObject* raise_wrong_thread(const StoreObject& store);

// Checks that `self` is a VectorStore and that the calling thread owns it,
// takes `access` to it, runs `body(store)` and releases the access when the
// body returns. `failed` is the value that signals an exception; it is
// returned, with the exception set, when a check or the access fails.
template <class Status, class Body>
Status with_store_access(PyObject* self, Access access, Status failed, Body&& body) {
  if (!PyObject_TypeCheck(self, store_type())) {
    raise_not_instance(self, "VectorStore");
    return failed;
  }
  auto* store = reinterpret_cast<StoreObject*>(self);
  if (store->owner_thread != current_thread_number()) {
    raise_wrong_thread(*store);
    return failed;
  }
  AccessGuard guard(store->borrow_flag, access);
  if (!guard) return failed;
  return body(*store);
}

// A METH_FASTCALL | METH_KEYWORDS method of VectorStore.
template <const StoreMethod& kMethod, StoreMethodBody kBody>
PyObject* store_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return run_at_boundary([&]() -> PyObject* {
    PyObject* slots[kMaxParams];
    if (!bind_fastcall(kMethod.signature, args, nargs, kwnames, slots)) return nullptr;
    return with_store_access(self, kMethod.access, static_cast<PyObject*>(nullptr),
                             [&](StoreObject& store) -> PyObject* {
                               ArgValue values[kMaxParams];
                               if (!convert_arguments(kMethod.signature, slots, values)) return nullptr;
                               if (kMethod.changes_records && !take_loans_back(store)) return nullptr;
                               return kBody(store, values);
                             });
  });
}

// A method without parameters (METH_NOARGS).
template <Access kAccess, StoreMethodBody kBody, bool kChangesRecords = false>
PyObject* store_method_noargs(PyObject* self, PyObject* /*unused*/) {
  return run_at_boundary([&]() -> PyObject* {
    return with_store_access(self, kAccess, static_cast<PyObject*>(nullptr), [&](StoreObject& store) -> PyObject* {
      if (kChangesRecords && !take_loans_back(store)) return nullptr;
      return kBody(store, nullptr);
    });
  });
}

// A static method that makes a new store (METH_FASTCALL | METH_KEYWORDS |
// METH_STATIC): binds and converts, then wraps the StoreCore that `kMake`
// returns, owned by the calling thread.
using StoreFactory = PyObject* (*)(ArgValue* args);

template <const Signature& kSignature, StoreFactory kMake>
PyObject* store_factory(PyObject* /*unused*/, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return run_at_boundary([&]() -> PyObject* {
    PyObject* slots[kMaxParams];
    if (!bind_fastcall(kSignature, args, nargs, kwnames, slots)) return nullptr;
    ArgValue values[kMaxParams];
    if (!convert_arguments(kSignature, slots, values)) return nullptr;
    return kMake(values);
  });
}

// Wraps `core` in a new VectorStore owned by the calling thread.
PyObject* new_store_object(StoreCore core);

}  // namespace sorvid::python
