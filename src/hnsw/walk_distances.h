// WalkDistances: the distances to its point q that a walk has already
// computed, readable after the walk: the ones it decided by (see
// decisions.h), exact when the walk's decisions are.
//
// A build's walk for node v scores many nodes near v. Re-selecting the lists
// of v's new neighbours then needs distances from v to their entries, most of
// which the walk has already scored; looking them up spares computing them
// again. A node's distance is known when the walk visited it in its current
// generation and scored it (nodes an exact walk dropped on an estimate alone
// are recorded as unknown).
#pragma once

#include <cstdint>

#include "hnsw/node_id.h"

namespace sorvid::hnsw {

struct WalkDistances {
  // Marks a visited node whose distance was not computed. Distances
  // are never negative.
  static constexpr float kUnknown = -1.0f;

  const std::uint8_t* marks = nullptr;  // nullptr: nothing is known
  std::uint8_t generation = 0;
  const float* distances = nullptr;
  NodeId walked_for = kEmptySlot;  // the node whose point is q, if any

  // Whether cosine_distance(q, point of node) is known; if so, sets it.
  bool lookup(NodeId node, float& distance) const {
    if (marks == nullptr || marks[node] != generation) return false;
    const float recorded = distances[node];
    if (recorded < 0.0f) return false;
    distance = recorded;
    return true;
  }
};

}  // namespace sorvid::hnsw
