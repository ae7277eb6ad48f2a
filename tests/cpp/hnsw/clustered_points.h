// Random points in Gaussian clusters, and the value lists that go with them,
// for tests of whole indexes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <random>
#include <span>
#include <vector>

namespace sorvid::hnsw {

using Rows = std::vector<std::vector<float>>;

// n points of `dim` values around 40 random centres (spread 0.4).
inline Rows clustered(std::size_t n, std::size_t dim, std::uint32_t seed) {
  std::mt19937 rng(seed);
  std::normal_distribution<float> normal;
  Rows centres(40, std::vector<float>(dim));
  for (auto& centre : centres) {
    for (float& x : centre) x = normal(rng);
  }
  Rows points(n, std::vector<float>(dim));
  for (auto& point : points) {
    const auto& centre = centres[rng() % centres.size()];
    for (std::size_t i = 0; i < dim; ++i) point[i] = centre[i] + 0.4f * normal(rng);
  }
  return points;
}

// first, first + 1, ..., first + count - 1.
inline std::vector<std::uint64_t> values_from(std::size_t first, std::size_t count) {
  std::vector<std::uint64_t> values(count);
  for (std::size_t i = 0; i < count; ++i) values[i] = first + i;
  return values;
}

inline Rows slice(const Rows& rows, std::size_t first, std::size_t count) {
  return Rows(rows.begin() + static_cast<std::ptrdiff_t>(first),
              rows.begin() + static_cast<std::ptrdiff_t>(first + count));
}

// Views of rows[first, first + count) in place, for an index: `rows` must
// outlive it unchanged (see point_views.h).
inline std::vector<std::span<const float>> slice_views(const Rows& rows, std::size_t first, std::size_t count) {
  return {rows.begin() + static_cast<std::ptrdiff_t>(first), rows.begin() + static_cast<std::ptrdiff_t>(first + count)};
}

}  // namespace sorvid::hnsw
