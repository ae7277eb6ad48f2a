// IndexBuilder: builds an HnswIndex from scratch with the fixed parameters.
//
// A seeded random permutation gives the points their node ids, and a node's
// id alone fixes its highest layer (layer k holds nodes 0 to n_k - 1). Layers
// are inserted from the top down: the top layer one node at a time on the
// calling thread, every lower layer as a parallel loop on the worker pool.
// After a layer k >= 1 is inserted, the first 32 slots of its nodes' base
// lists are frozen as upper layer k. Node 0 is the entry point and is never
// inserted; it gains links when other nodes choose it. The finished index
// keeps the base lists with their distances and the generator, so that it
// can take more points later (live_insertion.h).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "hnsw/build_rng.h"
#include "hnsw/hnsw_index.h"
#include "hnsw/locked_link_lists.h"
#include "hnsw/node_id.h"
#include "hnsw/point_store.h"
#include "hnsw/point_views.h"
#include "hnsw/scratch_pool.h"
#include "hnsw/upper_layer.h"

namespace sorvid::hnsw {

class IndexBuilder {
 public:
  // Width of an insertion's walk on the layer it is inserted into (the
  // "ef" of construction).
  static constexpr std::size_t kBuildWidth = 100;

  // Seeds the generator, permutes the points (the index reads them in place,
  // so they must outlive it: see point_views.h) and prepares empty lists. Aborts the process when there are
  // 4294967295 points or more, when points and values differ in number, or
  // when a value is 4294967295 or more.
  IndexBuilder(PointViews points, std::span<const std::uint64_t> values, std::uint64_t seed);

  std::size_t size() const { return sizes_[0]; }
  std::size_t top() const { return sizes_.size() - 1; }
  const std::vector<std::size_t>& layer_sizes() const { return sizes_; }
  // Layer k's share of the plan: ids max(n_(k+1), 1) to n_k - 1.
  std::size_t first_inserted(std::size_t k) const;

  // Inserts layer k's ids: on the calling thread in increasing order for the
  // top layer, as a parallel loop on the worker pool below it.
  void insert_layer(std::size_t k);
  // Freezes layer k >= 1: the first 32 slots of nodes 0 to n_k - 1.
  void snapshot_layer(std::size_t k);
  // Links node v (>= 1), whose highest layer is `highest_layer`, into the
  // graph.
  void insert_node(NodeId v, std::size_t highest_layer);

  const LockedLinkLists& base_lists() const { return base_; }
  std::size_t scratch_states_created() const { return scratch_.states_created(); }

  // The finished index; the builder is spent.
  HnswIndex finish() &&;

 private:
  std::vector<std::size_t> sizes_;
  BuildRng rng_;
  PointStore points_;
  std::vector<std::uint32_t> values_;
  LockedLinkLists base_;
  std::vector<UpperLayer> upper_;  // layer k at upper_[k - 1], filled top down
  ScratchPool scratch_;
};

// Builds an index over `points` with `values` attached to them (see
// IndexBuilder for what aborts).
HnswIndex build_index(PointViews points, std::span<const std::uint64_t> values, std::uint64_t seed);

}  // namespace sorvid::hnsw
