#include "core/store_core.h"

#include <utility>

#include "core/finite_values.h"
#include "core/paths.h"
#include "core/wal_appender.h"
#include "formats/wal_record.h"
#include "hnsw/vector_index.h"

namespace sorvid {
namespace {

// Encoded records start with a buffer of this size and grow as needed.
constexpr std::size_t kRecordBufferSize = 128;

}  // namespace

StoreCore::StoreCore(std::string snapshot_path, std::string wal_path, FileSystem& fs)
    : snapshot_path_(std::move(snapshot_path)), wal_path_(std::move(wal_path)), fs_(&fs) {}

Result<StoreCore, StoreError> StoreCore::create(std::string snapshot_path, std::string wal_path, FileSystem& fs) {
  Result<void, StoreError> checked = check_store_paths(fs, snapshot_path, wal_path);
  if (!checked) return fail(std::move(checked).error());
  return StoreCore(std::move(snapshot_path), std::move(wal_path), fs);
}

StoreCore::StoreCore(StoreCore&&) noexcept = default;
StoreCore& StoreCore::operator=(StoreCore&&) noexcept = default;
StoreCore::~StoreCore() = default;

Result<void, StoreError> StoreCore::admit_embedding(std::span<const float> embedding) {
  if (embedding.empty()) return fail(StoreError::empty_embedding());
  // Checked before the dimension, so a refused embedding never fixes it: the
  // files could not carry such a value back (it would be written as null).
  if (!all_finite(embedding)) return fail(StoreError::non_finite_embedding());
  if (dim_ && *dim_ != embedding.size()) return fail(StoreError::dimension_mismatch(*dim_, embedding.size()));
  if (!dim_) dim_ = embedding.size();
  return {};
}

Result<void, StoreError> StoreCore::append_wal(std::size_t count,
                                               const std::function<void(std::size_t, std::string&)>& encode_line) {
  Result<WalAppender, StoreError> opened = WalAppender::open(*fs_, wal_path_);
  if (!opened) return fail(std::move(opened).error());
  WalAppender& appender = opened.value();
  std::string line;
  line.reserve(kRecordBufferSize);
  for (std::size_t i = 0; i < count; ++i) {
    line.clear();
    encode_line(i, line);
    Result<void, StoreError> appended = appender.append_line(line);
    if (!appended) return appended;
  }
  Result<void, StoreError> finished = appender.finish();
  if (appender.found_log_empty()) log_directory_sync_due_ = true;
  return finished;
}

Result<void, StoreError> StoreCore::sync() {
  Result<bool, StoreError> present = file_present(*fs_, wal_path_);
  if (!present) return fail(std::move(present).error());
  if (!present.value()) return {};
  Result<File, StoreError> log = File::open(*fs_, wal_path_, OpenMode::kRead);
  if (!log) return fail(std::move(log).error());
  Result<void, StoreError> synced = log.value().sync();
  if (!synced || !log_directory_sync_due_) return synced;
  Result<void, OsError> listed = fs_->sync_directory(directory_of(wal_path_));
  if (!listed) return fail(StoreError::from_os_error(listed.error().code));
  log_directory_sync_due_ = false;
  return {};
}

void StoreCore::insert(VectorEntry entry) {
  std::string id = entry.id;
  entries_.insert_or_assign(std::move(id), std::move(entry));
}

namespace {

// The entry in a map node of its own, ready to join the entries without
// allocating.
EntryMap::node_type staged_node(VectorEntry entry) {
  EntryMap holder;  // one element lives in the map's inline bucket
  std::string id = entry.id;
  return holder.extract(holder.emplace(std::move(id), std::move(entry)).first);
}

}  // namespace

std::vector<EntryMap::node_type> StoreCore::stage(std::vector<VectorEntry> entries) {
  std::vector<EntryMap::node_type> staged;
  staged.reserve(entries.size());
  for (VectorEntry& entry : entries) staged.push_back(staged_node(std::move(entry)));
  entries_.reserve(entries_.size() + staged.size());
  return staged;
}

void StoreCore::apply_staged(std::vector<EntryMap::node_type>& staged) noexcept {
  // Nothing here allocates: the nodes exist, the buckets were reserved, and
  // moving an entry over another moves its buffers.
  for (EntryMap::node_type& node : staged) {
    note_changed(node.key());
    if (auto found = entries_.find(node.key()); found != entries_.end()) {
      found->second = std::move(node.mapped());
    } else {
      entries_.insert(std::move(node));
    }
  }
  wal_pending_ += staged.size();
}

Result<void, StoreError> StoreCore::upsert(VectorEntry entry) {
  std::vector<VectorEntry> one;
  one.push_back(std::move(entry));
  return upsert_batch(std::move(one));
}

Result<void, StoreError> StoreCore::upsert_batch(std::vector<VectorEntry> entries) {
  // Entries are checked in list order; the first one admitted fixes `dim`
  // when it is unset, and the first refused one decides the error. A batch
  // whose append fails leaves `dim` as it was.
  const std::optional<std::uint64_t> dim_before = dim_;
  for (const VectorEntry& entry : entries) {
    Result<void, StoreError> admitted = admit_embedding(entry.embedding);
    if (!admitted) return admitted;
  }
  // Everything that allocates happens before the log is written, so that
  // running out of memory never leaves records in the log that memory lacks.
  std::vector<EntryMap::node_type> staged;
  try {
    staged = stage(std::move(entries));
  } catch (...) {
    dim_ = dim_before;
    throw;
  }
  Result<void, StoreError> logged = append_wal(
      staged.size(), [&staged](std::size_t i, std::string& out) { encode_upsert_record(staged[i].mapped(), out); });
  if (!logged) {
    dim_ = dim_before;  // nothing was stored, so nothing fixes the dimension
    return logged;
  }
  apply_staged(staged);
  return {};
}

Result<void, StoreError> StoreCore::remove(std::string_view id) {
  auto found = entries_.find(id);
  if (found == entries_.end()) return {};
  // The deletion is logged before the entry leaves memory, so a failed append
  // leaves memory and log in agreement.
  Result<void, StoreError> logged =
      append_wal(1, [id](std::size_t, std::string& out) { encode_delete_record(id, out); });
  if (!logged) return logged;
  note_changed(id);  // before the erase: `id` may be the entry's own key
  entries_.erase(found);
  wal_pending_ += 1;
  return {};
}

const VectorEntry* StoreCore::get(std::string_view id) const {
  auto found = entries_.find(id);
  return found == entries_.end() ? nullptr : &found->second;
}

}  // namespace sorvid
