// LineReader: reads a file through an 8192-byte buffer, one line at a time.
//
// A line ends at a line feed; the line feed and one carriage return right
// before it are removed. A last line without a line feed is still a line, and
// terminated() tells the two apart. The bytes are handed over unchecked; what
// they mean is WalReader's business.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "base/result.h"
#include "core/file.h"
#include "core/store_error.h"

namespace sorvid {

class LineReader {
 public:
  static constexpr std::size_t kBufferSize = 8192;

  explicit LineReader(File file);

  // Reads the next line into line(); false at the end of the file.
  [[nodiscard]] Result<bool, StoreError> next();
  const std::string& line() const { return line_; }
  // Whether line() ended with a line feed.
  bool terminated() const { return terminated_; }
  // Bytes taken from the file so far: everything up to the end of line(),
  // its line feed included, counted from the file's position at construction.
  std::uint64_t consumed() const { return consumed_; }

 private:
  [[nodiscard]] Result<bool, StoreError> refill();

  File file_;
  std::vector<char> buffer_;
  std::size_t begin_ = 0;  // unread bytes are buffer_[begin_, end_)
  std::size_t end_ = 0;
  std::string line_;
  bool terminated_ = false;
  std::uint64_t consumed_ = 0;
};

}  // namespace sorvid
