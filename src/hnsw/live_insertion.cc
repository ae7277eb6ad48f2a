#include "hnsw/live_insertion.h"

#include <algorithm>
#include <array>
#include <memory>

#include "base/worker_pool.h"
#include "hnsw/index_builder.h"
#include "hnsw/index_limits.h"
#include "hnsw/layer_sizes.h"
#include "hnsw/link_back.h"
#include "hnsw/rw_spin_lock.h"

namespace sorvid::hnsw {
namespace {

// Levels above this are never drawn (the chance of reaching it is below
// 10^-17 per node); it bounds the work a freak draw could cause.
constexpr std::size_t kMaxLevel = 32;

// An upper layer as an insertion's walk reads it: each row under its owner's
// read lock, since other insertions may be rewriting rows meanwhile.
struct LockedRows {
  const UpperLayer& layer;
  const LockedLinkLists& locks;

  std::size_t read_list(NodeId node, std::size_t max_links, NodeId* out) const {
    ReadGuard guard(locks.lock(node));
    return layer.read_list(node, max_links, out);
  }
  void prefetch_list(NodeId node) const { layer.prefetch_list(node); }
};

// A new node's row on one upper layer, chosen during its walk.
struct ChosenRow {
  std::size_t layer;
  std::array<NodeId, kUpperLinks> ids;
  std::size_t size;
};

}  // namespace

std::size_t LiveInsertion::draw_level(BuildRng& rng) {
  const double factor = static_cast<double>(level_factor());
  std::size_t level = 0;
  // Each further layer is reached with probability level_factor(): a
  // uniform draw from [0, 1) in steps of 2^-53 falls below it.
  while (level < kMaxLevel && static_cast<double>(rng.next_u64() >> 11) * 0x1.0p-53 < factor) ++level;
  return level;
}

void LiveInsertion::insert(HnswIndex& index, PointViews points, std::span<const std::uint64_t> values) {
  const std::size_t first = index.size();
  checked_node_count(first + points.size(), points.size(), values.size());
  std::vector<std::uint32_t> kept_values(values.size());
  for (std::size_t i = 0; i < values.size(); ++i) kept_values[i] = checked_value(values[i]);
  if (points.empty()) return;

  std::vector<std::size_t> levels(points.size());
  for (std::size_t& level : levels) level = draw_level(index.rng_);
  LiveInsertion insertion(index);
  insertion.grow(points, kept_values);

  // A node that starts the graph or rises above the top changes the entry
  // that every other insertion starts from: those go first, one at a time.
  std::vector<NodeId> below_top;
  for (std::size_t i = 0; i < points.size(); ++i) {
    const auto v = static_cast<NodeId>(first + i);
    if (index.entry_ == kEmptySlot || levels[i] > index.top()) {
      insertion.join_layers(v, levels[i]);
      insertion.insert_node(v, levels[i]);
    } else {
      below_top.push_back(static_cast<NodeId>(i));
    }
  }
  // Rows are added before the walks start, so the layers' maps stay fixed
  // while insertions run.
  for (const NodeId i : below_top) insertion.join_layers(static_cast<NodeId>(first + i), levels[i]);
  auto insert_one = [&](std::size_t j) {
    const NodeId i = below_top[j];
    insertion.insert_node(static_cast<NodeId>(first + i), levels[i]);
  };
  if (below_top.size() >= kParallelMinimum) {
    WorkerPool::instance().parallel_for(0, below_top.size(), 1, insert_one);
  } else {
    for (std::size_t j = 0; j < below_top.size(); ++j) insert_one(j);
  }
}

void LiveInsertion::grow(PointViews points, std::span<const std::uint32_t> values) {
  const std::size_t first = index_.size();
  const std::size_t total = first + points.size();
  index_.points_.append(points);
  index_.values_.insert(index_.values_.end(), values.begin(), values.end());
  index_.removed_.resize(total, 0);
  index_.base_.grow(total);
  for (std::size_t i = 0; i < values.size(); ++i) index_.assign_value(static_cast<NodeId>(first + i), values[i]);
  index_.inserted_since_build_ += points.size();
  if (index_.scratch_ == nullptr) {
    index_.scratch_ = std::make_unique<ScratchPool>(total);
  } else {
    index_.scratch_->resize(total);
  }
}

void LiveInsertion::join_layers(NodeId v, std::size_t level) {
  for (std::size_t k = 1; k <= std::min(level, index_.top()); ++k) {
    if (!index_.upper_[k - 1].contains(v)) index_.upper_[k - 1].add(v);
  }
}

void LiveInsertion::raise_top(NodeId v, std::size_t level) {
  for (std::size_t k = index_.top() + 1; k <= level; ++k) {
    UpperLayer layer;
    layer.add(v);
    index_.upper_.push_back(std::move(layer));
  }
  index_.entry_ = v;
}

void LiveInsertion::insert_node(NodeId v, std::size_t level) {
  if (index_.entry_ == kEmptySlot) {
    // The first node: nothing to walk or link.
    raise_top(v, level);
    return;
  }
  const PointStore& points = index_.points_;
  LockedLinkLists& base = index_.base_;
  // v's lists are written throughout; anyone who finds v early and wants to
  // read one waits until the insertion ends.
  WriteGuard own_lists(base.lock(v));
  ScratchPool::Lease walk = index_.scratch_->take();

  const QueryPoint q = points.query_for(v);
  walk->reset();
  walk->visit(index_.entry_, points, q);
  std::vector<ChosenRow> rows;  // empty for the most nodes, which stay on the base layer
  for (std::size_t k = index_.top(); k >= 1; --k) {
    const bool on_layer = k <= level;
    walk->set_width(on_layer ? IndexBuilder::kBuildWidth : 1);
    walk->expand_layer(LockedRows{index_.upper_[k - 1], base}, points, q, kUpperLinks);
    if (on_layer) {
      walk->select_neighbours(points);
      const NeighbourList& chosen = walk->neighbours();
      ChosenRow& row = rows.emplace_back();
      row.layer = k;
      row.size = std::min(chosen.size, kUpperLinks);
      std::copy_n(chosen.ids.begin(), row.size, row.ids.begin());
    }
    walk->narrow();
  }
  walk->set_width(IndexBuilder::kBuildWidth);
  walk->expand_layer(base, points, q, kBaseLinks);
  walk->select_neighbours(points);

  // The walk is over: from here on v becomes reachable.
  for (const ChosenRow& row : rows) {
    UpperLayer& layer = index_.upper_[row.layer - 1];
    std::copy_n(row.ids.begin(), row.size, layer.row(v).begin());
    link_back_upper(layer, base, points, v, std::span<const NodeId>(row.ids.data(), row.size));
  }
  const NeighbourList& chosen = walk->neighbours();
  link_back_base(base, points, v, chosen, walk->walk_distances(v), walk->decisions());
  base.store_neighbours(v, chosen);  // under v's own lock
  if (level > index_.top()) raise_top(v, level);
}

}  // namespace sorvid::hnsw
