#include "core/paths.h"

#include <cerrno>
#include <utility>

namespace sorvid {

Result<bool, StoreError> file_present(FileSystem& fs, const std::string& path) {
  Result<FileAttributes, OsError> attributes = fs.attributes(path);
  if (attributes) return true;
  if (attributes.error().code == ENOENT) return false;
  return fail(StoreError::from_os_error(attributes.error().code));
}

std::string directory_of(std::string_view path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string_view::npos) return ".";
  if (slash == 0) return "/";
  return std::string(path.substr(0, slash));
}

std::string graph_path_for(std::string_view snapshot_path) { return std::string(snapshot_path) + ".hnsw"; }

std::string vectors_path_for(std::string_view snapshot_path) { return std::string(snapshot_path) + ".f32"; }

Result<bool, StoreError> same_file(FileSystem& fs, const std::string& a, const std::string& b) {
  Result<FileAttributes, OsError> first = fs.attributes(a);
  if (!first && first.error().code != ENOENT) return fail(StoreError::from_os_error(first.error().code));
  Result<FileAttributes, OsError> second = fs.attributes(b);
  if (!second && second.error().code != ENOENT) return fail(StoreError::from_os_error(second.error().code));
  if (first && second) {
    return first.value().device == second.value().device && first.value().inode == second.value().inode;
  }
  // One that exists and one that does not are two files.
  if (first.ok() != second.ok()) return false;
  Result<std::string, OsError> resolved_a = fs.resolve(a);
  if (!resolved_a) return fail(StoreError::from_os_error(resolved_a.error().code));
  Result<std::string, OsError> resolved_b = fs.resolve(b);
  if (!resolved_b) return fail(StoreError::from_os_error(resolved_b.error().code));
  return resolved_a.value() == resolved_b.value();
}

Result<void, StoreError> check_store_paths(FileSystem& fs, const std::string& snapshot_path,
                                           const std::string& wal_path) {
  // The snapshot, then each file compaction saves beside it, with the
  // message that names it.
  const std::pair<std::string, const char*> taken[] = {
      {snapshot_path, "snapshot_path and wal_path name the same file"},
      {graph_path_for(snapshot_path),
       "wal_path names the file where compaction saves the graph (snapshot_path + \".hnsw\")"},
      {vectors_path_for(snapshot_path),
       "wal_path names the file where compaction saves the embeddings (snapshot_path + \".f32\")"},
  };
  for (const auto& [path, message] : taken) {
    Result<bool, StoreError> same = same_file(fs, path, wal_path);
    if (!same) return fail(std::move(same).error());
    if (same.value()) return fail(StoreError::same_file(message));
  }
  return {};
}

}  // namespace sorvid
