// VectorIndex: approximate nearest-neighbour search over a fixed set of
// points, each carrying a 64-bit value. This is the index's one header for
// the code above it; what stands behind it (an HNSW graph, how it is built
// and walked) can change without that code noticing.
//
// Distances are cosine distances, bit for bit those of cosine_distance. A
// build is seeded: with the worker pool at one thread, the same seed, points
// and values give the same graph and so the same hits; with more threads,
// parallel insertions interleave as they happen to run. Any number of threads
// may query one index at once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "hnsw/hit.h"

namespace sorvid::hnsw {

class HnswIndex;

class VectorIndex {
 public:
  // The most hits one query returns.
  static constexpr std::size_t kMaxHits = 100;

  // Builds an index over `points` (consumed), point i carrying values[i],
  // with a fresh unpredictable seed. Aborts the process when there are
  // 4294967295 points or more, or when points and values differ in number.
  static VectorIndex build(std::vector<std::vector<float>> points, std::vector<std::uint64_t> values);
  // The same with the build's seed given.
  static VectorIndex build(std::vector<std::vector<float>> points, std::vector<std::uint64_t> values,
                           std::uint64_t seed);

  // A moved-from index may only be assigned to or destroyed.
  VectorIndex(VectorIndex&&) noexcept;
  VectorIndex& operator=(VectorIndex&&) noexcept;
  ~VectorIndex();

  std::size_t size() const;

  // The points nearest `query`, nearest first (equal distances by node, NaN
  // distances last): at most min(max_hits, kMaxHits) of them. A query whose
  // length differs from a point's is compared on their common prefix.
  std::vector<Hit> search(std::span<const float> query, std::size_t max_hits = kMaxHits) const;

 private:
  explicit VectorIndex(std::unique_ptr<HnswIndex> graph);

  std::unique_ptr<HnswIndex> graph_;
};

}  // namespace sorvid::hnsw
