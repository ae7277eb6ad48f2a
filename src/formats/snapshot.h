// The snapshot document: the dimension and every entry of the store.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "base/result.h"
#include "base/vector_entry.h"
#include "base/worker_pool.h"
#include "formats/entry_json.h"
#include "formats/json_error.h"

namespace sorvid {

struct Snapshot {
  std::uint64_t dim = 0;
  std::vector<VectorEntry> entries;
};

// Appends the document; entries are listed in the order given.
void encode_snapshot(std::uint64_t dim, std::span<const VectorEntry* const> entries, std::string& out);

// The same bytes handed to `sink` in order, in pieces of about `piece_bytes`
// (more for a single entry larger than that), so that a large store is
// written without its whole text in memory. Stops as soon as `sink` returns
// false, and returns whether every piece was taken.
bool encode_snapshot_in_pieces(std::uint64_t dim, std::span<const VectorEntry* const> entries, std::size_t piece_bytes,
                               const std::function<bool(std::string_view)>& sink);

// With EmbeddingText::kPassOver every entry's embedding is left empty, for
// the caller to fill from the vector file written with this very text.
[[nodiscard]] Result<Snapshot, JsonError> decode_snapshot(std::string_view text,
                                                          EmbeddingText embedding_text = EmbeddingText::kRead);

// About this much text goes to one chunk of decode_snapshot_in_chunks: a
// few hundred chunks in a large snapshot, for an even share of the threads,
// each large enough that its bookkeeping does not count.
constexpr std::size_t kDefaultEntryChunkBytes = std::size_t{1} << 20;

// The same document, or the same error at the same place, as
// decode_snapshot, with the entries decoded in chunks of about
// `chunk_bytes` of text on `pool`.
[[nodiscard]] Result<Snapshot, JsonError> decode_snapshot_in_chunks(
    std::string_view text, WorkerPool& pool, std::size_t chunk_bytes = kDefaultEntryChunkBytes,
    EmbeddingText embedding_text = EmbeddingText::kRead);

}  // namespace sorvid
