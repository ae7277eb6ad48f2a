// EntryLoans: the VectorEntry objects a store has handed out without copying
// their records.
//
// The searches return entries that read the store's own records in
// place rather than copying each one (embedding, id and texts) into the new
// object. Such an entry is lent: it is on its store's list of loans, and the
// store leaves the record it reads as it is for as long as it stays there.
// Before a call that may change or drop records (upsert, upsert_batch,
// delete, compact) and when the store itself goes, the store takes its loans
// back: each lent entry copies its record and leaves the list, and from then
// on owns its record like any other entry.
//
// Every function here runs with the GIL held, and that is what orders a lent
// entry's reads before the store's next change: the store changes records
// only after taking its loans back, and a call that changes them holds the
// store's exclusive access, so no new loan is made until it returns. A
// free-threaded build has no such order, and never lends.
#pragma once

#include "base/vector_entry.h"
#include "python/entry_object.h"

namespace sorvid::python {

struct EntryLoans {
  EntryObject* first = nullptr;
};

// Whether this build lends entries at all (not on a free-threaded build).
#ifdef Py_GIL_DISABLED
inline constexpr bool kLendsEntries = false;
#else
inline constexpr bool kLendsEntries = true;
#endif

// Makes `entry`, which owns nothing yet, read `value` and puts it on `loans`.
void lend(EntryLoans& loans, EntryObject& entry, const VectorEntry& value) noexcept;

// Makes `entry` own a copy of the record it reads and takes it off its list;
// nothing for an entry that owns its record. Throws std::bad_alloc, leaving
// the entry as it was.
void take_back(EntryObject& entry);

// Takes every loan on `loans` back. False when memory ran out (no Python
// exception is set): the entries not taken back are still on the list.
[[nodiscard]] bool take_back_all(EntryLoans& loans) noexcept;

// Takes `entry` off its list without copying (an entry being released).
void leave_loans(EntryObject& entry) noexcept;

// Takes every entry off `loans` without copying, for a store whose records
// are never released: its lent entries go on reading them.
void forget_loans(EntryLoans& loans) noexcept;

}  // namespace sorvid::python
