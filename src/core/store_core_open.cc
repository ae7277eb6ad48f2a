// Opening a store: the snapshot (its embeddings from the vector file where
// one belongs to it), then the records of the log replayed in order.
#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <span>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "base/fingerprint.h"
#include "base/worker_pool.h"
#include "core/file.h"
#include "core/finite_values.h"
#include "core/paths.h"
#include "core/store_core.h"
#include "core/wal_reader.h"
#include "formats/snapshot.h"
#include "formats/utf8.h"
#include "formats/vector_file.h"
#include "formats/wal_record.h"

namespace sorvid {
namespace {

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

// A whole file in one buffer: allocated once from the file's length, not
// zeroed first and not regrown on the way (regrowing and copying a large
// snapshot, a few kilobytes a read, took as long as decoding it). A file that
// grows meanwhile is still read to its end.
struct FileBytes {
  std::unique_ptr<char[]> data;
  std::size_t size = 0;

  std::string_view text() const { return {data.get(), size}; }
};

// A snapshot's text: the file mapped where it is large and the file system
// can map it, else the file read into a buffer. Decoding straight from the
// mapping spares the fresh buffer's page faults and zeroing, the copy of the
// read and the buffer's release. The decoders read nothing past the text's
// end (the quick float reading declines within its room of the end), so a
// mapping of exactly the file's length is enough. A mapping shows the file
// as long as it was when mapped: a snapshot is only ever written whole to
// another name and renamed over, so it does not grow, and a compaction that
// replaces it meanwhile leaves the mapped file whole.
struct SnapshotText {
  std::unique_ptr<FileMapping> mapping;
  FileBytes buffer;

