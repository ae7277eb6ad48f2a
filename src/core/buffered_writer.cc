#include "core/buffered_writer.h"

#include <cstring>
#include <span>
#include <utility>

namespace sorvid {

BufferedWriter::BufferedWriter(File file) : file_(std::move(file)), buffer_(kCapacity) {}

Result<void, StoreError> BufferedWriter::write(std::string_view piece) {
  if (piece.size() > spare()) {
    Result<void, StoreError> flushed = flush();
    if (!flushed) return flushed;
  }
  if (piece.size() >= kCapacity) return file_.write_all(piece, kWriteZeroDirectText);
  std::memcpy(buffer_.data() + used_, piece.data(), piece.size());
  used_ += piece.size();
  return {};
}

Result<void, StoreError> BufferedWriter::flush() {
  std::size_t written = 0;
  Result<void, StoreError> result;
  while (written < used_) {
    Result<std::size_t, StoreError> put =
        file_.write_some(std::span<const char>(buffer_.data() + written, used_ - written));
    if (!put) {
      result = fail(std::move(put).error());
      break;
    }
    if (put.value() == 0) {
      result = fail(StoreError::io(kWriteZeroBufferedText));
      break;
    }
    written += put.value();
  }
  // Keep what was not written at the front of the buffer.
  std::memmove(buffer_.data(), buffer_.data() + written, used_ - written);
  used_ -= written;
  return result;
}

}  // namespace sorvid
