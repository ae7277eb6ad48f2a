// Layer sizes, the build's generator and its permutation.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <vector>

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

// --- An independent, plain rendering of the generator steps -------------

std::uint64_t plain_rotl(std::uint64_t x, int k) { return (x << k) | (x >> (64 - k)); }

struct PlainXoshiro {
  std::uint64_t s[4];
  std::uint64_t next() {
    const std::uint64_t result = plain_rotl(s[0] + s[3], 23) + s[0];
    const std::uint64_t t = s[1] << 17;
    s[2] ^= s[0];
    s[3] ^= s[1];
    s[1] ^= s[2];
    s[0] ^= s[3];
    s[2] ^= t;
    s[3] = plain_rotl(s[3], 45);
    return result;
  }
};

PlainXoshiro plain_seeded(std::uint64_t seed) {
  unsigned char bytes[32];
  for (int k = 0; k < 8; ++k) {
    seed = seed * 6364136223846793005ull + 11634580027462260723ull;
    const std::uint32_t xorshifted = static_cast<std::uint32_t>(((seed >> 18) ^ seed) >> 27);
    const unsigned rot = static_cast<unsigned>(seed >> 59);
    const std::uint32_t out = (xorshifted >> rot) | (xorshifted << ((32 - rot) & 31));
    for (int b = 0; b < 4; ++b) bytes[4 * k + b] = static_cast<unsigned char>((out >> (8 * b)) & 0xFF);
  }
  PlainXoshiro g{};
  for (int w = 0; w < 4; ++w) {
    for (int b = 7; b >= 0; --b) g.s[w] = (g.s[w] << 8) | bytes[8 * w + b];
  }
  return g;
}

std::uint32_t plain_uniform(PlainXoshiro& g, std::uint32_t n) {
  int leading = 0;
  while (leading < 32 && ((n >> (31 - leading)) & 1) == 0) ++leading;
  const std::uint32_t zone = static_cast<std::uint32_t>((std::uint64_t{n} << leading) - 1);
  for (;;) {
    const std::uint64_t r = g.next() >> 32;
    const std::uint64_t m = n * r;
    if ((m & 0xFFFFFFFFu) <= zone) return static_cast<std::uint32_t>(m >> 32);
  }
}

std::vector<NodeId> plain_permutation(std::size_t n, std::uint64_t seed) {
  PlainXoshiro g = plain_seeded(seed);
  std::vector<std::uint64_t> packed;  // key in the high half, position in the low
  for (std::size_t i = 0; i < n; ++i) {
    packed.push_back((std::uint64_t{plain_uniform(g, static_cast<std::uint32_t>(n))} << 32) | i);
  }
  std::sort(packed.begin(), packed.end());
  std::vector<NodeId> order;
  for (std::uint64_t p : packed) order.push_back(static_cast<NodeId>(p & 0xFFFFFFFFu));
  return order;
}

TEST(BuildRng, MatchesPlainGeneratorSteps) {
  for (std::uint64_t seed : {0ull, 1ull, 42ull, 0xDEADBEEFCAFEF00Dull, ~0ull}) {
    BuildRng rng = BuildRng::from_seed(seed);
    PlainXoshiro plain = plain_seeded(seed);
    for (int i = 0; i < 100; ++i) ASSERT_EQ(plain.next(), rng.next_u64()) << "seed " << seed;
    for (std::uint32_t n : {1u, 2u, 3u, 7u, 1000u, 0x80000001u, 0xFFFFFFFEu}) {
      ASSERT_EQ(plain_uniform(plain, n), rng.uniform_below(n));
    }
  }
}

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

TEST(Permutation, KnownSeedGivesKnownPermutation) {
  for (std::size_t n : {1u, 2u, 5u, 111u, 1000u}) {
    for (std::uint64_t seed : {0ull, 7ull, 123456789ull}) {
      BuildRng rng = BuildRng::from_seed(seed);
      const std::vector<NodeId> order = build_permutation(n, rng);
      EXPECT_EQ(plain_permutation(n, seed), order) << "n " << n << " seed " << seed;
      std::vector<NodeId> sorted = order;
      std::sort(sorted.begin(), sorted.end());
      for (std::size_t i = 0; i < n; ++i) ASSERT_EQ(i, sorted[i]);
    }
  }
}

TEST(BuildDeathTest, PointsAndValuesMustPair) {
  EXPECT_DEATH((void)IndexBuilder({{1.0f}, {2.0f}}, {7}, 1), "exactly one value per point");
}

}  // namespace
}  // namespace sorvid::hnsw
