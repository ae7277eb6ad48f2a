// StoreCore: the live state of one store and its operations.
//
// The store keeps its log ahead of memory: every mutation appends its record
// lines to the write-ahead log first and changes the entries only after the
// lines are in the file. A mutation never touches the search index; it
// notes the changed id, and the next search brings the index up to date: it
// marks the changed ids' old points removed and inserts their current
// embeddings, or builds a fresh index when the changes are too many for the
// graph to stay as good as a fresh one.
//
// compact() saves the fresh graph it builds beside the snapshot, and open()
// loads a saved graph that belongs to the snapshot it reads, so that neither
// a reopen nor a compaction makes the next search build from scratch.
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
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
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
// `entry` stays valid and unchanged until the next upsert, upsert_batch,
// remove or compact, or the store's end: no other call, searches included,
// changes a record (the Python module reads results in place on that
// promise).
struct SearchHit {
  const VectorEntry* entry;
  float distance;
};

class StoreCore {
 public:
  // A fresh store on the two paths (kept exactly as given). Reads nothing and
  // creates no file; the log comes into being with the first append.
  StoreCore(std::string snapshot_path, std::string wal_path, FileSystem& fs = default_file_system());

  // The same, after checking that the two paths can serve as a store's files
  // (see check_store_paths): what VectorStore.new makes.
  [[nodiscard]] static Result<StoreCore, StoreError> create(std::string snapshot_path, std::string wal_path,
                                                            FileSystem& fs = default_file_system());

  // A store loaded from its files, once the paths are checked: the snapshot
  // (unless missing) and then every record of the log, in file order, with
  // the saved graph when it belongs to the snapshot. Writes nothing. Only a
  // file that does not exist counts as missing; any other failure to look
  // for one is an error. A last log line without a line feed that is the
  // beginning of a record cut short is the torn tail of a crashed append and
  // is ignored.
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
  // the live state (entries in byte order of their ids), then empties the
  // log, then builds a fresh index and saves its graph beside the snapshot.
  // Does nothing at all when no record was logged since the last compaction.
  // On failure the log is untouched and `wal_pending` unchanged. The saved
  // graph is a cache: a failure to save it is not an error of compact(), and
  // the next open then builds the graph at its first search.
  [[nodiscard]] Result<void, StoreError> compact();

  // The at most `top_k` entries nearest to `query`, nearest first (at most
  // 100 whatever `top_k`). An empty query or one whose length differs from
  // the store's dimension is refused before anything else happens; then the
  // index is brought up to date with the entries.
  [[nodiscard]] Result<std::vector<SearchHit>, StoreError> search(std::span<const float> query, std::uint64_t top_k);

  // One result list per query, each exactly what search(queries[i], top_k)
  // returns. Every query is checked first, and the first refused one is the
  // error; the index is then brought up to date once, and the queries walk it
  // in parallel on the worker pool.
  [[nodiscard]] Result<std::vector<std::vector<SearchHit>>, StoreError> search_batch(
      std::span<const std::span<const float>> queries, std::uint64_t top_k);

  // The at most `top_k` entries nearest to `query` among the live entries
  // whose id is in `allowed` (ids not in the store, and repeats, are
  // ignored), nearest first with search()'s distances: exactly
  // min(top_k, 100, live entries allowed) of them. The query is checked as
  // search() checks it.
  [[nodiscard]] Result<std::vector<SearchHit>, StoreError> search_filtered(std::span<const float> query,
                                                                           std::span<const std::string> allowed,
                                                                           std::uint64_t top_k);

  // Makes every mutation acknowledged so far durable against power loss:
  // forces the log's data to stable storage, and the log's directory entry
  // too when the log may have come into being since the last sync (the
  // first sync of a store always includes it). A log that does not exist
  // holds nothing to force. Mutations alone hand their lines to the
  // operating system, which keeps them through a crash of the process but
  // not through a power cut.
  [[nodiscard]] Result<void, StoreError> sync();

