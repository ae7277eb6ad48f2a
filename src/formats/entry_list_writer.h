// The entries of a snapshot document: their objects separated by ",".
// Large lists are encoded in chunks on the worker pool and joined in order,
// which gives the same bytes as encoding them one after another.
#pragma once

#include <cstddef>
#include <span>
#include <string>

#include "base/vector_entry.h"

namespace sorvid {

// Appends the entries' objects, separated by ",": on the worker pool when
// the list is large enough to pay for it, otherwise on the calling thread.
void append_entry_list(std::string& out, std::span<const VectorEntry* const> entries);

// The same on the calling thread.
void append_entry_list_serial(std::string& out, std::span<const VectorEntry* const> entries);

// The same in chunks on the worker pool, whatever the list's size.
void append_entry_list_parallel(std::string& out, std::span<const VectorEntry* const> entries);

// About how many bytes the entry's object takes: 12 a float (most float
// texts are 8 to 11 bytes, and a comma) and the texts with their keys.
std::size_t estimated_entry_size(const VectorEntry& entry);

}  // namespace sorvid
