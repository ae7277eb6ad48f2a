// ScoredNode: a node with its distance to the point being searched for, and
// the one total order that every list and heap of the index uses.
#pragma once

#include "hnsw/node_id.h"

namespace sorvid::hnsw {

// Distance order: NaN is greater than every number and two NaNs are equal;
// -0 and +0 are equal. Returns whether `a` sorts strictly before `b`.
constexpr bool distance_less(float a, float b) {
  if (a < b) return true;
  if (a >= b) return false;
  // At least one side is NaN: a number sorts before NaN, NaN before nothing.
  return a == a;
}

struct ScoredNode {
  float distance;
  NodeId node;
};

// By distance first, then by node id (smaller first).
constexpr bool operator<(const ScoredNode& a, const ScoredNode& b) {
  if (distance_less(a.distance, b.distance)) return true;
  if (distance_less(b.distance, a.distance)) return false;
  return a.node < b.node;
}

// Min-heap comparator: the heap keeps the smallest ScoredNode on top.
struct SortsAfter {
  constexpr bool operator()(const ScoredNode& a, const ScoredNode& b) const { return b < a; }
};

}  // namespace sorvid::hnsw
