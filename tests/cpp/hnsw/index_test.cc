// Building and querying whole indexes: graph invariants, the build's edge
// cases, the query's edge cases and recall against brute force.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <set>
#include <thread>
#include <vector>

#include "base/worker_pool.h"
#include "clustered_points.h"
#include "hnsw/build_permutation.h"
#include "hnsw/build_rng.h"
#include "hnsw/cosine_distance.h"
#include "hnsw/hnsw_index.h"
#include "hnsw/index_builder.h"
#include "hnsw/layer_sizes.h"
#include "hnsw/live_insertion.h"
#include "under_sanitizer.h"

namespace sorvid::hnsw {
namespace {

using sorvid::testing::kUnderSanitizer;

// Points around `clusters` random centres, a few per centre.
std::vector<std::vector<float>> clustered_points(std::size_t n, std::size_t dim, std::size_t clusters,
                                                 std::uint32_t seed) {
  std::mt19937 rng(seed);
  std::normal_distribution<float> normal;
  std::vector<std::vector<float>> centres(clusters, std::vector<float>(dim));
  for (auto& centre : centres) {
    for (float& x : centre) x = normal(rng);
  }
  std::vector<std::vector<float>> points(n, std::vector<float>(dim));
  for (auto& point : points) {
    const auto& centre = centres[rng() % clusters];
    for (std::size_t i = 0; i < dim; ++i) point[i] = centre[i] + 0.35f * normal(rng);
  }
  return points;
}

// Whether `first` sorts strictly before `second` in ScoredNode order.
bool sorted_pair(const Hit& first, const Hit& second) {
  return ScoredNode{first.distance, first.node} < ScoredNode{second.distance, second.node};
}

std::vector<std::uint64_t> positions(std::size_t n) {
  std::vector<std::uint64_t> values(n);
  for (std::size_t i = 0; i < n; ++i) values[i] = i;
  return values;
}

// Builds over rows held as vectors.
HnswIndex build(const std::vector<std::vector<float>>& points, const std::vector<std::uint64_t>& values,
                std::uint64_t seed) {
  return build_index(views_of(points), values, seed);
}

std::vector<NodeId> used_slots(std::span<const NodeId> list) {
  std::vector<NodeId> used;
  std::size_t i = 0;
  for (; i < list.size() && list[i] != kEmptySlot; ++i) used.push_back(list[i]);
  for (; i < list.size(); ++i) EXPECT_EQ(kEmptySlot, list[i]) << "used slot after kEmptySlot";
  return used;
}

// Lists: used slots first, no duplicates, no self links, upper-layer ids
// below n_k; the layer sizes follow the table; values are a permutation.
void expect_sound_graph(const HnswIndex& index, const std::vector<std::uint64_t>& values) {
  const std::vector<std::size_t> sizes = layer_sizes(index.size());
  ASSERT_EQ(sizes.size() - 1, index.top());
  for (std::size_t k = 0; k <= index.top(); ++k) {
    ASSERT_EQ(sizes[k], index.layer_size(k));
    for (NodeId node = 0; node < index.layer_size(k); ++node) {
      const auto list = index.links(k, node);
      ASSERT_EQ(k == 0 ? kBaseLinks : kUpperLinks, list.size());
      const std::vector<NodeId> used = used_slots(list);
      const std::set<NodeId> distinct(used.begin(), used.end());
      ASSERT_EQ(used.size(), distinct.size()) << "duplicate link at layer " << k;
      ASSERT_EQ(0u, distinct.count(node)) << "self link at layer " << k;
      for (NodeId id : used) ASSERT_LT(id, index.layer_size(k)) << "layer " << k;
    }
  }
  std::multiset<std::uint64_t> seen;
  for (NodeId node = 0; node < index.size(); ++node) seen.insert(index.value(node));
  EXPECT_EQ(std::multiset<std::uint64_t>(values.begin(), values.end()), seen);
}

class BuildSizeTest : public ::testing::TestWithParam<std::size_t> {};

TEST_P(BuildSizeTest, GraphIsSound) {
  const std::size_t n = GetParam();
  if (kUnderSanitizer && n > 1000) GTEST_SKIP() << "too slow under a sanitizer";
  const auto points = clustered_points(n, 16, 5, static_cast<std::uint32_t>(n));
  const auto values = positions(n);
  const HnswIndex index = build(points, values, 1000 + n);
  ASSERT_EQ(n, index.size());
  expect_sound_graph(index, values);
  for (NodeId node = 0; node < n; ++node) {
    // Node j holds the point of its input position (the value).
    const auto& original = points[index.value(node)];
    ASSERT_TRUE(std::equal(original.begin(), original.end(), index.point(node).begin()));
  }
}

INSTANTIATE_TEST_SUITE_P(Sizes, BuildSizeTest,
                         ::testing::Values(0u, 1u, 2u, 3u, 31u, 110u, 111u, 112u, 385u, 1000u, 4627u));

TEST(Build, OnePointHasNoLinks) {
  const HnswIndex index = build({{1, 2}}, {77}, 3);
  EXPECT_EQ(0u, index.top());
  EXPECT_TRUE(used_slots(index.links(0, 0)).empty());
  SearchState state;
  const auto hits = index.search(std::vector<float>{-5, 1}, state);
  ASSERT_EQ(1u, hits.size());
  EXPECT_EQ(77u, hits[0].value);
  EXPECT_EQ(0u, hits[0].node);
}

TEST(Build, TwoPointsLinkToEachOther) {
  const HnswIndex index = build({{1, 0}, {0, 1}}, {0, 1}, 11);
  EXPECT_EQ(std::vector<NodeId>{0}, used_slots(index.links(0, 1)));
  EXPECT_EQ(std::vector<NodeId>{1}, used_slots(index.links(0, 0)));
}

TEST(Build, PermutationFollowsTheSeed) {
  const std::size_t n = 500;
  const auto points = clustered_points(n, 8, 3, 5);
  const HnswIndex index = build(points, positions(n), 4242);
  BuildRng rng = BuildRng::from_seed(4242);
  const std::vector<NodeId> order = build_permutation(n, rng);
  for (NodeId node = 0; node < n; ++node) ASSERT_EQ(order[node], index.value(node));
}

TEST(Build, PoolIsUsedOnlyBelowTheTopLayer) {
  const std::uint64_t before = WorkerPool::loops_run();
  (void)build(clustered_points(110, 8, 3, 1), positions(110), 1);
  EXPECT_EQ(before, WorkerPool::loops_run()) << "110 points form one layer, built in place";
  (void)build(clustered_points(111, 8, 3, 1), positions(111), 1);
  EXPECT_EQ(before + 1, WorkerPool::loops_run()) << "111 points: the base layer on the pool";
  (void)build(clustered_points(400, 8, 3, 1), positions(400), 1);
  EXPECT_EQ(before + 3, WorkerPool::loops_run()) << "400 points: layers 1 and 0 on the pool";
}

// With n = 111, nodes 1 to 31 are inserted in place, and upper layer 1 keeps
// the first 32 slots of nodes 0 to 31 as they were then, whatever the base
// layer's insertions change afterwards.
TEST(Build, UpperLayerIsASnapshotTakenAfterItsInsertions) {
  const auto points = clustered_points(111, 8, 2, 9);
  IndexBuilder builder(views_of(points), positions(111), 99);
  ASSERT_EQ(1u, builder.top());
  EXPECT_EQ(1u, builder.first_inserted(1));
  EXPECT_EQ(32u, builder.first_inserted(0));
  builder.insert_layer(1);
  std::vector<std::vector<NodeId>> after_top(32);
  for (NodeId node = 0; node < 32; ++node) {
    const auto list = builder.base_lists().list(node);
    after_top[node].assign(list.begin(), list.begin() + kUpperLinks);
    for (NodeId id : used_slots(list)) EXPECT_LT(id, 32u);
  }
  builder.snapshot_layer(1);
  builder.insert_layer(0);
  const HnswIndex index = std::move(builder).finish();
  bool base_changed = false;
  for (NodeId node = 0; node < 32; ++node) {
    const auto upper = index.links(1, node);
    EXPECT_EQ(after_top[node], std::vector<NodeId>(upper.begin(), upper.end()));
    const auto base = index.links(0, node);
    base_changed = base_changed || !std::equal(upper.begin(), upper.end(), base.begin());
  }
  EXPECT_TRUE(base_changed) << "the base layer should have moved on after the snapshot";
}

TEST(Build, ScratchStatesAreReused) {
  const auto points = clustered_points(1000, 8, 4, 3);
  IndexBuilder builder(views_of(points), positions(1000), 5);
  for (std::size_t k = builder.top();; --k) {
    builder.insert_layer(k);
    if (k >= 1) builder.snapshot_layer(k);
    if (k == 0) break;
  }
  // About one state per insertion running at once, not one per insertion.
  EXPECT_LE(builder.scratch_states_created(), WorkerPool::instance().thread_count() + 1);
}

TEST(Build, SameSeedGivesSamePermutationAndTopLayerLinks) {
  // 400 points: a top layer of 33 nodes (layer 2), built on this thread.
  const auto points = clustered_points(400, 8, 4, 21);
  const HnswIndex first = build(points, positions(400), 77);
  const HnswIndex second = build(points, positions(400), 77);
  ASSERT_EQ(2u, first.top());
  for (NodeId node = 0; node < first.layer_size(2); ++node) {
    EXPECT_EQ(first.value(node), second.value(node));
    const auto a = first.links(2, node);
    const auto b = second.links(2, node);
    EXPECT_TRUE(std::equal(a.begin(), a.end(), b.begin())) << "node " << node;
  }
}

TEST(Build, IdenticalPointsStillFormASoundGraph) {
  const std::vector<std::vector<float>> points(300, std::vector<float>{0.5f, 0.5f, 0.5f});
  const HnswIndex index = build(points, positions(300), 8);
  expect_sound_graph(index, positions(300));
  SearchState state;
  const auto hits = index.search(std::vector<float>{1, 1, 1}, state);
  // Every list prefers the smallest ids, so the walk stays among them.
  ASSERT_FALSE(hits.empty());
  ASSERT_LE(hits.size(), 100u);
  EXPECT_EQ(0u, hits[0].node);
  for (std::size_t i = 1; i < hits.size(); ++i) {
    EXPECT_EQ(hits[0].distance, hits[i].distance);
    EXPECT_LT(hits[i - 1].node, hits[i].node);  // equal distances: by node id
  }
}

TEST(Build, NaNAndUnequalLengthPointsDoNotDisturbTheBuild) {
  auto points = clustered_points(600, 12, 4, 13);
  for (std::size_t i = 0; i < points.size(); i += 7) points[i].resize(5 + i % 11);
  for (std::size_t i = 3; i < points.size(); i += 50) points[i][0] = std::nanf("");
  points[10].clear();
  const HnswIndex index = build(points, positions(600), 17);
  expect_sound_graph(index, positions(600));
  SearchState state;
  const std::vector<float> query = points[1];
  const auto hits = index.search(query, state);
  ASSERT_FALSE(hits.empty());
  for (const Hit& hit : hits) {
    const float expected = cosine_distance(query, points[hit.value]);
    EXPECT_TRUE(std::isnan(expected) ? std::isnan(hit.distance) : expected == hit.distance);
  }
  for (std::size_t i = 1; i < hits.size(); ++i) {
    EXPECT_TRUE(sorted_pair(hits[i - 1], hits[i]));
  }
}

class SearchTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    points_ = new std::vector<std::vector<float>>(clustered_points(1000, 16, 8, 31));
    index_ = new HnswIndex(build(*points_, positions(1000), 2024));
  }
  static void TearDownTestSuite() {
    delete index_;
    delete points_;
  }
  static std::vector<std::vector<float>>* points_;
  static HnswIndex* index_;
};

