// Replacing a file so that a crash or a failure leaves either the old or the
// new contents, never a file cut short.
#pragma once

#include <string>
#include <string_view>

#include "base/result.h"
#include "core/file_system.h"
#include "core/store_error.h"

namespace sorvid {

// The temporary file beside `path` that replace_file_atomically writes first.
std::string temporary_path_for(const std::string& path);

// Makes `path` hold exactly `contents`: writes them to temporary_path_for(path),
// forces that file to stable storage, renames it over `path` and forces the
// directory entry to stable storage. Until the rename the old file is
// untouched; on any failure before it the temporary file is removed and
// `path` keeps its old contents. A failure of the final directory sync is
// reported although the new contents are already in place under `path`.
[[nodiscard]] Result<void, StoreError> replace_file_atomically(FileSystem& fs, const std::string& path,
                                                               std::string_view contents);

}  // namespace sorvid
