// PreparedQuery: a query copied into an aligned buffer with its norm, as a
// walk scores against it, with the copy its decision distances read against
// rows of its length (point_store.h): an eight-bit copy (int8_rows.h) for
// rows up to kLongestInt8Row values, and for longer ones two bfloat16 parts
// where the processor scores those faster (bf16_split_dots). The copy is
// made once per query, where the walk then scores it against thousands of
// rows. The buffers grow to the longest query seen and are reused, so
// repeated queries on one state allocate nothing.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "hnsw/aligned_floats.h"
#include "hnsw/point_store.h"

namespace sorvid::hnsw {

class PreparedQuery {
 public:
  // Copies `query` (scaled when underflow_scale says so) and measures the
  // copy's norm; the returned point is valid until the next call.
  QueryPoint load(std::span<const float> query);

 private:
  AlignedFloats buffer_;
  std::vector<std::int8_t> int8_;
  std::vector<std::uint16_t> high_;
  std::vector<std::uint16_t> low_;
};

}  // namespace sorvid::hnsw