std::vector<std::vector<float>>* SearchTest::points_ = nullptr;
HnswIndex* SearchTest::index_ = nullptr;

TEST_F(SearchTest, HitsAreSortedExactDistancesAtMost100) {
  SearchState state;
  const std::vector<float> query = clustered_points(1, 16, 8, 31)[0];
  const auto hits = index_->search(query, state);
  ASSERT_EQ(100u, hits.size());
  std::set<NodeId> nodes;
  for (std::size_t i = 0; i < hits.size(); ++i) {
    nodes.insert(hits[i].node);
    EXPECT_EQ(index_->value(hits[i].node), hits[i].value);
    EXPECT_EQ(cosine_distance(query, (*points_)[hits[i].value]), hits[i].distance);
    if (i > 0) {
      EXPECT_TRUE(sorted_pair(hits[i - 1], hits[i]));
    }
  }
  EXPECT_EQ(100u, nodes.size());
}

TEST_F(SearchTest, StoredPointIsFoundFirstAtDistanceNearZero) {
  SearchState state;
  for (std::size_t i = 0; i < 1000; i += 37) {
    const auto hits = index_->search((*points_)[i], state);
    ASSERT_FALSE(hits.empty());
    EXPECT_EQ(i, hits[0].value);
    EXPECT_GE(hits[0].distance, 0.0f);
    EXPECT_LT(hits[0].distance, 1e-5f);
  }
}

