// VectorIndex: approximate nearest-neighbour search over a changing set of
// points, each carrying a value. This is the index's one header for the code
// above it; what stands behind it (an HNSW graph, how it is built, grown and
// walked) can change without that code noticing.
//
// Distances are cosine distances, bit for bit those of cosine_distance. A
// build is seeded: with the worker pool at one thread, the same seed, points
// and values give the same graph and so the same hits, and so do the same
// insertions after it; with more threads, parallel insertions interleave as
// they happen to run. Any number of threads may query one index at once;
// insert() and remove() run alone.
//
// Values are below 4294967295 and name at most one live point each; the
// index keeps a table indexed by value, so they should be dense (the store
// uses slot numbers).
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "hnsw/hit.h"
#include "hnsw/point_views.h"

namespace sorvid::hnsw {

class HnswIndex;

class VectorIndex {
 public:
  // The most hits one query returns.
  static constexpr std::size_t kMaxHits = 100;

  // Builds an index over `points`, point i carrying values[i], with a fresh
  // unpredictable seed. The index reads the viewed floats in place, so they
  // must outlive it unchanged (see point_views.h); it keeps only their norms
  // and reduced-precision copies of its own (point_store.h). Aborts the
  // process when there are 4294967295 points or more, when points and values
  // differ in number, or when a value is 4294967295 or more. Throws
  // std::bad_alloc when memory runs out.
  static VectorIndex build(PointViews points, std::span<const std::uint64_t> values);
  // The same with the build's seed given.
  static VectorIndex build(PointViews points, std::span<const std::uint64_t> values, std::uint64_t seed);

  // The index a graph file describes (see graph_file.h), over `points` in
  // snapshot order: point i carries value i, read in place as build() reads
  // its points. nullopt when the file is
  // damaged, stale (written for other snapshot bytes) or describes another
  // number of points.
  static std::optional<VectorIndex> read_graph(std::span<const char> file, std::uint64_t snapshot_fingerprint,
                                               PointViews points);

  // A moved-from index may only be assigned to or destroyed.
  VectorIndex(VectorIndex&&) noexcept;
  VectorIndex& operator=(VectorIndex&&) noexcept;
  ~VectorIndex();

  // Adds `points`, point i carrying values[i], with the build's procedure
  // (levels drawn with the build's distribution, 64 base links, neighbours'
  // lists selected again); in parallel on the worker pool when there are
  // many. The points are read in place as build() reads them, and so are
  // the points of removed values, which walks still pass through. A value
  // already live moves to its new point. Aborts as build() does. Throws
  // std::bad_alloc when memory runs out: unchanged when the points could not
  // be taken in, otherwise part-way through the insertion
  // (no lock held, safe to destroy, but to be rebuilt rather than used).
  void insert(PointViews points, std::span<const std::uint64_t> values);
  // Marks the live point carrying `value` removed: walked through by later
  // queries, never returned. False when no live point carries it.
  bool remove(std::uint64_t value);

  // Points, removed ones included.
  std::size_t size() const;
  std::size_t removed_count() const;
  // Points added by insert() since the build or read_graph().
  std::size_t inserted_since_build() const;

  // The live points nearest `query`, nearest first (equal distances by node,
  // NaN distances last): at most min(max_hits, kMaxHits) of them, fewer only
  // when fewer live points are reachable. A query whose length differs from a
  // point's is compared on their common prefix.
  std::vector<Hit> search(std::span<const float> query, std::size_t max_hits = kMaxHits) const;

  // The live points whose value is among `allowed` nearest `query`, nearest
  // first, ordered as search() orders hits (equal distances by node, NaN
  // distances last), with distances bit for bit those of search(). Values in
  // `allowed` that no live point carries are ignored, and so are repeats.
  // Returns exactly min(max_hits, kMaxHits, number of live points carrying an
  // allowed value) hits. Few allowed points are scored exactly; many are
  // found by the walk, which passes the others by (see filtered_search.h).
  std::vector<Hit> search_among(std::span<const float> query, std::span<const std::uint64_t> allowed,
                                std::size_t max_hits = kMaxHits) const;

  // Writes this index's graph file to `sink` in bounded chunks, tied to the
  // snapshot bytes with `snapshot_fingerprint`. Only an index whose values
  // are exactly 0 to size() - 1 with none removed (as the store builds the
  // index it saves: value = position in the snapshot) can be written: false
  // otherwise, for an empty index, or as soon as the sink returns false.
  bool write_graph(std::uint64_t snapshot_fingerprint, const std::function<bool(std::span<const char>)>& sink) const;

 private:
  explicit VectorIndex(std::unique_ptr<HnswIndex> graph);

  std::unique_ptr<HnswIndex> graph_;
};

}  // namespace sorvid::hnsw
