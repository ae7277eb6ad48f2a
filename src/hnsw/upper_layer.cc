#include "hnsw/upper_layer.h"

#include <algorithm>
#include <utility>

namespace sorvid::hnsw {

UpperLayer UpperLayer::of_first_nodes(std::size_t node_count) {
  UpperLayer layer;
  layer.nodes_.resize(node_count);
  for (std::size_t i = 0; i < node_count; ++i) layer.nodes_[i] = static_cast<NodeId>(i);
  layer.row_of_node_ = layer.nodes_;
  layer.slots_.assign(node_count * kUpperLinks, kEmptySlot);
  return layer;
}

UpperLayer UpperLayer::from_rows(std::vector<NodeId> nodes, std::vector<NodeId> links) {
  UpperLayer layer;
  layer.nodes_ = std::move(nodes);
  layer.slots_ = std::move(links);
  const NodeId largest = layer.nodes_.empty() ? 0 : *std::max_element(layer.nodes_.begin(), layer.nodes_.end());
  layer.row_of_node_.assign(layer.nodes_.empty() ? 0 : std::size_t{largest} + 1, kEmptySlot);
  for (std::size_t r = 0; r < layer.nodes_.size(); ++r) layer.row_of_node_[layer.nodes_[r]] = static_cast<NodeId>(r);
  return layer;
}

void UpperLayer::add(NodeId node) {
  if (node >= row_of_node_.size()) row_of_node_.resize(std::size_t{node} + 1, kEmptySlot);
  row_of_node_[node] = static_cast<NodeId>(nodes_.size());
  nodes_.push_back(node);
  slots_.resize(slots_.size() + kUpperLinks, kEmptySlot);
}

std::size_t UpperLayer::read_list(NodeId node, std::size_t max_links, NodeId* out) const {
  const NodeId r = row_of(node);
  if (r == kEmptySlot) return 0;
  const NodeId* slots = slots_.data() + std::size_t{r} * kUpperLinks;
  const std::size_t limit = std::min(max_links, kUpperLinks);
  std::size_t count = 0;
  while (count < limit && slots[count] != kEmptySlot) {
    out[count] = slots[count];
    ++count;
  }
  return count;
}

}  // namespace sorvid::hnsw
