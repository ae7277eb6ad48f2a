#include "hnsw/dot_batch.h"

#include <algorithm>
#include <array>

#include "hnsw/cosine_distance.h"
#include "hnsw/x86_intrinsics.h"

namespace sorvid::hnsw {

void dot_batch_portable(const float* query, const float* const* rows, std::size_t count, std::size_t length,
                        float* out) {
  std::size_t j = 0;
  // Four independent sums per pass so the adds of different rows overlap.
  for (; j + 4 <= count; j += 4) {
    const float* r0 = rows[j];
    const float* r1 = rows[j + 1];
    const float* r2 = rows[j + 2];
    const float* r3 = rows[j + 3];
    float s0 = -0.0f, s1 = -0.0f, s2 = -0.0f, s3 = -0.0f;
    for (std::size_t i = 0; i < length; ++i) {
      const float q = query[i];
      const float p0 = q * r0[i];
      const float p1 = q * r1[i];
      const float p2 = q * r2[i];
      const float p3 = q * r3[i];
      s0 += p0;
      s1 += p1;
      s2 += p2;
      s3 += p3;
    }
    out[j] = s0;
    out[j + 1] = s1;
    out[j + 2] = s2;
    out[j + 3] = s3;
  }
  for (; j < count; ++j) out[j] = dot_in_order(query, rows[j], length);
}

#if SORVID_HAVE_X86

namespace {

// Transposes eight rows of eight floats, given as their first halves `low`
// (rows k and k + 4 in the two 128-bit halves of low[k]) and second halves
// `high`: column t receives element t of rows 0..7, one row per lane.
__attribute__((target("avx2"))) inline void transpose_8x8(const __m256 low[4], const __m256 high[4], __m256 column[8]) {
  for (int half = 0; half < 2; ++half) {
    const __m256* t = half == 0 ? low : high;
    const __m256 u0 = _mm256_unpacklo_ps(t[0], t[1]);
    const __m256 u1 = _mm256_unpackhi_ps(t[0], t[1]);
    const __m256 u2 = _mm256_unpacklo_ps(t[2], t[3]);
    const __m256 u3 = _mm256_unpackhi_ps(t[2], t[3]);
    column[4 * half + 0] = _mm256_shuffle_ps(u0, u2, 0x44);
    column[4 * half + 1] = _mm256_shuffle_ps(u0, u2, 0xEE);
    column[4 * half + 2] = _mm256_shuffle_ps(u1, u3, 0x44);
    column[4 * half + 3] = _mm256_shuffle_ps(u1, u3, 0xEE);
  }
}

// Loads eight floats from each of eight rows at `offset` and transposes them:
// column t holds element offset + t of rows 0..7, one row per lane.
__attribute__((target("avx2"))) inline void load_columns(const float* const* rows, std::size_t offset,
                                                         __m256 column[8]) {
  __m256 low[4];
  __m256 high[4];
  for (int k = 0; k < 4; ++k) {
    low[k] = _mm256_insertf128_ps(_mm256_castps128_ps256(_mm_loadu_ps(rows[k] + offset)),
                                  _mm_loadu_ps(rows[k + 4] + offset), 1);
    high[k] = _mm256_insertf128_ps(_mm256_castps128_ps256(_mm_loadu_ps(rows[k] + offset + 4)),
                                   _mm_loadu_ps(rows[k + 4] + offset + 4), 1);
  }
  transpose_8x8(low, high, column);
}

// The mask of the first `remaining` (< 8) of eight lanes.
__attribute__((target("avx2"))) inline __m256i first_lanes(std::size_t remaining) {
  const __m256i lane_index = _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7);
  return _mm256_cmpgt_epi32(_mm256_set1_epi32(static_cast<int>(remaining)), lane_index);
}

// Like load_columns for the last `remaining` (< 8) elements: masked loads read
// nothing past the end of a row, and the unused columns are never added.
__attribute__((target("avx2"))) inline void load_tail_columns(const float* const* rows, std::size_t offset,
                                                              std::size_t remaining, __m256 column[8]) {
  const __m256i mask = first_lanes(remaining);
  const __m128i mask_low = _mm256_castsi256_si128(mask);
  const __m128i mask_high = _mm256_extracti128_si256(mask, 1);
  __m256 low[4];
  __m256 high[4];
  for (int k = 0; k < 4; ++k) {
    low[k] = _mm256_insertf128_ps(_mm256_castps128_ps256(_mm_maskload_ps(rows[k] + offset, mask_low)),
                                  _mm_maskload_ps(rows[k + 4] + offset, mask_low), 1);
    high[k] = _mm256_insertf128_ps(_mm256_castps128_ps256(_mm_maskload_ps(rows[k] + offset + 4, mask_high)),
                                   _mm_maskload_ps(rows[k + 4] + offset + 4, mask_high), 1);
  }
  transpose_8x8(low, high, column);
}

// Dot products of `query` with kGroups * 8 rows. Each group's lanes form one
// chain of dependent adds; several groups let those chains overlap.
template <int kGroups>
__attribute__((target("avx2"))) void dot_groups_avx2(const float* query, const float* const* rows, std::size_t length,
                                                     float* out) {
  __m256 sum[kGroups];
  for (int g = 0; g < kGroups; ++g) sum[g] = _mm256_set1_ps(-0.0f);
  std::size_t i = 0;
  for (; i + 8 <= length; i += 8) {
    if (i % 16 == 0) {
      // One prefetch per cache line and row, two lines ahead of the reads.
      for (int r = 0; r < 8 * kGroups; ++r) _mm_prefetch(reinterpret_cast<const char*>(rows[r] + i + 32), _MM_HINT_T0);
    }
    for (int g = 0; g < kGroups; ++g) {
      __m256 column[8];
      load_columns(rows + 8 * g, i, column);
      for (int t = 0; t < 8; ++t) {
        const __m256 product = _mm256_mul_ps(_mm256_broadcast_ss(query + i + t), column[t]);
        sum[g] = _mm256_add_ps(sum[g], product);
      }
    }
  }
  if (i < length) {
    const std::size_t remaining = length - i;
    for (int g = 0; g < kGroups; ++g) {
      __m256 column[8];
      load_tail_columns(rows + 8 * g, i, remaining, column);
      for (std::size_t t = 0; t < remaining; ++t) {
        const __m256 product = _mm256_mul_ps(_mm256_broadcast_ss(query + i + t), column[t]);
        sum[g] = _mm256_add_ps(sum[g], product);
      }
    }
  }
  for (int g = 0; g < kGroups; ++g) _mm256_storeu_ps(out + 8 * g, sum[g]);
}

}  // namespace

