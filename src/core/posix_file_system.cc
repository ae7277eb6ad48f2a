#include "core/posix_file_system.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <limits>
#include <random>
#include <system_error>

namespace sorvid {
namespace {

// The C library ends a path at its first NUL, so a path holding one would
// name some other file; such a path names no file at all here.
bool has_embedded_nul(const std::string& path) { return path.find('\0') != std::string::npos; }

constexpr OsError kInvalidPath{EINVAL};

// O_NONBLOCK makes the open of a pipe return at once instead of waiting for
// its other end; it changes nothing for regular files and directories.
int open_flags(OpenMode mode) {
  switch (mode) {
    case OpenMode::kRead: return O_RDONLY | O_CLOEXEC | O_NONBLOCK;
    case OpenMode::kReadAppend: return O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC | O_NONBLOCK;
    case OpenMode::kCreateTruncate: return O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NONBLOCK;
  }
  return O_RDONLY | O_CLOEXEC | O_NONBLOCK;
}

FileAttributes attributes_of(const struct stat& info) {
  FileKind kind = FileKind::kOther;
  if (S_ISREG(info.st_mode)) kind = FileKind::kRegular;
  if (S_ISDIR(info.st_mode)) kind = FileKind::kDirectory;
  return FileAttributes{static_cast<std::uint64_t>(info.st_size), kind, static_cast<std::uint64_t>(info.st_dev),
                        static_cast<std::uint64_t>(info.st_ino), static_cast<std::uint32_t>(info.st_mode & 07777)};
}

// A name no other process will guess: 64 bits from the system's generator.
std::string random_suffix() {
  std::random_device device;
  const std::uint64_t bits = (std::uint64_t{device()} << 32) ^ device();
  char text[17];
  std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(bits));
  return text;
}

// Attempts at a fresh name before create_unique gives up; a clash is a
// 1 in 2^64 event, or a sign that the directory is hostile.
constexpr int kUniqueNameAttempts = 16;

// Links followed at the end of a path before resolve() gives up following
// (the kernel's own limit is 40).
constexpr int kMaxLinkHops = 40;

// Files are created with 0666, narrowed by the process umask.
constexpr mode_t kCreateMode = 0666;

Result<void, OsError> status_of(int rc) {
  if (rc != 0) return fail(OsError{errno});
  return {};
}

Result<std::size_t, OsError> count_of(ssize_t rc) {
  if (rc < 0) return fail(OsError{errno});
  return static_cast<std::size_t>(rc);
}

// A private, read-only mapping of a file, unmapped on destruction. Private
// and read-only: the process never writes through it, and what others
// write to the file later may or may not show (the kernel's choice). A
// cut of the file's length by another process while mapped would make a
// read of the cut pages fault; the store never cuts a snapshot in place
// (a compaction replaces it by rename, and the old file stays whole).
class PosixMapping final : public FileMapping {
 public:
  PosixMapping(void* address, std::size_t length)
      : FileMapping(std::string_view(static_cast<const char*>(address), length)), address_(address), length_(length) {}
  ~PosixMapping() override {
    if (length_ > 0) ::munmap(address_, length_);
  }

 private:
  void* address_;
  std::size_t length_;
};

}  // namespace

Result<FileHandle, OsError> PosixFileSystem::open(const std::string& path, OpenMode mode) {
  if (has_embedded_nul(path)) return fail(kInvalidPath);
  const int fd = ::open(path.c_str(), open_flags(mode), kCreateMode);
  if (fd < 0) return fail(OsError{errno});
  struct stat info{};
  if (::fstat(fd, &info) != 0 || !(S_ISREG(info.st_mode) || S_ISDIR(info.st_mode))) {
    ::close(fd);
    return fail(OsError{OsError::kNotRegularFile});
  }
  return fd;
}

Result<FileHandle, OsError> PosixFileSystem::create_unique(const std::string& prefix, std::string& path) {
  if (has_embedded_nul(prefix)) return fail(kInvalidPath);
  for (int attempt = 0;; ++attempt) {
    path = prefix + "." + random_suffix();
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, kCreateMode);
    if (fd >= 0) return fd;
    if (errno != EEXIST || attempt + 1 == kUniqueNameAttempts) return fail(OsError{errno});
  }
}

Result<void, OsError> PosixFileSystem::set_permissions(FileHandle file, std::uint32_t permissions) {
  return status_of(::fchmod(file, static_cast<mode_t>(permissions)));
}

void PosixFileSystem::close(FileHandle file) { ::close(file); }

Result<std::size_t, OsError> PosixFileSystem::read(FileHandle file, std::span<char> out) {
  return count_of(::read(file, out.data(), out.size()));
}

Result<std::size_t, OsError> PosixFileSystem::read_at(FileHandle file, std::uint64_t offset, std::span<char> out) {
  return count_of(::pread(file, out.data(), out.size(), static_cast<off_t>(offset)));
}

