// The live index: insertions into a built index, removals, and the graph
// file round trip, checked against brute force and the graph's invariants.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <new>
#include <optional>
#include <random>
#include <set>
#include <vector>

#include "clustered_points.h"
#include "hnsw/cosine_distance.h"
#include "hnsw/graph_file.h"
#include "hnsw/hnsw_index.h"
#include "hnsw/index_builder.h"
#include "hnsw/layer_sizes.h"
#include "hnsw/live_insertion.h"
#include "hnsw/vector_index.h"
#include "under_sanitizer.h"

namespace sorvid::hnsw {
namespace {

using sorvid::testing::kUnderSanitizer;

// Links in range, on their own layer, neither self links nor duplicates;
// used slots first; layer k + 1 inside layer k; the entry on every layer.
void expect_sound_graph(const HnswIndex& index) {
  ASSERT_LT(index.entry(), index.size());
  for (std::size_t k = 0; k <= index.top(); ++k) {
    ASSERT_TRUE(index.on_layer(k, index.entry())) << "entry missing on layer " << k;
    for (NodeId node = 0; node < index.size(); ++node) {
      if (!index.on_layer(k, node)) continue;
      if (k >= 1) {
        ASSERT_TRUE(index.on_layer(k - 1, node)) << "layer " << k << " not nested";
      }
      const auto list = index.links(k, node);
      std::set<NodeId> seen;
      bool ended = false;
      for (const NodeId id : list) {
        if (id == kEmptySlot) {
          ended = true;
          continue;
        }
        ASSERT_FALSE(ended) << "used slot after an empty one";
        ASSERT_LT(id, index.size());
        ASSERT_NE(id, node) << "self link on layer " << k;
        ASSERT_TRUE(index.on_layer(k, id)) << "link off layer " << k;
        ASSERT_TRUE(seen.insert(id).second) << "duplicate link on layer " << k;
      }
    }
  }
}

// Recall@10 of `index` over `points` (value i = points[i]), skipping the
// values in `removed`.
double recall_at_10(const HnswIndex& index, const Rows& points, const Rows& queries,
                    const std::set<std::uint64_t>& removed = {}) {
  std::size_t found = 0;
  SearchState state;
  for (const auto& query : queries) {
    std::vector<ScoredNode> exact;
    for (std::size_t i = 0; i < points.size(); ++i) {
      if (removed.count(i) == 0) exact.push_back({cosine_distance(query, points[i]), static_cast<NodeId>(i)});
    }
    std::partial_sort(exact.begin(), exact.begin() + 10, exact.end());
    std::set<std::uint64_t> truth;
    for (std::size_t i = 0; i < 10; ++i) truth.insert(exact[i].node);
    const auto hits = index.search(query, state);
    for (std::size_t i = 0; i < 10 && i < hits.size(); ++i) found += truth.count(hits[i].value);
  }
  return static_cast<double>(found) / static_cast<double>(10 * queries.size());
}

// An insertion that cannot have the memory it needs (the first point of an
// empty index claims a length whose bfloat16 copy no address space holds)
// throws std::bad_alloc before it changes anything: the index takes later
// insertions as if nothing had happened. (Points are lent, not copied, so
// only that copy grows with a point's length.)
TEST(LiveInsertion, FailedAllocationThrowsAndLeavesTheIndexWhole) {
  const Rows points = clustered(400, 8, 21);
  const std::vector<std::span<const float>> huge = {std::span<const float>(points[0].data(), std::size_t{1} << 58)};
  HnswIndex index = build_index(slice_views(points, 0, 0), {}, 3);
  EXPECT_THROW(LiveInsertion::insert(index, huge, values_from(0, 1)), std::bad_alloc);
  EXPECT_EQ(0u, index.size());
  LiveInsertion::insert(index, slice_views(points, 0, 300), values_from(0, 300));
  expect_sound_graph(index);
  EXPECT_GE(recall_at_10(index, slice(points, 0, 300), slice(points, 300, 100)), 0.9);
  // A build that cannot have its memory throws the same way.
  EXPECT_THROW(VectorIndex::build(huge, values_from(0, 1), 1), std::bad_alloc);
}

struct GrowthCase {
  std::size_t built;
  std::size_t added;
  std::size_t batch;  // points per insert() call: >= 256 runs on the pool
};

class LiveGrowthTest : public ::testing::TestWithParam<GrowthCase> {};

// An index grown by insertions finds about what a fresh build over all the
// points finds, and its graph stays sound, whether nodes went in one by one
// on this thread or in parallel.
TEST_P(LiveGrowthTest, GrownIndexIsSoundAndRecallsLikeAFreshBuild) {
  // Sanitizers slow builds 3-15 times: they run the parallel cases only, at
  // a quarter of the size.
  if (kUnderSanitizer && GetParam().batch < LiveInsertion::kParallelMinimum && GetParam().built > 100) {
    GTEST_SKIP() << "serial, and too slow under a sanitizer";
  }
  const std::size_t scale = kUnderSanitizer ? 4 : 1;
  const std::size_t built = GetParam().built / scale;
  const std::size_t added = GetParam().added / scale;
  const std::size_t batch = std::max<std::size_t>(GetParam().batch / scale, 1);
  const Rows all = clustered(built + added + 100, 32, 7);
  const Rows points = slice(all, 0, built + added);
  const Rows queries = slice(all, built + added, 100);

  HnswIndex grown = build_index(slice_views(points, 0, built), values_from(0, built), 11);
  for (std::size_t first = built; first < built + added; first += batch) {
    const std::size_t count = std::min(batch, built + added - first);
    LiveInsertion::insert(grown, slice_views(points, first, count), values_from(first, count));
  }
  ASSERT_EQ(built + added, grown.size());
  EXPECT_EQ(added, grown.inserted_since_build());
  expect_sound_graph(grown);
  for (NodeId node = 0; node < grown.size(); ++node) {
    const auto& original = points[grown.value(node)];
    ASSERT_TRUE(std::equal(original.begin(), original.end(), grown.point(node).begin()));
  }

  const HnswIndex fresh = build_index(views_of(points), values_from(0, points.size()), 11);
  const double fresh_recall = recall_at_10(fresh, points, queries);
  const double grown_recall = recall_at_10(grown, points, queries);
  EXPECT_GE(grown_recall, fresh_recall - 0.02) << "fresh " << fresh_recall;
  EXPECT_GE(grown_recall, 0.9);
}

INSTANTIATE_TEST_SUITE_P(Batches, LiveGrowthTest,
                         ::testing::Values(GrowthCase{4000, 400, 1}, GrowthCase{4000, 400, 100},
                                           GrowthCase{4000, 2000, 2000}, GrowthCase{0, 3000, 1500},
                                           GrowthCase{60, 2000, 300}));

// With one thread everywhere (a one-layer build, insertions on this thread),
// the same seed and insertions give the same graph.
TEST(LiveInsertion, SerialInsertionsFollowTheSeed) {
  const Rows points = clustered(300, 8, 3);
  std::vector<std::vector<NodeId>> lists[2];
  for (auto& copy : lists) {
    HnswIndex index = build_index(slice_views(points, 0, 100), values_from(0, 100), 5);
    LiveInsertion::insert(index, slice_views(points, 100, 200), values_from(100, 200));
    for (std::size_t k = 0; k <= index.top(); ++k) {
      for (NodeId node = 0; node < index.size(); ++node) {
        const auto list = index.links(k, node);
        copy.emplace_back(list.begin(), list.end());
      }
    }
  }
  EXPECT_EQ(lists[0], lists[1]);
}

TEST(LiveInsertion, LevelsFollowTheBuildsDistribution) {
  BuildRng rng = BuildRng::from_seed(1);
  std::vector<std::size_t> at_least(4, 0);
  const std::size_t draws = 200000;
  for (std::size_t i = 0; i < draws; ++i) {
    const std::size_t level = LiveInsertion::draw_level(rng);
    for (std::size_t k = 0; k < at_least.size() && k <= level; ++k) ++at_least[k];
  }
  for (std::size_t k = 1; k < at_least.size(); ++k) {
    const double expected = std::pow(static_cast<double>(level_factor()), static_cast<double>(k));
    EXPECT_NEAR(expected, static_cast<double>(at_least[k]) / draws, 4 * std::sqrt(expected / draws)) << "level " << k;
  }
}

class RemovalTest : public ::testing::Test {
 protected:
  void SetUp() override {
    points_ = clustered(kUnderSanitizer ? 600 : 1200, 16, 21);
    index_ = VectorIndex::build(views_of(points_), values_from(0, points_.size()), 3);
  }
  // Every hit is live, with its own point's exact distance, in order.
  void expect_live_hits(const std::vector<Hit>& hits, const std::vector<float>& query) {
    for (std::size_t i = 0; i < hits.size(); ++i) {
      ASSERT_EQ(0u, removed_.count(hits[i].value)) << "removed value " << hits[i].value << " returned";
      ASSERT_EQ(cosine_distance(query, points_[hits[i].value]), hits[i].distance);
      const bool ordered =
          i == 0 || ScoredNode{hits[i - 1].distance, hits[i - 1].node} < ScoredNode{hits[i].distance, hits[i].node};
      ASSERT_TRUE(ordered);
    }
  }
  void remove_all_but(std::size_t keep_every) {
    for (std::uint64_t value = 0; value < points_.size(); ++value) {
      if (value % keep_every != 0) {
        ASSERT_TRUE(index_.remove(value));
        removed_.insert(value);
      }
    }
  }

