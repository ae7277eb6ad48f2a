// Path helpers for the files of a store.
#pragma once

#include <string>
#include <string_view>

#include "base/result.h"
#include "core/file_system.h"
#include "core/store_error.h"

namespace sorvid {

// The directory that holds `path`: the text before its last '/', "/" for a
// file in the root, "." for a bare file name. Used to sync a directory after
// a rename in it, and to place temporary files beside the file they replace.
std::string directory_of(std::string_view path);

// Where the saved graph of the snapshot at `snapshot_path` lives:
// "<snapshot_path>.hnsw".
std::string graph_path_for(std::string_view snapshot_path);

// Where the vector file of the snapshot at `snapshot_path` lives:
// "<snapshot_path>.f32".
std::string vectors_path_for(std::string_view snapshot_path);

// Whether a file stands at `path`. Only ENOENT means that none does: any
// other failure to look (a directory that cannot be searched, say) is an
// error, lest the store go on without a file that is there.
[[nodiscard]] Result<bool, StoreError> file_present(FileSystem& fs, const std::string& path);

// Whether two paths name one file: by device and inode when both exist,
// otherwise by their resolved paths (links and ".." followed as far as the
// paths exist). A failure to look a path up, other than its absence, is an
// error: the answer would be a guess.
[[nodiscard]] Result<bool, StoreError> same_file(FileSystem& fs, const std::string& a, const std::string& b);

// Refuses a log that is the snapshot itself, the snapshot's saved graph or
// its vector file: compaction would write over it and lose every record. Checked when a store
// is made or opened, before anything is read or written.
[[nodiscard]] Result<void, StoreError> check_store_paths(FileSystem& fs, const std::string& snapshot_path,
                                                         const std::string& wal_path);

}  // namespace sorvid
