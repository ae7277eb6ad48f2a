// PointViews: the points handed to an index, as views into the caller's
// memory. The index reads them during the call only and keeps its own copy
// (one per point, in its PointStore), never the views.
#pragma once

#include <span>
#include <vector>

namespace sorvid::hnsw {

using PointViews = std::span<const std::span<const float>>;

// Views of rows held as vectors; valid while `rows` is unchanged.
inline std::vector<std::span<const float>> views_of(const std::vector<std::vector<float>>& rows) {
  return {rows.begin(), rows.end()};
}

}  // namespace sorvid::hnsw
