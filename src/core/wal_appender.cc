#include "core/wal_appender.h"

#include <algorithm>
#include <utility>
#include <vector>

#include "core/file.h"
#include "formats/utf8.h"
#include "formats/wal_record.h"

namespace sorvid {
namespace {

constexpr char kLineFeed = '\n';
constexpr std::uint64_t kTailChunk = 8192;

// Position just after the last line feed before `end`, or 0 when there is none.
Result<std::uint64_t, StoreError> start_of_last_line(File& file, std::uint64_t end) {
  std::vector<char> chunk;
  while (end > 0) {
    const std::uint64_t begin = end > kTailChunk ? end - kTailChunk : 0;
    chunk.resize(end - begin);
    Result<std::size_t, StoreError> got = file.read_at(begin, chunk);
    if (!got) return fail(std::move(got).error());
    chunk.resize(got.value());
    auto found = std::find(chunk.rbegin(), chunk.rend(), kLineFeed);
    if (found != chunk.rend()) return begin + static_cast<std::uint64_t>(chunk.rend() - found);
    end = begin;
  }
  return std::uint64_t{0};
}

// A last line is kept when a reopen would apply it.
bool is_whole_record(std::string_view line) { return is_valid_utf8(line) && decode_record(line).ok(); }

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
  if (start_length_ == 0) return {};

  char last = kLineFeed;
  Result<std::size_t, StoreError> got = file.read_at(start_length_ - 1, std::span<char>(&last, 1));
  if (!got) return fail(std::move(got).error());
  if (got.value() == 0 || last == kLineFeed) return {};

  Result<std::uint64_t, StoreError> line_start = start_of_last_line(file, start_length_);
  if (!line_start) return fail(std::move(line_start).error());
  std::string line(start_length_ - line_start.value(), '\0');
  got = file.read_at(line_start.value(), line);
  if (!got) return fail(std::move(got).error());
  line.resize(got.value());

  if (is_whole_record(line)) {
    // The line feed goes through the buffer with the new lines, so a failure
    // later in this append cuts it away again.
    return writer_.write(std::string_view(&kLineFeed, 1));
  }
  Result<void, StoreError> cut = file.truncate(line_start.value());
  if (!cut) return cut;
  start_length_ = line_start.value();
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