__attribute__((target("avx2"))) void dot_batch_avx2(const float* query, const float* const* rows, std::size_t count,
                                                    std::size_t length, float* out) {
  std::size_t j = 0;
  for (; j + 32 <= count; j += 32) dot_groups_avx2<4>(query, rows + j, length, out + j);
  if (j + 16 <= count) {
    dot_groups_avx2<2>(query, rows + j, length, out + j);
    j += 16;
  }
  if (j + 8 <= count) {
    dot_groups_avx2<1>(query, rows + j, length, out + j);
    j += 8;
  }
  if (j < count) {
    // Fill the spare lanes with the first row again and keep only real ones.
    std::array<const float*, 8> padded_rows;
    for (std::size_t k = 0; k < 8; ++k) padded_rows[k] = rows[j + (j + k < count ? k : 0)];
    alignas(32) std::array<float, 8> lanes;
    dot_groups_avx2<1>(query, padded_rows.data(), length, lanes.data());
    for (std::size_t k = 0; j + k < count; ++k) out[j + k] = lanes[k];
  }
}

namespace {

__attribute__((target("avx2"))) inline float dot_estimate_avx2_inline(const float* a, const float* b,
                                                                      std::size_t length) {
  __m256 sum[4] = {_mm256_setzero_ps(), _mm256_setzero_ps(), _mm256_setzero_ps(), _mm256_setzero_ps()};
  std::size_t i = 0;
  for (; i + 32 <= length; i += 32) {
    for (int k = 0; k < 4; ++k) {
      const __m256 product = _mm256_mul_ps(_mm256_loadu_ps(a + i + 8 * k), _mm256_loadu_ps(b + i + 8 * k));
      sum[k] = _mm256_add_ps(sum[k], product);
    }
  }
  for (; i + 8 <= length; i += 8) {
    sum[0] = _mm256_add_ps(sum[0], _mm256_mul_ps(_mm256_loadu_ps(a + i), _mm256_loadu_ps(b + i)));
  }
  const __m256 total = _mm256_add_ps(_mm256_add_ps(sum[0], sum[1]), _mm256_add_ps(sum[2], sum[3]));
  alignas(32) std::array<float, 8> lanes;
  _mm256_store_ps(lanes.data(), total);
  float result = ((lanes[0] + lanes[1]) + (lanes[2] + lanes[3])) + ((lanes[4] + lanes[5]) + (lanes[6] + lanes[7]));
  for (; i < length; ++i) {
    const float product = a[i] * b[i];
    result += product;
  }
  return result;
}

__attribute__((target("avx2"))) float dot_estimate_avx2(const float* a, const float* b, std::size_t length) {
  return dot_estimate_avx2_inline(a, b, length);
}

// Estimates for eight rows at once: one accumulator per row, so the eight
// chains of adds overlap, then one transposing reduction gives all eight
// sums. The order of the adds is free here (see dot_estimate), and so is
// fusing each multiply with its add: one rounding instead of two only
// tightens the error bound.
__attribute__((target("avx2,fma"))) void dot_estimates_8_avx2(const float* query, const float* const* rows,
                                                              std::size_t length, float* out) {
  // Eight named accumulators rather than an array, which the compiler would
  // keep in memory.
  __m256 sum0 = _mm256_setzero_ps(), sum1 = _mm256_setzero_ps(), sum2 = _mm256_setzero_ps(), sum3 = _mm256_setzero_ps(),
         sum4 = _mm256_setzero_ps(), sum5 = _mm256_setzero_ps(), sum6 = _mm256_setzero_ps(), sum7 = _mm256_setzero_ps();
  const float *r0 = rows[0], *r1 = rows[1], *r2 = rows[2], *r3 = rows[3], *r4 = rows[4], *r5 = rows[5], *r6 = rows[6],
              *r7 = rows[7];
  std::size_t i = 0;
  for (; i + 8 <= length; i += 8) {
    const __m256 q = _mm256_loadu_ps(query + i);
    sum0 = _mm256_fmadd_ps(q, _mm256_loadu_ps(r0 + i), sum0);
    sum1 = _mm256_fmadd_ps(q, _mm256_loadu_ps(r1 + i), sum1);
    sum2 = _mm256_fmadd_ps(q, _mm256_loadu_ps(r2 + i), sum2);
    sum3 = _mm256_fmadd_ps(q, _mm256_loadu_ps(r3 + i), sum3);
    sum4 = _mm256_fmadd_ps(q, _mm256_loadu_ps(r4 + i), sum4);
    sum5 = _mm256_fmadd_ps(q, _mm256_loadu_ps(r5 + i), sum5);
    sum6 = _mm256_fmadd_ps(q, _mm256_loadu_ps(r6 + i), sum6);
    sum7 = _mm256_fmadd_ps(q, _mm256_loadu_ps(r7 + i), sum7);
  }
  if (i < length) {
    // Masked loads read nothing past the ends and give zeros, which add
    // nothing.
    const __m256i m = first_lanes(length - i);
    const __m256 q = _mm256_maskload_ps(query + i, m);
    sum0 = _mm256_fmadd_ps(q, _mm256_maskload_ps(r0 + i, m), sum0);
    sum1 = _mm256_fmadd_ps(q, _mm256_maskload_ps(r1 + i, m), sum1);
    sum2 = _mm256_fmadd_ps(q, _mm256_maskload_ps(r2 + i, m), sum2);
    sum3 = _mm256_fmadd_ps(q, _mm256_maskload_ps(r3 + i, m), sum3);
    sum4 = _mm256_fmadd_ps(q, _mm256_maskload_ps(r4 + i, m), sum4);
    sum5 = _mm256_fmadd_ps(q, _mm256_maskload_ps(r5 + i, m), sum5);
    sum6 = _mm256_fmadd_ps(q, _mm256_maskload_ps(r6 + i, m), sum6);
    sum7 = _mm256_fmadd_ps(q, _mm256_maskload_ps(r7 + i, m), sum7);
  }
  // Pairwise sums leave [r0 r1 r2 r3 | r0 r1 r2 r3] halves for rows 0-3 and
  // 4-7; adding the two 128-bit halves finishes each row.
  const __m256 rows01 = _mm256_hadd_ps(sum0, sum1);
  const __m256 rows23 = _mm256_hadd_ps(sum2, sum3);
  const __m256 rows45 = _mm256_hadd_ps(sum4, sum5);
  const __m256 rows67 = _mm256_hadd_ps(sum6, sum7);
  const __m256 rows0123 = _mm256_hadd_ps(rows01, rows23);
  const __m256 rows4567 = _mm256_hadd_ps(rows45, rows67);
  const __m256 total =
      _mm256_add_ps(_mm256_permute2f128_ps(rows0123, rows4567, 0x20), _mm256_permute2f128_ps(rows0123, rows4567, 0x31));
  _mm256_storeu_ps(out, total);
}

__attribute__((target("avx2,fma"))) void dot_estimates_avx2(const float* query, const float* const* rows,
                                                            std::size_t count, std::size_t length, float* out) {
  std::size_t j = 0;
  for (; j + 8 <= count; j += 8) dot_estimates_8_avx2(query, rows + j, length, out + j);
  if (j < count) {
    // Fill the spare lanes with the first row again and keep only real ones.
    std::array<const float*, 8> padded_rows;
    for (std::size_t k = 0; k < 8; ++k) padded_rows[k] = rows[j + (j + k < count ? k : 0)];
    alignas(32) std::array<float, 8> lanes;
    dot_estimates_8_avx2(query, padded_rows.data(), length, lanes.data());
    for (std::size_t k = 0; j + k < count; ++k) out[j + k] = lanes[k];
  }
}

}  // namespace

