// Filtered search: both strategies against brute force over the allowed live
// points, the count guarantee when the walk cannot reach enough of them, the
// edges of the public member, and concurrent callers.
#include "hnsw/filtered_search.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cstdint>
#include <ostream>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "hand_placed_points.h"
#include "hnsw/cosine_distance.h"
#include "hnsw/index_builder.h"
#include "hnsw/live_insertion.h"
#include "hnsw/prepared_query.h"
#include "hnsw/vector_index.h"
#include "under_sanitizer.h"

namespace sorvid::hnsw {
namespace {

using sorvid::testing::kUnderSanitizer;
using Rows = std::vector<std::vector<float>>;

Rows clustered(std::size_t n, std::size_t dim, std::mt19937& rng) {
  std::normal_distribution<float> normal;
  Rows centres(30, std::vector<float>(dim));
  for (auto& centre : centres) {
    for (float& x : centre) x = normal(rng);
  }
  Rows points(n, std::vector<float>(dim));
  for (auto& point : points) {
    const auto& centre = centres[rng() % centres.size()];
    for (std::size_t i = 0; i < dim; ++i) point[i] = centre[i] + 0.5f * normal(rng);
  }
  return points;
}

std::vector<std::uint64_t> values_from(std::size_t first, std::size_t count) {
  std::vector<std::uint64_t> values(count);
  for (std::size_t i = 0; i < count; ++i) values[i] = first + i;
  return values;
}

// The points by value as the index should see them: value v's point is
// points[v] while live[v].
struct Truth {
  Rows points;
  std::vector<bool> live;

  // Brute force: the live allowed values, each once, by (distance, node).
  std::vector<Hit> nearest(const HnswIndex& index, const std::vector<float>& query,
                           const std::vector<std::uint64_t>& allowed, std::size_t max_hits) const {
    std::vector<Hit> all;
    for (const std::uint64_t value : std::set<std::uint64_t>(allowed.begin(), allowed.end())) {
      if (value >= live.size() || !live[value]) continue;
      all.push_back({value, cosine_distance(query, points[value]), index.live_node_of(value)});
    }
    std::sort(all.begin(), all.end(), [](const Hit& a, const Hit& b) {
      return ScoredNode{a.distance, a.node} < ScoredNode{b.distance, b.node};
    });
    all.resize(std::min({all.size(), max_hits, VectorIndex::kMaxHits}));
    return all;
  }
};

// Valid hits: allowed live values with their own exact distances, in
// (distance, node) order, each once.
void expect_valid(const std::vector<Hit>& hits, const Truth& truth, const std::vector<float>& query,
                  const std::set<std::uint64_t>& allowed) {
  std::set<std::uint64_t> seen;
  for (std::size_t i = 0; i < hits.size(); ++i) {
    const Hit& hit = hits[i];
    ASSERT_TRUE(allowed.count(hit.value) == 1 && truth.live[hit.value]) << "value " << hit.value;
    ASSERT_TRUE(seen.insert(hit.value).second) << "repeated value " << hit.value;
    ASSERT_EQ(std::bit_cast<std::uint32_t>(cosine_distance(query, truth.points[hit.value])),
              std::bit_cast<std::uint32_t>(hit.distance));
    if (i > 0) {
      ASSERT_TRUE((ScoredNode{hits[i - 1].distance, hits[i - 1].node} < ScoredNode{hit.distance, hit.node}));
    }
  }
}

void expect_same(const std::vector<Hit>& expected, const std::vector<Hit>& actual) {
  ASSERT_EQ(expected.size(), actual.size());
  for (std::size_t i = 0; i < expected.size(); ++i) {
    EXPECT_EQ(expected[i].value, actual[i].value) << "hit " << i;
    EXPECT_EQ(expected[i].node, actual[i].node) << "hit " << i;
    EXPECT_EQ(std::bit_cast<std::uint32_t>(expected[i].distance), std::bit_cast<std::uint32_t>(actual[i].distance));
  }
}

// A built index grown by insertions, 100 of which move existing values to
// new points, with 300 values removed.
class FilteredSweep : public ::testing::TestWithParam<double> {
 protected:
  static void SetUpTestSuite() {
    const std::size_t n = kUnderSanitizer ? 2000 : 8000;
    std::mt19937 rng(17);
    const Rows points = clustered(n + 100 + kQueries, 16, rng);
    truth_.points.assign(points.begin(), points.begin() + static_cast<std::ptrdiff_t>(n));
    truth_.live.assign(n, true);
    queries_.assign(points.begin() + static_cast<std::ptrdiff_t>(n + 100), points.end());
    const Rows built(points.begin(), points.begin() + static_cast<std::ptrdiff_t>(n - 100));
    index_ = new HnswIndex(build_index(views_of(built), values_from(0, n - 100), 5));
    // Values 0-99 move to points n to n + 99; n - 100 to n - 1 are new.
    const Rows added(points.begin() + static_cast<std::ptrdiff_t>(n - 100),
                     points.begin() + static_cast<std::ptrdiff_t>(n + 100));
    std::vector<std::uint64_t> added_values = values_from(n - 100, 100);
    for (std::uint64_t v = 0; v < 100; ++v) added_values.push_back(v);
    LiveInsertion::insert(*index_, views_of(added), added_values);
    for (std::size_t v = 0; v < 100; ++v) truth_.points[v] = added[100 + v];
    for (std::uint64_t v = 100; v < 400; ++v) {
      ASSERT_TRUE(index_->remove_value(v));
      truth_.live[v] = false;
    }
  }
  static void TearDownTestSuite() { delete index_; }

