// FileSystem: every file operation of the engine goes through this interface.
//
// The engine uses the process-wide POSIX implementation (default_file_system);
// tests substitute their own to make any single operation fail or to simulate
// a power cut. Each operation reports failure as the operating system's error
// code, so that messages read the same whichever implementation produced them.
// An interrupted open, read, write or lock (EINTR) is reported, not retried,
// here: the callers in File decide to repeat it.
//
// Locks are advisory whole-file locks of one open file (flock semantics): they
// belong to the handle, not to the process, so two handles on one file
// exclude each other even in one process, and closing the handle releases
// its lock. Other closes in the process (as with fcntl record locks) do not.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "base/result.h"

namespace sorvid {

// An operating-system error code (errno value), or kNotRegularFile.
struct OsError {
  // Not an errno (those are positive): the path names a device, a pipe or a
  // socket, which the store refuses to open (reading one could block or
  // never end).
  static constexpr int kNotRegularFile = -1;

  int code = 0;
};

// Opaque handle of an open file, valid until passed to close().
using FileHandle = int;

enum class OpenMode {
  kRead,            // read only; the file must exist
  kReadAppend,      // reads anywhere, writes land at the end; created when missing
  kCreateTruncate,  // write only; created when missing, cut to length 0
};

enum class FileKind { kRegular, kDirectory, kOther };

struct FileAttributes {
  std::uint64_t size = 0;
  FileKind kind = FileKind::kRegular;
  // Two names of one file (links, "..") have equal device and inode.
  std::uint64_t device = 0;
  std::uint64_t inode = 0;
  std::uint32_t permissions = 0;  // the mode's permission bits (07777)
};

// The bytes of a whole file, read-only, as its length was when they were
// mapped; the mapping is released when this object goes away. A mapping
// outlives the handle it came from, and a rename or removal of the file's
// name: it holds the file itself. Nothing past bytes().size() may be read.
class FileMapping {
 public:
  FileMapping(const FileMapping&) = delete;
  FileMapping& operator=(const FileMapping&) = delete;
  virtual ~FileMapping() = default;

  std::string_view bytes() const { return bytes_; }

 protected:
  explicit FileMapping(std::string_view bytes) : bytes_(bytes) {}

 private:
  std::string_view bytes_;
};

class FileSystem {
 public:
  virtual ~FileSystem() = default;

  // Opens a regular file or a directory; anything else fails with
  // OsError::kNotRegularFile, without waiting for a pipe's other end.
  [[nodiscard]] virtual Result<FileHandle, OsError> open(const std::string& path, OpenMode mode) = 0;
  // Creates a new, empty file for writing whose name starts with `prefix`,
  // in the prefix's directory; never opens an existing file or follows a
  // link. Returns the handle and sets `path` to the name made.
  [[nodiscard]] virtual Result<FileHandle, OsError> create_unique(const std::string& prefix, std::string& path) = 0;
  // Sets the permission bits of an open file.
  [[nodiscard]] virtual Result<void, OsError> set_permissions(FileHandle file, std::uint32_t permissions) = 0;
  // Closing never fails visibly: the data was handed over by write() already.
  virtual void close(FileHandle file) = 0;

  // Sequential read from the file's own position; 0 bytes means end of file.
  [[nodiscard]] virtual Result<std::size_t, OsError> read(FileHandle file, std::span<char> out) = 0;
  // Positioned read that leaves the file's position alone.
  [[nodiscard]] virtual Result<std::size_t, OsError> read_at(FileHandle file, std::uint64_t offset,
                                                             std::span<char> out) = 0;
  // Writes some prefix of `data` and returns its length (possibly 0).
  [[nodiscard]] virtual Result<std::size_t, OsError> write(FileHandle file, std::span<const char> data) = 0;
  [[nodiscard]] virtual Result<std::uint64_t, OsError> size(FileHandle file) = 0;
  // Maps the whole of a file open for reading, for reading only. Fails
  // (ENODEV, say) where the file cannot be mapped: callers then read it.
  [[nodiscard]] virtual Result<std::unique_ptr<FileMapping>, OsError> map_whole(FileHandle file) = 0;
  [[nodiscard]] virtual Result<void, OsError> truncate(FileHandle file, std::uint64_t length) = 0;
  // Forces the file's data to stable storage (fsync).
  [[nodiscard]] virtual Result<void, OsError> sync(FileHandle file) = 0;
  // Waits for an exclusive lock on the file, held until close().
  [[nodiscard]] virtual Result<void, OsError> lock_exclusive(FileHandle file) = 0;
  // Waits for a shared lock on the file (excluded only by exclusive locks),
  // held until close().
  [[nodiscard]] virtual Result<void, OsError> lock_shared(FileHandle file) = 0;

  // Attributes of the file a path names, following symbolic links.
  [[nodiscard]] virtual Result<FileAttributes, OsError> attributes(const std::string& path) = 0;
  // The path with its symbolic links and "." and ".." resolved as far as the
  // path exists, and the rest appended: two paths that name one file (or
  // would, once created) resolve alike, unless hard links join them.
  [[nodiscard]] virtual Result<std::string, OsError> resolve(const std::string& path) = 0;
  // Atomically replaces `to` (if present) by `from`.
  [[nodiscard]] virtual Result<void, OsError> rename(const std::string& from, const std::string& to) = 0;
  [[nodiscard]] virtual Result<void, OsError> remove(const std::string& path) = 0;
  // Forces the directory's entries (creations, renames, removals) to stable storage.
  [[nodiscard]] virtual Result<void, OsError> sync_directory(const std::string& path) = 0;
};

// The real file system of the process; lives until the process ends. It is
// defined with its implementation in posix_file_system.cc, so that this
// interface knows no implementation.
FileSystem& default_file_system();

}  // namespace sorvid
