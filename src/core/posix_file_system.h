// PosixFileSystem: the FileSystem of the operating system, by POSIX calls.
#pragma once

#include "core/file_system.h"

namespace sorvid {

class PosixFileSystem final : public FileSystem {
 public:
  Result<FileHandle, OsError> open(const std::string& path, OpenMode mode) override;
  Result<FileHandle, OsError> create_unique(const std::string& prefix, std::string& path) override;
  Result<void, OsError> set_permissions(FileHandle file, std::uint32_t permissions) override;
  void close(FileHandle file) override;
  Result<std::size_t, OsError> read(FileHandle file, std::span<char> out) override;
  Result<std::size_t, OsError> read_at(FileHandle file, std::uint64_t offset, std::span<char> out) override;
  Result<std::size_t, OsError> write(FileHandle file, std::span<const char> data) override;
  Result<std::uint64_t, OsError> size(FileHandle file) override;
  Result<std::unique_ptr<FileMapping>, OsError> map_whole(FileHandle file) override;
  Result<void, OsError> truncate(FileHandle file, std::uint64_t length) override;
  Result<void, OsError> sync(FileHandle file) override;
  Result<void, OsError> lock_exclusive(FileHandle file) override;
  Result<void, OsError> lock_shared(FileHandle file) override;
  Result<FileAttributes, OsError> attributes(const std::string& path) override;
  Result<std::string, OsError> resolve(const std::string& path) override;
  Result<void, OsError> rename(const std::string& from, const std::string& to) override;
  Result<void, OsError> remove(const std::string& path) override;
  Result<void, OsError> sync_directory(const std::string& path) override;
};

}  // namespace sorvid
