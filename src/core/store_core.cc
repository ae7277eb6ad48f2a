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
  return appender.finish();
}

void StoreCore::insert(VectorEntry entry) {
  std::string id = entry.id;
  entries_.insert_or_assign(std::move(id), std::move(entry));
}

Result<void, StoreError> StoreCore::upsert(VectorEntry entry) {
  const std::optional<std::uint64_t> dim_before = dim_;
  Result<void, StoreError> admitted = admit_embedding(entry.embedding);
  if (!admitted) return admitted;
  Result<void, StoreError> logged =
      append_wal(1, [&entry](std::size_t, std::string& out) { encode_upsert_record(entry, out); });
  if (!logged) {
    dim_ = dim_before;  // nothing was stored, so nothing fixes the dimension
    return logged;
  }
  note_changed(entry.id);
  insert(std::move(entry));
  wal_pending_ += 1;
  return {};
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
  Result<void, StoreError> logged = append_wal(
      entries.size(), [&entries](std::size_t i, std::string& out) { encode_upsert_record(entries[i], out); });
  if (!logged) {
    dim_ = dim_before;
    return logged;
  }
  for (VectorEntry& entry : entries) {
    note_changed(entry.id);
    insert(std::move(entry));
  }
  wal_pending_ += entries.size();
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
  note_changed(id);
  entries_.erase(found);
  wal_pending_ += 1;
  return {};
}

const VectorEntry* StoreCore::get(std::string_view id) const {
  auto found = entries_.find(id);
  return found == entries_.end() ? nullptr : &found->second;
}

}  // namespace sorvid
