// Replacing a file so that a crash or a failure leaves either the old or the
// new contents, never a file cut short.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "base/result.h"
#include "core/file.h"
#include "core/file_system.h"
#include "core/store_error.h"

namespace sorvid {

// The prefix of the temporary file's name beside `path` that a replacement
// writes first; a unique suffix follows it.
std::string temporary_path_for(const std::string& path);

// AtomicFileReplacer: the new contents of one file, written piece by piece to
// a temporary file beside it and put in place by commit().
//
// The temporary file has a fresh name, created exclusively and never through
// a link, so a file or link already standing in the directory is neither
// followed nor overwritten. When `path` is a symbolic link, the file it
// points to is replaced and the link stays. The new file takes the old one's
// permission bits.
//
// Until commit() renames the temporary file over the target, the target is
// untouched. A replacer that is destroyed without a successful commit, or
// whose write or commit fails, removes its temporary file (best effort), so
// a failure leaves the old contents in place and no stray file behind.
class AtomicFileReplacer {
 public:
  // Creates (or empties) the temporary file for `path`.
  [[nodiscard]] static Result<AtomicFileReplacer, StoreError> begin(FileSystem& fs, const std::string& path);

  AtomicFileReplacer(AtomicFileReplacer&& other) noexcept;
  AtomicFileReplacer& operator=(AtomicFileReplacer&&) = delete;
  ~AtomicFileReplacer();

  [[nodiscard]] Result<void, StoreError> write(std::string_view piece);
  // Forces the temporary file to stable storage, renames it over the target
  // and forces the directory entry to stable storage. A failure of the final
  // directory sync is reported although the new contents are already in
  // place under the target's name.
  [[nodiscard]] Result<void, StoreError> commit();

 private:
  AtomicFileReplacer(FileSystem& fs, std::string path, std::string temporary_path, File temporary);
  void abandon();

  FileSystem* fs_;
  std::string path_;
  std::string temporary_path_;
  std::optional<File> temporary_;  // empty once committed or abandoned
};

}  // namespace sorvid
