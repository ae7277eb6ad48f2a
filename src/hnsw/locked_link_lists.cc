#include "hnsw/locked_link_lists.h"

#include <algorithm>

namespace sorvid::hnsw {

LockedLinkLists::LockedLinkLists(std::size_t node_count)
    : lists_(node_count, kBaseLinks),
      distances_(node_count * kBaseLinks),
      kept_(node_count, 0),
      locks_(std::make_unique<RwSpinLock[]>(node_count)),
      lock_capacity_(node_count) {}

void LockedLinkLists::grow(std::size_t node_count) {
  if (node_count <= lists_.node_count()) return;
  lists_.grow(node_count);
  distances_.reserve(node_count * kBaseLinks);
  kept_.resize(node_count, 0);
  if (node_count > lock_capacity_) {
    // No lock is held between insertions, so fresh ones replace them all;
    // spare ones make room for the next insertions.
    lock_capacity_ = std::max(node_count, lock_capacity_ + lock_capacity_ / 2);
    locks_ = std::make_unique<RwSpinLock[]>(lock_capacity_);
  }
}

std::size_t LockedLinkLists::read_list(NodeId node, std::size_t max_links, NodeId* out) const {
  ReadGuard guard(locks_[node]);
  return lists_.read_list(node, max_links, out);
}

NeighbourView LockedLinkLists::neighbours(NodeId node) const {
  const std::span<const NodeId> slots = lists_.list(node);
  // Used slots come first: the list ends at the first empty one.
  std::size_t size = 0;
  while (size < slots.size() && slots[size] != kEmptySlot) ++size;
  return {slots.data(), distances_.data() + std::size_t{node} * kBaseLinks, size, kept_[node]};
}

void LockedLinkLists::store_neighbours(NodeId node, const NeighbourList& list) {
  const std::span<NodeId> slots = lists_.list(node);
  float* distances = distances_.data() + std::size_t{node} * kBaseLinks;
  std::size_t j = 0;
  for (; j < list.size; ++j) {
    slots[j] = list.ids[j];
    distances[j] = list.distances[j];
  }
  for (; j < slots.size() && slots[j] != kEmptySlot; ++j) slots[j] = kEmptySlot;
  kept_[node] = static_cast<std::uint8_t>(list.kept);
}

}  // namespace sorvid::hnsw