  Rows points_;
  VectorIndex index_ = VectorIndex::build(PointViews{}, {});
  std::set<std::uint64_t> removed_;
};

TEST_F(RemovalTest, RemovedValuesAreNeverReturnedAndResultsStillFill) {
  remove_all_but(3);  // two thirds removed, at least 200 live
  EXPECT_FALSE(index_.remove(1)) << "already removed";
  EXPECT_FALSE(index_.remove(5000)) << "never present";
  EXPECT_EQ(points_.size() / 3 * 2, index_.removed_count());
  EXPECT_EQ(points_.size(), index_.size());
  for (std::size_t q = 0; q < points_.size(); q += 97) {
    const std::vector<Hit> hits = index_.search(points_[q]);
    EXPECT_EQ(VectorIndex::kMaxHits, hits.size());
    expect_live_hits(hits, points_[q]);
    // The same query on an unchanged index gives the same hits.
    const std::vector<Hit> again = index_.search(points_[q]);
    ASSERT_TRUE(std::equal(hits.begin(), hits.end(), again.begin(), again.end(),
                           [](const Hit& a, const Hit& b) { return a.node == b.node && a.value == b.value; }));
  }
}

TEST_F(RemovalTest, FewLivePointsAreAllFoundThroughRemovedOnes) {
  remove_all_but(40);  // 15 or 30 live
  std::set<std::uint64_t> found;
  for (const Hit& hit : index_.search(points_[7])) found.insert(hit.value);
  std::set<std::uint64_t> live;
  for (std::uint64_t value = 0; value < points_.size(); value += 40) live.insert(value);
  EXPECT_EQ(live, found);
}

TEST_F(RemovalTest, ReplacingAnEmbeddingMovesTheValue) {
  const std::uint64_t source = points_.size() - 10;
  const std::vector<float> moved = points_[source];
  const std::vector<float> old_five = points_[5];
  // Values 5 and 6 take another point's embedding: 5 by remove + insert, 6
  // by inserting over its live value.
  ASSERT_TRUE(index_.remove(5));
  const std::vector<std::vector<float>> new_rows{moved, moved};
  index_.insert(views_of(new_rows), values_from(5, 2));
  EXPECT_EQ(points_.size() + 2, index_.size());
  EXPECT_EQ(2u, index_.removed_count());
  points_[5] = moved;
  points_[6] = moved;
  const std::vector<Hit> hits = index_.search(moved, 3);
  std::set<std::uint64_t> first_three;
  for (const Hit& hit : hits) first_three.insert(hit.value);
  EXPECT_EQ((std::set<std::uint64_t>{5, 6, source}), first_three);
  // Hits for 5 and 6 carry their new embeddings' distances, also near the
  // old ones.
  expect_live_hits(index_.search(moved), moved);
  expect_live_hits(index_.search(old_five), old_five);
  EXPECT_TRUE(index_.remove(6));
  EXPECT_FALSE(index_.remove(6));
}

// A graph file gives back the very index that wrote it; odd but
// structurally valid contents (scrambled distances and kept counts) may make
// a worse graph, never a crash, also when points are inserted later.
TEST(GraphRoundTrip, ReadIndexAnswersAsTheWrittenOneAndStaysLive) {
  const std::size_t n = kUnderSanitizer ? 800 : 2000;
  const Rows points = clustered(n + 300, 16, 33);
  const Rows stored = slice(points, 0, n);
  const VectorIndex index = VectorIndex::build(views_of(stored), values_from(0, n), 9);
  std::vector<char> file;
  ASSERT_TRUE(index.write_graph(0xF00D, [&](std::span<const char> bytes) {
    file.insert(file.end(), bytes.begin(), bytes.end());
    return true;
  }));
  EXPECT_FALSE(VectorIndex::read_graph(file, 0xF00E, views_of(stored))) << "stale";
  EXPECT_FALSE(VectorIndex::read_graph(file, 0xF00D, slice_views(points, 0, n - 1))) << "wrong count";
  std::optional<VectorIndex> read = VectorIndex::read_graph(file, 0xF00D, views_of(stored));
  ASSERT_TRUE(read);
  for (std::size_t q = 0; q < n; q += 61) {
    const std::vector<Hit> a = index.search(points[q]);
    const std::vector<Hit> b = read->search(points[q]);
    ASSERT_EQ(a.size(), b.size());
    for (std::size_t i = 0; i < a.size(); ++i) {
      ASSERT_EQ(a[i].node, b[i].node);
      ASSERT_EQ(a[i].value, b[i].value);
      ASSERT_EQ(std::bit_cast<std::uint32_t>(a[i].distance), std::bit_cast<std::uint32_t>(b[i].distance));
    }
  }
  read->insert(slice_views(points, n, 300), values_from(n, 300));
  ASSERT_TRUE(read->remove(3));
  EXPECT_FALSE(read->write_graph(1, [](std::span<const char>) { return true; })) << "a removed node";
  EXPECT_EQ(n + 5, read->search(points[n + 5])[0].value);
}

TEST(GraphRoundTrip, OddListContentsAreSafeForLaterInsertions) {
  const Rows points = clustered(900, 8, 41);
  const Rows stored = slice(points, 0, 600);
  const HnswIndex index = build_index(views_of(stored), values_from(0, 600), 2);
  // The index's arrays, with scrambled distances and kept counts.
  std::vector<float> distances(index.base().all_distances().begin(), index.base().all_distances().end());
  std::vector<std::uint8_t> kept(index.base().all_kept().begin(), index.base().all_kept().end());
  std::mt19937 rng(4);
  // Any finite values: the reader refuses non-finite distances.
  for (float& d : distances) d = (rng() % 5 == 0) ? 1e30f : static_cast<float>(rng() % 7) - 3.0f;
  for (NodeId node = 0; node < index.size(); ++node) {
    std::size_t used = 0;
    while (used < kBaseLinks && index.links(0, node)[used] != kEmptySlot) ++used;
    kept[node] = static_cast<std::uint8_t>(rng() % (used + 1));
  }
  std::vector<UpperLayerView> upper;
  for (const UpperLayer& layer : index.upper()) upper.push_back({layer.nodes(), layer.all_slots()});
  const GraphView view{5, index.entry(), index.values(), index.base().links().all_slots(), distances, kept, upper};
  std::vector<char> file;
  ASSERT_TRUE(encode_graph(view, [&](std::span<const char> bytes) {
    file.insert(file.end(), bytes.begin(), bytes.end());
    return true;
  }));
  std::optional<VectorIndex> read = VectorIndex::read_graph(file, 5, views_of(stored));
  ASSERT_TRUE(read);
  read->insert(slice_views(points, 600, 300), values_from(600, 300));
  for (std::size_t q = 0; q < points.size(); q += 50) {
    for (const Hit& hit : read->search(points[q]))
      ASSERT_EQ(cosine_distance(points[q], points[hit.value]), hit.distance);
  }
}

}  // namespace
}  // namespace sorvid::hnsw
