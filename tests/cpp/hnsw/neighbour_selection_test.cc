// The neighbour selection: the rule over hand-placed candidates, and
// re-selecting a list with one new candidate, which must give exactly what
// the full selection over all its candidates gives.
#include "hnsw/neighbour_selection.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <vector>

#include "hand_placed_points.h"
#include "hnsw/cosine_distance.h"
#include "hnsw/point_store.h"
#include "hnsw/search_state.h"

namespace sorvid::hnsw {
namespace {

// The distance from stored point `from` to `to` that `decisions` names.
float scored(const PointStore& points, NodeId from, NodeId to, Decisions decisions) {
  const QueryPoint q = points.query_for(from);
  return decisions == Decisions::kFast ? points.decision_distance_to(q, to) : points.distance_to(q, to);
}

// `nodes` scored against `owner`, ascending as a walk ranks them, each once
// as a walk visits it once.
std::vector<ScoredNode> candidates_for(const PointStore& points, NodeId owner, const std::vector<NodeId>& nodes,
                                       Decisions decisions = Decisions::kExact) {
  std::vector<ScoredNode> candidates;
  for (NodeId node : nodes) candidates.push_back({scored(points, owner, node, decisions), node});
  std::sort(candidates.begin(), candidates.end());
  const auto same_node = [](const ScoredNode& a, const ScoredNode& b) { return a.node == b.node; };
  candidates.erase(std::unique(candidates.begin(), candidates.end(), same_node), candidates.end());
  return candidates;
}

std::vector<NodeId> nodes_of(std::span<const ScoredNode> scored) {
  std::vector<NodeId> nodes;
  for (const ScoredNode& s : scored) nodes.push_back(s.node);
  return nodes;
}

std::vector<NodeId> ids_of(const NeighbourList& list) {
  return std::vector<NodeId>(list.ids.begin(), list.ids.begin() + list.size);
}

// select_neighbours for `owner` over `nodes`.
NeighbourList full_selection(const PointStore& points, NodeId owner, const std::vector<NodeId>& nodes,
                             Decisions decisions = Decisions::kExact) {
  NeighbourList list;
  select_neighbours(candidates_for(points, owner, nodes, decisions), points, list, decisions);
  return list;
}

// Candidates for a point q at 0 degrees: node 1 at 10 degrees, node 2 at 12
// (closer to node 1 than to q: pruned), node 3 at -30 (kept), node 4 at 35
// (closer to node 1: pruned), node 5 at -33 (closer to node 3: pruned).
TEST(SelectNeighbours, PutsKeptBeforePruned) {
  const PointStore points =
      store_of({at_angle(0), at_angle(10), at_angle(12), at_angle(-30), at_angle(35), at_angle(-33)});
  ASSERT_EQ((std::vector<NodeId>{1, 2, 3, 5, 4}), nodes_of(candidates_for(points, 0, {1, 2, 3, 4, 5})));
  const NeighbourList list = full_selection(points, 0, {1, 2, 3, 4, 5});
  EXPECT_EQ((std::vector<NodeId>{1, 3, 2, 5, 4}), ids_of(list));
  EXPECT_EQ(2u, list.kept);
  // The result is not sorted by distance overall.
  EXPECT_LT(list.distances[2], list.distances[1]);
}

TEST(SelectNeighbours, ReturnsAtMost64) {
  // 100 points on both sides of q over a half circle: on the circle only the
  // nearest on each side is kept, and the pruned ones, far more than fit,
  // fill the list to 64 in candidate order.
  std::vector<std::vector<float>> raw = {at_angle(0)};
  for (int i = 1; i <= 100; ++i) raw.push_back(at_angle(i % 2 == 0 ? 1.7 * i : -1.7 * i));
  const PointStore points = store_of(raw);
  std::vector<NodeId> nodes;
  for (NodeId node = 1; node <= 100; ++node) nodes.push_back(node);
  const std::vector<ScoredNode> candidates = candidates_for(points, 0, nodes);
  NeighbourList chosen;
  select_neighbours(candidates, points, chosen);
  ASSERT_EQ(64u, chosen.size);
  // Check the rule independently: replay it over the candidates.
  std::vector<ScoredNode> kept;
  std::vector<ScoredNode> pruned;
  for (const ScoredNode& c : candidates) {
    if (kept.size() == 64) break;
    bool prunes = false;
    for (const ScoredNode& r : kept) {
      const float between = cosine_distance(points.point(c.node), points.point(r.node));
      prunes = prunes || between < c.distance || (c.distance == 0.0f && between == 0.0f);
    }
    (prunes ? pruned : kept).push_back(c);
  }
  EXPECT_EQ(kept.size(), chosen.kept);
  for (const ScoredNode& p : pruned) {
    if (kept.size() < 64) kept.push_back(p);
  }
  EXPECT_EQ(nodes_of(kept), ids_of(chosen));
}

TEST(SelectNeighbours, CopiesOfTheOwnerPruneOneAnother) {
  // 70 exact copies of q and one point at 10 degrees: at distance 0 the
  // copies are never closer to one another than q is, yet only the first is
  // kept, so the distinct point is kept as well, in second place.
  std::vector<std::vector<float>> raw(71, at_angle(0));
  raw.push_back(at_angle(10));
  const PointStore points = store_of(raw);
  std::vector<NodeId> nodes;
  for (NodeId node = 1; node <= 71; ++node) nodes.push_back(node);
  const NeighbourList list = full_selection(points, 0, nodes);
  ASSERT_EQ(2u, list.kept);
  EXPECT_EQ(1u, list.ids[0]);
  EXPECT_EQ(71u, list.ids[1]);
  EXPECT_EQ(64u, list.size);
}

TEST(SelectNeighbours, NaNDistancesSortLastAndNeverCountAsCloser) {
  const float nan = std::nanf("");
  const PointStore points = store_of({{1, 0}, {nan, 0}, {1, 0.1f}, {1, -0.1f}});
  // Nodes 2 and 3 tie (mirror images): by id. Node 1's distance is NaN: last.
  ASSERT_EQ((std::vector<NodeId>{2, 3, 1}), nodes_of(candidates_for(points, 0, {1, 2, 3})));
  // Node 1's distances to the kept nodes are NaN too, never less: kept.
  EXPECT_EQ((std::vector<NodeId>{2, 3, 1}), ids_of(full_selection(points, 0, {1, 2, 3})));
}

TEST(SelectNeighbours, EveryNumberIsLessThanANaNDistance) {
  const float nan = std::nanf("");
  // q holds a NaN, so every candidate is at distance NaN from it and they
  // come in id order. Node 2 is at a number from node 1, which is less than
  // NaN: pruned. Node 3 holds a NaN itself: never closer, kept.
  const PointStore points = store_of({{nan, 0}, {1, 0}, {0, 1}, {nan, 1}});
  ASSERT_EQ((std::vector<NodeId>{1, 2, 3}), nodes_of(candidates_for(points, 0, {1, 2, 3})));
  EXPECT_EQ((std::vector<NodeId>{1, 3, 2}), ids_of(full_selection(points, 0, {1, 2, 3})));
}

struct Scenario {
  const char* name;
  std::size_t dim;       // high dimensions keep most candidates
  std::size_t clusters;  // few clusters make pruning common
  bool duplicates;       // identical points make ties
  bool specials;         // NaN and zero points
  // Fast decisions: the newcomer's distance is scored from its own end, as
  // a build's walk from the newcomer records it.
  Decisions decisions = Decisions::kExact;
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
    NeighbourList list = full_selection(points, owner, candidates, s.decisions);
    for (int step = 0; step < 4; ++step) {
      const NodeId newcomer = static_cast<NodeId>(rng() % n);
      if (newcomer == owner) continue;
      std::vector<NodeId> with_newcomer = {newcomer};
      with_newcomer.insert(with_newcomer.end(), list.ids.begin(), list.ids.begin() + list.size);
      const NeighbourList expected = full_selection(points, owner, with_newcomer, s.decisions);
      const float distance = scored(points, newcomer, owner, s.decisions);
      NeighbourList got;
      const bool reported_change = reselect_with(list, {distance, newcomer}, points, got, {}, s.decisions);
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
      walk.set_decisions(s.decisions);  // the rule's own distances
      walk.record_distances();
      walk.set_width(n);
      const QueryPoint from_newcomer = points.query_for(newcomer);
      for (NodeId x = 0; x < n; ++x) {
        if (rng() % 2 == 0) walk.visit(x, points, from_newcomer);
      }
      NeighbourList got_with_walk;
      ASSERT_EQ(reported_change, reselect_with(list, {distance, newcomer}, points, got_with_walk,
                                               walk.walk_distances(newcomer), s.decisions));
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
                                           Scenario{"NaN and zero points", 6, 3, false, true},
                                           Scenario{"fast, spread", 64, 200, false, false, Decisions::kFast},
                                           Scenario{"fast, ties", 4, 2, true, false, Decisions::kFast},
                                           Scenario{"fast, NaN and zero", 6, 3, false, true, Decisions::kFast}),
                         [](const ::testing::TestParamInfo<Scenario>& param) { return std::to_string(param.index); });

}  // namespace
}  // namespace sorvid::hnsw
