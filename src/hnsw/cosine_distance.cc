#include "hnsw/cosine_distance.h"

#include <algorithm>
#include <cmath>

namespace sorvid::hnsw {

float dot_in_order(const float* a, const float* b, std::size_t length) {
  float sum = -0.0f;
  for (std::size_t i = 0; i < length; ++i) {
    const float product = a[i] * b[i];
    sum += product;
  }
  return sum;
}

float point_norm(std::span<const float> point) {
  if (point.empty()) return 0.0f;
  return std::sqrt(dot_in_order(point.data(), point.data(), point.size()));
}

float distance_from_parts(float dot, float norm_a, float norm_b) {
  const float norm_product = norm_a * norm_b;
  if (norm_product == 0.0f) return 2.0f;
  float distance = 1.0f - dot / norm_product;
  // Written as comparisons, not min/max, so that a NaN falls through both.
  if (distance < 0.0f) distance = 0.0f;
  if (distance > 2.0f) distance = 2.0f;
  return distance;
}

float cosine_distance(std::span<const float> a, std::span<const float> b) {
  const std::size_t common = std::min(a.size(), b.size());
  const float dot = dot_in_order(a.data(), b.data(), common);
  return distance_from_parts(dot, point_norm(a), point_norm(b));
}

}  // namespace sorvid::hnsw
