// Filtered search: both strategies against brute force over the allowed live
// points, the count guarantee when the walk cannot reach enough of them, the
// edges of the filter, and concurrent callers.
#include "hnsw/filtered_search.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cstdint>
#include <memory>
#include <ostream>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "clustered_points.h"
#include "hand_placed_points.h"
#include "hnsw/cosine_distance.h"
#include "hnsw/index_builder.h"
#include "hnsw/live_insertion.h"
#include "hnsw/prepared_query.h"
#include "hnsw/vector_index.h"
#include "under_sanitizer.h"

namespace sorvid::hnsw {
namespace {

bool before(const Hit& a, const Hit& b) { return ScoredNode{a.distance, a.node} < ScoredNode{b.distance, b.node}; }

void expect_same(const std::vector<Hit>& expected, const std::vector<Hit>& actual) {
  ASSERT_EQ(expected.size(), actual.size());
  for (std::size_t i = 0; i < expected.size(); ++i) {
    EXPECT_EQ(expected[i].value, actual[i].value) << "hit " << i;
    EXPECT_EQ(expected[i].node, actual[i].node) << "hit " << i;
    EXPECT_EQ(std::bit_cast<std::uint32_t>(expected[i].distance), std::bit_cast<std::uint32_t>(actual[i].distance));
  }
}

constexpr std::size_t kPoints = sorvid::testing::kUnderSanitizer ? 1000 : 8000;
constexpr std::size_t kQueries = 30;

// An index of kPoints values: built over all but the last 100, whose values
// then come in by insertion together with 100 that move values 0-99 to new
// points; values 100-399 are removed. Built once for the suites that share it.
class FilteredSearch : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (index_ != nullptr) return;
    all_ = clustered(kPoints + 100 + kQueries, 16, 17);
    const Rows& all = all_;
    points_ = slice(all, 0, kPoints);
    queries_ = slice(all, kPoints + 100, kQueries);
    index_ =
        std::make_unique<HnswIndex>(build_index(slice_views(all, 0, kPoints - 100), values_from(0, kPoints - 100), 5));
    std::vector<std::uint64_t> added = values_from(kPoints - 100, 100);
    for (std::uint64_t v = 0; v < 100; ++v) added.push_back(v);
    LiveInsertion::insert(*index_, slice_views(all, kPoints - 100, 200), added);
    for (std::size_t v = 0; v < 100; ++v) points_[v] = all[kPoints + v];
    for (std::uint64_t v = 100; v < 400; ++v) ASSERT_TRUE(index_->remove_value(v));
  }
  static bool live(std::uint64_t value) { return value < kPoints && (value < 100 || value >= 400); }

  // Brute force: the live allowed values, each once, by (distance, node).
  static std::vector<Hit> reference(const std::vector<float>& query, const std::vector<std::uint64_t>& allowed,
                                    std::size_t max_hits) {
    std::vector<Hit> all;
    for (const std::uint64_t value : std::set<std::uint64_t>(allowed.begin(), allowed.end())) {
      if (live(value)) all.push_back({value, cosine_distance(query, points_[value]), index_->live_node_of(value)});
    }
    std::sort(all.begin(), all.end(), before);
    all.resize(std::min({all.size(), max_hits, VectorIndex::kMaxHits}));
    return all;
  }

  // Allowed live values, each once, with their own exact distances, in
  // (distance, node) order.
  static void expect_valid(const std::vector<Hit>& hits, const std::vector<float>& query,
                           const std::vector<std::uint64_t>& allowed) {
    const std::set<std::uint64_t> allowed_set(allowed.begin(), allowed.end());
    for (std::size_t i = 0; i < hits.size(); ++i) {
      ASSERT_TRUE(allowed_set.count(hits[i].value) == 1 && live(hits[i].value)) << "value " << hits[i].value;
      ASSERT_EQ(std::bit_cast<std::uint32_t>(cosine_distance(query, points_[hits[i].value])),
                std::bit_cast<std::uint32_t>(hits[i].distance));
      if (i > 0) {
        ASSERT_TRUE(before(hits[i - 1], hits[i])) << "hit " << i;
      }
    }
  }

