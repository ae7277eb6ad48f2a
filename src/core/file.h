// File: one open file of a FileSystem, closed when the object goes away.
//
// Adds to the raw operations what every caller needs: interrupted opens,
// reads, writes and lock waits are repeated (a failed sync or truncate is
// not), and whole-buffer writes report a write that accepts no bytes. A lock
// taken through a File is released when the File is closed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>

#include "base/result.h"
#include "core/file_system.h"
#include "core/store_error.h"

namespace sorvid {

class File {
 public:
  // A device, pipe or socket is refused with "not a regular file: <path>".
  [[nodiscard]] static Result<File, StoreError> open(FileSystem& fs, const std::string& path, OpenMode mode);
  // A new file named `prefix` plus a unique suffix (see
  // FileSystem::create_unique); `path` receives its name.
  [[nodiscard]] static Result<File, StoreError> create_unique(FileSystem& fs, const std::string& prefix,
                                                              std::string& path);

  File(File&& other) noexcept;
  File& operator=(File&& other) noexcept;
  File(const File&) = delete;
  File& operator=(const File&) = delete;
  ~File();

  // Reads up to out.size() bytes from the current position; 0 at end of file.
  [[nodiscard]] Result<std::size_t, StoreError> read(std::span<char> out);
  // Reads up to out.size() bytes at `offset`; fewer only at end of file.
  [[nodiscard]] Result<std::size_t, StoreError> read_at(std::uint64_t offset, std::span<char> out);
  // Reads the rest of the file.
  [[nodiscard]] Result<std::string, StoreError> read_to_end();

  // One write call, repeated while interrupted; returns the bytes accepted.
  [[nodiscard]] Result<std::size_t, StoreError> write_some(std::span<const char> data);
  // Writes every byte; a write that accepts none fails with `zero_write_text`.
  [[nodiscard]] Result<void, StoreError> write_all(std::span<const char> data,
                                                   const char* zero_write_text = kWriteZeroDirectText);

  [[nodiscard]] Result<std::uint64_t, StoreError> size();
  // The whole file mapped for reading (see FileSystem::map_whole); the
  // failure stays an OsError, since callers fall back to reading.
  [[nodiscard]] Result<std::unique_ptr<FileMapping>, OsError> map_whole();
  [[nodiscard]] Result<void, StoreError> truncate(std::uint64_t length);
  [[nodiscard]] Result<void, StoreError> sync();
  [[nodiscard]] Result<void, StoreError> set_permissions(std::uint32_t permissions);
  // Waits for the whole-file lock; held until this File is closed.
  [[nodiscard]] Result<void, StoreError> lock_exclusive();
  [[nodiscard]] Result<void, StoreError> lock_shared();

 private:
  File(FileSystem& fs, FileHandle handle) : fs_(&fs), handle_(handle) {}
  void close();

  FileSystem* fs_;
  FileHandle handle_;
  bool open_ = true;
};

}  // namespace sorvid
