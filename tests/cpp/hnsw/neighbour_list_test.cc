// Re-selecting a list with one new candidate must give exactly what the full
// selection over all its candidates gives.
#include "hnsw/neighbour_list.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "hnsw/point_store.h"
#include "hnsw/search_state.h"

namespace sorvid::hnsw {
namespace {

PointStore store_of(const std::vector<std::vector<float>>& points) {
  std::vector<NodeId> identity(points.size());
  for (std::size_t i = 0; i < identity.size(); ++i) identity[i] = static_cast<NodeId>(i);
  return PointStore(points, identity);
}

// select_neighbours for `owner` over `candidates`, as a NeighbourList.
NeighbourList full_selection(const PointStore& points, NodeId owner, const std::vector<NodeId>& candidates) {
  SearchState state(points.size());
  state.set_width(1000);
  const QueryPoint q = points.query_for(owner);
  for (NodeId c : candidates) state.visit(c, points, q);
  state.select_neighbours(points);
  NeighbourList list;
  list.kept = state.kept_count();
  for (const ScoredNode& s : state.results()) {
    list.ids[list.size] = s.node;
    list.distances[list.size++] = s.distance;
  }
  return list;
}

struct Scenario {
  const char* name;
  std::size_t dim;       // high dimensions keep most candidates
  std::size_t clusters;  // few clusters make pruning common
  bool duplicates;       // identical points make ties
  bool specials;         // NaN and zero points
};

class ReselectTest : public ::testing::TestWithParam<Scenario> {};

TEST_P(ReselectTest, MatchesFullSelection) {
  const Scenario& s = GetParam();
  std::mt19937 rng(17);
  std::normal_distribution<float> normal;
  const std::size_t n = 400;
  std::vector<std::vector<float>> centres(s.clusters, std::vector<float>(s.dim));
  for (auto& c : centres) {
    for (float& x : c) x = normal(rng);
  }
  std::vector<std::vector<float>> raw(n, std::vector<float>(s.dim));
  for (std::size_t i = 0; i < n; ++i) {
    if (s.duplicates && i % 5 == 1) {
      raw[i] = raw[i - 1];
      continue;
    }
    for (std::size_t d = 0; d < s.dim; ++d) raw[i][d] = centres[rng() % s.clusters][d] + 0.3f * normal(rng);
    if (s.specials && i % 23 == 0) raw[i][0] = std::nanf("");
    if (s.specials && i % 29 == 0) std::fill(raw[i].begin(), raw[i].end(), 0.0f);
  }
  const PointStore points = store_of(raw);
  std::size_t changed = 0;
  for (int trial = 0; trial < 300; ++trial) {
    const NodeId owner = static_cast<NodeId>(rng() % n);
    std::vector<NodeId> candidates;
    const std::size_t wanted = 1 + rng() % 100;
    while (candidates.size() < wanted) {
      const NodeId c = static_cast<NodeId>(rng() % n);
      if (c != owner && std::find(candidates.begin(), candidates.end(), c) == candidates.end()) {
        candidates.push_back(c);
      }
    }
    // Several newcomers in a row, as a list sees them during a build.
    NeighbourList list = full_selection(points, owner, candidates);
    for (int step = 0; step < 4; ++step) {
      const NodeId newcomer = static_cast<NodeId>(rng() % n);
      if (newcomer == owner) continue;
      std::vector<NodeId> with_newcomer = {newcomer};
      with_newcomer.insert(with_newcomer.end(), list.ids.begin(), list.ids.begin() + list.size);
      const NeighbourList expected = full_selection(points, owner, with_newcomer);
      const float distance = points.distance_to(points.query_for(owner), newcomer);
      NeighbourList got;
      const bool reported_change = reselect_with(list, {distance, newcomer}, points, got);
      if (!reported_change) got = list;  // unchanged: `got` was not written
      ASSERT_EQ(expected.size, got.size) << s.name << " trial " << trial << " step " << step;
      ASSERT_EQ(expected.kept, got.kept) << s.name << " trial " << trial << " step " << step;
      for (std::size_t i = 0; i < got.size; ++i) {
        ASSERT_EQ(expected.ids[i], got.ids[i]) << s.name << " trial " << trial << " slot " << i;
        ASSERT_EQ(std::isnan(expected.distances[i]), std::isnan(got.distances[i]));
        if (!std::isnan(got.distances[i])) {
          ASSERT_EQ(expected.distances[i], got.distances[i]);
        }
      }
      // The same with distances from the newcomer looked up where a walk
      // from it scored them: about half the nodes, the rest scored anew.
      SearchState walk(n);
      walk.record_distances();
      walk.set_width(n);
      const QueryPoint from_newcomer = points.query_for(newcomer);
      for (NodeId x = 0; x < n; ++x) {
        if (rng() % 2 == 0) walk.visit(x, points, from_newcomer);
      }
      NeighbourList got_with_walk;
      ASSERT_EQ(reported_change,
                reselect_with(list, {distance, newcomer}, points, got_with_walk, walk.walk_distances(newcomer)));
      if (!reported_change) got_with_walk = list;
      ASSERT_EQ(got.size, got_with_walk.size);
      ASSERT_EQ(got.kept, got_with_walk.kept);
      ASSERT_TRUE(std::equal(got.ids.begin(), got.ids.begin() + got.size, got_with_walk.ids.begin()))
          << s.name << " trial " << trial << " step " << step;
      const bool same = list.size == got.size && list.kept == got.kept &&
                        std::equal(list.ids.begin(), list.ids.begin() + list.size, got.ids.begin());
      // A reported "unchanged" was checked against the full selection above;
      // a reported change means the newcomer entered the list.
      if (reported_change) {
        ASSERT_TRUE(std::find(got.ids.begin(), got.ids.begin() + got.size, newcomer) != got.ids.begin() + got.size);
      }
      changed += !same;
      list = got;
    }
  }
  EXPECT_GT(changed, 10u) << "the scenario should change lists often";
}

INSTANTIATE_TEST_SUITE_P(Scenarios, ReselectTest,
                         ::testing::Values(Scenario{"clustered", 8, 3, false, false},
                                           Scenario{"spread, lists fill to 64", 64, 200, false, false},
                                           Scenario{"ties", 4, 2, true, false},
                                           Scenario{"NaN and zero points", 6, 3, false, true}),
                         [](const ::testing::TestParamInfo<Scenario>& param) { return std::to_string(param.index); });

}  // namespace
}  // namespace sorvid::hnsw
