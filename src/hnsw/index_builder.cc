#include "hnsw/index_builder.h"

#include <algorithm>
#include <utility>

#include "base/worker_pool.h"
#include "hnsw/build_permutation.h"
#include "hnsw/build_rng.h"
#include "hnsw/fatal_error.h"
#include "hnsw/layer_sizes.h"
#include "hnsw/neighbour_selection.h"

namespace sorvid::hnsw {
namespace {

// The number of nodes, checked before anything is allocated for them.
std::size_t checked_node_count(std::size_t points, std::size_t values) {
  if (points >= std::size_t{kEmptySlot}) fatal_error("an index holds fewer than 4294967295 points");
  if (values != points) fatal_error("an index needs exactly one value per point");
  return points;
}

}  // namespace

IndexBuilder::IndexBuilder(std::vector<std::vector<float>> points, std::vector<std::uint64_t> values,
                           std::uint64_t seed)
    : sizes_(hnsw::layer_sizes(checked_node_count(points.size(), values.size()))),
      base_(points.size()),
      scratch_(points.size()) {
  // The generator is seeded even when there is nothing to permute.
  BuildRng rng = BuildRng::from_seed(seed);
  const std::size_t n = points.size();

  const std::vector<NodeId> order = build_permutation(n, rng);
  points_ = PointStore(points, order);
  values_.resize(n);
  for (std::size_t j = 0; j < n; ++j) values_[j] = values[order[j]];
  // The inputs are consumed: release them before the heavy work starts.
  std::vector<std::vector<float>>().swap(points);
  std::vector<std::uint64_t>().swap(values);
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
  LinkLayer layer(sizes_[k], kUpperLinks);
  for (std::size_t node = 0; node < sizes_[k]; ++node) {
    const auto from = base_.list(static_cast<NodeId>(node)).first(kUpperLinks);
    std::copy(from.begin(), from.end(), layer.list(static_cast<NodeId>(node)).begin());
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
  const WalkDistances from_v = walk->walk_distances(v);
  for (std::size_t i = 0; i < chosen.size; ++i) {
    // The next neighbour's list is far off in memory: ask for it now.
    if (i + 1 < chosen.size) base_.prefetch_neighbours(chosen.ids[i + 1]);
    link_back(v, {chosen.distances[i], chosen.ids[i]}, from_v);
  }
  base_.store_neighbours(v, chosen);  // under v's own write lock
}

void IndexBuilder::link_back(NodeId v, const ScoredNode& chosen, const WalkDistances& from_v) {
  // Re-select u's list with v as a new candidate. u's list is copied under
  // its read lock and written back under its write lock; another insertion
  // may rewrite it in between, and this write then replaces that one.
  const NodeId u = chosen.node;
  NeighbourList current;
  base_.read_neighbours(u, current);
  // The distance is symmetric: v's distance to u is u's distance to v.
  NeighbourList updated;
  // An unchanged list is not written back. Had another insertion rewritten
  // it meanwhile, writing the old contents again would undo that insertion's
  // change; skipping the write gives the outcome of this re-selection having
  // run just before the other one, which thread timing allows either way.
  if (!reselect_with(current, {chosen.distance, v}, points_, updated, from_v)) return;
  WriteGuard guard(base_.lock(u));
  base_.store_neighbours(u, updated);
}

HnswIndex IndexBuilder::finish() && {
  return HnswIndex(std::move(points_), std::move(values_), std::move(base_).release_lists(), std::move(upper_));
}

HnswIndex build_index(std::vector<std::vector<float>> points, std::vector<std::uint64_t> values, std::uint64_t seed) {
  IndexBuilder builder(std::move(points), std::move(values), seed);
  if (builder.size() == 0) return std::move(builder).finish();
  for (std::size_t k = builder.top();; --k) {
    builder.insert_layer(k);
    if (k >= 1) builder.snapshot_layer(k);
    if (k == 0) break;
  }
  return std::move(builder).finish();
}

}  // namespace sorvid::hnsw
