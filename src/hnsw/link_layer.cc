#include "hnsw/link_layer.h"

#include <algorithm>
#include <cstring>

namespace sorvid::hnsw {

LinkLayer::LinkLayer(std::size_t node_count, std::size_t slots_per_list)
    : memory_(checked_size(checked_size(node_count, slots_per_list), sizeof(NodeId))),
      node_count_(slots_per_list == 0 ? 0 : node_count),
      slots_per_list_(slots_per_list) {
  // kEmptySlot is all ones in every byte.
  static_assert(kEmptySlot == 0xFFFFFFFFu);
  if (memory_.size() > 0) std::memset(memory_.data(), 0xFF, memory_.size());
}

void LinkLayer::grow(std::size_t node_count) {
  if (node_count <= node_count_ || slots_per_list_ == 0) return;
  memory_.reserve(checked_size(checked_size(node_count, slots_per_list_), sizeof(NodeId)));
  NodeId* first_new = slots() + node_count_ * slots_per_list_;
  std::memset(first_new, 0xFF, (node_count - node_count_) * slots_per_list_ * sizeof(NodeId));
  node_count_ = node_count;
}

std::size_t LinkLayer::read_list(NodeId node, std::size_t max_links, NodeId* out) const {
  const NodeId* list_slots = slots() + std::size_t{node} * slots_per_list_;
  const std::size_t limit = std::min(max_links, slots_per_list_);
  std::size_t count = 0;
  while (count < limit && list_slots[count] != kEmptySlot) {
    out[count] = list_slots[count];
    ++count;
  }
  return count;
}

}  // namespace sorvid::hnsw
