// HnswIndex: an HNSW graph over a growing set of points, and the query that
// walks it.
//
// The entry node lies on every layer; a build makes node 0 the entry. The
// base layer links every node with up to 64 neighbours (kept with their
// distances, see locked_link_lists.h); upper layer k links the nodes on it
// with up to 32 (see upper_layer.h), and every node on layer k + 1 is on
// layer k too. Nodes are only ever added (live_insertion.h); a removed node
// stays in the graph for routing, but no query returns it.
//
// Any number of threads may query one index at once, each with its own
// SearchState, while nothing changes it; changes run alone.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "hnsw/build_rng.h"
#include "hnsw/hit.h"
#include "hnsw/locked_link_lists.h"
#include "hnsw/node_id.h"
#include "hnsw/point_store.h"
#include "hnsw/scratch_pool.h"
#include "hnsw/search_state.h"
#include "hnsw/upper_layer.h"

namespace sorvid::hnsw {

class HnswIndex {
 public:
  // The width of a query's base-layer walk (the "ef" of a search).
  static constexpr std::size_t kQueryWidth = 100;

  // An empty index: no points, no layers above the base, no entry.
  HnswIndex();
  // The index over finished parts: node j has point j of `points` and value
  // values[j] (each below kEmptySlot; a later node with a value already
  // taken replaces the earlier one, which counts as removed). `rng` draws the
  // levels of later insertions.
  HnswIndex(PointStore points, std::vector<std::uint32_t> values, LockedLinkLists base, std::vector<UpperLayer> upper,
            NodeId entry, BuildRng rng);
  HnswIndex(HnswIndex&&) noexcept;
  HnswIndex& operator=(HnswIndex&&) noexcept;
  ~HnswIndex();

  // Nodes, removed ones included.
  std::size_t size() const { return values_.size(); }
  std::size_t removed_count() const { return removed_count_; }
  // Nodes added by insertions since the index was built or loaded.
  std::size_t inserted_since_build() const { return inserted_since_build_; }
  // The highest layer; 0 when there is only the base layer.
  std::size_t top() const { return upper_.size(); }
  // Where every walk starts (kEmptySlot for an empty index).
  NodeId entry() const { return entry_; }
  // The number of nodes on layer k.
  std::size_t layer_size(std::size_t k) const { return k == 0 ? size() : upper_[k - 1].node_count(); }
  bool on_layer(std::size_t k, NodeId node) const { return k == 0 ? node < size() : upper_[k - 1].contains(node); }
  // Node `node`'s list on layer k (64 slots on the base layer, 32 above);
  // empty when the node is not on the layer.
  std::span<const NodeId> links(std::size_t k, NodeId node) const;

  // The point as stored (see point_store.h: scaled when its sum of squares
  // underflows).
  std::span<const float> point(NodeId node) const { return points_.point(node); }
  std::uint64_t value(NodeId node) const { return values_[node]; }
  bool is_removed(NodeId node) const { return removed_[node] != 0; }
  // The live node carrying `value`; kEmptySlot when none does.
  NodeId live_node_of(std::uint64_t value) const {
    return value < node_of_value_.size() ? node_of_value_[value] : kEmptySlot;
  }
  const PointStore& points() const { return points_; }

  // Whether no node is removed and the values are exactly 0 to size() - 1
  // (values are distinct among live nodes, so none is missing either).
  bool values_are_positions() const { return removed_count_ == 0 && node_of_value_.size() == size(); }

  // Marks the live node carrying `value` removed; false when none does.
  bool remove_value(std::uint64_t value);

  // Runs one query on `state`: a greedy descent through the upper layers,
  // then a best-first walk of the base layer that keeps kQueryWidth live
  // results (removed nodes are walked through), deciding by the distances
  // state.decisions() names. Returns the hits with their exact distances,
  // nearest first by those (ties by node id, NaN distances last), at most
  // kQueryWidth of them;
  // they stay valid while `state` and the index do.
  // `width` (at least kQueryWidth) widens the walk, so that its exact re-scoring
  // settles the order of hits near the end of the list. Only the first
  // `exact_count` results in walk order are re-scored and returned: a caller
  // that wants fewer hits than the width saves the exact distances of the
  // rest.
  std::span<const Hit> search(std::span<const float> query, SearchState& state, std::size_t width = kQueryWidth,
                              std::size_t exact_count = static_cast<std::size_t>(-1)) const;
  // The same walk keeping `width` results among the nodes whose flag is clear
  // (excluded[node] == 0, one flag per node; the caller flags every removed
  // node): flagged nodes are walked through but never returned, and the walk
  // goes on until `width` results are in or no reachable node is left. With
  // `excluded` null, no node is excluded.
  std::span<const Hit> search_excluding(std::span<const float> query, const std::uint8_t* excluded, std::size_t width,
                                        SearchState& state,
                                        std::size_t exact_count = static_cast<std::size_t>(-1)) const;

  // The parts a graph file is written from.
  const LockedLinkLists& base() const { return base_; }
  const std::vector<UpperLayer>& upper() const { return upper_; }
  std::span<const std::uint32_t> values() const { return values_; }

 private:
  friend class LiveInsertion;

  // Takes `value` for `node`, removing the live node that held it before.
  void assign_value(NodeId node, std::uint32_t value);

  PointStore points_;
  std::vector<std::uint32_t> values_;
  LockedLinkLists base_;
  std::vector<UpperLayer> upper_;  // layer k at upper_[k - 1]
  NodeId entry_ = kEmptySlot;
  std::vector<std::uint8_t> removed_;  // one per node: 1 when removed
  std::size_t removed_count_ = 0;      // the ones among removed_
  std::vector<NodeId> node_of_value_;  // value -> its live node, kEmptySlot when none
  std::size_t inserted_since_build_ = 0;
  BuildRng rng_ = BuildRng::from_seed(0);
  // The insertions' walk states, kept from one insertion call to the next.
  std::unique_ptr<ScratchPool> scratch_;
};

}  // namespace sorvid::hnsw