TEST_F(SearchTest, ZeroQueryScoresTwoEverywhereInNodeOrder) {
  SearchState state;
  const auto hits = index_->search(std::vector<float>(16, 0.0f), state);
  ASSERT_EQ(100u, hits.size());
  for (std::size_t i = 0; i < hits.size(); ++i) {
    EXPECT_EQ(2.0f, hits[i].distance);
    EXPECT_EQ(i, hits[i].node);  // equal distances: node-id order from the entry point
  }
}

TEST_F(SearchTest, ReusedStateGivesTheSameHitsAsAFreshOne) {
  SearchState reused;
  for (int i = 0; i < 300; ++i) {  // crosses the generation wrap
    const std::vector<float>& query = (*points_)[(i * 13) % 1000];
    const std::vector<Hit> first(index_->search(query, reused).begin(), index_->search(query, reused).end());
    SearchState fresh;
    const auto second = index_->search(query, fresh);
    ASSERT_EQ(first.size(), second.size());
    for (std::size_t j = 0; j < first.size(); ++j) ASSERT_EQ(first[j].node, second[j].node);
  }
}

TEST_F(SearchTest, ConcurrentQueriesAgreeWithSequentialOnes) {
  std::vector<std::vector<NodeId>> expected(8);
  for (std::size_t q = 0; q < expected.size(); ++q) {
    SearchState state;
    for (const Hit& hit : index_->search((*points_)[q * 100], state)) expected[q].push_back(hit.node);
  }
  std::vector<std::thread> threads;
  std::vector<int> mismatches(4, 0);
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      SearchState state;
      for (int round = 0; round < 10; ++round) {
        for (std::size_t q = 0; q < expected.size(); ++q) {
          std::vector<NodeId> got;
          for (const Hit& hit : index_->search((*points_)[q * 100], state)) got.push_back(hit.node);
          mismatches[t] += got != expected[q];
        }
      }
    });
  }
  for (auto& thread : threads) thread.join();
  for (int count : mismatches) EXPECT_EQ(0, count);
}