bool avx2_available() noexcept {
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx2");
}

bool fma_available() noexcept {
  __builtin_cpu_init();
  return __builtin_cpu_supports("fma");
}

#else  // no x86

void dot_batch_avx2(const float* query, const float* const* rows, std::size_t count, std::size_t length, float* out) {
  dot_batch_portable(query, rows, count, length, out);
}

bool avx2_available() noexcept { return false; }

bool fma_available() noexcept { return false; }

float dot_estimate_avx2(const float* a, const float* b, std::size_t length) { return dot_in_order(a, b, length); }

void dot_estimates_avx2(const float* query, const float* const* rows, std::size_t count, std::size_t length,
                        float* out) {
  dot_batch_portable(query, rows, count, length, out);
}

#endif

namespace {

using DotBatchFunction = void (*)(const float*, const float* const*, std::size_t, std::size_t, float*);

using DotEstimateFunction = float (*)(const float*, const float*, std::size_t);

// Chosen once, at load time, for the processor the program runs on. Without
// AVX2 the estimate is the exact in-order sum, which meets its bound too.
const DotBatchFunction kChosenDotBatch = avx2_available() ? dot_batch_avx2 : dot_batch_portable;
const DotEstimateFunction kChosenDotEstimate = avx2_available() ? dot_estimate_avx2 : dot_in_order;
const DotBatchFunction kChosenDotEstimates =
    avx2_available() && fma_available() ? dot_estimates_avx2 : dot_batch_portable;

}  // namespace

void dot_batch(const float* query, const float* const* rows, std::size_t count, std::size_t length, float* out) {
  kChosenDotBatch(query, rows, count, length, out);
}

}  // namespace sorvid::hnsw

namespace sorvid::hnsw {

float dot_estimate(const float* a, const float* b, std::size_t length) { return kChosenDotEstimate(a, b, length); }

void dot_estimates(const float* query, const float* const* rows, std::size_t count, std::size_t length, float* out) {
  kChosenDotEstimates(query, rows, count, length, out);
}

}  // namespace sorvid::hnsw
