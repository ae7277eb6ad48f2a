// PreparedQuery: a query copied into an aligned buffer with its norm, as a
// walk scores against it. The buffer grows to the longest query seen and is
// reused, so repeated queries on one state allocate nothing.
#pragma once

#include <span>

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
};

}  // namespace sorvid::hnsw
