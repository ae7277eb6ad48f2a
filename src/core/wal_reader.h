// WalReader: reads the write-ahead log and hands out its records in file order.
//
// The log is a sequence of lines, split by LineReader (a line ends at a line
// feed; one carriage return right before it is dropped). Each line is
//   - blank: empty, or only Unicode white space (is_blank_line); skipped;
//   - a record: valid UTF-8 that decodes as a WalRecord; handed out;
//   - bad: anything else, which is corruption and fails the read: bytes that
//     are not UTF-8 with kIo "stream did not contain valid UTF-8", anything
//     else with the decoder's text (kJson).
// Only the last line can lack its line feed. A crash can tear only the end of
// one append, so that line, when it holds no record, is a torn tail only if
// it is a proper prefix of a record: blank, or text whose decoding runs out
// of text (an "EOF while parsing ..." error at its very end), possibly
// followed by the first bytes of a multi-byte character cut in two. A torn
// tail is dropped, and the next append cuts it away. Any other bad last line
// fails the read exactly as it would with its line feed: a log whose records
// are separated by something other than line feeds is refused, never taken
// for one torn line. Records are handed out unchecked (the store judges their
// embeddings).
//
// What the reader decided about the end of the log is a LogTail. The appender
// asks for it before its first byte (read_tail, which reads the last line
// only) and cuts or completes the last line accordingly, or fails with the
// read's error when that line is corrupt, so a replay and a repair always
// agree on which bytes hold records.
#pragma once

#include <cstdint>
#include <utility>

#include "base/result.h"
#include "core/file.h"
#include "core/line_reader.h"
#include "core/store_error.h"
#include "formats/wal_record.h"

namespace sorvid {

struct LogTail {
  // The length of the log without its torn tail; the whole length when there
  // is none. Every byte before it belongs to a blank line or a record.
  std::uint64_t valid_end = 0;
  // The last line is a record whose line feed is missing.
  bool needs_line_feed = false;

  bool operator==(const LogTail&) const = default;
};

class WalReader {
 public:
  // Reads `log` from its position, which must be the start of the file.
  explicit WalReader(File log) : lines_(std::move(log)) {}

  // Moves to the next record; false at the end of the log, torn tail dropped.
  [[nodiscard]] Result<bool, StoreError> next();
  // The record next() moved to; the caller may take it apart.
  WalRecord& record() { return record_; }
  // The records handed out so far.
  std::uint64_t record_count() const { return record_count_; }
  // The end of the log as far as it was read; final once next() returned false.
  const LogTail& tail() const { return tail_; }

  // The LogTail of a log of `length` bytes, judged from its last line alone by
  // the same rule: equal to tail() after a full read of any log that reads
  // without error, and when the last line lacks its line feed and is
  // corrupt, the error that a full read fails with there. Reads only that
  // line, from its end back to the line feed before it.
  [[nodiscard]] static Result<LogTail, StoreError> read_tail(File& log, std::uint64_t length);

 private:
  LineReader lines_;
  WalRecord record_;
  std::uint64_t record_count_ = 0;
  LogTail tail_;
};

}  // namespace sorvid