TEST(Search, EmptyIndexHasNoHits) {
  const HnswIndex index = build({}, {}, 1);
  SearchState state;
  EXPECT_TRUE(index.search(std::vector<float>{1, 2}, state).empty());
  EXPECT_EQ(0u, index.top());
}

TEST(Search, MismatchedQueryLengthUsesCommonPrefix) {
  const auto points = clustered_points(300, 8, 3, 77);
  const HnswIndex index = build(points, positions(300), 5);
  SearchState state;
  const std::vector<float> short_query(points[4].begin(), points[4].begin() + 5);
  for (const Hit& hit : index.search(short_query, state)) {
    EXPECT_EQ(cosine_distance(short_query, points[hit.value]), hit.distance);
  }
}

// Points so small that their squares underflow are scored scaled up, so
// their own direction is at distance 0 (not 2), whichever side is tiny.
TEST(Search, TinyPointsFindTheirOwnDirection) {
  auto points = clustered_points(300, 3, 5, 3);
  const auto scaled = [](float factor) { return std::vector<float>{1 * factor, 2 * factor, 3 * factor}; };
  points.push_back(scaled(1e-30f));
  points.push_back(scaled(1e-41f));  // subnormal values
  const HnswIndex index = build(points, positions(points.size()), 5);
  SearchState state;
  for (const float factor : {1.0f, 1e-30f, 1e-41f}) {
    const std::vector<float> query = scaled(factor);
    const auto hits = index.search(query, state);
    ASSERT_GE(hits.size(), 2u);
    EXPECT_EQ((std::set<std::uint64_t>{300, 301}), (std::set<std::uint64_t>{hits[0].value, hits[1].value}));
    EXPECT_LT(hits[1].distance, 1e-6f) << "factor " << factor;
    for (const Hit& hit : hits) ASSERT_EQ(cosine_distance(query, points[hit.value]), hit.distance);
  }
}

