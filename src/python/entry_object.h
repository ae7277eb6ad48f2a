// The Python class VectorEntry: one record (id, embedding, metadata,
// created_at) owned by a Python object.
#pragma once

#include "base/vector_entry.h"
#include "python/borrow_flag.h"
#include "python/compat.h"

namespace sorvid::python {

struct EntryObject {
  PyObject_HEAD BorrowFlag borrow_flag;
  VectorEntry value;
};

// Creates the type on first use and returns it (a borrowed reference, kept
// for the life of the process), or nullptr with an exception set.
PyTypeObject* entry_type();

// `object` as an EntryObject when it is a VectorEntry, else nullptr.
EntryObject* as_entry_object(PyObject* object);

// A new VectorEntry object that owns `value`.
PyObject* new_entry_object(VectorEntry value);

}  // namespace sorvid::python
