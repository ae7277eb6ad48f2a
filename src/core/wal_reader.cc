#include "core/wal_reader.h"

#include <algorithm>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/white_space.h"
#include "formats/json_error_text.h"
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

bool is_continuation_byte(char byte) { return (static_cast<unsigned char>(byte) & 0xC0) == 0x80; }

// Where a multi-byte character that was cut in two starts at the end of
// `line`: its first one to three bytes, the start of a well-formed sequence
// that the line ends before completing. line.size() when there is none.
std::size_t start_of_cut_character(std::string_view line) {
  std::size_t start = line.size();
  while (start > 0 && line.size() - start < 2 && is_continuation_byte(line[start - 1])) --start;
  if (start == 0) return line.size();
  --start;
  const std::string_view head = line.substr(start);
  // Completed by continuation bytes, the head must become one sequence longer
  // than itself. The byte after a lead byte may have to lie in 0x80..0x8F,
  // 0x90..0xBF or 0xA0..0xBF; the low end of each range is tried.
  for (const char second : {'\x80', '\x90', '\xA0'}) {
    std::string completed(head);
    if (completed.size() == 1) completed.push_back(second);
    completed.append(3, '\x80');
    const std::size_t length = decode_utf8(completed).length;
    if (length > head.size()) return start;
  }
  return line.size();
}

// The decoder ran out of text ("EOF while parsing ..."): nothing in the text
// was wrong, it stopped short. Such errors stand at the very end of the text.
bool ran_out_of_text(const JsonError& error, std::string_view text) {
  const bool end_of_text_error = error.text == error_text::kEofInValue || error.text == error_text::kEofInString ||
                                 error.text == error_text::kEofInList || error.text == error_text::kEofInObject;
  return end_of_text_error && error.line == 1 && error.column == text.size();
}

// The torn-tail rule, for a last line that lacks its line feed: true for a
// record (kept, into `record`), false for a torn tail (dropped), and for a
// corrupt line the very error decode_line gives it.
Result<bool, StoreError> decode_last_line(std::string_view line, WalRecord& record) {
  const std::string_view before_cut = line.substr(0, start_of_cut_character(line));
  const bool cut = before_cut.size() < line.size();
  if (!is_valid_utf8(before_cut)) return fail(StoreError::io(kInvalidUtf8Text));
  if (is_blank_line(before_cut)) return false;
  Result<WalRecord, JsonError> decoded = decode_record(before_cut);
  if (!decoded && ran_out_of_text(decoded.error(), before_cut)) return false;
  // A record followed by the start of a character is no prefix of a record.
  if (cut) return fail(StoreError::io(kInvalidUtf8Text));
  if (!decoded) return fail(StoreError::json(decoded.error().message()));
  record = std::move(decoded).value();
  return true;
}

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
    if (!lines_.terminated()) {
      // The last line; a torn tail leaves tail_ at the end of the line before.
      Result<bool, StoreError> last = decode_last_line(lines_.line(), record_);
      if (!last || !last.value()) return last;
      tail_ = LogTail{lines_.consumed(), true};
      ++record_count_;
      return true;
    }
    Result<bool, StoreError> decoded = decode_line(lines_.line(), record_);
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
  Result<bool, StoreError> judged = decode_last_line(line, record);
  if (!judged) return fail(std::move(judged).error());
  if (judged.value()) return LogTail{length, true};
  return LogTail{line_start.value(), false};
}

}  // namespace sorvid
