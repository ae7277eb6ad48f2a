#include "hnsw/cosine_distance.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

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

int underflow_scale(std::span<const float> point, float norm) {
  // sqrt is monotone and 2^-63 is the root of 2^-126, the smallest normal.
  if (!(norm <= 0x1.0p-63f)) return 0;
  if (!(dot_in_order(point.data(), point.data(), point.size()) < std::numeric_limits<float>::min())) return 0;
  float largest = 0.0f;
  for (const float x : point) largest = std::max(largest, std::fabs(x));
  if (largest == 0.0f) return 0;
  return -std::ilogb(largest);
}

namespace {

// The sum of (a[i] * 2^scale_a) * (b[i] * 2^scale_b), in index order from
// -0.0: dot_in_order over the scaled points.
float scaled_dot_in_order(const float* a, int scale_a, const float* b, int scale_b, std::size_t length) {
  float sum = -0.0f;
  for (std::size_t i = 0; i < length; ++i) {
    const float product = std::ldexp(a[i], scale_a) * std::ldexp(b[i], scale_b);
    sum += product;
  }
  return sum;
}

float scaled_norm(std::span<const float> point, int scale) {
  if (point.empty()) return 0.0f;
  return std::sqrt(scaled_dot_in_order(point.data(), scale, point.data(), scale, point.size()));
}

}  // namespace

float copy_as_scored(std::span<const float> point, float* out) {
  if (!point.empty()) std::memcpy(out, point.data(), point.size() * sizeof(float));
  const float norm = point_norm(point);
  const int scale = underflow_scale(point, norm);
  if (scale == 0) return norm;
  for (std::size_t i = 0; i < point.size(); ++i) out[i] = std::ldexp(point[i], scale);
  return point_norm({out, point.size()});
}

float cosine_distance(std::span<const float> a, std::span<const float> b) {
  const std::size_t common = std::min(a.size(), b.size());
  const float norm_a = point_norm(a);
  const float norm_b = point_norm(b);
  const int scale_a = underflow_scale(a, norm_a);
  const int scale_b = underflow_scale(b, norm_b);
  if (scale_a == 0 && scale_b == 0) {
    return distance_from_parts(dot_in_order(a.data(), b.data(), common), norm_a, norm_b);
  }
  const float dot = scaled_dot_in_order(a.data(), scale_a, b.data(), scale_b, common);
  return distance_from_parts(dot, scaled_norm(a, scale_a), scaled_norm(b, scale_b));
}

}  // namespace sorvid::hnsw
