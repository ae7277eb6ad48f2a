#include "python/entry_loans.h"

#include <new>
#include <utility>

namespace sorvid::python {

void lend(EntryLoans& loans, EntryObject& entry, const VectorEntry& value) noexcept {
  entry.lent = &value;
  entry.loans = &loans;
  entry.previous_loan = nullptr;
  entry.next_loan = loans.first;
  if (loans.first != nullptr) loans.first->previous_loan = &entry;
  loans.first = &entry;
}

void leave_loans(EntryObject& entry) noexcept {
  if (entry.loans == nullptr) return;
  if (entry.previous_loan != nullptr) {
    entry.previous_loan->next_loan = entry.next_loan;
  } else {
    entry.loans->first = entry.next_loan;
  }
  if (entry.next_loan != nullptr) entry.next_loan->previous_loan = entry.previous_loan;
  entry.loans = nullptr;
  entry.previous_loan = nullptr;
  entry.next_loan = nullptr;
}

void take_back(EntryObject& entry) {
  if (entry.lent == nullptr) return;
  VectorEntry copy = *entry.lent;
  entry.value = std::move(copy);
  entry.lent = nullptr;
  leave_loans(entry);
}

bool take_back_all(EntryLoans& loans) noexcept {
  try {
    while (loans.first != nullptr) take_back(*loans.first);
  } catch (const std::bad_alloc&) {
    return false;
  }
  return true;
}

void forget_loans(EntryLoans& loans) noexcept {
  while (loans.first != nullptr) leave_loans(*loans.first);
}

}  // namespace sorvid::python
