// Opening a store: the snapshot, then the records of the log replayed in order.
#include <optional>
#include <utility>
#include <variant>

#include "core/file.h"
#include "core/finite_values.h"
#include "core/store_core.h"
#include "core/wal_reader.h"
#include "formats/snapshot.h"
#include "formats/utf8.h"
#include "formats/wal_record.h"

namespace sorvid {
namespace {

// A file whose attributes cannot be read counts as missing, whatever the reason.
bool file_exists(FileSystem& fs, const std::string& path) { return fs.attributes(path).ok(); }

// The log, open for reading and share-locked. A compaction by another store
// holds the lock exclusively while it replaces the snapshot and empties the
// log, so an open that holds it from before the snapshot is read until the
// log is replayed sees the old snapshot with the whole log or the new
// snapshot with the emptied log, never the new snapshot without the log
// lines it does not hold yet.
Result<File, StoreError> open_locked_log(FileSystem& fs, const std::string& path) {
  Result<File, StoreError> file = File::open(fs, path, OpenMode::kRead);
  if (!file) return file;
  Result<void, StoreError> locked = file.value().lock_shared();
  if (!locked) return fail(std::move(locked).error());
  return file;
}

}  // namespace

Result<StoreCore, StoreError> StoreCore::open(std::string snapshot_path, std::string wal_path, FileSystem& fs) {
  StoreCore store(std::move(snapshot_path), std::move(wal_path), fs);
  // An existing log is opened first, for the lock; a failure to open it
  // is reported at the log's turn, after any failure of the snapshot.
  std::optional<Result<File, StoreError>> log;
  if (file_exists(fs, store.wal_path_)) log.emplace(open_locked_log(fs, store.wal_path_));
  if (file_exists(fs, store.snapshot_path_)) {
    Result<void, StoreError> loaded = store.load_snapshot();
    if (!loaded) return fail(std::move(loaded).error());
  }
  if (log) {
    if (!*log) return fail(std::move(*log).error());
    Result<void, StoreError> replayed = store.replay_log(std::move(*log).value());
    if (!replayed) return fail(std::move(replayed).error());
  }
  store.dirty_ = !store.entries_.empty();
  return store;
}

Result<void, StoreError> StoreCore::load_snapshot() {
  Result<File, StoreError> file = File::open(*fs_, snapshot_path_, OpenMode::kRead);
  if (!file) return fail(std::move(file).error());
  Result<std::string, StoreError> text = file.value().read_to_end();
  if (!text) return fail(std::move(text).error());
  if (!is_valid_utf8(text.value())) return fail(StoreError::io(kInvalidUtf8Text));

  Result<Snapshot, JsonError> snapshot = decode_snapshot(text.value());
  if (!snapshot) return fail(StoreError::json(snapshot.error().message()));
  if (snapshot.value().dim > 0) dim_ = snapshot.value().dim;
  // Entries are taken as they stand (not checked against `dim` or each
  // other), except that a non-finite value, which the log and snapshot could
  // not carry back, is refused.
  for (VectorEntry& entry : snapshot.value().entries) {
    if (!all_finite(entry.embedding)) return fail(StoreError::non_finite_embedding());
    insert(std::move(entry));
  }
  return {};
}

Result<void, StoreError> StoreCore::replay_log(File log) {
  WalReader reader(std::move(log));
  for (;;) {
    Result<bool, StoreError> more = reader.next();
    if (!more) return fail(std::move(more).error());
    if (!more.value()) break;
    if (auto* deletion = std::get_if<DeleteRecord>(&reader.record())) {
      auto found = entries_.find(deletion->id);
      if (found != entries_.end()) entries_.erase(found);
    } else {
      VectorEntry& entry = std::get<UpsertRecord>(reader.record()).entry;
      Result<void, StoreError> admitted = admit_embedding(entry.embedding);
      if (!admitted) return admitted;
      insert(std::move(entry));
    }
  }
  wal_pending_ += reader.record_count();
  return {};
}

}  // namespace sorvid