  // share * size() values drawn at random, some twice, with unknown ones
  // and the removed ones among them.
  static std::vector<std::uint64_t> allowed_at(double share, std::mt19937& rng) {
    const std::size_t n = truth_.live.size();
    std::vector<std::uint64_t> allowed = values_from(0, n);
    std::shuffle(allowed.begin(), allowed.end(), rng);
    allowed.resize(std::max<std::size_t>(1, static_cast<std::size_t>(share * static_cast<double>(n))));
    for (std::size_t i = 0; i < allowed.size(); i += 3) allowed.push_back(allowed[i]);
    for (std::uint64_t v = 100; v < 400; v += 7) allowed.push_back(v);
    allowed.insert(allowed.end(), {n, n + 12345, std::uint64_t{1} << 40, ~std::uint64_t{0}});
    std::shuffle(allowed.begin(), allowed.end(), rng);
    return allowed;
  }

  static constexpr std::size_t kQueries = 30;
  static inline HnswIndex* index_ = nullptr;
  static inline Truth truth_;
  static inline Rows queries_;
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
    const std::vector<Hit> expected = truth_.nearest(*index_, query, allowed, VectorIndex::kMaxHits);

    const AllowedNodes exact_nodes = allowed_nodes(*index_, allowed, false);
    PreparedQuery prepared;
    const std::vector<Hit> exact = exact_among(*index_, prepared.load(query), exact_nodes.nodes, 100);
    expect_same(expected, exact);

    AllowedNodes walk_nodes = allowed_nodes(*index_, allowed, true);
    EXPECT_EQ(exact_nodes.nodes, walk_nodes.nodes);
    const std::vector<Hit> walked = walk_among(*index_, query, walk_nodes, 100);
    ASSERT_EQ(expected.size(), walked.size());
    expect_valid(walked, truth_, query, std::set<std::uint64_t>(allowed.begin(), allowed.end()));
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
  std::vector<std::uint32_t> values = {10, 11, 12, 13, 14, 15};
  const HnswIndex index(store_of(raw), values, std::move(base), {}, 0, BuildRng::from_seed(1));
  const std::vector<float> query = at_angle(50.0);
  AllowedNodes allowed = allowed_nodes(index, std::vector<std::uint64_t>{15, 11, 13, 99}, true);
  const std::vector<Hit> hits = walk_among(index, query, allowed, 100);
  std::vector<std::uint64_t> found;
  for (const Hit& hit : hits) found.push_back(hit.value);
  // Of the allowed values, the walk reaches 11 alone (35 degrees from the
  // query); 13 (5 degrees) and 15 (25) lie beyond its reach.
  EXPECT_EQ((std::vector<std::uint64_t>{13, 15, 11}), found);
}

// The public member over a small index, most of it scored exactly and the
// whole of it walked: removed points and moved values never come back,
// repeats and unknown values count for nothing, and the count is
// min(max_hits, 100, allowed live points).
struct EdgeCase {
  const char* name;
  std::vector<std::uint64_t> allowed;
  std::size_t max_hits;
  std::size_t expected_count;
};

void PrintTo(const EdgeCase& edge, std::ostream* out) { *out << edge.name; }

class SearchAmongEdges : public ::testing::TestWithParam<EdgeCase> {
 protected:
  // Values 0-49 move to new points; 50-99 are removed.
  static void SetUpTestSuite() {
    std::mt19937 rng(3);
    const Rows points = clustered(1051, 8, rng);
    truth_ = {Rows(points.begin(), points.begin() + 1000), std::vector<bool>(1000, true)};
    index_ = new VectorIndex(VectorIndex::build(views_of(truth_.points), values_from(0, 1000), 9));
    index_->insert(views_of(Rows(points.begin() + 1000, points.begin() + 1050)), values_from(0, 50));
    for (std::size_t v = 0; v < 50; ++v) truth_.points[v] = points[1000 + v];
    for (std::uint64_t v = 50; v < 100; ++v) {
      ASSERT_TRUE(index_->remove(v));
      truth_.live[v] = false;
    }
    query_ = points[1050];
  }
  static void TearDownTestSuite() { delete index_; }

