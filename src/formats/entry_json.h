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

// What becomes of an entry's embedding text: read into the entry, or passed
// over (the embedding left empty) when the values are taken from elsewhere
// and the text is known to be the store's own (see
// JsonReader::pass_over_number_elements).
enum class EmbeddingText { kRead, kPassOver };

// Decodes the entry at the reader into `entry`. `embedding_capacity` is
// reserved for the embedding up front (the length of the previous entry,
// say), to spare regrowth; it does not limit anything.
[[nodiscard]] ReadResult<void> read_entry(JsonReader& reader, VectorEntry& entry, std::size_t embedding_capacity = 0,
                                          EmbeddingText embedding_text = EmbeddingText::kRead);

// As read_entry, for the text of an entry that was kept (checked, not yet
// decoded) until its record named it an upsert: an array form with more
// than four elements is "invalid length N, expected 4 elements in
// sequence", N counting them all, where read_entry finds "trailing
// characters".
[[nodiscard]] ReadResult<void> read_kept_entry(JsonReader& reader, VectorEntry& entry);

// Decodes a text that holds exactly one entry.
[[nodiscard]] Result<VectorEntry, JsonError> decode_entry(std::string_view text);

}  // namespace sorvid
