#include "hnsw/hnsw_index.h"

#include <utility>

namespace sorvid::hnsw {

HnswIndex::HnswIndex() : base_(0) {}

HnswIndex::HnswIndex(PointStore points, std::vector<std::uint32_t> values, LockedLinkLists base,
                     std::vector<UpperLayer> upper, NodeId entry, BuildRng rng)
    : points_(std::move(points)),
      values_(std::move(values)),
      base_(std::move(base)),
      upper_(std::move(upper)),
      entry_(values_.empty() ? kEmptySlot : entry),
      removed_(values_.size(), 0),
      rng_(rng) {
  for (std::size_t node = 0; node < values_.size(); ++node) assign_value(static_cast<NodeId>(node), values_[node]);
}

HnswIndex::HnswIndex(HnswIndex&&) noexcept = default;
HnswIndex& HnswIndex::operator=(HnswIndex&&) noexcept = default;
HnswIndex::~HnswIndex() = default;

std::span<const NodeId> HnswIndex::links(std::size_t k, NodeId node) const {
  if (k == 0) return base_.list(node);
  const UpperLayer& layer = upper_[k - 1];
  if (!layer.contains(node)) return {};
  return layer.row(node);
}

void HnswIndex::assign_value(NodeId node, std::uint32_t value) {
  if (value >= node_of_value_.size()) node_of_value_.resize(std::size_t{value} + 1, kEmptySlot);
  const NodeId previous = node_of_value_[value];
  if (previous != kEmptySlot && removed_[previous] == 0) {
    removed_[previous] = 1;
    ++removed_count_;
  }
  node_of_value_[value] = node;
}

bool HnswIndex::remove_value(std::uint64_t value) {
  if (value >= node_of_value_.size()) return false;
  const NodeId node = node_of_value_[value];
  if (node == kEmptySlot) return false;
  removed_[node] = 1;
  ++removed_count_;
  node_of_value_[value] = kEmptySlot;
  return true;
}

std::span<const Hit> HnswIndex::search(std::span<const float> query, SearchState& state, std::size_t width,
                                       std::size_t exact_count) const {
  return search_excluding(query, removed_count_ > 0 ? removed_.data() : nullptr, width, state, exact_count);
}

std::span<const Hit> HnswIndex::search_excluding(std::span<const float> query, const std::uint8_t* excluded,
                                                 std::size_t width, SearchState& state, std::size_t exact_count) const {
  std::vector<Hit>& hits = state.hits();
  hits.clear();
  state.reset();
  if (size() == 0) return {};
  state.size_marks(size());
  const QueryPoint q = state.load_query(query);
  state.visit(entry_, points_, q);
  for (std::size_t k = top(); k >= 1; --k) {
    // Width 1: a greedy descent that hands one node to the next layer.
    // Removed nodes route here like any other.
    state.set_width(1);
    state.expand_layer(upper_[k - 1], points_, q, kUpperLinks);
    state.narrow();
  }
  state.set_width(width);
  if (excluded != nullptr) state.exclude_flagged(excluded);
  state.expand_layer(base_.links(), points_, q, kBaseLinks);
  state.score_results_exactly(points_, q, exact_count);
  for (const ScoredNode& result : state.results()) {
    hits.push_back({values_[result.node], result.distance, result.node});
  }
  return hits;
}

}  // namespace sorvid::hnsw
