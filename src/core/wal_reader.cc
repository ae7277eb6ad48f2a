#include "core/wal_reader.h"

#include <algorithm>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/white_space.h"
#include "formats/utf8.h"

namespace sorvid {
namespace {

constexpr char kLineFeed = '\n';
// read_tail looks for the last line feed in chunks of this size.
constexpr std::uint64_t kTailChunk = 8192;

// Decodes one line (without its line feed) into `record`: true for a record,
// false for a blank line, the error for a bad line.
Result<bool, StoreError> decode_line(std::string_view line, WalRecord& record) {
  if (!is_valid_utf8(line)) return fail(StoreError::io(kInvalidUtf8Text));
  if (is_blank_line(line)) return false;
  Result<WalRecord, JsonError> decoded = decode_record(line);
  if (!decoded) return fail(StoreError::json(decoded.error().message()));
  record = std::move(decoded).value();
  return true;
}

// The torn-tail rule: a last line without its line feed is kept only when it
// holds a record; a bad or blank one is what a crash left of an append.
bool kept_without_line_feed(const Result<bool, StoreError>& decoded) { return decoded.ok() && decoded.value(); }

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

}  // namespace

Result<bool, StoreError> WalReader::next() {
  for (;;) {
    Result<bool, StoreError> more = lines_.next();
    if (!more || !more.value()) return more;
    Result<bool, StoreError> decoded = decode_line(lines_.line(), record_);
    if (!lines_.terminated()) {
      // The last line; a torn tail leaves tail_ at the end of the line before.
      if (!kept_without_line_feed(decoded)) return false;
      tail_ = LogTail{lines_.consumed(), true};
      ++record_count_;
      return true;
    }
    if (!decoded) return fail(std::move(decoded).error());
    tail_.valid_end = lines_.consumed();
    if (decoded.value()) {
      ++record_count_;
      return true;
    }
  }
}

Result<LogTail, StoreError> WalReader::read_tail(File& log, std::uint64_t length) {
  const LogTail whole{length, false};
  if (length == 0) return whole;
  char last = kLineFeed;
  Result<std::size_t, StoreError> got = log.read_at(length - 1, std::span<char>(&last, 1));
  if (!got) return fail(std::move(got).error());
  if (got.value() == 0 || last == kLineFeed) return whole;

  Result<std::uint64_t, StoreError> line_start = start_of_last_line(log, length);
  if (!line_start) return fail(std::move(line_start).error());
  std::string line(length - line_start.value(), '\0');
  got = log.read_at(line_start.value(), line);
  if (!got) return fail(std::move(got).error());
  line.resize(got.value());

  WalRecord record;
  if (kept_without_line_feed(decode_line(line, record))) return LogTail{length, true};
  return LogTail{line_start.value(), false};
}

}  // namespace sorvid
