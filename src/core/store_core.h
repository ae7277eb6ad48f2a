// StoreCore: the live state of one store and its operations.
//
// The store keeps its log ahead of memory: every mutation appends its record
// lines to the write-ahead log first and changes the entries only after the
// lines are in the file. A mutation never touches the search index; it marks
// the index stale (`dirty`), and the next search rebuilds it.
//
// Not thread-safe: the caller makes sure that calls never overlap. Stores on
// the same files, in this process or another, share nothing in memory; at the
// file level an advisory lock on the log keeps them apart (exclusive for each
// append and for compaction's file steps, shared while opening), so that
// lines never interleave and no open sees an append or a compaction halfway.
// The lock is held only within a call.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "base/result.h"
#include "base/vector_entry.h"
#include "core/entry_map.h"
#include "core/file.h"
#include "core/file_system.h"
#include "core/store_error.h"
#include "hnsw/vector_index.h"

namespace sorvid {

// One search result: a stored entry and its cosine distance to the query.
// `entry` is valid until the next mutation of the store.
struct SearchHit {
  const VectorEntry* entry;
  float distance;
};

class StoreCore {
 public:
  // A fresh store on the two paths (kept exactly as given). Reads nothing and
  // creates no file; the log comes into being with the first append.
  StoreCore(std::string snapshot_path, std::string wal_path, FileSystem& fs = default_file_system());

  // A store loaded from its files: the snapshot (when its attributes can be
  // read) and then every record of the log, in file order. Writes nothing.
  // A last log line without a line feed that is not valid UTF-8 or does not
  // decode is the torn tail of a crashed append and is ignored.
  [[nodiscard]] static Result<StoreCore, StoreError> open(std::string snapshot_path, std::string wal_path,
                                                          FileSystem& fs = default_file_system());

  StoreCore(StoreCore&&) noexcept;
  StoreCore& operator=(StoreCore&&) noexcept;
  ~StoreCore();

  // Inserts the entry, or replaces the one with the same id.
  [[nodiscard]] Result<void, StoreError> upsert(VectorEntry entry);
  // All entries or none: every entry is checked before anything is written,
  // and the whole batch is appended through one open of the log.
  [[nodiscard]] Result<void, StoreError> upsert_batch(std::vector<VectorEntry> entries);
  // Deletes the entry with this id; an absent id is no error and writes nothing.
  [[nodiscard]] Result<void, StoreError> remove(std::string_view id);

  // Folds the log into a new snapshot: replaces the snapshot atomically with
  // the live state, then empties the log, then rebuilds the index. Does
  // nothing at all when no record was logged since the last compaction. On
  // failure the log is untouched and `wal_pending` unchanged.
  [[nodiscard]] Result<void, StoreError> compact();

  // The at most `top_k` entries nearest to `query`, nearest first (at most
  // 100 whatever `top_k`). An empty query or one whose length differs from
  // the store's dimension is refused before anything else happens; then the
  // index is rebuilt when the entries changed since it was built.
  [[nodiscard]] Result<std::vector<SearchHit>, StoreError> search(std::span<const float> query, std::uint64_t top_k);

  // The stored entry, or nullptr; valid until the next mutation.
  const VectorEntry* get(std::string_view id) const;
  // Every live entry, in the map's own (unspecified) order.
  const EntryMap& entries() const { return entries_; }
  std::uint64_t len() const { return entries_.size(); }
  std::optional<std::uint64_t> dim() const { return dim_; }
  std::uint64_t wal_pending() const { return wal_pending_; }
  // True when the entries may differ from what the search index was built from.
  bool dirty() const { return dirty_; }
  // The ids of the current index, byte-wise ascending; an id's position is
  // the value its point carries in the index.
  const std::vector<std::string>& index_ids() const { return index_ids_; }
  bool has_index() const { return index_.has_value(); }
  const std::string& snapshot_path() const { return snapshot_path_; }
  const std::string& wal_path() const { return wal_path_; }

 private:
  // Appends `count` record lines through one open of the log; `encode_line`
  // appends the text of line i (without line feed) to its empty argument.
  [[nodiscard]] Result<void, StoreError> append_wal(std::size_t count,
                                                    const std::function<void(std::size_t, std::string&)>& encode_line);
  // The check every incoming embedding passes: not empty, only finite values,
  // and the store's dimension, which the first admitted embedding fixes.
  [[nodiscard]] Result<void, StoreError> admit_embedding(std::span<const float> embedding);
  void insert(VectorEntry entry);
  // Builds a fresh index over all entries (none when there are no entries)
  // with a new random seed, and clears `dirty`.
  void rebuild_index();
  [[nodiscard]] Result<void, StoreError> load_snapshot();
  // Applies every record of the log, read from `log` (open at its start), and
  // counts them in `wal_pending`.
  [[nodiscard]] Result<void, StoreError> replay_log(File log);

  std::string snapshot_path_;
  std::string wal_path_;
  FileSystem* fs_;
  EntryMap entries_;
  std::optional<std::uint64_t> dim_;  // once set, never cleared
  std::uint64_t wal_pending_ = 0;     // records appended or replayed since the last compaction
  bool dirty_ = false;                // entries may differ from what index_ was built from
  std::vector<std::string> index_ids_;
  std::optional<hnsw::VectorIndex> index_;  // absent until a rebuild over at least one entry
};

}  // namespace sorvid
