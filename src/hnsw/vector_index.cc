#include "hnsw/vector_index.h"

#include <algorithm>
#include <utility>

#include "hnsw/hnsw_index.h"
#include "hnsw/index_builder.h"
#include "hnsw/search_state.h"
#include "hnsw/seed_source.h"

namespace sorvid::hnsw {

// A query's walk keeps as many results as it may return.
static_assert(VectorIndex::kMaxHits == HnswIndex::kQueryWidth);

VectorIndex VectorIndex::build(std::vector<std::vector<float>> points, std::vector<std::uint64_t> values) {
  return build(std::move(points), std::move(values), next_build_seed());
}

VectorIndex VectorIndex::build(std::vector<std::vector<float>> points, std::vector<std::uint64_t> values,
                               std::uint64_t seed) {
  return VectorIndex(std::make_unique<HnswIndex>(build_index(std::move(points), std::move(values), seed)));
}

VectorIndex::VectorIndex(std::unique_ptr<HnswIndex> graph) : graph_(std::move(graph)) {}
VectorIndex::VectorIndex(VectorIndex&&) noexcept = default;
VectorIndex& VectorIndex::operator=(VectorIndex&&) noexcept = default;
VectorIndex::~VectorIndex() = default;

std::size_t VectorIndex::size() const { return graph_->size(); }

std::vector<Hit> VectorIndex::search(std::span<const float> query, std::size_t max_hits) const {
  // A state of its own per query, so that concurrent queries share nothing.
  SearchState state;
  const std::size_t found = graph_->search(query, state).size();
  // The hits live in the state's own vector: hand that over instead of a copy.
  std::vector<Hit> hits = std::move(state.hits());
  hits.resize(std::min(max_hits, found));
  return hits;
}

}  // namespace sorvid::hnsw
