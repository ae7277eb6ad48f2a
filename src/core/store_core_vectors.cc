// The vector file: compaction writes every entry's embedding as raw floats
// to "<snapshot>.f32", and open takes them from there instead of reading
// their text when the file belongs to the very snapshot bytes just read. A
// cache, like the saved graph: without it the text is read in full.
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <utility>

#include "core/atomic_file_replacer.h"
#include "core/file.h"
#include "core/paths.h"
#include "core/store_core.h"
#include "formats/vector_file.h"

namespace sorvid {

void StoreCore::save_vectors(std::span<const VectorEntry* const> listed, std::uint64_t snapshot_fingerprint) {
  const std::string path = vectors_path_for(snapshot_path_);
  if (listed.empty() || !dim_) {
    // Nothing to take; a file left from before would be stale.
    (void)fs_->remove(path);
    return;
  }
  Result<AtomicFileReplacer, StoreError> replacer = AtomicFileReplacer::begin(*fs_, path);
  if (!replacer) return;
  Result<void, StoreError> step = {};
  const bool whole =
      encode_vector_file(snapshot_fingerprint, static_cast<std::uint32_t>(*dim_), listed, [&](std::string_view piece) {
        step = replacer.value().write(piece);
        return step.ok();
      });
  // An unfinished replacer removes its temporary file when it goes away.
  if (whole && step) (void)replacer.value().commit();
}

std::unique_ptr<FileMapping> StoreCore::map_vectors(std::uint64_t snapshot_fingerprint) {
  const std::string path = vectors_path_for(snapshot_path_);
  // Only a regular file is opened: opening a pipe would wait for a writer.
  Result<FileAttributes, OsError> attributes = fs_->attributes(path);
  if (!attributes || attributes.value().kind != FileKind::kRegular) return nullptr;
  Result<File, StoreError> file = File::open(*fs_, path, OpenMode::kRead);
  if (!file) return nullptr;
  Result<std::unique_ptr<FileMapping>, OsError> mapped = file.value().map_whole();
  if (!mapped || !vector_file_belongs_to(mapped.value()->bytes(), snapshot_fingerprint)) return nullptr;
  return std::move(mapped).value();
}

}  // namespace sorvid
