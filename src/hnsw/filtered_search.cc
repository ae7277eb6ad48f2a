#include "hnsw/filtered_search.h"

#include <algorithm>
#include <array>
#include <cmath>

#include "hnsw/prepared_query.h"
#include "hnsw/scored_node.h"
#include "hnsw/search_state.h"

namespace sorvid::hnsw {
namespace {

// MEASURED: the walk is taken above this many allowed live nodes per square
// root of the index's node count.
constexpr double kWalkFromAllowedPerRootNode = 20.0;

// The width of a filtered walk.
constexpr std::size_t kFilteredWidth = HnswIndex::kQueryWidth;

bool before(const Hit& a, const Hit& b) { return ScoredNode{a.distance, a.node} < ScoredNode{b.distance, b.node}; }

}  // namespace

AllowedNodes allowed_nodes(const HnswIndex& index, std::span<const std::uint64_t> allowed, bool with_flags) {
  AllowedNodes result;
  if (!with_flags) {
    for (const std::uint64_t value : allowed) {
      const NodeId node = index.live_node_of(value);
      if (node != kEmptySlot) result.nodes.push_back(node);
    }
    std::sort(result.nodes.begin(), result.nodes.end());
    result.nodes.erase(std::unique(result.nodes.begin(), result.nodes.end()), result.nodes.end());
    return result;
  }
  // Removed nodes carry no live value, so they stay flagged.
  result.excluded.assign(index.size(), 1);
  std::size_t live = 0;
  for (const std::uint64_t value : allowed) {
    const NodeId node = index.live_node_of(value);
    if (node == kEmptySlot || result.excluded[node] == 0) continue;
    result.excluded[node] = 0;
    ++live;
  }
  result.nodes.reserve(live);
  for (std::size_t node = 0; node < result.excluded.size(); ++node) {
    if (result.excluded[node] == 0) result.nodes.push_back(static_cast<NodeId>(node));
  }
  return result;
}

bool walk_pays_off(std::size_t allowed_live, std::size_t node_count) {
  return static_cast<double>(allowed_live) > kWalkFromAllowedPerRootNode * std::sqrt(static_cast<double>(node_count));
}

std::vector<Hit> exact_among(const HnswIndex& index, const QueryPoint& query, std::span<const NodeId> nodes,
                             std::size_t count) {
  std::vector<ScoredNode> scored(nodes.size());
  // Distances a batch at a time, by the kernel the walk scores with.
  constexpr std::size_t kBatch = 256;
  std::array<float, kBatch> distances;
  for (std::size_t start = 0; start < nodes.size(); start += kBatch) {
    const std::size_t batch = std::min(kBatch, nodes.size() - start);
    index.points().distances_to(query, nodes.data() + start, batch, distances.data());
    for (std::size_t j = 0; j < batch; ++j) scored[start + j] = {distances[j], nodes[start + j]};
  }
  const auto kept = scored.begin() + static_cast<std::ptrdiff_t>(std::min(count, scored.size()));
  std::nth_element(scored.begin(), kept, scored.end());
  std::sort(scored.begin(), kept);
  std::vector<Hit> hits;
  hits.reserve(static_cast<std::size_t>(kept - scored.begin()));
  for (auto it = scored.begin(); it != kept; ++it) hits.push_back({index.value(it->node), it->distance, it->node});
  return hits;
}

std::vector<Hit> walk_among(const HnswIndex& index, std::span<const float> query, AllowedNodes& allowed,
                            std::size_t count) {
  count = std::min(count, allowed.nodes.size());
  SearchState state;
  const std::size_t found = index.search_excluding(query, allowed.excluded.data(), kFilteredWidth, state).size();
  std::vector<Hit> hits = std::move(state.hits());
  hits.resize(std::min(count, found));
  if (hits.size() == count) return hits;
  // The walk did not reach enough allowed nodes: the best of the others,
  // exactly, make up the count.
  for (const Hit& hit : hits) allowed.excluded[hit.node] = 1;
  std::vector<NodeId> rest;
  rest.reserve(allowed.nodes.size() - hits.size());
  for (const NodeId node : allowed.nodes) {
    if (allowed.excluded[node] == 0) rest.push_back(node);
  }
  PreparedQuery prepared;
  const std::vector<Hit> more = exact_among(index, prepared.load(query), rest, count - hits.size());
  hits.insert(hits.end(), more.begin(), more.end());
  std::sort(hits.begin(), hits.end(), before);
  return hits;
}

std::vector<Hit> search_among(const HnswIndex& index, std::span<const float> query,
                              std::span<const std::uint64_t> allowed, std::size_t max_hits) {
  const std::size_t count = std::min(max_hits, HnswIndex::kQueryWidth);
  if (count == 0 || index.size() == 0) return {};
  // Repeats and unknown values only lower the count: with no more values than
  // the switch, the exact strategy is certain and needs no flags.
  AllowedNodes nodes = allowed_nodes(index, allowed, walk_pays_off(allowed.size(), index.size()));
  if (walk_pays_off(nodes.nodes.size(), index.size())) return walk_among(index, query, nodes, count);
  PreparedQuery prepared;
  return exact_among(index, prepared.load(query), nodes.nodes, count);
}

}  // namespace sorvid::hnsw
