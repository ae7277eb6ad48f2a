// WalAppender: appends the record lines of one mutation to the write-ahead log.
//
// One appender is one open of the log (append mode, created when missing),
// holding an exclusive lock on it, and one 8192-byte buffer; the file (and
// with it the lock) is closed when the appender goes away. The lines of one
// appender reach the log whole or not at all:
//   - Before the first byte is written, the end of the log is repaired as
//     WalReader::read_tail judges it: a last line that is a record without
//     its line feed gets the line feed, a torn tail is cut away, so that the
//     new lines follow exactly the records a replay applies. A corrupt last
//     line fails the append with its error before anything is written: new
//     records behind it could never be replayed.
//   - The log's length after that repair is remembered; when any write fails,
//     or the appender is dropped before finish() succeeded, the file is cut
//     back to it (best effort; the first error stays the result).
// An appender that is given no line writes nothing and leaves the file as it
// was (creating it, empty, when missing).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "base/result.h"
#include "core/buffered_writer.h"
#include "core/file_system.h"
#include "core/store_error.h"

namespace sorvid {

class WalAppender {
 public:
  [[nodiscard]] static Result<WalAppender, StoreError> open(FileSystem& fs, const std::string& path);

  WalAppender(WalAppender&& other) noexcept;
  WalAppender& operator=(WalAppender&&) = delete;
  ~WalAppender();

  // Adds `record_text` and a line feed. After a failure the appender has cut
  // the log back and accepts nothing more.
  [[nodiscard]] Result<void, StoreError> append_line(std::string_view record_text);
  // Writes out what is still buffered; the lines are then in the log.
  [[nodiscard]] Result<void, StoreError> finish();
  // Whether the log was empty (perhaps just created) when this appender
  // began writing; false before the first line.
  bool found_log_empty() const { return state_ != State::kUntouched && start_length_ == 0; }

 private:
  enum class State { kUntouched, kWriting, kFinished, kFailed };

  explicit WalAppender(BufferedWriter writer) : writer_(std::move(writer)) {}

  [[nodiscard]] Result<void, StoreError> repair_tail();
  [[nodiscard]] Result<void, StoreError> write_piece(std::string_view piece);
  // Cuts the log back to its length before this appender wrote anything.
  void roll_back();

  BufferedWriter writer_;
  State state_ = State::kUntouched;
  std::uint64_t start_length_ = 0;  // valid once state_ is Writing
};

}  // namespace sorvid
