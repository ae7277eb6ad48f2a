// The Python class VectorEntry: one record (id, embedding, metadata,
// created_at) owned by a Python object.
#pragma once

#include <string>

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

// A str from the UTF-8 text the engine keeps (lone surrogates pass through,
// as they came in), or nullptr with an exception set.
PyObject* new_text(const std::string& text);

// The module function that unpickles an entry: VectorEntry(*args). Lives in
// module kEntryModuleName as kRebuildEntryName.
inline constexpr const char* kEntryModuleName = "sorvid_vector_db";
inline constexpr const char* kRebuildEntryName = "_rebuild_entry";
PyObject* rebuild_entry(PyObject* module, PyObject* const* args, Py_ssize_t nargs);

// A new VectorEntry object that owns `value`.
PyObject* new_entry_object(VectorEntry value);

}  // namespace sorvid::python
