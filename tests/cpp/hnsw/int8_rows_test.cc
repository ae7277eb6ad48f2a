// The eight-bit copies: every kernel gives the exact integer dot products,
// and a copy reproduces its point within the scale.
#include "hnsw/int8_rows.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include "hnsw/dot_batch.h"

namespace sorvid::hnsw {
namespace {

using Int8Kernel = void (*)(const std::int8_t*, const std::int8_t* const*, std::size_t, std::size_t, std::int32_t*);

// Each kernel against a plain 64-bit sum, over group tails and the extremes
// of the value range, which would overflow a 16-bit sum of two products.
TEST(Int8Dots, EveryKernelGivesTheExactSums) {
  std::vector<Int8Kernel> kernels = {int8_dots_portable, int8_dots};
  if (avx2_available()) kernels.push_back(int8_dots_avx2);
  if (int8_avx512_available()) kernels.push_back(int8_dots_avx512);
  std::mt19937 rng(5);
  for (std::size_t length : {64u, 128u, 384u, 4096u}) {
    for (std::size_t count : {1u, 3u, 4u, 6u, 9u}) {
      const bool extremes = count == 9;
      const auto value = [&] {
        return static_cast<std::int8_t>(extremes ? (rng() % 2 == 0 ? 127 : -127) : static_cast<int>(rng() % 255) - 127);
      };
      std::vector<std::int8_t> query(length);
      for (auto& x : query) x = value();
      std::vector<std::vector<std::int8_t>> rows(count, std::vector<std::int8_t>(length));
      std::vector<const std::int8_t*> pointers;
      for (auto& row : rows) {
        for (auto& x : row) x = value();
        pointers.push_back(row.data());
      }
      for (const Int8Kernel kernel : kernels) {
        std::vector<std::int32_t> out(count);
        kernel(query.data(), pointers.data(), count, length, out.data());
        for (std::size_t j = 0; j < count; ++j) {
          std::int64_t expected = 0;
          for (std::size_t i = 0; i < length; ++i) expected += std::int64_t{query[i]} * rows[j][i];
          ASSERT_EQ(expected, out[j]) << "length " << length << " count " << count << " row " << j;
        }
      }
    }
  }
}

TEST(Int8Rows, CopyStaysWithinHalfAStepAndZerosScaleToZero) {
  const std::vector<float> point = {0.5f, -2.0f, 1e-9f, 1.3f, -0.77f};
  std::vector<std::int8_t> copy(point.size());
  const float scale = to_int8_row(point.data(), point.size(), copy.data());
  EXPECT_FLOAT_EQ(2.0f / 127.0f, scale);
  EXPECT_EQ(-127, copy[1]);
  for (std::size_t i = 0; i < point.size(); ++i) EXPECT_LE(std::fabs(point[i] - scale * copy[i]), 0.5f * scale);
  const std::vector<float> zeros(7, 0.0f);
  std::vector<std::int8_t> zero_copy(zeros.size(), 1);
  EXPECT_EQ(0.0f, to_int8_row(zeros.data(), zeros.size(), zero_copy.data()));
  EXPECT_EQ(std::vector<std::int8_t>(zeros.size(), 0), zero_copy);
}

// The vector copy gives the portable copy's bits, over every kind of tail
// and values that round half-way; the magnitude sums agree to rounding.
TEST(Int8Rows, EveryImplementationMakesTheSameCopy) {
  if (!int8_avx512_available()) GTEST_SKIP() << "no AVX-512 here";
  std::mt19937 rng(5);
  std::normal_distribution<float> normal;
  for (const std::size_t length : {1u, 15u, 16u, 17u, 100u, 384u}) {
    for (int trial = 0; trial < 50; ++trial) {
      std::vector<float> values(length);
      for (float& x : values) x = normal(rng);
      // Scale 1 and values half-way between levels, which round to even.
      if (trial % 5 == 0) {
        for (std::size_t i = 0; i < length; ++i) values[i] = static_cast<float>(i % 40) - 19.5f;
        values[0] = 127.0f;
      }
      if (trial % 7 == 0) std::fill(values.begin(), values.end(), -0.0f);
      std::vector<std::int8_t> expected(length, 1);
      std::vector<std::int8_t> actual(length, 2);
      const float scale = to_int8_row_portable(values.data(), length, expected.data());
      ASSERT_EQ(scale, to_int8_row_avx512(values.data(), length, actual.data()));
      ASSERT_EQ(expected, actual) << "length " << length << " trial " << trial;
      const double sum = magnitude_sum_portable(values.data(), length);
      ASSERT_NEAR(sum, magnitude_sum_avx512(values.data(), length), sum * 1e-12) << "length " << length;
    }
  }
}

}  // namespace
}  // namespace sorvid::hnsw