  static inline VectorIndex* index_ = nullptr;
  static inline Truth truth_;
  static inline std::vector<float> query_;
};

TEST_P(SearchAmongEdges, CountsAndFiltersAsPromised) {
  const std::vector<Hit> hits = index_->search_among(query_, GetParam().allowed, GetParam().max_hits);
  EXPECT_EQ(GetParam().expected_count, hits.size());
  expect_valid(hits, truth_, query_, std::set<std::uint64_t>(GetParam().allowed.begin(), GetParam().allowed.end()));
}

std::vector<std::uint64_t> with_repeats(std::vector<std::uint64_t> values) {
  const std::size_t n = values.size();
  for (std::size_t i = 0; i < n; ++i) values.push_back(values[n - 1 - i]);
  return values;
}

INSTANTIATE_TEST_SUITE_P(Cases, SearchAmongEdges,
                         ::testing::Values(EdgeCase{"Empty", {}, 100, 0},
                                           EdgeCase{"UnknownOnly", {1000, 5000, 1u << 31}, 100, 0},
                                           EdgeCase{"RemovedOnly", values_from(50, 50), 100, 0},
                                           EdgeCase{"MovedAndRemoved", values_from(0, 100), 100, 50},
                                           EdgeCase{"RepeatsCountOnce", with_repeats({7, 70, 700, 999, 4000}), 10, 3},
                                           EdgeCase{"NoHitsAsked", values_from(0, 1000), 0, 0},
                                           EdgeCase{"CutToMaxHits", values_from(0, 1000), 7, 7},
                                           EdgeCase{"WalkedCutTo100", with_repeats(values_from(0, 1000)), 1000, 100},
                                           EdgeCase{"FewerThanAsked", values_from(90, 40), 1000, 30}),
                         [](const auto& test) { return std::string(test.param.name); });

// Calls from several threads at once give the sequential answers.
TEST(SearchAmong, ConcurrentCallsMatchSequentialOnes) {
  std::mt19937 rng(8);
  const Rows points = clustered(kUnderSanitizer ? 1500 : 4000, 12, rng);
  const VectorIndex index = VectorIndex::build(views_of(points), values_from(0, points.size()), 4);
  const Rows queries = clustered(24, 12, rng);
  std::vector<std::vector<std::uint64_t>> allowed(queries.size());
  for (std::size_t q = 0; q < queries.size(); ++q) {
    // Every third query allows all points, so both strategies run.
    for (std::uint64_t v = 0; v < points.size(); ++v) {
      if (q % 3 == 0 || rng() % 50 == 0) allowed[q].push_back(v);
    }
  }
  std::vector<std::vector<Hit>> sequential;
  for (std::size_t q = 0; q < queries.size(); ++q) sequential.push_back(index.search_among(queries[q], allowed[q]));
  std::vector<std::vector<Hit>> parallel(queries.size());
  std::vector<std::thread> threads;
  for (std::size_t t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (std::size_t q = t; q < queries.size(); q += 4) parallel[q] = index.search_among(queries[q], allowed[q]);
    });
  }
  for (std::thread& thread : threads) thread.join();
  for (std::size_t q = 0; q < queries.size(); ++q) expect_same(sequential[q], parallel[q]);
}

}  // namespace
}  // namespace sorvid::hnsw