struct CopiesCase {
  std::size_t copies;
  bool inserted;  // all but a few copies go in by insertions after the build
};

class CopiesTest : public ::testing::TestWithParam<CopiesCase> {};

// Exact copies of one point beside one distinct point: unless the copies
// prune one another, every copy's list is full of copies and no walk reaches
// the distinct point.
TEST_P(CopiesTest, DistinctPointIsFoundFirstInFreshBuilds) {
  const CopiesCase& c = GetParam();
  const std::vector<float> distinct = {1.0f, 0.2f, -0.7f, 0.4f, 0.3f, 1.5f, -0.6f, 0.2f};
  std::vector<std::vector<float>> points = {distinct};
  points.resize(c.copies + 1, {0.3f, -1.2f, 0.8f, 0.5f, 2.0f, -0.1f, 0.9f, 1.1f});
  const std::size_t built = c.inserted ? 8 : points.size();
  const std::vector<std::vector<float>> first(points.begin(), points.begin() + static_cast<std::ptrdiff_t>(built));
  const std::vector<std::vector<float>> rest(points.begin() + static_cast<std::ptrdiff_t>(built), points.end());
  std::vector<std::uint64_t> rest_values(rest.size());
  for (std::size_t i = 0; i < rest.size(); ++i) rest_values[i] = built + i;
  const int builds = kUnderSanitizer ? 10 : 100;
  int found = 0;
  for (int seed = 1; seed <= builds; ++seed) {
    HnswIndex index = build(first, positions(built), static_cast<std::uint64_t>(seed));
    LiveInsertion::insert(index, views_of(rest), rest_values);
    SearchState state;
    const auto hits = index.search(distinct, state);
    found += !hits.empty() && hits[0].value == 0 ? 1 : 0;
  }
  EXPECT_GE(found * 100, builds * 99) << found << " of " << builds;
}

INSTANTIATE_TEST_SUITE_P(Copies, CopiesTest,
                         ::testing::Values(CopiesCase{100, false}, CopiesCase{500, false}, CopiesCase{500, true}));

// Top-10 recall by distance: a hit counts when it is at most as far as the
// tenth nearest point, so that among equal distances any node counts.
double recall_at_10_by_distance(const HnswIndex& index, const std::vector<std::vector<float>>& points,
                                const std::vector<std::vector<float>>& queries) {
  std::size_t found = 0;
  SearchState state;
  std::vector<float> exact(points.size());
  for (const auto& query : queries) {
    for (std::size_t i = 0; i < points.size(); ++i) exact[i] = cosine_distance(query, points[i]);
    std::nth_element(exact.begin(), exact.begin() + 9, exact.end());
    const auto hits = index.search(query, state);
    for (std::size_t i = 0; i < 10 && i < hits.size(); ++i) found += hits[i].distance <= exact[9] ? 1 : 0;
  }
  return static_cast<double>(found) / static_cast<double>(10 * queries.size());
}

// A fifth of the points are exact copies of three points, as repeated
// chunks are in real corpora; half the queries lie near the copied points,
// where walks meet the copies.
TEST(Recall, TopTenRecallWithExactCopiesMixedIn) {
  constexpr std::size_t kCopiedPoints = 3;
  const std::size_t n = kUnderSanitizer ? 1500 : 5000;
  const std::size_t query_count = kUnderSanitizer ? 30 : 100;
  auto points = clustered_points(n + query_count / 2, 32, 40, 99);
  std::vector<std::vector<float>> queries(points.begin() + static_cast<std::ptrdiff_t>(n), points.end());
  points.resize(n);
  std::mt19937 rng(5);
  for (std::size_t i = 1; i < n; ++i) {
    if (rng() % 5 == 0) points[i] = points[rng() % kCopiedPoints];
  }
  std::normal_distribution<float> noise(0.0f, 0.05f);
  for (std::size_t q = 0; q < query_count / 2; ++q) {
    queries.push_back(points[rng() % kCopiedPoints]);
    for (float& x : queries.back()) x += noise(rng);
  }
  const HnswIndex index = build(points, positions(n), 31);
  const double recall = recall_at_10_by_distance(index, points, queries);
  EXPECT_GE(recall, 0.99);
  RecordProperty("recall_at_10", std::to_string(recall));
}

