#include "hnsw/hnsw_index.h"

namespace sorvid::hnsw {

HnswIndex::HnswIndex(PointStore points, std::vector<std::uint64_t> values, LinkLayer base, std::vector<LinkLayer> upper)
    : points_(std::move(points)), values_(std::move(values)), base_(std::move(base)), upper_(std::move(upper)) {}

std::size_t HnswIndex::layer_size(std::size_t k) const { return k == 0 ? size() : upper_[k - 1].node_count(); }

std::span<const NodeId> HnswIndex::links(std::size_t k, NodeId node) const {
  return k == 0 ? base_.list(node) : upper_[k - 1].list(node);
}

std::span<const Hit> HnswIndex::search(std::span<const float> query, SearchState& state) const {
  std::vector<Hit>& hits = state.hits();
  hits.clear();
  state.reset();
  if (size() == 0) return {};
  state.size_marks(size());
  const QueryPoint q = state.load_query(query);
  state.visit(0, points_, q);
  for (std::size_t k = top(); k >= 1; --k) {
    // Width 1: a greedy descent that hands one node to the next layer.
    state.set_width(1);
    state.expand_layer(upper_[k - 1], points_, q, kUpperLinks);
    state.narrow();
  }
  state.set_width(kQueryWidth);
  state.expand_layer(base_, points_, q, kBaseLinks);
  for (const ScoredNode& result : state.results()) {
    hits.push_back({values_[result.node], result.distance, result.node});
  }
  return hits;
}

}  // namespace sorvid::hnsw
