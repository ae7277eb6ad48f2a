// LiveInsertion: adds points to a finished index in place, with the build's
// procedure, instead of building the graph again.
//
// Each new node draws its highest layer ("level") with the build's
// distribution, P(level >= k) = level_factor()^k, from the index's own
// generator (seeded from the build's seed, so serial insertions are
// reproducible). Its insertion first walks the graph: a greedy descent from
// the entry through the layers above its level, then, on each layer from its
// level down to the base, a walk of width kBuildWidth whose results the
// neighbour selection chooses from (64 on the base layer; the first 32 of
// the selection above). Only then does it write its own lists and link back
// into its neighbours' lists (link_back.h). A node whose level is above the
// top becomes the entry, with new layers holding it alone.
//
// Locking: a node holds its own lock for its whole insertion and takes its
// neighbours' locks one at a time. Since a node becomes reachable only after
// its whole walk, a node waits only for nodes that became reachable before
// its walk ended, and no cycle of waits can form.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "hnsw/build_rng.h"
#include "hnsw/hnsw_index.h"
#include "hnsw/node_id.h"
#include "hnsw/point_views.h"

namespace sorvid::hnsw {

class LiveInsertion {
 public:
  // At least this many new nodes below the top are inserted in parallel on
  // the worker pool; fewer, on the calling thread in input order.
  static constexpr std::size_t kParallelMinimum = 256;

  // Adds `points` to `index` as nodes size(), size() + 1, ..., point i
  // carrying values[i]; a value already live moves to its new point (the old
  // node counts as removed). Aborts the process when the index would reach
  // 4294967295 nodes, when points and values differ in number, or when a
  // value is 4294967295 or more. Throws std::bad_alloc as
  // VectorIndex::insert describes.
  static void insert(HnswIndex& index, PointViews points, std::span<const std::uint64_t> values);

  // A level drawn with P(level >= k) = level_factor()^k.
  static std::size_t draw_level(BuildRng& rng);

 private:
  explicit LiveInsertion(HnswIndex& index) : index_(index) {}

  // Grows every per-node array for `count` more nodes; only between
  // insertions.
  void grow(PointViews points, std::span<const std::uint32_t> values);
  // Puts v on the existing layers 1 to min(level, top).
  void join_layers(NodeId v, std::size_t level);
  // Walks, then links v in on the existing layers up to its level (v has
  // joined them already, see join_layers); a level
  // above the top then adds layers holding v alone and makes v the entry
  // (only on the calling thread, while no other insertion runs).
  void insert_node(NodeId v, std::size_t level);
  void raise_top(NodeId v, std::size_t level);

  HnswIndex& index_;
};

}  // namespace sorvid::hnsw
