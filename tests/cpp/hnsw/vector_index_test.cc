// The index as the floors above see it: build, then queries cut to the hits
// asked for.
#include "hnsw/vector_index.h"

#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <random>
#include <vector>

namespace sorvid::hnsw {
namespace {

std::vector<std::vector<float>> random_points(std::size_t n, std::size_t dim, std::uint32_t seed) {
  std::mt19937 rng(seed);
  std::normal_distribution<float> normal;
  std::vector<std::vector<float>> points(n, std::vector<float>(dim));
  for (auto& point : points) {
    for (float& x : point) x = normal(rng);
  }
  return points;
}

std::vector<std::uint64_t> positions(std::size_t n) {
  std::vector<std::uint64_t> values(n);
  for (std::size_t i = 0; i < n; ++i) values[i] = i;
  return values;
}

class MaxHitsTest : public ::testing::TestWithParam<std::size_t> {};

// Asking for fewer hits gives the first ones of the full answer, bit for bit.
TEST_P(MaxHitsTest, FewerHitsAreTheNearestOfTheFullAnswer) {
  const auto points = random_points(400, 12, 3);
  const VectorIndex index = VectorIndex::build(views_of(points), positions(400), 19);
  const std::vector<float> query = random_points(1, 12, 4)[0];
  const std::vector<Hit> all = index.search(query);
  ASSERT_EQ(VectorIndex::kMaxHits, all.size());
  const std::vector<Hit> cut = index.search(query, GetParam());
  ASSERT_EQ(std::min(GetParam(), all.size()), cut.size());
  for (std::size_t i = 0; i < cut.size(); ++i) {
    EXPECT_EQ(all[i].value, cut[i].value);
    EXPECT_EQ(std::bit_cast<std::uint32_t>(all[i].distance), std::bit_cast<std::uint32_t>(cut[i].distance));
  }
}

INSTANTIATE_TEST_SUITE_P(Counts, MaxHitsTest, ::testing::Values(0u, 1u, 7u, 100u, 1000u));

TEST(VectorIndex, EmptyIndexFindsNothing) {
  const VectorIndex index = VectorIndex::build(PointViews{}, {});
  EXPECT_EQ(0u, index.size());
  EXPECT_TRUE(index.search(std::vector<float>{1, 2}).empty());
}

// Builds without a seed draw one each: the same points are numbered in a
// different order, so the same hits carry other node ids.
TEST(VectorIndex, EachBuildDrawsItsOwnSeed) {
  const auto points = random_points(300, 8, 5);
  const VectorIndex first = VectorIndex::build(views_of(points), positions(300));
  const VectorIndex second = VectorIndex::build(views_of(points), positions(300));
  std::vector<NodeId> first_nodes;
  std::vector<NodeId> second_nodes;
  for (const Hit& hit : first.search(points[0])) first_nodes.push_back(hit.node);
  for (const Hit& hit : second.search(points[0])) second_nodes.push_back(hit.node);
  EXPECT_NE(first_nodes, second_nodes);
}

}  // namespace
}  // namespace sorvid::hnsw