  static inline Rows all_;  // the points the index reads; declared first, so it outlives index_
  static inline std::unique_ptr<HnswIndex> index_;
  static inline Rows points_;  // value v's point
  static inline Rows queries_;
};

class FilteredSweep : public FilteredSearch, public ::testing::WithParamInterface<double> {
 protected:
  // share * kPoints values drawn at random, a third of them twice, with
  // removed and unknown values among them.
  static std::vector<std::uint64_t> allowed_at(double share, std::mt19937& rng) {
    std::vector<std::uint64_t> allowed = values_from(0, kPoints);
    std::shuffle(allowed.begin(), allowed.end(), rng);
    allowed.resize(std::max<std::size_t>(1, static_cast<std::size_t>(share * kPoints)));
    for (std::size_t i = 0; i < allowed.size(); i += 3) allowed.push_back(allowed[i]);
    for (std::uint64_t v = 100; v < 400; v += 7) allowed.push_back(v);
    allowed.insert(allowed.end(), {kPoints, kPoints + 12345, std::uint64_t{1} << 40, ~std::uint64_t{0}});
    std::shuffle(allowed.begin(), allowed.end(), rng);
    return allowed;
  }
};

// The exact strategy is brute force; the walk keeps the count, the order,
// the distances and the filter, and finds the true ten nearly always; the
// switch takes one of the two.
TEST_P(FilteredSweep, StrategiesAgreeWithBruteForce) {
  std::mt19937 rng(static_cast<std::uint32_t>(GetParam() * 1e6));
  std::size_t true_found = 0;
  std::size_t true_total = 0;
  for (const auto& query : queries_) {
    const std::vector<std::uint64_t> allowed = allowed_at(GetParam(), rng);
    const std::vector<Hit> expected = reference(query, allowed, VectorIndex::kMaxHits);

    const AllowedNodes exact_nodes = allowed_nodes(*index_, allowed, false);
    PreparedQuery prepared;
    const std::vector<Hit> exact = exact_among(*index_, prepared.load(query), exact_nodes.nodes, 100);
    expect_same(expected, exact);

    AllowedNodes walk_nodes = allowed_nodes(*index_, allowed, true);
    EXPECT_EQ(exact_nodes.nodes, walk_nodes.nodes);
    const std::vector<Hit> walked = walk_among(*index_, query, walk_nodes, 100);
    ASSERT_EQ(expected.size(), walked.size());
    expect_valid(walked, query, allowed);
    std::set<std::uint64_t> true_ten;
    for (std::size_t i = 0; i < 10 && i < expected.size(); ++i) true_ten.insert(expected[i].value);
    for (std::size_t i = 0; i < 10 && i < walked.size(); ++i) true_found += true_ten.count(walked[i].value);
    true_total += true_ten.size();

    const std::vector<Hit> chosen = search_among(*index_, query, allowed, 100);
    expect_same(walk_pays_off(exact_nodes.nodes.size(), index_->size()) ? walked : exact, chosen);
  }
  EXPECT_GE(static_cast<double>(true_found) / static_cast<double>(true_total), 0.95);
}

INSTANTIATE_TEST_SUITE_P(Shares, FilteredSweep, ::testing::Values(0.001, 0.01, 0.03, 0.1, 0.3, 1.0));

// Removed points and moved values never come back, repeats and unknown
// values count for nothing, and the count is min(max_hits, 100, allowed
// live points), on either strategy.
struct EdgeCase {
  const char* name;
  std::vector<std::uint64_t> allowed;
  std::size_t max_hits;
  std::size_t expected_count;
};

void PrintTo(const EdgeCase& edge, std::ostream* out) { *out << edge.name; }

class FilterEdges : public FilteredSearch, public ::testing::WithParamInterface<EdgeCase> {};

TEST_P(FilterEdges, CountsAndFiltersAsPromised) {
  const std::vector<Hit> hits = search_among(*index_, queries_[0], GetParam().allowed, GetParam().max_hits);
  EXPECT_EQ(GetParam().expected_count, hits.size());
  expect_valid(hits, queries_[0], GetParam().allowed);
}

