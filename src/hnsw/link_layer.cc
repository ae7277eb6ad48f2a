#include "hnsw/link_layer.h"

#include <algorithm>

namespace sorvid::hnsw {

LinkLayer::LinkLayer(std::size_t node_count, std::size_t slots_per_list)
    : slots_(node_count * slots_per_list, EMPTY_SLOT), slots_per_list_(slots_per_list) {}

std::size_t LinkLayer::read_list(NodeId node, std::size_t max_links, NodeId* out) const {
  const NodeId* slots = slots_.data() + std::size_t{node} * slots_per_list_;
  const std::size_t limit = std::min(max_links, slots_per_list_);
  std::size_t count = 0;
  while (count < limit && slots[count] != EMPTY_SLOT) {
    out[count] = slots[count];
    ++count;
  }
  return count;
}

}  // namespace sorvid::hnsw
