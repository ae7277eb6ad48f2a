// Compaction: the live state becomes the new snapshot and the log starts over.
#include <utility>
#include <vector>

#include "core/atomic_file_replacer.h"
#include "core/file.h"
#include "core/store_core.h"
#include "formats/snapshot.h"

namespace sorvid {
namespace {

// The snapshot text starts in a buffer of this size and grows as needed.
constexpr std::size_t kSnapshotBufferSize = 128;

}  // namespace

Result<void, StoreError> StoreCore::compact() {
  if (wal_pending_ == 0) return {};

  // Entries are listed in the map's own order; readers must not rely on it.
  std::vector<const VectorEntry*> listed;
  listed.reserve(entries_.size());
  for (const auto& [id, entry] : entries_) listed.push_back(&entry);
  std::string text;
  text.reserve(kSnapshotBufferSize);
  encode_snapshot(dim_.value_or(0), listed, text);

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
  // The old snapshot stays whole until the new one is durable under its name,
  // and the log is emptied only after that: at every point of a crash the
  // files hold either the old snapshot with the full log, or the new snapshot
  // with a log whose replay changes nothing.
  if (step) step = replace_file_atomically(*fs_, snapshot_path_, text);
  if (step) step = log.truncate(0);
  if (!step) return step;

  wal_pending_ = 0;
  rebuild_index();
  return {};
}

}  // namespace sorvid
