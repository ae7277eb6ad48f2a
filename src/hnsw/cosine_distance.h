// The system's only distance, written out exactly as defined so that every
// faster path can be checked against it bit for bit.
//
// All arithmetic is in 32-bit floats. Every sum starts at -0.0 and adds one
// rounded product at a time in index order; the build forbids contraction
// into fused multiply-add, so the same inputs give the same bits everywhere.
#pragma once

#include <cstddef>
#include <span>

namespace sorvid::hnsw {

// The sum of a[i] * b[i] for i < length, in index order, starting at -0.0.
float dot_in_order(const float* a, const float* b, std::size_t length);

// The square root of the in-order sum of squares; 0 for an empty point (the
// root of the empty sum is not taken).
float point_norm(std::span<const float> point);

// Finishes a distance from the dot product and the two norms: exactly 2.0 when
// the product of the norms is zero, otherwise 1 - dot / (norm_a * norm_b)
// clamped to [0, 2]. A NaN passes the clamp unchanged. Inline: every scored
// node of a walk goes through it.
inline float distance_from_parts(float dot, float norm_a, float norm_b) {
  const float norm_product = norm_a * norm_b;
  if (norm_product == 0.0f) return 2.0f;
  float distance = 1.0f - dot / norm_product;
  // Written as comparisons, not min/max, so that a NaN falls through both.
  if (distance < 0.0f) distance = 0.0f;
  if (distance > 2.0f) distance = 2.0f;
  return distance;
}

// The power of two a point is scaled by before its part of a distance is
// computed. A point whose in-order sum of squares is below the smallest
// normal float (0 or subnormal) although some value is not zero would have a
// norm of 0 or a few bits; the distance, which does not depend on either
// point's scale, is computed on it times 2^e, which brings its largest |value|
// into [1, 2) and is exact for every value. Returns that e (63 to 149), and 0
// for every other point, whose values are used as they are. `norm` must be
// point_norm(point): only a norm up to 2^-63 can come from such a sum.
int underflow_scale(std::span<const float> point, float norm);

// Copies `point` to `out` as distances use it (times 2^underflow_scale) and
// returns the copy's norm, so that scoring the copy with its norm gives
// cosine_distance's bits.
float copy_as_scored(std::span<const float> point, float* out);

// 1 - dot(a, b) / (|a| * |b|), on each point scaled as underflow_scale says.
// The dot product covers the common prefix when the lengths differ; each norm
// covers its own point in full.
float cosine_distance(std::span<const float> a, std::span<const float> b);

}  // namespace sorvid::hnsw
