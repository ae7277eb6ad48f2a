// Compaction: the live state becomes the new snapshot, the log starts over,
// the embeddings are saved beside the snapshot as raw floats, and a fresh
// graph is built and saved there too.
#include <new>
#include <string_view>
#include <utility>
#include <vector>

#include "base/fingerprint.h"
#include "core/atomic_file_replacer.h"
#include "core/file.h"
#include "core/store_core.h"
#include "formats/snapshot.h"

namespace sorvid {
namespace {

// The snapshot text goes to its file in pieces of about this size, so that
// compaction never holds the whole text; large enough that the encoding of
// one piece is spread over the worker pool.
constexpr std::size_t kSnapshotPieceBytes = 8 * 1024 * 1024;

}  // namespace

Result<void, StoreError> StoreCore::compact() {
  if (wal_pending_ == 0) return {};
  const std::vector<const VectorEntry*> listed = entries_by_id();
  Result<std::uint64_t, StoreError> fingerprint = replace_snapshot(listed);
  if (!fingerprint) return fail(std::move(fingerprint).error());
  wal_pending_ = 0;
  save_vectors(listed, fingerprint.value());
  // Built after the log's lock is released: other stores on these files
  // wait only for the file steps, not for the graph.
  try {
    rebuild_index(listed);
    save_graph(fingerprint.value());
  } catch (const std::bad_alloc&) {
    // The compaction is done; the index is a cache, which the next search
    // builds (and reports, if memory is still short then).
    drop_index();
    rebuild_due_ = !entries_.empty();
  }
  return {};
}

Result<std::uint64_t, StoreError> StoreCore::replace_snapshot(std::span<const VectorEntry* const> listed) {
  // The log stays open and exclusively locked through every file step, so
  // that no other store on these files appends, compacts or opens them
  // halfway through (opening takes a shared lock on the log).
  Result<File, StoreError> opened = File::open(*fs_, wal_path_, OpenMode::kReadAppend);
  if (!opened) return fail(std::move(opened).error());
  File log = std::move(opened).value();
  Result<void, StoreError> step = log.lock_exclusive();
  // The whole log is made durable before the snapshot that includes it: after
  // a power cut between the new snapshot and the emptied log, the replay must
  // see every record of the log (which then changes nothing), never only its
  // first part, which could bring back an older version of an entry.
  if (step) step = log.sync();
  if (!step) return fail(std::move(step).error());

  // The old snapshot stays whole until the new one is durable under its name,
  // and the log is emptied only after that: at every point of a crash the
  // files hold either the old snapshot with the full log, or the new snapshot
  // with a log whose replay changes nothing.
  Result<AtomicFileReplacer, StoreError> replacer = AtomicFileReplacer::begin(*fs_, snapshot_path_);
  if (!replacer) return fail(std::move(replacer).error());
  Fingerprint fingerprint;
  encode_snapshot_in_pieces(dim_.value_or(0), listed, kSnapshotPieceBytes, [&](std::string_view piece) {
    fingerprint.update(piece);
    step = replacer.value().write(piece);
    return step.ok();
  });
  if (step) step = replacer.value().commit();
  if (step) step = log.truncate(0);
  if (!step) return fail(std::move(step).error());
  return fingerprint.value();
}

}  // namespace sorvid
