// Small point sets placed by hand, for tests of the walk and the selection.
#pragma once

#include <cmath>
#include <deque>
#include <vector>

#include "hnsw/node_id.h"
#include "hnsw/point_store.h"

namespace sorvid::hnsw {

// The points as nodes 0, 1, ... in their given order. The store reads its
// rows in place, so it gets a copy of them that lives as long as the test
// program (tests pass these sets as temporaries).
inline PointStore store_of(const std::vector<std::vector<float>>& points) {
  static std::deque<std::vector<std::vector<float>>> kept;
  const std::vector<std::vector<float>>& rows = kept.emplace_back(points);
  std::vector<NodeId> identity(rows.size());
  for (std::size_t i = 0; i < identity.size(); ++i) identity[i] = static_cast<NodeId>(i);
  return PointStore(views_of(rows), identity);
}

// A point on the unit circle at `degrees`: cosine distances between such
// points are 1 - cos(angle between them).
inline std::vector<float> at_angle(double degrees) {
  const double radians = degrees * M_PI / 180.0;
  return {static_cast<float>(std::cos(radians)), static_cast<float>(std::sin(radians))};
}

}  // namespace sorvid::hnsw
