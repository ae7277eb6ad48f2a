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

  // The old snapshot stays whole until the new one is durable under its name,
  // and the log is emptied only after that: at every point of a crash the
  // files hold either the old snapshot with the full log, or the new
  // snapshot with a log whose replay changes nothing.
  Result<void, StoreError> replaced = replace_file_atomically(*fs_, snapshot_path_, text);
  if (!replaced) return replaced;
  Result<File, StoreError> emptied = File::open(*fs_, wal_path_, OpenMode::CreateTruncate);
  if (!emptied) return fail(std::move(emptied).error());

  wal_pending_ = 0;
  rebuild_index();
  return {};
}

}  // namespace sorvid
