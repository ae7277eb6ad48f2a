// The elements of the snapshot's entry array, decoded in one pass or in
// chunks on the worker pool.
//
// Chunks start at places found by a cheap scan for the bytes the encoder
// puts between two entries; a string or an unknown member can hold those
// bytes too, so the places are guesses. Each guess is checked: the chunk
// before it must end exactly there, at an element boundary. A chunk whose
// start is checked decodes exactly as the one-pass loop would from there, so
// the first failing chunk in text order gives the one-pass loop's error, and
// past a guess that does not hold the decoding goes on in one pass.
#pragma once

#include <cstddef>
#include <vector>

#include "base/vector_entry.h"
#include "base/worker_pool.h"
#include "formats/entry_json.h"
#include "formats/json_reader.h"

namespace sorvid {

// With the reader just after the array's "[": decodes the elements, and
// leaves the reader at the "]" (not consumed), or where the first error
// was found.
[[nodiscard]] ReadResult<void> read_entry_list(JsonReader& reader, std::vector<VectorEntry>& entries,
                                               EmbeddingText embedding_text = EmbeddingText::kRead);

// The same entries and the same error, with the reader left in the same
// place, decoding chunks of about `chunk_bytes` on `pool`.
[[nodiscard]] ReadResult<void> read_entry_list_in_chunks(JsonReader& reader, std::vector<VectorEntry>& entries,
                                                         WorkerPool& pool, std::size_t chunk_bytes,
                                                         EmbeddingText embedding_text = EmbeddingText::kRead);

}  // namespace sorvid
