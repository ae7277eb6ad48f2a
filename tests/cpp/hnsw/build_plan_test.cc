// Layer sizes, the build's generator and its permutation.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <ostream>
#include <vector>

#include "hnsw/build_permutation.h"
#include "hnsw/build_rng.h"
#include "hnsw/index_builder.h"
#include "hnsw/layer_sizes.h"

namespace sorvid::hnsw {
namespace {

TEST(LayerSizes, LevelFactorHasItsBitPattern) {
  const float factor = level_factor();
  std::uint32_t bits;
  std::memcpy(&bits, &factor, sizeof bits);
  EXPECT_EQ(0x3E93BB63u, bits);
}

struct LayerCountCase {
  std::size_t n;
  std::size_t layers;
};

class LayerCountTest : public ::testing::TestWithParam<LayerCountCase> {};

// Each row of the table: the smallest n with that many layers, and n - 1.
TEST_P(LayerCountTest, SmallestSizeForEachLayerCount) {
  const auto [n, layers] = GetParam();
  EXPECT_EQ(layers, layer_sizes(n).size()) << "n = " << n;
  if (layers > 1) {
    EXPECT_EQ(layers - 1, layer_sizes(n - 1).size()) << "n = " << n - 1;
  }
}

INSTANTIATE_TEST_SUITE_P(Table, LayerCountTest,
                         ::testing::Values(LayerCountCase{1, 1}, LayerCountCase{111, 2}, LayerCountCase{385, 3},
                                           LayerCountCase{1335, 4}, LayerCountCase{4627, 5}, LayerCountCase{16036, 6},
                                           LayerCountCase{55577, 7}, LayerCountCase{192616, 8}));

TEST(LayerSizes, Examples) {
  EXPECT_EQ((std::vector<std::size_t>{0}), layer_sizes(0));
  EXPECT_EQ((std::vector<std::size_t>{1}), layer_sizes(1));
  EXPECT_EQ((std::vector<std::size_t>{110}), layer_sizes(110));
  EXPECT_EQ((std::vector<std::size_t>{111, 32}), layer_sizes(111));
  EXPECT_EQ((std::vector<std::size_t>{1000, 288, 83}), layer_sizes(1000));
  EXPECT_EQ(0u, next_layer_size(0));
  EXPECT_EQ(32u, next_layer_size(111));
  EXPECT_EQ(31u, next_layer_size(110));
}

// Known answers for the build's generator and permutation. A seed must give
// the same graph in every version of this code: a change to the generator,
// its seeding or the way draws become a permutation changes the layer of
// every node, so no stored seed would rebuild its graph any more. These
// values pin all of it down; they change only with a deliberate change of
// the build's random plan.

// xoshiro256++ from the state {1, 2, 3, 4}: the first ten outputs of the
// algorithm's reference implementation, as published with it.
TEST(BuildRng, MatchesTheReferenceOutputs) {
  std::array<std::uint8_t, 32> bytes{};
  bytes[0] = 1;  // four little-endian words
  bytes[8] = 2;
  bytes[16] = 3;
  bytes[24] = 4;
  BuildRng rng = BuildRng::from_state_bytes(bytes);
  const std::array<std::uint64_t, 10> expected = {41943041ull,
                                                  58720359ull,
                                                  3588806011781223ull,
                                                  3591011842654386ull,
                                                  9228616714210784205ull,
                                                  9973669472204895162ull,
                                                  14011001112246962877ull,
                                                  12406186145184390807ull,
                                                  15849039046786891736ull,
                                                  10450023813501588000ull};
  for (std::uint64_t value : expected) EXPECT_EQ(value, rng.next_u64());
}

struct SeedCase {
  std::uint64_t seed;
  std::array<std::uint64_t, 4> state;  // after seeding: the PCG32 outputs
  std::array<std::uint32_t, 7> draws;  // uniform_below(n) for kBounds in turn
};

void PrintTo(const SeedCase& c, std::ostream* out) { *out << "seed " << c.seed; }

constexpr std::array<std::uint32_t, 7> kBounds = {1u, 2u, 3u, 7u, 1000u, 0x80000001u, 0xFFFFFFFEu};

class SeedTest : public ::testing::TestWithParam<SeedCase> {};

// Recorded once from this code: PCG32 with these constants has no published
// outputs. The bound just above 2^31 rejects about half of its draws, so the
// rejection loop is pinned too.
TEST_P(SeedTest, SeedFixesStateAndDraws) {
  const SeedCase& c = GetParam();
  BuildRng rng = BuildRng::from_seed(c.seed);
  EXPECT_EQ(c.state, rng.state());
  for (std::size_t i = 0; i < kBounds.size(); ++i) {
    EXPECT_EQ(c.draws[i], rng.uniform_below(kBounds[i])) << "bound " << kBounds[i];
  }
}

INSTANTIATE_TEST_SUITE_P(
    KnownSeeds, SeedTest,
    ::testing::Values(
        SeedCase{0,
                 {0x45CDB581F973F2ECull, 0xAD6CAD067346F087ull, 0x67E71733E3A3D0D0ull, 0xFE7D8AD772EA9BF2ull},
                 {0, 1, 1, 2, 818, 2096764189u, 2768178516u}},
        SeedCase{42,
                 {0x0A3D32587BA18FA4ull, 0xB8140169CCA1B8EAull, 0x54F7B41875C88C2Bull, 0xF220DFE4A16E448Dull},
                 {0, 1, 1, 1, 318, 31121021u, 994190971u}},
        SeedCase{~0ull,
                 {0x102810D6E392472Full, 0x435EF92C952D5435ull, 0x37C5DD037B34E99Aull, 0x3E612043B0C77A63ull},
                 {0, 1, 0, 4, 827, 2082139020u, 3698271709u}}));

TEST(BuildRng, AllZeroStateFallsBackToSplitMix) {
  BuildRng rng = BuildRng::from_state_bytes({});
  // The first four SplitMix64 outputs started from 0.
  EXPECT_EQ((std::array<std::uint64_t, 4>{0xE220A8397B1DCDAFull, 0x6E789E6AA1B965F4ull, 0x06C45D188009454Full,
                                          0xF88BB8A8724C81ECull}),
            rng.state());
  std::array<std::uint8_t, 32> one{};
  one[8] = 1;  // word 1 = 1, little-endian
  EXPECT_EQ((std::array<std::uint64_t, 4>{0, 1, 0, 0}), BuildRng::from_state_bytes(one).state());
}

TEST(BuildRng, UniformDrawsStayInRange) {
  BuildRng rng = BuildRng::from_seed(5);
  std::array<int, 3> seen{};
  for (int i = 0; i < 3000; ++i) {
    const std::uint32_t draw = rng.uniform_below(3);
    ASSERT_LT(draw, 3u);
    ++seen[draw];
  }
  for (int count : seen) EXPECT_GT(count, 800);
  for (int i = 0; i < 100; ++i) EXPECT_EQ(0u, rng.uniform_below(1));
}

struct PermutationCase {
  std::size_t n;
  std::uint64_t seed;
  std::vector<NodeId> first;  // the input positions of nodes 0, 1, 2, ...
};

void PrintTo(const PermutationCase& c, std::ostream* out) { *out << "n " << c.n << " seed " << c.seed; }

class PermutationTest : public ::testing::TestWithParam<PermutationCase> {};

// The layer plan of a build: node j holds the point of input position
// order[j], and nodes 0 to n_k - 1 make up layer k. Recorded once from this
// code.
TEST_P(PermutationTest, SeedFixesThePermutation) {
  const PermutationCase& c = GetParam();
  BuildRng rng = BuildRng::from_seed(c.seed);
  const std::vector<NodeId> order = build_permutation(c.n, rng);
  ASSERT_EQ(c.n, order.size());
  EXPECT_EQ(c.first, std::vector<NodeId>(order.begin(), order.begin() + c.first.size()));
  std::vector<NodeId> sorted = order;
  std::sort(sorted.begin(), sorted.end());
  for (std::size_t i = 0; i < c.n; ++i) ASSERT_EQ(i, sorted[i]);
}

INSTANTIATE_TEST_SUITE_P(
    KnownSeeds, PermutationTest,
    ::testing::Values(PermutationCase{1, 7, {0}}, PermutationCase{5, 0, {0, 1, 2, 4, 3}},
                      PermutationCase{5, 7, {0, 2, 1, 3, 4}}, PermutationCase{5, 123456789, {1, 2, 3, 0, 4}},
                      PermutationCase{12, 0, {9, 11, 6, 0, 1, 2, 5, 4, 8, 3, 7, 10}},
                      PermutationCase{12, 7, {5, 6, 2, 8, 9, 11, 1, 10, 4, 7, 3, 0}},
                      PermutationCase{12, 123456789, {7, 8, 0, 4, 9, 10, 1, 3, 11, 6, 5, 2}},
                      PermutationCase{1000, 0, {223, 969, 800, 227, 625, 953, 560, 586, 796, 247, 549, 617}},
                      PermutationCase{1000, 7, {815, 91, 428, 911, 844, 148, 491, 566, 263, 582, 314, 440}},
                      PermutationCase{1000, 123456789, {706, 611, 805, 154, 357, 998, 212, 113, 683, 368, 499, 145}}));

TEST(BuildDeathTest, PointsAndValuesMustPair) {
  const std::vector<std::vector<float>> points{{1.0f}, {2.0f}};
  const std::vector<std::uint64_t> values{7};
  EXPECT_DEATH((void)IndexBuilder(views_of(points), values, 1), "exactly one value per point");
}

}  // namespace
}  // namespace sorvid::hnsw
