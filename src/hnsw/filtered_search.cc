#include "hnsw/filtered_search.h"

#include <algorithm>
#include <array>
#include <cmath>

#include "hnsw/prepared_query.h"
#include "hnsw/scored_node.h"
#include "hnsw/search_state.h"

namespace sorvid::hnsw {
namespace {

// Where the two strategies cost the same: at kTieScale * n^kTieExponent
// allowed live nodes in an index of n nodes. Exact scoring costs the same per
// allowed node at any n (about 0.17 us at 384 dimensions, memory-bound);
// the walk passes about width / share nodes, so it gets cheaper as the share
// grows, but at a given share it costs more in a larger graph. Hence the tie
// grows a little faster than the square root of n. Measured with
// bench/filter_bench (Release, clustered points of 384 values, a random
// allowed set per query, one query at a time, walk width 100):
//
//   points    tie (allowed)   share   8 * n^0.6
//   10,000     ~2,100          21%      2,000
//   20,000     ~2,750          14%      3,040
//   50,000     ~4,400           9%      5,280
//   200,000   ~12,200           6%     12,130
//
// 50,000 points, ms per query (recall@10 of the walk against exact):
//
//   share     0.1%   0.3%    1%     3%    10%    30%   100%
//   exact    0.015  0.034  0.077  0.204  0.662  2.690  8.502
//   walk     16.5   13.9   5.72   2.18   0.497  0.570  0.456
//   recall   1.000  1.000  1.000  0.9995 1.000  1.000  1.000
//
// The exact side is exact, so recall@10 stays >= 0.95 at every share with
// the walk at the search width. The walk's weak case is an allowed set far
// from the query: with all allowed points in clusters other than the
// query's own, its recall@10 at 50,000 points is 0.977 (10% allowed), 0.927
// (30%) and 0.835 (all the other clusters); a width of 200 lifts that to
// 0.994, 0.972, 0.900 but makes the 10% walk 3.6 times slower, and 400 is
// needed for 0.957. The unfiltered search of queries far from every point
// does worse still (0.49): this is the graph's own limit for queries far
// from what they may find, not the filter's, so the filtered walk keeps
// search()'s width.
constexpr double kTieScale = 8.0;
constexpr double kTieExponent = 0.6;

bool before(const Hit& a, const Hit& b) { return ScoredNode{a.distance, a.node} < ScoredNode{b.distance, b.node}; }

}  // namespace

AllowedNodes allowed_nodes(const HnswIndex& index, std::span<const std::uint64_t> allowed, bool with_flags) {
  AllowedNodes result;
  if (!with_flags) {
    result.nodes.reserve(allowed.size());
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
  return static_cast<double>(allowed_live) > kTieScale * std::pow(static_cast<double>(node_count), kTieExponent);
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
                            std::size_t count, std::size_t width) {
  count = std::min(count, allowed.nodes.size());
  SearchState state;
  const std::size_t found =
      index.search_excluding(query, allowed.excluded.data(), std::max(width, count), state).size();
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