  // The stored entry, or nullptr; valid until the next mutation.
  const VectorEntry* get(std::string_view id) const;
  // The live entries, in byte order of their ids; valid until the next
  // mutation.
  std::vector<const VectorEntry*> entries_by_id() const;
  // Every live entry, in the map's own (unspecified) order.
  const EntryMap& entries() const { return entries_; }
  std::uint64_t len() const { return entries_.size(); }
  std::optional<std::uint64_t> dim() const { return dim_; }
  std::uint64_t wal_pending() const { return wal_pending_; }
  // True when the entries may differ from what the search index holds.
  bool dirty() const { return rebuild_due_ || !changed_ids_.empty(); }
  // The id of each value the index's points carry, by value: after a fresh
  // build the ids in byte order; each later insertion appends its id (the
  // ids of removed points stay in their places).
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
  // Each entry in a map node of its own, with room reserved in the map for
  // all of them: the allocations of an upsert, made before its log append.
  std::vector<EntryMap::node_type> stage(std::vector<VectorEntry> entries);
  // Brings staged entries into the map (a later one of an id replaces an
  // earlier), notes them changed and counts them in `wal_pending`.
  void apply_staged(std::vector<EntryMap::node_type>& staged) noexcept;
  // Notes that the entry with this id is about to be replaced or erased (or
  // to appear) since the index was updated; called before the entry
  // changes, which may empty its embedding (see retire_embedding). Never
  // fails: without memory to note the id, the index is released and a fresh
  // build becomes due.
  void note_changed(std::string_view id) noexcept;
  // Moves the entry's embedding into retired_embeddings_ when the index may
  // read it. Throws std::bad_alloc, leaving the entry as it was.
  void retire_embedding(std::string_view id);
  // Drops the index (and so every row it reads) and makes a fresh build due.
  void release_index_until_rebuild() noexcept;

  // Makes the index hold exactly the live entries: a fresh build when one is
  // due, otherwise the changed ids' old points removed and their current
  // embeddings inserted. Clears `dirty`. When it throws (out of memory), the
  // index is dropped and a fresh build is due.
  void update_index();
  void update_index_in_place_or_afresh();
  // No index, nothing noted, nothing due.
  void drop_index() noexcept;
  // Builds a fresh index with a new random seed over `listed`, whose position
  // i carries value i (none when the list is empty), and clears `dirty`. The
  // old index is released first, so that the two never take memory at once.
  void rebuild_index(std::span<const VectorEntry* const> listed);
  // Brings in the changes noted since the last update without a rebuild.
  void apply_changes();

  // The check every query passes before the index is touched: not empty,
  // only finite values, and the store's dimension once it has one.
  [[nodiscard]] Result<void, StoreError> check_query(std::span<const float> query) const;
  // The entries the index's hits stand for, in the hits' order.
  std::vector<SearchHit> entries_of(std::span<const hnsw::Hit> hits) const;
  // Compaction's file steps under the log's exclusive lock: the new snapshot
  // written from `listed`, then the log emptied. Returns the snapshot's
  // fingerprint.
  [[nodiscard]] Result<std::uint64_t, StoreError> replace_snapshot(std::span<const VectorEntry* const> listed);
  // Saves the current index's graph for the snapshot with this fingerprint;
  // best effort (see compact()).
  void save_graph(std::uint64_t snapshot_fingerprint);
  // Takes the saved graph when it belongs to these snapshot bytes and
  // entries (in snapshot order); otherwise leaves the index to be built. The
  // index then reads the listed embeddings in place: they must reach the
  // entries by move, buffers and all.
  void load_graph(std::uint64_t snapshot_fingerprint, const std::vector<VectorEntry>& listed);

  // Writes the vector file of the snapshot just written from `listed` with
  // this fingerprint; best effort, like save_graph.
  void save_vectors(std::span<const VectorEntry* const> listed, std::uint64_t snapshot_fingerprint);
  // The vector file mapped when its header claims the snapshot with this
  // fingerprint; otherwise nothing.
  std::unique_ptr<FileMapping> map_vectors(std::uint64_t snapshot_fingerprint);

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
  // Whether the log's directory entry may not be on stable storage yet: set
  // at first and whenever an append found the log empty (just created, or
  // emptied by compaction); cleared by sync().
  bool log_directory_sync_due_ = true;

  // The index and what ties it to the entries. Invariant: every live entry
  // whose id is not in changed_ids_ has exactly one live point in the index,
  // carrying value slot_of_id_[id] (with index_ids_[value] == id) and its
  // current embedding, unless rebuild_due_ is set.
  //
  // The index reads its points in place (see hnsw/point_views.h): the
  // embedding buffers of the entries it was built or updated with. An entry
  // whose embedding is a live node's point is never replaced or erased
  // before note_changed() has moved that embedding (buffer and all) here,
  // where it stays while the index may still read it (removed nodes are
  // walked through until a rebuild); dropping the index clears it. Declared
  // before index_, as entries_ is, so that the index goes first.
  std::vector<std::vector<float>> retired_embeddings_;
  std::optional<hnsw::VectorIndex> index_;  // absent until a build over at least one entry
  std::vector<std::string> index_ids_;
  std::unordered_map<std::string, std::uint64_t, IdHash, std::equal_to<>> slot_of_id_;
  std::unordered_set<std::string, IdHash, std::equal_to<>> changed_ids_;  // tracked while no rebuild is due
  bool rebuild_due_ = false;                                              // the next update builds afresh
};

}  // namespace sorvid