  std::string_view text() const { return mapping ? mapping->bytes() : buffer.text(); }
  void release() {
    mapping.reset();
    buffer.data.reset();
  }
};

// From this many bytes on a snapshot is mapped rather than read: below it
// the copy of a read costs about what setting up and tearing down a mapping
// does.
constexpr std::uint64_t kMapBytes = std::uint64_t{1} << 20;

// Below this many bytes a snapshot is read, checked and decoded on the
// calling thread: handing work to the pool would cost more than it saves
// (and would start the pool for a small store).
constexpr std::size_t kParallelBytes = std::size_t{4} << 20;

// Memory for `size` bytes, for a large size with its pages already faulted
// in by the pool's threads side by side: a fresh page costs the kernel more
// to map and zero than the read costs to fill it.
std::unique_ptr<char[]> allocate_faulted_in(std::size_t size) {
  constexpr std::size_t kPageBytes = 4096;
  constexpr std::size_t kBlockBytes = std::size_t{1} << 21;
  auto data = std::make_unique_for_overwrite<char[]>(size);
  if (size < kParallelBytes) return data;
  char* const base = data.get();
  WorkerPool::instance().parallel_for(0, (size + kBlockBytes - 1) / kBlockBytes, 1, [&](std::size_t block) {
    const std::size_t end = std::min(size, (block + 1) * kBlockBytes);
    for (std::size_t at = block * kBlockBytes; at < end; at += kPageBytes) base[at] = 0;
  });
  return data;
}

Result<FileBytes, StoreError> read_whole(File& file, std::uint64_t length) {
  // One byte more than the length, so that the end shows without a regrowth.
  std::size_t capacity = static_cast<std::size_t>(length) + 1;
  FileBytes bytes{allocate_faulted_in(capacity)};
  for (;;) {
    if (bytes.size == capacity) {
      capacity *= 2;
      auto larger = std::make_unique_for_overwrite<char[]>(capacity);
      std::memcpy(larger.get(), bytes.data.get(), bytes.size);
      bytes.data = std::move(larger);
    }
    Result<std::size_t, StoreError> got =
        file.read(std::span<char>(bytes.data.get() + bytes.size, capacity - bytes.size));
    if (!got) return fail(std::move(got).error());
    if (got.value() == 0) return bytes;
    bytes.size += got.value();
  }
}

// Any failure to map (a file system that cannot) falls back to reading,
// whose failures are reported as they always were.
Result<SnapshotText, StoreError> read_snapshot(File& file) {
  const Result<std::uint64_t, StoreError> length = file.size();
  if (!length) return fail(length.error());
  if (length.value() >= kMapBytes) {
    Result<std::unique_ptr<FileMapping>, OsError> mapped = file.map_whole();
    if (mapped) return SnapshotText{std::move(mapped).value(), {}};
  }
  Result<FileBytes, StoreError> bytes = read_whole(file, length.value());
  if (!bytes) return fail(std::move(bytes).error());
  return SnapshotText{nullptr, std::move(bytes).value()};
}

// Whether a text is valid UTF-8, and its fingerprint, worked out side by
// side on the pool: the fingerprint as one task, the UTF-8 check in pieces
// cut before bytes that start a character (the text is valid if and only if
// every piece is: no character straddles a cut).
struct TextCheck {
  bool valid_utf8 = true;
  std::uint64_t fingerprint = 0;
};

TextCheck check_text(std::string_view text) {
  if (text.size() < kParallelBytes) return {is_valid_utf8(text), fingerprint_of(text)};
  constexpr std::size_t kPieceBytes = std::size_t{8} << 20;
  const auto continues_character = [&](std::size_t at) {
    return (static_cast<unsigned char>(text[at]) & 0xC0) == 0x80;
  };
  std::vector<std::size_t> cuts = {0};
  for (std::size_t at = kPieceBytes; at < text.size(); at += kPieceBytes) {
    while (at < text.size() && continues_character(at)) ++at;
    cuts.push_back(at);
  }
  cuts.push_back(text.size());
  // Bytes rather than bools: the tasks write their own elements at once.
  std::vector<unsigned char> piece_valid(cuts.size() - 1, 1);
  TextCheck check;
  WorkerPool::instance().parallel_for(0, cuts.size(), 1, [&](std::size_t task) {
    if (task == 0) {
      check.fingerprint = fingerprint_of(text);
    } else {
      piece_valid[task - 1] = is_valid_utf8(text.substr(cuts[task - 1], cuts[task] - cuts[task - 1])) ? 1 : 0;
    }
  });
  check.valid_utf8 = std::find(piece_valid.begin(), piece_valid.end(), 0) == piece_valid.end();
  return check;
}

// The pool for the work on a text of this size, or none (see
// kParallelBytes).
WorkerPool* pool_for(std::string_view text) { return text.size() < kParallelBytes ? nullptr : &WorkerPool::instance(); }

Result<Snapshot, JsonError> decode_text(std::string_view text, EmbeddingText embedding_text) {
  WorkerPool* const pool = pool_for(text);
  if (pool == nullptr) return decode_snapshot(text, embedding_text);
  return decode_snapshot_in_chunks(text, *pool, kDefaultEntryChunkBytes, embedding_text);
}

// The snapshot in `text`, whose fingerprint is `fingerprint`, with the
// embeddings taken from `vectors` (a vector file that claims these bytes)
// when it holds them all, whole. Otherwise, and at any fault met on the
// way, the text is decoded in full, which gives the document or the error
// that is reported.
Result<Snapshot, JsonError> decode_entries(std::string_view text, std::uint64_t fingerprint,
                                           const FileMapping* vectors) {
  if (vectors != nullptr) {
    Result<Snapshot, JsonError> passed = decode_text(text, EmbeddingText::kPassOver);
    if (passed &&
        take_embeddings(vectors->bytes(), fingerprint, passed.value().dim, passed.value().entries, pool_for(text))) {
      return passed;
    }
  }
  return decode_text(text, EmbeddingText::kRead);
}

}  // namespace

Result<StoreCore, StoreError> StoreCore::open(std::string snapshot_path, std::string wal_path, FileSystem& fs) {
  Result<StoreCore, StoreError> created = create(std::move(snapshot_path), std::move(wal_path), fs);
  if (!created) return created;
  StoreCore& store = created.value();
  // An existing log is opened first, for the lock; a failure to look for it
  // or open it is reported at the log's turn, after any failure of the
  // snapshot.
  const Result<bool, StoreError> log_present = file_present(fs, store.wal_path_);
  std::optional<Result<File, StoreError>> log;
  if (log_present && log_present.value()) log.emplace(open_locked_log(fs, store.wal_path_));
  const Result<bool, StoreError> snapshot_present = file_present(fs, store.snapshot_path_);
  if (!snapshot_present) return fail(snapshot_present.error());
  if (snapshot_present.value()) {
    Result<void, StoreError> loaded = store.load_snapshot();
    if (!loaded) return fail(std::move(loaded).error());
  }
  if (!log_present) return fail(log_present.error());
  if (log) {
    if (!*log) return fail(std::move(*log).error());
    Result<void, StoreError> replayed = store.replay_log(std::move(*log).value());
    if (!replayed) return fail(std::move(replayed).error());
  }
  // Without a saved graph the first search builds one.
  if (!store.index_ && !store.entries_.empty()) store.rebuild_due_ = true;
  return created;
}

Result<void, StoreError> StoreCore::load_snapshot() {
  Result<File, StoreError> file = File::open(*fs_, snapshot_path_, OpenMode::kRead);
  if (!file) return fail(std::move(file).error());
  Result<SnapshotText, StoreError> bytes = read_snapshot(file.value());
  if (!bytes) return fail(std::move(bytes).error());
  const std::string_view text = bytes.value().text();
  const TextCheck check = check_text(text);
  if (!check.valid_utf8) return fail(StoreError::io(kInvalidUtf8Text));

  const std::uint64_t fingerprint = check.fingerprint;
  std::unique_ptr<FileMapping> vectors = map_vectors(fingerprint);
  Result<Snapshot, JsonError> snapshot = decode_entries(text, fingerprint, vectors.get());
  if (!snapshot) return fail(StoreError::json(snapshot.error().message()));
  vectors.reset();
  bytes.value().release();
  if (snapshot.value().dim > 0) dim_ = snapshot.value().dim;
  // Every entry must have the snapshot's dimension (or, in a snapshot
  // without one, the first entry's length): the store could not have
  // written a mix, and taking one in would write it back at the next
  // compaction. A non-finite value, which the files cannot carry, is
  // refused too.
  std::vector<VectorEntry>& listed = snapshot.value().entries;
  const std::uint64_t dim = dim_ ? *dim_ : (listed.empty() ? 0 : listed.front().embedding.size());
  for (const VectorEntry& entry : listed) {
    if (entry.embedding.size() != dim) {
      return fail(StoreError::snapshot_dimension_mismatch(entry.id, dim, entry.embedding.size()));
    }
    if (!all_finite(entry.embedding)) return fail(StoreError::non_finite_embedding());
  }
  if (!listed.empty() && dim > 0) dim_ = dim;
  load_graph(fingerprint, listed);
  entries_.reserve(listed.size());
  for (VectorEntry& entry : listed) insert(std::move(entry));
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
      if (found != entries_.end()) {
        note_changed(deletion->id);
        entries_.erase(found);
      }
    } else {
      VectorEntry& entry = std::get<UpsertRecord>(reader.record()).entry;
      Result<void, StoreError> admitted = admit_embedding(entry.embedding);
      if (!admitted) return admitted;
      note_changed(entry.id);
      insert(std::move(entry));
    }
  }
  wal_pending_ += reader.record_count();
  return {};
}

}  // namespace sorvid
