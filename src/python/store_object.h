// The Python class VectorStore: one StoreCore owned by a Python object that
// may be used only on the thread that created it.
#pragma once

#include <cstdint>

#include "core/store_core.h"
#include "python/borrow_flag.h"
#include "python/compat.h"
#include "python/entry_loans.h"

namespace sorvid::python {

struct StoreObject {
  PyObject_HEAD BorrowFlag borrow_flag;
  std::uint64_t owner_thread;  // current_thread_number() of the creating thread
  StoreCore* core;             // owned; released only on the owner thread
  EntryLoans loans;            // the entries reading `core`'s records in place
};

// Creates the type on first use and returns it (a borrowed reference, kept
// for the life of the process), or nullptr with an exception set.
PyTypeObject* store_type();

}  // namespace sorvid::python
