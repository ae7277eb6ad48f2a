#include "hnsw/index_builder.h"

#include <algorithm>
#include <utility>

#include "base/worker_pool.h"
#include "hnsw/build_permutation.h"
#include "hnsw/build_rng.h"
#include "hnsw/index_limits.h"
#include "hnsw/layer_sizes.h"
#include "hnsw/link_back.h"

namespace sorvid::hnsw {
IndexBuilder::IndexBuilder(PointViews points, std::span<const std::uint64_t> values, std::uint64_t seed)
    : sizes_(hnsw::layer_sizes(checked_node_count(points.size(), points.size(), values.size()))),
      // The generator is seeded even when there is nothing to permute.
      rng_(BuildRng::from_seed(seed)),
      base_(points.size()),
      scratch_(points.size()) {
  const std::size_t n = points.size();
  const std::vector<NodeId> order = build_permutation(n, rng_);
  values_.resize(n);
  for (std::size_t j = 0; j < n; ++j) values_[j] = checked_value(values[order[j]]);
  points_ = PointStore(points, order);
}

std::size_t IndexBuilder::first_inserted(std::size_t k) const {
  const std::size_t above = k + 1 < sizes_.size() ? sizes_[k + 1] : 0;
  return std::max<std::size_t>(above, 1);
}

void IndexBuilder::insert_layer(std::size_t k) {
  const std::size_t first = first_inserted(k);
  const std::size_t end = sizes_[k];
  if (k == top()) {
    for (std::size_t id = first; id < end; ++id) insert_node(static_cast<NodeId>(id), k);
    return;
  }
  WorkerPool::instance().parallel_for(first, end, 1,
                                      [this, k](std::size_t id) { insert_node(static_cast<NodeId>(id), k); });
}

void IndexBuilder::snapshot_layer(std::size_t k) {
  // Runs between parallel loops, when no insertion holds a lock.
  UpperLayer layer = UpperLayer::of_first_nodes(sizes_[k]);
  for (std::size_t node = 0; node < sizes_[k]; ++node) {
    const auto from = base_.list(static_cast<NodeId>(node)).first(kUpperLinks);
    std::copy(from.begin(), from.end(), layer.row(static_cast<NodeId>(node)).begin());
  }
  upper_.resize(std::max(upper_.size(), k));
  upper_[k - 1] = std::move(layer);
}

void IndexBuilder::insert_node(NodeId v, std::size_t highest_layer) {
  // v's own list is written throughout; anyone who found v early and wants to
  // read its list waits until the insertion ends.
  WriteGuard own_list(base_.lock(v));
  ScratchPool::Lease walk = scratch_.take();

  const QueryPoint q = points_.query_for(v);
  walk->reset();
  walk->visit(0, points_, q);
  // While an upper layer is being built, the base lists stand for it; only
  // its first 32 slots per node will be kept, so only those are followed.
  const std::size_t max_links = highest_layer == 0 ? kBaseLinks : kUpperLinks;
  for (std::size_t k = top(); k > highest_layer; --k) {
    walk->set_width(1);
    walk->expand_layer(upper_[k - 1], points_, q, max_links);
    walk->narrow();
  }
  walk->set_width(kBuildWidth);
  walk->expand_layer(base_, points_, q, max_links);
  walk->select_neighbours(points_);

  const NeighbourList& chosen = walk->neighbours();
  link_back_base(base_, points_, v, chosen, walk->walk_distances(v), walk->decisions());
  base_.store_neighbours(v, chosen);  // under v's own write lock
}

HnswIndex IndexBuilder::finish() && {
  return HnswIndex(std::move(points_), std::move(values_), std::move(base_), std::move(upper_), 0, rng_);
}

HnswIndex build_index(PointViews points, std::span<const std::uint64_t> values, std::uint64_t seed) {
  IndexBuilder builder(points, values, seed);
  if (builder.size() == 0) return std::move(builder).finish();
  for (std::size_t k = builder.top();; --k) {
    builder.insert_layer(k);
    if (k >= 1) builder.snapshot_layer(k);
    if (k == 0) break;
  }
  return std::move(builder).finish();
}

}  // namespace sorvid::hnsw