// Top-10 recall against brute force on clustered data.
TEST(Recall, TopTenRecallOnClusteredPoints) {
  // Sanitizers slow the build 3-15 times: a smaller set still runs four
  // layers, three of them in parallel.
  const std::size_t n = kUnderSanitizer ? 3000 : 20000;
  const std::size_t query_count = kUnderSanitizer ? 40 : 200;
  const std::size_t dim = 64;
  const auto all = clustered_points(n + query_count, dim, 50, 2025);
  const std::vector<std::vector<float>> points(all.begin(), all.begin() + n);
  const HnswIndex index = build(points, positions(n), 20251u);
  std::size_t found = 0;
  SearchState state;
  std::vector<ScoredNode> exact(n);
  for (std::size_t q = 0; q < query_count; ++q) {
    const std::vector<float>& query = all[n + q];
    for (std::size_t i = 0; i < n; ++i) exact[i] = {cosine_distance(query, points[i]), static_cast<NodeId>(i)};
    std::partial_sort(exact.begin(), exact.begin() + 10, exact.end());
    std::set<std::uint64_t> truth;
    for (std::size_t i = 0; i < 10; ++i) truth.insert(exact[i].node);
    const auto hits = index.search(query, state);
    for (std::size_t i = 0; i < 10 && i < hits.size(); ++i) found += truth.count(hits[i].value);
  }
  const double recall = static_cast<double>(found) / static_cast<double>(10 * query_count);
  EXPECT_GE(recall, 0.95);
  RecordProperty("recall_at_10", std::to_string(recall));
}

// Walks deciding by fast distances find what walks deciding by exact ones
// find, over the same graph, and still return exact, ordered distances.
TEST(Recall, FastDecisionsRecallLikeExactOnes) {
  const std::size_t n = kUnderSanitizer ? 2000 : 10000;
  const std::size_t query_count = kUnderSanitizer ? 50 : 400;
  const Rows all = clustered(n + query_count, 96, 4242);
  const Rows points = slice(all, 0, n);
  const Rows queries = slice(all, n, query_count);
  const HnswIndex index = build(points, positions(n), 77);
  SearchState fast;
  SearchState exact;
  exact.set_decisions(Decisions::kExact);
  std::vector<ScoredNode> truth(n);
  std::size_t found[2] = {0, 0};
  for (const auto& query : queries) {
    for (std::size_t i = 0; i < n; ++i) truth[i] = {cosine_distance(query, points[i]), static_cast<NodeId>(i)};
    std::partial_sort(truth.begin(), truth.begin() + 10, truth.end());
    std::set<std::uint64_t> nearest;
    for (std::size_t i = 0; i < 10; ++i) nearest.insert(truth[i].node);
    for (SearchState* state : {&fast, &exact}) {
      const auto hits = index.search(query, *state);
      for (std::size_t i = 0; i < hits.size(); ++i) {
        ASSERT_EQ(cosine_distance(query, points[hits[i].value]), hits[i].distance);
        if (i > 0) {
          ASSERT_TRUE(sorted_pair(hits[i - 1], hits[i]));
        }
        if (i < 10) found[state == &exact] += nearest.count(hits[i].value);
      }
    }
  }
  const double scale = 1.0 / static_cast<double>(10 * query_count);
  EXPECT_NEAR(static_cast<double>(found[0]) * scale, static_cast<double>(found[1]) * scale, 0.002);
  EXPECT_GE(static_cast<double>(found[0]) * scale, 0.95);
  RecordProperty("recall_at_10_fast", std::to_string(static_cast<double>(found[0]) * scale));
  RecordProperty("recall_at_10_exact", std::to_string(static_cast<double>(found[1]) * scale));
}

}  // namespace
}  // namespace sorvid::hnsw
