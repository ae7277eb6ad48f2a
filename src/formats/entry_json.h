// The JSON form of a VectorEntry: {"id":..,"embedding":[..],"metadata":..,
// "created_at":..}, or the same four values as an array.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "base/result.h"
#include "base/vector_entry.h"
#include "formats/json_error.h"
#include "formats/json_reader.h"

namespace sorvid {

// Appends the entry object (the members in the order above).
void encode_entry(const VectorEntry& entry, std::string& out);

// Decodes the entry at the reader into `entry`. `embedding_capacity` is
// reserved for the embedding up front (the length of the previous entry,
// say), to spare regrowth; it does not limit anything.
[[nodiscard]] ReadResult<void> read_entry(JsonReader& reader, VectorEntry& entry, std::size_t embedding_capacity = 0);

// As read_entry, for the text of an entry that was kept (checked, not yet
// decoded) until its record named it an upsert: an array form with more
// than four elements is "invalid length N, expected 4 elements in
// sequence", N counting them all, where read_entry finds "trailing
// characters".
[[nodiscard]] ReadResult<void> read_kept_entry(JsonReader& reader, VectorEntry& entry);

// Decodes a text that holds exactly one entry.
[[nodiscard]] Result<VectorEntry, JsonError> decode_entry(std::string_view text);

}  // namespace sorvid
