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
// clamped to [0, 2]. A NaN passes the clamp unchanged.
float distance_from_parts(float dot, float norm_a, float norm_b);

// 1 - dot(a, b) / (|a| * |b|). The dot product covers the common prefix when
// the lengths differ; each norm covers its own point in full.
float cosine_distance(std::span<const float> a, std::span<const float> b);

}  // namespace sorvid::hnsw