std::vector<std::uint64_t> twice(std::vector<std::uint64_t> values) {
  values.insert(values.end(), values.rbegin(), values.rend());
  return values;
}

INSTANTIATE_TEST_SUITE_P(Cases, FilterEdges,
                         ::testing::Values(EdgeCase{"Empty", {}, 100, 0},
                                           EdgeCase{"UnknownOnly", {kPoints, 1u << 31, 1ull << 40}, 100, 0},
                                           EdgeCase{"RemovedOnly", twice(values_from(100, 300)), 100, 0},
                                           EdgeCase{"MovedAndRemoved", values_from(0, 400), 1000, 100},
                                           EdgeCase{"RepeatsCountOnce", twice({7, 170, 700, 999, kPoints}), 10, 3},
                                           EdgeCase{"FewerThanAsked", values_from(390, 40), 1000, 30},
                                           EdgeCase{"NoHitsAsked", values_from(0, kPoints), 0, 0},
                                           EdgeCase{"WalkedCutToMaxHits", values_from(0, kPoints), 7, 7},
                                           EdgeCase{"WalkedCutTo100", twice(values_from(0, kPoints)), 1000, 100}),
                         [](const auto& test) { return std::string(test.param.name); });

// Two base-layer components, 0-2 and 3-5, with the walk entering at 0: the
// allowed nodes it cannot reach are scored exactly to make up the count.
TEST(FilteredWalk, UnreachableAllowedNodesAreToppedUp) {
  Rows raw;
  for (int i = 0; i < 6; ++i) raw.push_back(at_angle(15.0 * i));
  LockedLinkLists base(6);
  for (NodeId node = 0; node < 6; ++node) {
    NeighbourList list;
    for (NodeId other = node / 3 * 3; other < node / 3 * 3 + 3; ++other) {
      if (other != node) {
        list.ids[list.size] = other;
        list.distances[list.size++] = 0.0f;
      }
    }
    base.store_neighbours(node, list);
  }
  const HnswIndex index(store_of(raw), {10, 11, 12, 13, 14, 15}, std::move(base), {}, 0, BuildRng::from_seed(1));
  AllowedNodes allowed = allowed_nodes(index, std::vector<std::uint64_t>{15, 11, 13, 99}, true);
  std::vector<std::uint64_t> found;
  for (const Hit& hit : walk_among(index, at_angle(50.0), allowed, 100)) found.push_back(hit.value);
  // Of the allowed values, the walk reaches 11 alone (35 degrees from the
  // query); 13 (5 degrees) and 15 (25) lie beyond its reach.
  EXPECT_EQ((std::vector<std::uint64_t>{13, 15, 11}), found);
}

// Calls from several threads at once give the sequential answers.
TEST(SearchAmong, ConcurrentCallsMatchSequentialOnes) {
  const Rows all = clustered(sorvid::testing::kUnderSanitizer ? 1524 : 4024, 12, 8);
  const Rows points = slice(all, 0, all.size() - 24);
  const VectorIndex index = VectorIndex::build(views_of(points), values_from(0, points.size()), 4);
  std::mt19937 rng(8);
  std::vector<std::vector<std::uint64_t>> allowed(24);
  for (std::size_t q = 0; q < allowed.size(); ++q) {
    // Every third query allows all points, so both strategies run.
    for (std::uint64_t v = 0; v < points.size(); ++v) {
      if (q % 3 == 0 || rng() % 50 == 0) allowed[q].push_back(v);
    }
  }
  const auto query = [&](std::size_t q) { return index.search_among(all[points.size() + q], allowed[q]); };
  std::vector<std::vector<Hit>> sequential;
  for (std::size_t q = 0; q < allowed.size(); ++q) sequential.push_back(query(q));
  std::vector<std::vector<Hit>> parallel(allowed.size());
  std::vector<std::thread> threads;
  for (std::size_t t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (std::size_t q = t; q < allowed.size(); q += 4) parallel[q] = query(q);
    });
  }
  for (std::thread& thread : threads) thread.join();
  for (std::size_t q = 0; q < allowed.size(); ++q) expect_same(sequential[q], parallel[q]);
}

}  // namespace
}  // namespace sorvid::hnsw
