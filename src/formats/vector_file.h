// The vector file: the embeddings of a snapshot's entries as raw 32-bit
// floats, in the snapshot's order, written by compaction beside the
// snapshot ("<snapshot>.f32"). Reading the values' text is most of what
// decoding a snapshot costs; an open that finds a vector file written with
// the very snapshot bytes it read passes over that text and takes the
// values from here, the same bits the text gives (the text holds each
// float's shortest round-trip digits).
//
// Like the saved graph, the file is a cache: a missing, stale or damaged one
// means only that the snapshot's text is read in full.
//
// Layout, every number little-endian:
//   offset  size     field
//   0       8        magic "\x89SVF32\r\n"
//   8       4        version (1)
//   12      4        values per entry d (the snapshot's dimension)
//   16      8        entry count n
//   24      8        snapshot fingerprint
//   32      4 n d    the values, entry by entry (IEEE-754 binary32)
//   last    8        checksum: Fingerprint of every byte before it
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string_view>

#include "base/vector_entry.h"
#include "base/worker_pool.h"

namespace sorvid {

// Writes the file for `entries`, each of `dim` values, to `sink` in pieces
// of a bounded size. Returns false as soon as the sink refuses a piece, or
// at an entry of another length (whose file could not be right).
bool encode_vector_file(std::uint64_t snapshot_fingerprint, std::uint32_t dim,
                        std::span<const VectorEntry* const> entries, const std::function<bool(std::string_view)>& sink);

// Whether `file` starts with the header of a vector file written for the
// snapshot whose bytes have `snapshot_fingerprint`: a cheap look before a
// decoding that counts on it. take_embeddings checks the rest.
bool vector_file_belongs_to(std::string_view file, std::uint64_t snapshot_fingerprint);

// Gives each of `entries`, in order, its embedding from `file`, when the
// file is whole (magic, version, length and checksum), belongs to the
// snapshot with `snapshot_fingerprint`, and holds `entries.size()` entries
// of `dim` values, `dim` above 0. Otherwise returns false and the
// embeddings are unspecified. The copying, and the checksum beside it, run
// on `pool` when given one.
[[nodiscard]] bool take_embeddings(std::string_view file, std::uint64_t snapshot_fingerprint, std::uint64_t dim,
                                   std::span<VectorEntry> entries, WorkerPool* pool);

}  // namespace sorvid
