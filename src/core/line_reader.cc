#include "core/line_reader.h"

#include <cstring>
#include <utility>

namespace sorvid {

LineReader::LineReader(File file) : file_(std::move(file)), buffer_(kBufferSize) {}

Result<bool, StoreError> LineReader::refill() {
  Result<std::size_t, StoreError> got = file_.read(buffer_);
  if (!got) return fail(std::move(got).error());
  begin_ = 0;
  end_ = got.value();
  return end_ > 0;
}

Result<bool, StoreError> LineReader::next() {
  line_.clear();
  terminated_ = false;
  bool read_any = false;
  for (;;) {
    if (begin_ == end_) {
      Result<bool, StoreError> more = refill();
      if (!more) return more;
      if (!more.value()) return read_any;
    }
    read_any = true;
    const char* start = buffer_.data() + begin_;
    const char* stop = buffer_.data() + end_;
    // memchr scans a word or a vector at a time; a plain loop here was a tenth of a log replay.
    const void* found = std::memchr(start, '\n', static_cast<std::size_t>(stop - start));
    const char* feed = found != nullptr ? static_cast<const char*>(found) : stop;
    line_.append(start, feed);
    consumed_ += static_cast<std::uint64_t>(feed - start);
    if (feed != stop) {
      begin_ += static_cast<std::size_t>(feed - start) + 1;
      consumed_ += 1;
      terminated_ = true;
      if (!line_.empty() && line_.back() == '\r') line_.pop_back();
      return true;
    }
    begin_ = end_;
  }
}

}  // namespace sorvid
