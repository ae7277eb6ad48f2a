// LinkLayer: the link lists of one layer, a fixed number of NodeId slots per
// node in one flat array (on huge pages when large, see large_buffer.h). The
// array grows only between insertions, never while a walk reads it.
#pragma once

#include <cstddef>
#include <span>

#include "hnsw/large_buffer.h"
#include "hnsw/node_id.h"

namespace sorvid::hnsw {

class LinkLayer {
 public:
  LinkLayer() = default;
  // `node_count` lists of `slots_per_list` slots, all kEmptySlot.
  LinkLayer(std::size_t node_count, std::size_t slots_per_list);

  // Adds empty lists up to `node_count` lists in all (never shrinks); the
  // existing lists stay as they are, though possibly at a new address.
  void grow(std::size_t node_count);

  std::size_t node_count() const { return node_count_; }
  // All slots of all lists, list by list.
  std::span<const NodeId> all_slots() const { return {slots(), node_count_ * slots_per_list_}; }
  std::size_t slots_per_list() const { return slots_per_list_; }

  std::span<NodeId> list(NodeId node) { return {slots() + std::size_t{node} * slots_per_list_, slots_per_list_}; }
  std::span<const NodeId> list(NodeId node) const {
    return {slots() + std::size_t{node} * slots_per_list_, slots_per_list_};
  }

  // Copies the used slots of `node`'s list, at most `max_links` of them, into
  // `out` and returns how many were copied.
  std::size_t read_list(NodeId node, std::size_t max_links, NodeId* out) const;
  // Asks for `node`'s list ahead of a read.
  void prefetch_list(NodeId node) const {
    const NodeId* first = slots() + std::size_t{node} * slots_per_list_;
    for (std::size_t i = 0; i < slots_per_list_; i += 16) __builtin_prefetch(first + i);
  }

 private:
  NodeId* slots() { return static_cast<NodeId*>(memory_.data()); }
  const NodeId* slots() const { return static_cast<const NodeId*>(memory_.data()); }

  LargeBuffer memory_;
  std::size_t node_count_ = 0;
  std::size_t slots_per_list_ = 0;
};

}  // namespace sorvid::hnsw
