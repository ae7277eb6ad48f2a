// The walking steps of SearchState on small hand-made graphs.
#include "hnsw/search_state.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include "hand_placed_points.h"
#include "hnsw/cosine_distance.h"
#include "hnsw/link_layer.h"
#include "hnsw/point_store.h"

namespace sorvid::hnsw {
namespace {

std::vector<NodeId> nodes_of(std::span<const ScoredNode> scored) {
  std::vector<NodeId> nodes;
  for (const ScoredNode& s : scored) nodes.push_back(s.node);
  return nodes;
}

TEST(SearchState, VisitKeepsOnlyWhatRanksWithinWidth) {
  // Node i lies at 10 * i degrees from the query at 0 degrees.
  std::vector<std::vector<float>> raw;
  for (int i = 0; i < 6; ++i) raw.push_back(at_angle(10.0 * i));
  const PointStore points = store_of(raw);
  const QueryPoint q = points.query_for(0);
  SearchState state(6);
  state.set_width(2);
  state.visit(3, points, q);
  state.visit(4, points, q);
  state.visit(5, points, q);  // position 2 >= width: dropped
  EXPECT_EQ((std::vector<NodeId>{3, 4}), nodes_of(state.results()));
  EXPECT_TRUE(state.is_visited(5));
  state.visit(1, points, q);  // position 0: kept, and node 4 leaves the results
  EXPECT_EQ((std::vector<NodeId>{1, 3}), nodes_of(state.results()));
  EXPECT_EQ(3u, state.frontier_size());  // the frontier keeps node 4
  state.visit(1, points, q);             // already visited: nothing changes
  EXPECT_EQ(2u, state.results().size());
  EXPECT_EQ(3u, state.frontier_size());
}

// A path graph 0 - 1 - 2 - ... - 9 on the circle, with the query near node 9:
// the best-first walk follows the path to the end.
TEST(SearchState, ExpandLayerWalksTowardsTheQuery) {
  std::vector<std::vector<float>> raw;
  for (int i = 0; i < 10; ++i) raw.push_back(at_angle(8.0 * i));
  const PointStore points = store_of(raw);
  LinkLayer layer(10, 4);
  for (NodeId i = 0; i < 10; ++i) {
    std::size_t slot = 0;
    if (i > 0) layer.list(i)[slot++] = i - 1;
    if (i < 9) layer.list(i)[slot++] = i + 1;
  }
  const std::vector<float> query = at_angle(75.0);
  SearchState state;
  state.reset();
  state.size_marks(10);
  const QueryPoint q = state.load_query(query);
  state.visit(0, points, q);
  state.set_width(1);
  state.expand_layer(layer, points, q, 4);
  ASSERT_EQ(1u, state.results().size());
  EXPECT_EQ(9u, state.results()[0].node);

  state.narrow();
  EXPECT_EQ(1u, state.frontier_size());
  EXPECT_TRUE(state.is_visited(9));
  EXPECT_FALSE(state.is_visited(8));
  state.set_width(3);
  state.expand_layer(layer, points, q, 4);
  EXPECT_EQ((std::vector<NodeId>{9, 8, 7}), nodes_of(state.results()));
}

TEST(SearchState, ExpandLayerReadsAtMostMaxLinks) {
  // Node 0 lists 1, 2, 3; with max_links 2 node 3 (the nearest) is never seen.
  const PointStore points = store_of({at_angle(90), at_angle(60), at_angle(50), at_angle(1)});
  LinkLayer layer(4, 4);
  layer.list(0)[0] = 1;
  layer.list(0)[1] = 2;
  layer.list(0)[2] = 3;
  const std::vector<float> query = at_angle(0);
  SearchState state(4);
  state.reset();
  const QueryPoint q = state.load_query(query);
  state.visit(0, points, q);
  state.set_width(10);
  state.expand_layer(layer, points, q, 2);
  EXPECT_EQ((std::vector<NodeId>{2, 1, 0}), nodes_of(state.results()));
  EXPECT_FALSE(state.is_visited(3));
}

TEST(SearchState, EqualDistancesFallBackToNodeIds) {
  const PointStore points = store_of({{1, 1}, {1, 1}, {1, 1}, {1, 1}});
  LinkLayer layer(4, 4);
  layer.list(0)[0] = 3;
  layer.list(0)[1] = 1;
  layer.list(3)[0] = 2;
  const std::vector<float> query = {0, 0};  // distance 2.0 to all
  SearchState state(4);
  state.reset();
  const QueryPoint q = state.load_query(query);
  state.visit(0, points, q);
  state.set_width(10);
  state.expand_layer(layer, points, q, 4);
  // Equal distances do not stop the walk, so node 2 (behind node 3) is found.
  EXPECT_EQ((std::vector<NodeId>{0, 1, 2, 3}), nodes_of(state.results()));
  for (const ScoredNode& s : state.results()) EXPECT_EQ(2.0f, s.distance);
}

// A recording walk with exact decisions knows exactly the distances it scored in its current
// generation: the bits of cosine_distance for every node it reports, every
// result among them, and nothing from an earlier generation.
TEST(SearchState, RecordedWalkDistancesAreExactAndCurrent) {
  std::vector<std::vector<float>> raw;
  for (int i = 0; i < 300; ++i) raw.push_back(at_angle(1.3 * i));
  const PointStore points = store_of(raw);
  LinkLayer ring(raw.size(), kBaseLinks);
  for (NodeId node = 0; node < raw.size(); ++node) {
    auto list = ring.list(node);
    for (std::size_t j = 0; j < 40; ++j) list[j] = static_cast<NodeId>((node + 1 + 7 * j) % raw.size());
  }
  SearchState state(raw.size());
  state.set_decisions(Decisions::kExact);  // the reference walk
  state.record_distances();
  EXPECT_EQ(state.walk_distances(0).marks != nullptr, true);
  for (NodeId target : {NodeId{17}, NodeId{150}}) {
    const QueryPoint q = points.query_for(target);
    state.reset();
    state.set_width(10);  // narrow, so that estimates drop many visited nodes
    state.visit(0, points, q);
    state.expand_layer(ring, points, q, kBaseLinks);
    const WalkDistances known = state.walk_distances(target);
    EXPECT_EQ(known.walked_for, target);
    std::size_t known_count = 0;
    std::size_t visited_count = 0;
    for (NodeId node = 0; node < raw.size(); ++node) {
      visited_count += state.is_visited(node);
      float distance;
      if (!known.lookup(node, distance)) continue;
      ++known_count;
      ASSERT_TRUE(state.is_visited(node));
      ASSERT_EQ(std::bit_cast<std::uint32_t>(cosine_distance(raw[target], raw[node])),
                std::bit_cast<std::uint32_t>(distance))
          << "node " << node;
    }
    for (const ScoredNode& result : state.results()) {
      float distance;
      ASSERT_TRUE(known.lookup(result.node, distance));
    }
    EXPECT_GE(known_count, state.results().size());
    EXPECT_LT(known_count, visited_count) << "some visits should be dropped on estimates";
  }
  SearchState plain(raw.size());
  EXPECT_EQ(plain.walk_distances(0).marks, nullptr);  // not recording: nothing known
}

// Visits rank the `width` smallest scored nodes first, in ScoredNode order,
// with ties, NaN distances and zero points (distance 2) among them.
TEST(SearchState, VisitsKeepTheSmallestInOrder) {
  std::mt19937 rng(31);
  std::vector<std::vector<float>> raw;
  for (int i = 0; i < 400; ++i) {
    const int kind = static_cast<int>(rng() % 10);
    if (kind == 0)
      raw.push_back({std::nanf(""), 1.0f});
    else if (kind == 1)
      raw.push_back({0.0f, 0.0f});
    else if (kind == 2 && !raw.empty())
      raw.push_back(raw[rng() % raw.size()]);  // ties
    else
      raw.push_back(at_angle(static_cast<double>(rng() % 3600) / 10.0));
  }
  const PointStore points = store_of(raw);
  for (std::size_t width : {1u, 7u, 100u, 500u}) {
    SearchState state(raw.size());
    state.set_width(width);
    const QueryPoint q = points.query_for(3);
    std::vector<ScoredNode> all;
    for (NodeId node = 0; node < raw.size(); ++node) {
      const NodeId visited = static_cast<NodeId>((node * 37) % raw.size());  // scrambled order
      state.visit(visited, points, q);
      all.push_back({cosine_distance(raw[3], raw[visited]), visited});
    }
    std::sort(all.begin(), all.end());
    all.resize(std::min(width, all.size()));
    // Outside an expansion nothing trims the results back to the width, so
    // the first `width` of them are the ones that count.
    const auto results = state.results();
    ASSERT_GE(results.size(), all.size());
    ASSERT_TRUE(std::is_sorted(results.begin(), results.end()));
    ASSERT_EQ(nodes_of(all), nodes_of(results.first(all.size()))) << "width " << width;
  }
}

}  // namespace
}  // namespace sorvid::hnsw
