// PointViews: the points handed to an index, as views into the caller's
// memory. The index keeps each view's pointer, not a copy of the point (its
// PointStore reads the caller's floats whenever it scores exactly): the
// viewed floats must stay valid and unchanged for the index's whole lifetime,
// including points later removed, which walks still pass through. Only the
// span of views itself may go away after the call.
#pragma once

#include <span>
#include <vector>

namespace sorvid::hnsw {

using PointViews = std::span<const std::span<const float>>;

// Views of rows held as vectors; valid while `rows` is unchanged.
inline std::vector<std::span<const float>> views_of(const std::vector<std::vector<float>>& rows) {
  return {rows.begin(), rows.end()};
}
// Views of a temporary would dangle once the index reads them.
std::vector<std::span<const float>> views_of(std::vector<std::vector<float>>&& rows) = delete;

}  // namespace sorvid::hnsw
