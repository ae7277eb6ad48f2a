#include "core/file.h"

#include <cerrno>
#include <utility>

namespace sorvid {

Result<File, StoreError> File::open(FileSystem& fs, const std::string& path, OpenMode mode) {
  for (;;) {
    Result<FileHandle, OsError> handle = fs.open(path, mode);
    if (handle) return File(fs, handle.value());
    // An open interrupted by a signal has done nothing yet, so it is repeated.
    const int code = handle.error().code;
    if (code == OsError::kNotRegularFile) return fail(StoreError::not_regular_file(path));
    if (code != EINTR) return fail(StoreError::from_os_error(code));
  }
}

Result<File, StoreError> File::create_unique(FileSystem& fs, const std::string& prefix, std::string& path) {
  for (;;) {
    Result<FileHandle, OsError> handle = fs.create_unique(prefix, path);
    if (handle) return File(fs, handle.value());
    if (handle.error().code != EINTR) return fail(StoreError::from_os_error(handle.error().code));
  }
}

Result<void, StoreError> File::set_permissions(std::uint32_t permissions) {
  Result<void, OsError> set = fs_->set_permissions(handle_, permissions);
  if (!set) return fail(StoreError::from_os_error(set.error().code));
  return {};
}

File::File(File&& other) noexcept : fs_(other.fs_), handle_(other.handle_), open_(std::exchange(other.open_, false)) {}

File& File::operator=(File&& other) noexcept {
  if (this != &other) {
    close();
    fs_ = other.fs_;
    handle_ = other.handle_;
    open_ = std::exchange(other.open_, false);
  }
  return *this;
}

File::~File() { close(); }

void File::close() {
  if (open_) fs_->close(handle_);
  open_ = false;
}

Result<std::size_t, StoreError> File::read(std::span<char> out) {
  for (;;) {
    Result<std::size_t, OsError> got = fs_->read(handle_, out);
    if (got) return got.value();
    if (got.error().code != EINTR) return fail(StoreError::from_os_error(got.error().code));
  }
}

Result<std::size_t, StoreError> File::read_at(std::uint64_t offset, std::span<char> out) {
  std::size_t filled = 0;
  while (filled < out.size()) {
    Result<std::size_t, OsError> got = fs_->read_at(handle_, offset + filled, out.subspan(filled));
    if (!got) {
      if (got.error().code == EINTR) continue;
      return fail(StoreError::from_os_error(got.error().code));
    }
    if (got.value() == 0) break;
    filled += got.value();
  }
  return filled;
}

Result<std::string, StoreError> File::read_to_end() {
  std::string text;
  char chunk[8192];
  for (;;) {
    Result<std::size_t, StoreError> got = read(chunk);
    if (!got) return fail(std::move(got).error());
    if (got.value() == 0) return text;
    text.append(chunk, got.value());
  }
}

Result<std::size_t, StoreError> File::write_some(std::span<const char> data) {
  for (;;) {
    Result<std::size_t, OsError> put = fs_->write(handle_, data);
    if (put) return put.value();
    if (put.error().code != EINTR) return fail(StoreError::from_os_error(put.error().code));
  }
}

Result<void, StoreError> File::write_all(std::span<const char> data, const char* zero_write_text) {
  while (!data.empty()) {
    Result<std::size_t, StoreError> put = write_some(data);
    if (!put) return fail(std::move(put).error());
    if (put.value() == 0) return fail(StoreError::io(zero_write_text));
    data = data.subspan(put.value());
  }
  return {};
}

Result<std::uint64_t, StoreError> File::size() {
  Result<std::uint64_t, OsError> length = fs_->size(handle_);
  if (!length) return fail(StoreError::from_os_error(length.error().code));
  return length.value();
}

Result<std::unique_ptr<FileMapping>, OsError> File::map_whole() { return fs_->map_whole(handle_); }

Result<void, StoreError> File::truncate(std::uint64_t length) {
  Result<void, OsError> done = fs_->truncate(handle_, length);
  if (!done) return fail(StoreError::from_os_error(done.error().code));
  return {};
}

Result<void, StoreError> File::sync() {
  Result<void, OsError> done = fs_->sync(handle_);
  if (!done) return fail(StoreError::from_os_error(done.error().code));
  return {};
}

Result<void, StoreError> File::lock_exclusive() {
  for (;;) {
    Result<void, OsError> locked = fs_->lock_exclusive(handle_);
    if (locked) return {};
    // A wait interrupted by a signal holds no lock yet; wait again.
    if (locked.error().code != EINTR) return fail(StoreError::from_os_error(locked.error().code));
  }
}

Result<void, StoreError> File::lock_shared() {
  for (;;) {
    Result<void, OsError> locked = fs_->lock_shared(handle_);
    if (locked) return {};
    if (locked.error().code != EINTR) return fail(StoreError::from_os_error(locked.error().code));
  }
}

}  // namespace sorvid
