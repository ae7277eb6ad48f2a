// HnswIndex: a finished, immutable HNSW graph over a set of points, and the
// query that walks it.
//
// Node 0 is the entry point and lies on every layer. The base layer links
// every node with up to 64 neighbours; upper layer k links nodes 0 to n_k - 1
// with up to 32. Any number of threads may query one index at once, each with
// its own SearchState.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "hnsw/hit.h"
#include "hnsw/link_layer.h"
#include "hnsw/node_id.h"
#include "hnsw/point_store.h"
#include "hnsw/search_state.h"

namespace sorvid::hnsw {

class HnswIndex {
 public:
  // The width of a query's base-layer walk (the "ef" of a search).
  static constexpr std::size_t kQueryWidth = 100;

  // An empty index: no points, no layers above the base.
  HnswIndex() = default;
  HnswIndex(PointStore points, std::vector<std::uint64_t> values, LinkLayer base, std::vector<LinkLayer> upper);

  std::size_t size() const { return values_.size(); }
  // The highest layer; 0 when there is only the base layer.
  std::size_t top() const { return upper_.size(); }
  // n_k: the nodes on layer k are 0 to n_k - 1.
  std::size_t layer_size(std::size_t k) const;
  // Node `node`'s list on layer k (64 slots on the base layer, 32 above).
  std::span<const NodeId> links(std::size_t k, NodeId node) const;

  std::span<const float> point(NodeId node) const { return points_.point(node); }
  std::uint64_t value(NodeId node) const { return values_[node]; }

  // Runs one query on `state`: a greedy descent through the upper layers,
  // then a best-first walk of the base layer keeping kQueryWidth results. Returns
  // the hits nearest first (ties by node id, NaN distances last), at most
  // kQueryWidth of them; they stay valid while `state` and the index do.
  std::span<const Hit> search(std::span<const float> query, SearchState& state) const;

 private:
  PointStore points_;
  std::vector<std::uint64_t> values_;
  LinkLayer base_;
  std::vector<LinkLayer> upper_;  // layer k at upper_[k - 1]
};

}  // namespace sorvid::hnsw
