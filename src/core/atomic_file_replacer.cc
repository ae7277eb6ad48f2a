#include "core/atomic_file_replacer.h"

#include <utility>

#include "core/file.h"
#include "core/paths.h"

namespace sorvid {
namespace {

Result<void, StoreError> write_durably(FileSystem& fs, const std::string& path, std::string_view contents) {
  Result<File, StoreError> opened = File::open(fs, path, OpenMode::kCreateTruncate);
  if (!opened) return fail(std::move(opened).error());
  File file = std::move(opened).value();
  Result<void, StoreError> written = file.write_all(contents, kWriteZeroDirectText);
  if (!written) return written;
  // A failed sync is final: the kernel may already have dropped the dirty
  // pages, so a second sync could report success for data that is gone.
  return file.sync();
}

}  // namespace

std::string temporary_path_for(const std::string& path) { return path + ".tmp"; }

Result<void, StoreError> replace_file_atomically(FileSystem& fs, const std::string& path, std::string_view contents) {
  const std::string temporary = temporary_path_for(path);
  Result<void, StoreError> staged = write_durably(fs, temporary, contents);
  if (staged) {
    Result<void, OsError> renamed = fs.rename(temporary, path);
    if (!renamed) staged = fail(StoreError::from_os_error(renamed.error().code));
  }
  if (!staged) {
    (void)fs.remove(temporary);  // best effort; the first error is the result
    return staged;
  }
  Result<void, OsError> synced = fs.sync_directory(directory_of(path));
  if (!synced) return fail(StoreError::from_os_error(synced.error().code));
  return {};
}

}  // namespace sorvid
