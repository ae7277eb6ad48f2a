#include "core/wal_appender.h"

#include <utility>

#include "core/file.h"
#include "core/wal_reader.h"

namespace sorvid {
namespace {

constexpr char kLineFeed = '\n';

}  // namespace

Result<WalAppender, StoreError> WalAppender::open(FileSystem& fs, const std::string& path) {
  Result<File, StoreError> file = File::open(fs, path, OpenMode::kReadAppend);
  if (!file) return fail(std::move(file).error());
  // Another store, in this process or another, may append to the same log or
  // compact it. Holding the lock from before the tail is inspected until the
  // file is closed keeps its lines from interleaving with ours inside a line,
  // and keeps a cut-back from removing its lines.
  Result<void, StoreError> locked = file.value().lock_exclusive();
  if (!locked) return fail(std::move(locked).error());
  return WalAppender(BufferedWriter(std::move(file).value()));
}

WalAppender::WalAppender(WalAppender&& other) noexcept
    : writer_(std::move(other.writer_)),
      state_(std::exchange(other.state_, State::kFinished)),
      start_length_(other.start_length_) {}

WalAppender::~WalAppender() {
  if (state_ == State::kWriting) roll_back();
}

Result<void, StoreError> WalAppender::append_line(std::string_view record_text) {
  if (state_ == State::kFailed || state_ == State::kFinished) return fail(StoreError::io("log appender is closed"));
  if (state_ == State::kUntouched) {
    Result<void, StoreError> repaired = repair_tail();
    if (!repaired) {
      state_ = State::kFailed;
      return repaired;
    }
    state_ = State::kWriting;
  }
  Result<void, StoreError> written = write_piece(record_text);
  if (written) written = write_piece(std::string_view(&kLineFeed, 1));
  return written;
}

Result<void, StoreError> WalAppender::finish() {
  if (state_ == State::kUntouched) {
    state_ = State::kFinished;
    return {};
  }
  if (state_ != State::kWriting) return fail(StoreError::io("log appender is closed"));
  Result<void, StoreError> flushed = writer_.flush();
  if (!flushed) {
    roll_back();
    return flushed;
  }
  state_ = State::kFinished;
  return {};
}

Result<void, StoreError> WalAppender::repair_tail() {
  File& file = writer_.file();
  Result<std::uint64_t, StoreError> size = file.size();
  if (!size) return fail(std::move(size).error());
  start_length_ = size.value();

  Result<LogTail, StoreError> tail = WalReader::read_tail(file, start_length_);
  if (!tail) return fail(std::move(tail).error());
  if (tail.value().needs_line_feed) {
    // The line feed goes through the buffer with the new lines, so a failure
    // later in this append cuts it away again.
    return writer_.write(std::string_view(&kLineFeed, 1));
  }
  if (tail.value().valid_end == start_length_) return {};
  Result<void, StoreError> cut = file.truncate(tail.value().valid_end);
  if (!cut) return cut;
  start_length_ = tail.value().valid_end;
  return {};
}

Result<void, StoreError> WalAppender::write_piece(std::string_view piece) {
  Result<void, StoreError> written = writer_.write(piece);
  if (!written) roll_back();
  return written;
}

void WalAppender::roll_back() {
  state_ = State::kFailed;
  writer_.discard();
  // Best effort: a failed cut leaves a partial last line, which the next
  // append's tail repair removes and which opening the store ignores.
  (void)writer_.file().truncate(start_length_);
}

}  // namespace sorvid
