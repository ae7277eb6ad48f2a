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
#include "formats/json_value.h"

namespace sorvid {

// Appends the entry object (the members in the order above).
void encode_entry(const VectorEntry& entry, std::string& out);

// Decodes the entry at the reader into `entry`. `embedding_capacity` is
// reserved for the embedding up front (the length of the previous entry,
// say), to spare regrowth; it does not limit anything.
[[nodiscard]] ReadResult<void> read_entry(JsonReader& reader, VectorEntry& entry, std::size_t embedding_capacity = 0);

// Decodes an entry from a value kept in memory. Errors are unplaced: the
// caller's record places them.
[[nodiscard]] ReadResult<VectorEntry> entry_from_value(const JsonValue& value);

// Decodes a text that holds exactly one entry.
[[nodiscard]] Result<VectorEntry, JsonError> decode_entry(std::string_view text);

}  // namespace sorvid
