// The distance, its fast batched form, and the order of scored nodes.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include "hnsw/bf16_rows.h"
#include "hnsw/cosine_distance.h"
#include "hnsw/dot_batch.h"
#include "hnsw/int8_rows.h"
#include "hnsw/point_store.h"
#include "hnsw/prepared_query.h"
#include "hnsw/scored_node.h"

namespace sorvid::hnsw {
namespace {

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();

// Equal bits, or both NaN (a NaN's payload carries no meaning here).
::testing::AssertionResult same_bits(float expected, float actual) {
  if (std::isnan(expected) && std::isnan(actual)) return ::testing::AssertionSuccess();
  if (std::bit_cast<std::uint32_t>(expected) == std::bit_cast<std::uint32_t>(actual)) {
    return ::testing::AssertionSuccess();
  }
  return ::testing::AssertionFailure() << "expected " << expected << " (0x" << std::hex
                                       << std::bit_cast<std::uint32_t>(expected) << "), got " << actual << " (0x"
                                       << std::bit_cast<std::uint32_t>(actual) << ")";
}

struct DistanceCase {
  const char* name;
  std::vector<float> a;
  std::vector<float> b;
  float expected;  // NaN means "NaN expected"
};

class CosineDistanceTest : public ::testing::TestWithParam<DistanceCase> {};

TEST_P(CosineDistanceTest, GivesExpectedValueBothWays) {
  const DistanceCase& c = GetParam();
  EXPECT_TRUE(same_bits(c.expected, cosine_distance(c.a, c.b))) << c.name;
  EXPECT_TRUE(same_bits(c.expected, cosine_distance(c.b, c.a))) << c.name << " (swapped)";
}

INSTANTIATE_TEST_SUITE_P(
    EdgeCases, CosineDistanceTest,
    ::testing::Values(
        DistanceCase{"zero vector to point", {0, 0, 0}, {1, 2, 3}, 2.0f},
        DistanceCase{"zero vector to itself", {0, 0}, {0, 0}, 2.0f}, DistanceCase{"empty to point", {}, {1, 2}, 2.0f},
        DistanceCase{"empty to empty", {}, {}, 2.0f}, DistanceCase{"orthogonal", {1, 0}, {0, 5}, 1.0f},
        DistanceCase{"same direction", {3, 4}, {6, 8}, 0.0f}, DistanceCase{"opposite", {3, 4}, {-6, -8}, 2.0f},
        // Rounding puts 1 - dot/p at -1.19e-7 here: raised to 0.
        DistanceCase{"rounding below zero is raised", {0.4f, 0.4f, 0.7f}, {0.8f, 0.8f, 1.4f}, 0.0f},
        // Squares of 1e-30 underflow to 0: the points are scored scaled up.
        DistanceCase{"tiny points", {1e-30f}, {1e-30f}, 0.0f},
        DistanceCase{"tiny point to a normal one", {0, 3e-39f}, {0, 1}, 0.0f},
        DistanceCase{"tiny opposite points", {1e-41f, 0}, {-3e-30f, 0}, 2.0f},
        DistanceCase{"NaN element", {kNaN, 1}, {1, 1}, kNaN}, DistanceCase{"infinite element", {kInf, 1}, {1, 1}, kNaN},
        // Dot over the common prefix (1), norms over full lengths (1 and 2).
        DistanceCase{"unequal lengths", {1}, {1, 0}, 0.0f},
        DistanceCase{"unequal lengths, extra weight", {1}, {1, 1}, 1.0f - 1.0f / std::sqrt(2.0f)}));

TEST(CosineDistance, ClampsRoundingBelowZero) {
  const float a[] = {0.4f, 0.4f, 0.7f};
  const float b[] = {0.8f, 0.8f, 1.4f};
  const float raw = 1.0f - dot_in_order(a, b, 3) / (point_norm(a) * point_norm(b));
  ASSERT_LT(raw, 0.0f);
  EXPECT_TRUE(same_bits(0.0f, distance_from_parts(dot_in_order(a, b, 3), point_norm(a), point_norm(b))));
}

TEST(CosineDistance, SumsStartAtNegativeZeroInIndexOrder) {
  EXPECT_TRUE(same_bits(-0.0f, dot_in_order(nullptr, nullptr, 0)));
  // In index order 1e8 + 1 - 1e8 loses the 1; a reassociated sum would not.
  const float a[] = {1e8f, 1.0f, -1e8f};
  const float b[] = {1.0f, 1.0f, 1.0f};
  EXPECT_EQ(0.0f, dot_in_order(a, b, 3));
  EXPECT_EQ(0.0f, point_norm({}));
}

TEST(CosineDistance, StaysWithinBoundsForNearParallelPoints) {
  std::mt19937 rng(7);
  std::normal_distribution<float> normal;
  for (int trial = 0; trial < 2000; ++trial) {
    std::vector<float> a(1 + trial % 50);
    for (float& x : a) x = normal(rng);
    std::vector<float> scaled = a;
    std::vector<float> flipped = a;
    const float factor = 1.0f + static_cast<float>(trial % 13);
    for (float& x : scaled) x *= factor;
    for (float& x : flipped) x *= -factor;
    const float near = cosine_distance(a, scaled);
    const float far = cosine_distance(a, flipped);
    EXPECT_GE(near, 0.0f);
    EXPECT_LT(near, 1e-5f);
    EXPECT_LE(far, 2.0f);
    EXPECT_GT(far, 2.0f - 1e-5f);
  }
}

// Values that stress the definition: ordinary, tiny, huge, subnormal, zero of
// both signs, infinities and NaN.
float awkward_value(std::mt19937& rng, int kind) {
  std::uniform_real_distribution<float> unit(-1.0f, 1.0f);
  switch (kind % 8) {
    case 0:
    case 1:
    case 2: return unit(rng);
    case 3: return unit(rng) * 1e-20f;                                                     // squares underflow
    case 4: return unit(rng) * 1e19f;                                                      // squares overflow
    case 5: return std::bit_cast<float>(static_cast<std::uint32_t>(rng() & 0x807FFFFFu));  // subnormal
    case 6: return (rng() & 1) != 0 ? -0.0f : 0.0f;
    default: {
      const float specials[] = {kNaN, kInf, -kInf, 1.0f};
      return specials[rng() % 4];
    }
  }
}

std::vector<float> random_point(std::mt19937& rng, std::size_t length, int style) {
  if (style == 3) {
    // Plain points, a third of them scaled down until their squares underflow
    // (the smallest factor leaves subnormal values).
    std::vector<float> point = random_point(rng, length, 0);
    const float factors[] = {1.0f, 1.0f, 1.0f, 1e-20f, 1e-30f, 1e-41f};
    const float factor = factors[rng() % 6];
    for (float& x : point) x *= factor;
    return point;
  }
  std::vector<float> point(length);
  for (float& x : point) {
    // Style 0: plain values; 1: mostly plain with rare awkward ones; 2: any;
    // 3 (above): plain, or tiny throughout.
    const int kind = style == 0   ? 0
                     : style == 1 ? (rng() % 50 == 0 ? static_cast<int>(rng()) : 0)
                                  : static_cast<int>(rng());
    x = awkward_value(rng, kind);
  }
  return point;
}

class DotBatchTest : public ::testing::TestWithParam<int> {};

// Every kernel gives each row's dot product the exact bits of dot_in_order,
// whatever the number of rows (lane tails) and length (element tails).
TEST_P(DotBatchTest, KernelsMatchDefinitionBitForBit) {
  using Kernel = void (*)(const float*, const float* const*, std::size_t, std::size_t, float*);
  std::vector<Kernel> kernels = {dot_batch, dot_batch_portable};
  if (avx2_available()) kernels.push_back(dot_batch_avx2);
  std::mt19937 rng(1234 + GetParam());
  const int style = GetParam();
  for (std::size_t length : {0u, 1u, 3u, 7u, 8u, 9u, 15u, 16u, 17u, 64u, 100u, 128u, 385u}) {
    for (std::size_t count : {1u, 5u, 8u, 13u, 16u, 31u, 32u, 45u, 64u, 65u}) {
      // Each row its own allocation of exactly `length` floats, so reading
      // past a row's end shows up under AddressSanitizer.
      const std::vector<float> query = random_point(rng, length, style);
      std::vector<std::vector<float>> rows;
      std::vector<const float*> row_pointers;
      for (std::size_t j = 0; j < count; ++j) rows.push_back(random_point(rng, length, style));
      for (const auto& row : rows) row_pointers.push_back(row.data());
      for (Kernel kernel : kernels) {
        std::vector<float> out(count);
        kernel(query.data(), row_pointers.data(), count, length, out.data());
        for (std::size_t j = 0; j < count; ++j) {
          ASSERT_TRUE(same_bits(dot_in_order(query.data(), rows[j].data(), length), out[j]))
              << "length " << length << " count " << count << " row " << j;
        }
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(InputStyles, DotBatchTest, ::testing::Values(0, 1, 2));

// The estimates may add in any order but must stay within the error bound
// that callers rely on: each of the estimate and the in-order sum is within
// gamma(length) * sum |a[i] b[i]| of the true dot product.
TEST(DotEstimates, StayWithinTheirBoundOfTheDefinition) {
  std::mt19937 rng(777);
  for (std::size_t length : {1u, 5u, 8u, 13u, 64u, 100u, 128u, 385u}) {
    for (std::size_t count : {1u, 7u, 8u, 9u, 16u, 23u, 64u}) {
      const std::vector<float> query = random_point(rng, length, 0);
      std::vector<std::vector<float>> rows;
      std::vector<const float*> row_pointers;
      for (std::size_t j = 0; j < count; ++j) rows.push_back(random_point(rng, length, 0));
      for (const auto& row : rows) row_pointers.push_back(row.data());
      std::vector<float> out(count);
      dot_estimates(query.data(), row_pointers.data(), count, length, out.data());
      const double u = 0x1.0p-24;
      const double gamma = static_cast<double>(length) * u / (1.0 - static_cast<double>(length) * u);
      for (std::size_t j = 0; j < count; ++j) {
        double magnitude = 0.0;
        for (std::size_t i = 0; i < length; ++i) magnitude += std::fabs(double{query[i]} * rows[j][i]);
        const double exact = dot_in_order(query.data(), rows[j].data(), length);
        ASSERT_LE(std::fabs(out[j] - exact), 2.0 * gamma * magnitude)
            << "length " << length << " count " << count << " row " << j;
        ASSERT_LE(std::fabs(dot_estimate(query.data(), rows[j].data(), length) - exact), 2.0 * gamma * magnitude);
      }
    }
  }
}

PointStore store_of(const std::vector<std::vector<float>>& points) {
  std::vector<NodeId> identity(points.size());
  for (std::size_t i = 0; i < identity.size(); ++i) identity[i] = static_cast<NodeId>(i);
  return PointStore(views_of(points), identity);
}

// Both bfloat16 kernels keep the dot product within the bound of
// bf16_rows.h, over row counts and lengths that leave every kind of tail.
TEST(Bf16Dots, KernelsStayWithinTheirBound) {
  using Kernel = void (*)(const float*, const std::uint16_t* const*, std::size_t, std::size_t, float*);
  std::vector<Kernel> kernels = {bf16_dots_portable, bf16_dots};
  if (avx2_available() && fma_available()) kernels.push_back(bf16_dots_avx2);
  if (avx512_available()) kernels.push_back(bf16_dots_avx512);
  std::mt19937 rng(7);
  for (std::size_t length : {1u, 8u, 15u, 16u, 31u, 32u, 33u, 50u, 384u}) {
    const std::vector<float> query = random_point(rng, length, 0);
    std::vector<std::vector<float>> rows;
    std::vector<std::vector<std::uint16_t>> copies;
    for (int j = 0; j < 11; ++j) {
      rows.push_back(random_point(rng, length, 0));
      copies.emplace_back();
      for (const float x : rows.back()) copies.back().push_back(to_bf16(x));
    }
    std::vector<const std::uint16_t*> pointers;
    for (const auto& copy : copies) pointers.push_back(copy.data());
    const double gamma = static_cast<double>(length) * 0x1.0p-24 / (1.0 - static_cast<double>(length) * 0x1.0p-24);
    for (const Kernel kernel : kernels) {
      std::vector<float> out(rows.size());
      kernel(query.data(), pointers.data(), rows.size(), length, out.data());
      for (std::size_t j = 0; j < rows.size(); ++j) {
        double exact = 0.0;
        double magnitude = 0.0;
        for (std::size_t i = 0; i < length; ++i) {
          exact += static_cast<double>(query[i]) * rows[j][i];
          magnitude += std::fabs(static_cast<double>(query[i]) * rows[j][i]);
        }
        ASSERT_LE(std::fabs(out[j] - exact), (0x1.0p-8 + 1.01 * gamma) * magnitude) << "length " << length;
      }
    }
  }
}

// A bfloat16 copy of a point whose values span the range: a scale of 2^-28
// to 2^24, and an eighth of the values 2^-110 times smaller, so that some
// inputs, products and partial sums of vdpbf16ps are flushed to zero. Each
// copy is followed by NaNs, which spoil the result of a kernel reading past
// the end.
std::vector<std::uint16_t> spread_copy(std::mt19937& rng, std::size_t length) {
  std::normal_distribution<float> normal;
  const int scale = static_cast<int>(rng() % 53) - 28;
  std::vector<std::uint16_t> copy(length + 32, to_bf16(kNaN));
  for (std::size_t i = 0; i < length; ++i)
    copy[i] = to_bf16(std::ldexp(normal(rng), scale - (rng() % 8 == 0 ? 110 : 0)));
  return copy;
}

struct PairKernel {
  const char* name;
  void (*run)(const std::uint16_t*, const std::uint16_t* const*, std::size_t, std::size_t, float*);
  bool (*runs_here)();
};

class Bf16PairDotsTest : public ::testing::TestWithParam<PairKernel> {};

// Each pair kernel's sum is within its bound of the exact dot product of the
// copies (the rest of pair_decision_bound is the copies' own rounding, checked
// through the point store below), gives a with b the bits of b with a, and
// gives a row the same bits alone and at every place of a batch.
TEST_P(Bf16PairDotsTest, StaysWithinBoundSymmetricAndBatchFree) {
  const PairKernel& kernel = GetParam();
  if (!kernel.runs_here()) GTEST_SKIP() << kernel.name << " cannot run on this processor";
  std::mt19937 rng(11);
  for (std::size_t length : {1u, 8u, 15u, 16u, 31u, 32u, 33u, 50u, 384u}) {
    constexpr std::size_t kRows = 11;
    constexpr std::size_t kBatch = 7;
    const std::vector<std::uint16_t> query = spread_copy(rng, length);
    std::vector<std::vector<std::uint16_t>> copies;
    std::vector<const std::uint16_t*> rows;
    copies.reserve(kRows);
    for (std::size_t j = 0; j < kRows; ++j) rows.push_back(copies.emplace_back(spread_copy(rng, length)).data());
    std::vector<float> out(kRows);
    kernel.run(query.data(), rows.data(), kRows, length, out.data());
    const double gamma = static_cast<double>(length) * 0x1.0p-24 / (1.0 - static_cast<double>(length) * 0x1.0p-24);
    for (std::size_t j = 0; j < kRows; ++j) {
      double exact = 0.0;
      double magnitude = 0.0;
      double flushable = 2.0 * static_cast<double>(length + 32);
      for (std::size_t i = 0; i < length; ++i) {
        const double a = from_bf16(query[i]);
        const double b = from_bf16(rows[j][i]);
        exact += a * b;
        magnitude += std::fabs(a * b);
        flushable += std::fabs(a) + std::fabs(b);
      }
      ASSERT_LE(std::fabs(out[j] - exact), 1.01 * gamma * magnitude + 0x1.0p-126 * flushable) << length << " " << j;
      const std::uint16_t* query_row = query.data();
      float swapped = kNaN;
      float alone = kNaN;
      kernel.run(rows[j], &query_row, 1, length, &swapped);
      kernel.run(query.data(), &rows[j], 1, length, &alone);
      ASSERT_TRUE(same_bits(out[j], swapped)) << "length " << length << " row " << j;
      ASSERT_TRUE(same_bits(out[j], alone)) << "length " << length << " row " << j;
    }
    for (std::size_t start = 0; start + kBatch <= kRows; ++start) {
      std::vector<float> batch(kBatch);
      kernel.run(query.data(), rows.data() + start, kBatch, length, batch.data());
      for (std::size_t k = 0; k < kBatch; ++k) ASSERT_TRUE(same_bits(out[start + k], batch[k])) << start << " " << k;
    }
  }
}

bool runs_anywhere() { return true; }
bool avx2_and_fma_available() { return avx2_available() && fma_available(); }

INSTANTIATE_TEST_SUITE_P(Kernels, Bf16PairDotsTest,
                         ::testing::Values(PairKernel{"chosen", bf16_pair_dots, runs_anywhere},
                                           PairKernel{"portable", bf16_pair_dots_portable, runs_anywhere},
                                           PairKernel{"avx2", bf16_pair_dots_avx2, avx2_and_fma_available},
                                           PairKernel{"avx512", bf16_pair_dots_avx512, avx512_available},
                                           PairKernel{"avx512bf16", bf16_pair_dots_avx512bf16, avx512_bf16_available}),
                         [](const auto& kernel) { return kernel.param.name; });

// A query split in two bfloat16 parts stands for the float one within
// 2^-16 of each value, and both split kernels sum the exact products within
// the rounding of 2 n terms, over every kind of tail.
TEST(Bf16SplitDots, StayWithinTheirBound) {
  std::mt19937 rng(9);
  for (std::size_t length : {1u, 31u, 32u, 33u, 384u}) {
    const std::vector<float> query = random_point(rng, length, 0);
    std::vector<std::uint16_t> high(length);
    std::vector<std::uint16_t> low(length);
    split_to_bf16(query.data(), length, high.data(), low.data());
    for (std::size_t i = 0; i < length; ++i) {
      const double parts = static_cast<double>(from_bf16(high[i])) + from_bf16(low[i]);
      ASSERT_LE(std::fabs(parts - query[i]), 0x1.0p-16 * std::fabs(query[i])) << query[i];
    }
    std::vector<std::vector<std::uint16_t>> rows(6);
    std::vector<const std::uint16_t*> pointers;
    for (auto& row : rows) {
      for (const float x : random_point(rng, length, 0)) row.push_back(to_bf16(x));
      pointers.push_back(row.data());
    }
    const double n = 2.0 * static_cast<double>(length);
    const double gamma = n * 0x1.0p-24 / (1.0 - n * 0x1.0p-24);
    for (const auto kernel : {bf16_split_dots, bf16_split_dots_portable}) {
      std::vector<float> out(rows.size());
      kernel(high.data(), low.data(), pointers.data(), rows.size(), length, out.data());
      for (std::size_t j = 0; j < rows.size(); ++j) {
        double exact = 0.0;
        double magnitude = 0.0;
        for (std::size_t i = 0; i < length; ++i) {
          const double product = static_cast<double>(query[i]) * from_bf16(rows[j][i]);
          exact += product;
          magnitude += std::fabs(product);
        }
        ASSERT_LE(std::fabs(out[j] - exact), (0x1.0p-15 + 1.02 * gamma) * magnitude) << "length " << length;
      }
    }
  }
}

// Decision distances lie within their bound of the exact ones; a copy of the
// query's direction scores exactly 0, and awkward points score exactly. Rows
// up to kLongestInt8Row values decide from eight-bit copies, longer ones
// from bfloat16 copies.
TEST(PointStore, DecisionDistancesStayWithinTheirBound) {
  std::mt19937 rng(17);
  for (int style = 0; style < 4; ++style) {
    for (const std::size_t length : {std::size_t{3}, std::size_t{24}, std::size_t{384}, kLongestInt8Row + 1}) {
      const int count = length > kLongestInt8Row ? 24 : 120;
      std::vector<std::vector<float>> points;
      for (int i = 0; i < count; ++i) points.push_back(random_point(rng, length, style));
      for (int i = 0; i < 10; ++i) points.push_back(points[rng() % points.size()]);  // copies
      PointStore store = store_of(points);
      std::vector<NodeId> all(points.size());
      for (std::size_t i = 0; i < all.size(); ++i) all[i] = static_cast<NodeId>(i);
      std::vector<float> decided(all.size());
      std::vector<float> exact(all.size());
      for (std::size_t from = 0; from < points.size(); from += 13) {
        const QueryPoint q = store.query_for(static_cast<NodeId>(from));
        // The same values as a query, not a stored point, with its copy.
        PreparedQuery prepared;
        const QueryPoint as_query = prepared.load(points[from]);
        // For plain points the bounds are a small fraction of the range.
        if (style == 0) {
          ASSERT_LT(store.pair_decision_bound(), 0.05f) << "length " << length;
          ASSERT_LT(store.query_decision_bound(as_query), 0.05f) << "length " << length;
        }
        store.decision_distances_to(as_query, all.data(), all.size(), decided.data());
        store.distances_to(q, all.data(), all.size(), exact.data());
        const bool estimated = is_well_scaled(q.norm);
        for (std::size_t j = 0; j < all.size(); ++j) {
          if (!estimated || !is_well_scaled(store.norm(all[j])) || exact[j] == 0.0f) {
            ASSERT_TRUE(same_bits(exact[j], decided[j])) << "style " << style << " node " << j;
          } else {
            ASSERT_LE(std::fabs(static_cast<double>(decided[j]) - exact[j]), store.query_decision_bound(as_query))
                << "node " << j;
          }
          ASSERT_EQ(store.any_decided_below(as_query, &all[j], 1, exact[j]), distance_less(decided[j], exact[j]));
        }
        // A query without its copy is decided exactly.
        QueryPoint bare = q;
        bare.node = kEmptySlot;
        if (length <= kLongestInt8Row) {
          store.decision_distances_to(bare, all.data(), all.size(), decided.data());
          for (std::size_t j = 0; j < all.size(); ++j) ASSERT_TRUE(same_bits(exact[j], decided[j])) << j;
        }
        // From the stored point: both copies, within the pair bound, and the
        // same bits from either end of each pair.
        store.decision_distances_to(q, all.data(), all.size(), decided.data());
        for (std::size_t j = 0; j < all.size(); ++j) {
          if (!estimated || !is_well_scaled(store.norm(all[j])) || exact[j] == 0.0f) {
            ASSERT_TRUE(same_bits(exact[j], decided[j])) << "style " << style << " node " << j;
          } else {
            ASSERT_LE(std::fabs(static_cast<double>(decided[j]) - exact[j]), store.pair_decision_bound()) << j;
          }
          const NodeId id = all[j];
          ASSERT_EQ(store.any_decided_below(q, &id, 1, exact[j]), distance_less(decided[j], exact[j]));
          const float back = store.decision_distance_to(store.query_for(id), static_cast<NodeId>(from));
          ASSERT_TRUE(same_bits(decided[j], back)) << "style " << style << " pair " << from << ", " << j;
        }
      }
    }
  }
}

// The store's distances (cached norms, batched dots) against the definition,
// for stores of equal and of unequal lengths, and queries of either length.
TEST(PointStore, DistancesMatchDefinitionBitForBit) {
  std::mt19937 rng(99);
  for (int style = 0; style < 4; ++style) {
    for (bool mixed_lengths : {false, true}) {
      std::vector<std::vector<float>> points;
      for (int i = 0; i < 150; ++i) {
        const std::size_t length = mixed_lengths ? rng() % 40 : 24;
        points.push_back(random_point(rng, length, style));
      }
      const PointStore store = store_of(points);
      std::vector<NodeId> all(points.size());
      for (std::size_t i = 0; i < all.size(); ++i) all[i] = static_cast<NodeId>(i);
      for (std::size_t query_length : {24u, 23u, 30u, 0u}) {
        const std::vector<float> query = random_point(rng, query_length, style);
        PreparedQuery prepared;
        const QueryPoint q = prepared.load(query);
        std::vector<float> out(all.size());
        store.distances_to(q, all.data(), all.size(), out.data());
        for (std::size_t i = 0; i < all.size(); ++i) {
          const float expected = cosine_distance(query, points[i]);
          ASSERT_TRUE(same_bits(expected, out[i])) << "style " << style << " point " << i;
          ASSERT_TRUE(same_bits(expected, store.distance_to(q, all[i])));
        }
        // Stored points against each other, as neighbour selection scores them.
        const QueryPoint from_stored = store.query_for(3);
        store.distances_to(from_stored, all.data(), all.size(), out.data());
        for (std::size_t i = 0; i < all.size(); ++i) {
          ASSERT_TRUE(same_bits(cosine_distance(points[3], points[i]), out[i]));
        }
      }
      for (std::size_t i = 0; i < points.size(); ++i) {
        // Stored as scored: scaled when the squares underflow.
        const std::span<const float> stored = store.point(static_cast<NodeId>(i));
        ASSERT_EQ(points[i].size(), stored.size());
        const int scale = underflow_scale(points[i], point_norm(points[i]));
        for (std::size_t k = 0; k < stored.size(); ++k) {
          ASSERT_TRUE(same_bits(std::ldexp(points[i][k], scale), stored[k]));
        }
        ASSERT_TRUE(same_bits(point_norm(stored), store.norm(static_cast<NodeId>(i))));
      }
    }
  }
}

// Rows are the caller's floats, read in place; only a point whose squares
// underflow gets a scaled copy of the store's own. Rows stay where they are
// when rows (of another length too) are appended and when the store moves,
// and every distance stays the definition's.
TEST(PointStore, LendsRowsAndKeepsOnlyScaledCopies) {
  std::mt19937 rng(5);
  std::vector<std::vector<float>> points;
  for (int i = 0; i < 80; ++i) points.push_back(random_point(rng, i < 60 || i % 2 == 0 ? 24 : 17, 3));
  const std::vector<std::vector<float>> first(points.begin(), points.begin() + 60);
  const std::vector<std::vector<float>> later(points.begin() + 60, points.end());
  PointStore grown = store_of(first);
  std::vector<const float*> rows_before;
  for (NodeId node = 0; node < 60; ++node) rows_before.push_back(grown.point(node).data());
  grown.append(views_of(later));
  const PointStore store = std::move(grown);
  const auto source = [&](std::size_t i) { return i < 60 ? first[i].data() : later[i - 60].data(); };
  std::size_t scaled = 0;
  for (NodeId node = 0; node < points.size(); ++node) {
    const bool is_scaled = underflow_scale(points[node], point_norm(points[node])) != 0;
    scaled += is_scaled ? 1 : 0;
    ASSERT_EQ(store.point(node).data() == source(node), !is_scaled) << "node " << node;
    if (node < 60) {
      ASSERT_EQ(store.point(node).data(), rows_before[node]);
    }
  }
  ASSERT_GT(scaled, 0u);
  ASSERT_LT(scaled, points.size());
  std::vector<NodeId> all(points.size());
  for (std::size_t i = 0; i < all.size(); ++i) all[i] = static_cast<NodeId>(i);
  std::vector<float> out(all.size());
  for (const NodeId from : {NodeId{0}, NodeId{3}, NodeId{61}, NodeId{79}}) {
    store.distances_to(store.query_for(from), all.data(), all.size(), out.data());
    for (std::size_t i = 0; i < all.size(); ++i)
      ASSERT_TRUE(same_bits(cosine_distance(points[from], points[i]), out[i]));
  }
}

// Decisions taken from distance estimates must be the exact ones, above all
// for thresholds at or next to the exact distance.
TEST(PointStore, EstimatedDecisionsMatchExactComparisons) {
  std::mt19937 rng(4321);
  for (int style = 0; style < 4; ++style) {
    std::vector<std::vector<float>> points;
    for (int i = 0; i < 120; ++i) {
      const std::size_t length = i % 10 == 9 ? 20 : 48;  // some unequal lengths
      std::vector<float> point = random_point(rng, length, style);
      if (i % 3 == 0 && i > 0) {
        // A near copy of an earlier point: distances near 0 and near-ties.
        point = points[static_cast<std::size_t>(i - 1)];
        point[rng() % point.size()] *= 1.0001f;
      }
      points.push_back(point);
    }
    const PointStore store = store_of(points);
    std::size_t decided_by_estimate = 0;
    for (NodeId a = 0; a < points.size(); a += 3) {
      const QueryPoint from_a = store.query_for(a);
      std::vector<NodeId> ids;
      std::vector<float> exact;
      for (NodeId b = 0; b < points.size(); ++b) {
        ids.push_back(b);
        exact.push_back(cosine_distance(points[a], points[b]));
      }
      for (NodeId b = 0; b < points.size(); ++b) {
        const float d = exact[b];
        DistanceBounds bounds;
        if (store.estimate_bounds(from_a, b, bounds)) {
          ++decided_by_estimate;
          ASSERT_LE(bounds.low, d);
          ASSERT_GE(bounds.high, d);
        }
        for (float t :
             {d, std::nextafter(d, -1.0f), std::nextafter(d, 3.0f), d - 1e-6f, d + 1e-6f, 0.0f, 1.0f, 2.0f, kNaN}) {
          ASSERT_EQ(distance_less(d, t), store.distance_below(from_a, b, t))
              << "style " << style << " pair " << a << "," << b << " d " << d << " t " << t;
        }
      }
      // Dropping never loses a node that could still sort at or before the bar.
      for (float bar : {exact[(a + 1) % exact.size()], std::nextafter(exact[(a + 7) % exact.size()], -1.0f), 0.0f, 0.5f,
                        1.0f, 2.0f, kNaN}) {
        std::vector<NodeId> left = ids;
        left.resize(store.drop_certainly_above(from_a, bar, left.data(), left.size()));
        std::size_t next = 0;
        for (NodeId b : ids) {
          const bool may_enter = !distance_less(bar, exact[b]);
          if (next < left.size() && left[next] == b) {
            ++next;
          } else {
            ASSERT_FALSE(may_enter) << "dropped node " << b << " at " << exact[b] << ", bar " << bar;
          }
        }
        ASSERT_EQ(left.size(), next) << "kept ids out of order";
      }
      // any_below agrees with distance_below over every prefix of the ids
      // (batch tails) and at thresholds on and next to the distances.
      for (float t : {exact[(a + 2) % exact.size()], std::nextafter(exact[(a + 5) % exact.size()], 3.0f), 0.0f, 1.0f,
                      2.0f, kNaN}) {
        bool expected = false;
        for (std::size_t count = 0; count <= 20; ++count) {
          if (count > 0) expected = expected || distance_less(exact[ids[count - 1]], t);
          ASSERT_EQ(expected, store.any_below(from_a, ids.data() + 0, count, t))
              << "style " << style << " from " << a << " count " << count << " t " << t;
        }
        bool any = false;
        for (NodeId b : ids) any = any || distance_less(exact[b], t);
        ASSERT_EQ(any, store.any_below(from_a, ids.data(), ids.size(), t));
      }
    }
    if (style == 0) {
      EXPECT_GT(decided_by_estimate, 1000u);
    }
  }
}

// The batched any_below on a store of one length (the fast path) gives the
// exact answer over every prefix of the ids (batch tails) and at thresholds
// on and next to the distances.
TEST(PointStore, AnyBelowMatchesExactComparisons) {
  std::mt19937 rng(2468);
  for (int style = 0; style < 4; ++style) {
    std::vector<std::vector<float>> points;
    for (int i = 0; i < 60; ++i) {
      std::vector<float> point = random_point(rng, 37, style);
      if (i % 2 == 1) {
        point = points[static_cast<std::size_t>(i - 1)];  // near ties
        point[rng() % point.size()] *= 1.0001f;
      }
      points.push_back(point);
    }
    const PointStore store = store_of(points);
    std::vector<NodeId> ids(points.size());
    for (std::size_t i = 0; i < ids.size(); ++i) ids[i] = static_cast<NodeId>(points.size() - 1 - i);
    for (NodeId a = 0; a < points.size(); a += 5) {
      const QueryPoint from_a = store.query_for(a);
      for (NodeId pivot : {NodeId{1}, NodeId{17}, NodeId{40}}) {
        const float d = cosine_distance(points[a], points[pivot]);
        for (float t : {d, std::nextafter(d, -1.0f), std::nextafter(d, 3.0f), 0.0f, 2.0f, kNaN}) {
          bool expected = false;
          for (std::size_t count = 0; count <= ids.size(); ++count) {
            if (count > 0) {
              expected = expected || distance_less(cosine_distance(points[a], points[ids[count - 1]]), t);
            }
            ASSERT_EQ(expected, store.any_below(from_a, ids.data(), count, t))
                << "style " << style << " from " << a << " count " << count << " t " << t;
          }
        }
      }
    }
  }
}

struct OrderCase {
  ScoredNode first;
  ScoredNode second;
  bool first_before_second;
};

class ScoredNodeOrderTest : public ::testing::TestWithParam<OrderCase> {};

TEST_P(ScoredNodeOrderTest, OrdersByDistanceThenNode) {
  const OrderCase& c = GetParam();
  EXPECT_EQ(c.first_before_second, c.first < c.second);
}

INSTANTIATE_TEST_SUITE_P(
    Pairs, ScoredNodeOrderTest,
    ::testing::Values(OrderCase{{0.1f, 9}, {0.2f, 1}, true}, OrderCase{{0.2f, 1}, {0.1f, 9}, false},
                      OrderCase{{0.5f, 1}, {0.5f, 2}, true},  // tie: smaller id first
                      OrderCase{{0.5f, 2}, {0.5f, 1}, false}, OrderCase{{0.5f, 2}, {0.5f, 2}, false},  // irreflexive
                      OrderCase{{-0.0f, 2}, {0.0f, 1}, false},                                         // -0 equals +0
                      OrderCase{{0.0f, 1}, {-0.0f, 2}, true},
                      OrderCase{{2.0f, 5}, {kNaN, 1}, true},  // NaN after every number
                      OrderCase{{kNaN, 1}, {2.0f, 5}, false},
                      OrderCase{{kNaN, 1}, {-kNaN, 2}, true},  // NaNs equal: by id
                      OrderCase{{-kNaN, 2}, {kNaN, 1}, false}, OrderCase{{kInf, 1}, {kNaN, 0}, true},
                      OrderCase{{0x1.0p-149f, 1}, {0.0f, 0}, false}, OrderCase{{0.0f, 3}, {0x1.0p-149f, 0}, true}));

}  // namespace
}  // namespace sorvid::hnsw
