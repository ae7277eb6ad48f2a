#include "core/atomic_file_replacer.h"

#include <cerrno>
#include <utility>

#include "core/paths.h"

namespace sorvid {

std::string temporary_path_for(const std::string& path) { return path + ".tmp"; }

Result<AtomicFileReplacer, StoreError> AtomicFileReplacer::begin(FileSystem& fs, const std::string& path) {
  // A symbolic link at `path` stays a link: the file it points to is the one
  // replaced, by a temporary file made beside it.
  Result<std::string, OsError> target = fs.resolve(path);
  if (!target) return fail(StoreError::from_os_error(target.error().code));
  // A fresh name, never an existing file or a link someone placed there.
  std::string temporary_path;
  Result<File, StoreError> created = File::create_unique(fs, temporary_path_for(target.value()), temporary_path);
  if (!created) return fail(std::move(created).error());
  AtomicFileReplacer replacer(fs, std::move(target).value(), std::move(temporary_path), std::move(created).value());
  // The new file keeps the old one's permissions (a private snapshot stays
  // private); a first file gets the usual ones.
  // A failure to look, other than the file's absence, fails the replacement
  // rather than risk widening them.
  Result<FileAttributes, OsError> existing = fs.attributes(replacer.path_);
  if (!existing && existing.error().code != ENOENT) return fail(StoreError::from_os_error(existing.error().code));
  if (existing && existing.value().kind == FileKind::kRegular) {
    Result<void, StoreError> kept = replacer.temporary_->set_permissions(existing.value().permissions);
    if (!kept) return fail(std::move(kept).error());  // the replacer removes its file
  }
  return replacer;
}

AtomicFileReplacer::AtomicFileReplacer(FileSystem& fs, std::string path, std::string temporary_path, File temporary)
    : fs_(&fs), path_(std::move(path)), temporary_path_(std::move(temporary_path)), temporary_(std::move(temporary)) {}

AtomicFileReplacer::AtomicFileReplacer(AtomicFileReplacer&& other) noexcept
    : fs_(other.fs_),
      path_(std::move(other.path_)),
      temporary_path_(std::move(other.temporary_path_)),
      temporary_(std::move(other.temporary_)) {
  other.temporary_.reset();
}

AtomicFileReplacer::~AtomicFileReplacer() { abandon(); }

void AtomicFileReplacer::abandon() {
  if (!temporary_) return;
  temporary_.reset();
  (void)fs_->remove(temporary_path_);  // best effort; the first error is the caller's result
}

Result<void, StoreError> AtomicFileReplacer::write(std::string_view piece) {
  if (!temporary_) return fail(StoreError::io(kWriteZeroDirectText));  // abandoned after a failure
  Result<void, StoreError> written = temporary_->write_all(piece, kWriteZeroDirectText);
  if (!written) abandon();
  return written;
}

Result<void, StoreError> AtomicFileReplacer::commit() {
  if (!temporary_) return fail(StoreError::io(kWriteZeroDirectText));  // abandoned after a failure
  // A failed sync is final: the kernel may already have dropped the dirty
  // pages, so a second sync could report success for data that is gone.
  Result<void, StoreError> staged = temporary_->sync();
  if (staged) {
    temporary_.reset();  // closed before the rename
    Result<void, OsError> renamed = fs_->rename(temporary_path_, path_);
    if (!renamed) {
      (void)fs_->remove(temporary_path_);
      return fail(StoreError::from_os_error(renamed.error().code));
    }
  } else {
    abandon();
    return staged;
  }
  Result<void, OsError> synced = fs_->sync_directory(directory_of(path_));
  if (!synced) return fail(StoreError::from_os_error(synced.error().code));
  return {};
}

}  // namespace sorvid
