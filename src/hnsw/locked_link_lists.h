// LockedLinkLists: the base-layer lists of an index, each guarded by its
// node's reader-writer lock.
//
// Insertions (of a build, or into a finished index) run in parallel: a walk
// reads a list under its node's read lock, and a re-selection reads and
// rewrites it under the node's write lock. The
// same lock guards the node's rows on the upper layers. Besides the ids, each
// list keeps its entries' distances to the list's owner and how many entries
// the selection kept (see neighbour_list.h), so that a later insertion
// re-selects a list exactly as a build does. Queries run only while no
// insertion does, and read the bare ids through links() without locking.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "hnsw/aligned_floats.h"
#include "hnsw/link_layer.h"
#include "hnsw/neighbour_list.h"
#include "hnsw/node_id.h"
#include "hnsw/rw_spin_lock.h"

namespace sorvid::hnsw {

class LockedLinkLists {
 public:
  explicit LockedLinkLists(std::size_t node_count);

  // Adds empty lists (and unlocked locks) up to `node_count` in all. Only
  // while no insertion runs: the arrays may move.
  void grow(std::size_t node_count);

  RwSpinLock& lock(NodeId node) const { return locks_[node]; }

  // Copies the used slots of `node`'s list (at most `max_links`) under the
  // node's read lock. Scoring the copied ids needs no lock, so the lock is
  // held only for the copy.
  std::size_t read_list(NodeId node, std::size_t max_links, NodeId* out) const;
  void prefetch_list(NodeId node) const {
    __builtin_prefetch(&locks_[node]);
    lists_.prefetch_list(node);
  }
  // Asks for everything a re-selection of the list reads: the lock, the
  // slots, the distances and the kept count.
  void prefetch_neighbours(NodeId node) const {
    __builtin_prefetch(&locks_[node]);
    lists_.prefetch_list(node);
    const float* distances = distances_.data() + std::size_t{node} * kBaseLinks;
    for (std::size_t i = 0; i < kBaseLinks; i += 16) __builtin_prefetch(distances + i);
    __builtin_prefetch(&kept_[node]);
  }
  // The list where it lies, for a caller that holds the node's lock; valid
  // until the list is rewritten or the arrays grow.
  NeighbourView neighbours(NodeId node) const;
  // Rewrites `node`'s list; the caller holds the node's write lock. Slots
  // past the new list are emptied up to the first one already empty.
  void store_neighbours(NodeId node, const NeighbourList& list);

  // The ids themselves, for a caller that holds the node's lock (or runs when
  // no insertion does).
  std::span<const NodeId> list(NodeId node) const { return lists_.list(node); }
  std::size_t node_count() const { return lists_.node_count(); }

  // The bare lists, for walks that run while no insertion does.
  const LinkLayer& links() const { return lists_; }
  // kBaseLinks distances per node (those past a list's used slots mean
  // nothing), and each list's kept count.
  std::span<const float> all_distances() const { return {distances_.data(), node_count() * kBaseLinks}; }
  std::span<const std::uint8_t> all_kept() const { return kept_; }

 private:
  LinkLayer lists_;
  AlignedFloats distances_;              // kBaseLinks per node, beside the slots
  std::vector<std::uint8_t> kept_;       // one per node
  std::unique_ptr<RwSpinLock[]> locks_;  // lock_capacity_ >= node_count() of them
  std::size_t lock_capacity_ = 0;
};

}  // namespace sorvid::hnsw
