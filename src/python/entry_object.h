// The Python class VectorEntry: one record (id, embedding, metadata,
// created_at) owned by a Python object, or read in place from the store that
// returned it (see entry_loans.h).
#pragma once

#include <string>

#include "base/vector_entry.h"
#include "python/borrow_flag.h"
#include "python/compat.h"

namespace sorvid::python {

struct EntryLoans;

struct EntryObject {
  PyObject_HEAD BorrowFlag borrow_flag;
  VectorEntry value;           // the entry's own record; empty while `lent` is set
  const VectorEntry* lent;     // a store's record read in place, or nullptr
  EntryLoans* loans;           // the store's list this entry is on, or nullptr
  EntryObject* previous_loan;  // neighbours on that list
  EntryObject* next_loan;
};

// The record `entry` stands for: the store's while lent, else its own.
inline const VectorEntry& entry_value(const EntryObject& entry) {
  return entry.lent != nullptr ? *entry.lent : entry.value;
}

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

// A new VectorEntry object that reads `value` in place while it stays on
// `loans` (see entry_loans.h); on a free-threaded build, where nothing orders
// its reads before the store's next change, one that owns a copy.
PyObject* new_lent_entry_object(const VectorEntry& value, EntryLoans& loans);

}  // namespace sorvid::python