Result<std::size_t, OsError> PosixFileSystem::write(FileHandle file, std::span<const char> data) {
  return count_of(::write(file, data.data(), data.size()));
}

Result<std::uint64_t, OsError> PosixFileSystem::size(FileHandle file) {
  struct stat info{};
  if (::fstat(file, &info) != 0) return fail(OsError{errno});
  return static_cast<std::uint64_t>(info.st_size);
}

Result<std::unique_ptr<FileMapping>, OsError> PosixFileSystem::map_whole(FileHandle file) {
  struct stat info{};
  if (::fstat(file, &info) != 0) return fail(OsError{errno});
  if (!S_ISREG(info.st_mode)) return fail(OsError{ENODEV});
  if (static_cast<std::uint64_t>(info.st_size) > std::numeric_limits<std::size_t>::max()) return fail(OsError{EFBIG});
  const auto length = static_cast<std::size_t>(info.st_size);
  // A mapping of length 0 is refused by mmap; an empty file has no bytes to show.
  if (length == 0) return std::unique_ptr<FileMapping>(std::make_unique<PosixMapping>(nullptr, 0));
  void* address = ::mmap(nullptr, length, PROT_READ, MAP_PRIVATE, file, 0);
  if (address == MAP_FAILED) return fail(OsError{errno});
  // Reading ahead starts at once and the pages are mapped as the readers
  // reach them, on their own threads; MAP_POPULATE, which maps every page in
  // this call, measured no faster with the file cached and makes a cold
  // file's whole read wait before the first byte is looked at. Advice only:
  // its failure changes nothing.
  static_cast<void>(::madvise(address, length, MADV_WILLNEED));
  return std::unique_ptr<FileMapping>(std::make_unique<PosixMapping>(address, length));
}

Result<void, OsError> PosixFileSystem::truncate(FileHandle file, std::uint64_t length) {
  return status_of(::ftruncate(file, static_cast<off_t>(length)));
}

Result<void, OsError> PosixFileSystem::sync(FileHandle file) { return status_of(::fsync(file)); }

// flock, not fcntl record locks: a record lock belongs to the process and
// goes away at the first close() of any descriptor of the file in it.
Result<void, OsError> PosixFileSystem::lock_exclusive(FileHandle file) { return status_of(::flock(file, LOCK_EX)); }

Result<void, OsError> PosixFileSystem::lock_shared(FileHandle file) { return status_of(::flock(file, LOCK_SH)); }

Result<FileAttributes, OsError> PosixFileSystem::attributes(const std::string& path) {
  struct stat info{};
  if (has_embedded_nul(path)) return fail(kInvalidPath);
  if (::stat(path.c_str(), &info) != 0) return fail(OsError{errno});
  return attributes_of(info);
}

Result<std::string, OsError> PosixFileSystem::resolve(const std::string& path) {
  if (has_embedded_nul(path)) return fail(kInvalidPath);
  std::error_code error;
  std::filesystem::path resolved = std::filesystem::absolute(path, error);
  if (error) return fail(OsError{error.value()});
  // A link whose target does not exist yet is followed too: creating the
  // link's path would create its target. (weakly_canonical stops at it.)
  for (int hop = 0; hop < kMaxLinkHops; ++hop) {
    if (!std::filesystem::is_symlink(std::filesystem::symlink_status(resolved, error))) break;
    const std::filesystem::path target = std::filesystem::read_symlink(resolved, error);
    if (error) break;
    resolved = target.is_absolute() ? target : resolved.parent_path() / target;
  }
  resolved = std::filesystem::weakly_canonical(resolved, error);
  if (error) return fail(OsError{error.value()});
  return resolved.string();
}

Result<void, OsError> PosixFileSystem::rename(const std::string& from, const std::string& to) {
  if (has_embedded_nul(from) || has_embedded_nul(to)) return fail(kInvalidPath);
  return status_of(std::rename(from.c_str(), to.c_str()));
}

Result<void, OsError> PosixFileSystem::remove(const std::string& path) {
  if (has_embedded_nul(path)) return fail(kInvalidPath);
  return status_of(::unlink(path.c_str()));
}

Result<void, OsError> PosixFileSystem::sync_directory(const std::string& path) {
  if (has_embedded_nul(path)) return fail(kInvalidPath);
  int fd = -1;
  do {
    fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return fail(OsError{errno});
  Result<void, OsError> synced = status_of(::fsync(fd));
  ::close(fd);
  return synced;
}

FileSystem& default_file_system() {
  // Never destroyed, so that stores alive during static destruction can still
  // reach it.
  static PosixFileSystem* const instance = new PosixFileSystem();
  return *instance;
}

}  // namespace sorvid
