#include "hnsw/int8_rows.h"

#include <algorithm>
#include <cmath>

#include "hnsw/dot_batch.h"
#include "hnsw/row_groups.h"
#include "hnsw/x86_intrinsics.h"

namespace sorvid::hnsw {
namespace {

// One value's level in a copy of scale `scale`, as every implementation
// makes it: |value / scale| rounds to at most 127 (a hair above it at
// worst, which the clamp takes back).
inline std::int8_t int8_level(float value, float scale) {
  return static_cast<std::int8_t>(std::clamp(std::nearbyint(value / scale), -127.0f, 127.0f));
}

}  // namespace

float to_int8_row_portable(const float* values, std::size_t length, std::int8_t* out) {
  float largest = 0.0f;
  for (std::size_t i = 0; i < length; ++i) largest = std::max(largest, std::fabs(values[i]));
  if (largest == 0.0f) {
    std::fill(out, out + length, std::int8_t{0});
    return 0.0f;
  }
  const float scale = largest / 127.0f;
  for (std::size_t i = 0; i < length; ++i) out[i] = int8_level(values[i], scale);
  return scale;
}

double magnitude_sum_portable(const float* values, std::size_t length) {
  double sum = 0.0;
  for (std::size_t i = 0; i < length; ++i) sum += std::fabs(static_cast<double>(values[i]));
  return sum;
}

void int8_dots_portable(const std::int8_t* query, const std::int8_t* const* rows, std::size_t count,
                        std::size_t padded_length, std::int32_t* out) {
  for (std::size_t j = 0; j < count; ++j) {
    std::int32_t sum = 0;
    for (std::size_t i = 0; i < padded_length; ++i) sum += std::int32_t{query[i]} * std::int32_t{rows[j][i]};
    out[j] = sum;
  }
}

#if SORVID_HAVE_X86

namespace {

// Asks for every cache line of a row.
inline void prefetch_whole_row(const std::int8_t* row, std::size_t padded_length) {
  for (std::size_t i = 0; i < padded_length; i += kInt8RowAlignment)
    _mm_prefetch(reinterpret_cast<const char*>(row + i), _MM_HINT_T0);
}

__attribute__((target("avx2"))) inline std::int32_t sum_lanes(__m256i v) {
  __m128i sum = _mm_add_epi32(_mm256_castsi256_si128(v), _mm256_extracti128_si256(v, 1));
  sum = _mm_add_epi32(sum, _mm_shuffle_epi32(sum, 0x4E));
  sum = _mm_add_epi32(sum, _mm_shuffle_epi32(sum, 0xB1));
  return _mm_cvtsi128_si32(sum);
}

// Sixteen values widened to 16 bits; vpmaddwd then adds adjacent products in
// 32 bits, which cannot overflow for values in [-127, 127].
__attribute__((target("avx2"))) inline __m256i widen16(const std::int8_t* values) {
  return _mm256_cvtepi8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(values)));
}

template <int kRows>
__attribute__((target("avx2"))) void dots_avx2(const std::int8_t* query, const std::int8_t* const* rows,
                                               std::size_t padded_length, std::int32_t* out) {
  __m256i sums[kRows];
  for (int r = 0; r < kRows; ++r) sums[r] = _mm256_setzero_si256();
  for (std::size_t i = 0; i < padded_length; i += 16) {
    const __m256i q = widen16(query + i);
    for (int r = 0; r < kRows; ++r) sums[r] = _mm256_add_epi32(sums[r], _mm256_madd_epi16(q, widen16(rows[r] + i)));
  }
  for (int r = 0; r < kRows; ++r) out[r] = sum_lanes(sums[r]);
}

__attribute__((target("avx512f,avx512bw,avx2"))) inline __m512i widen32(const std::int8_t* values) {
  return _mm512_cvtepi8_epi16(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(values)));
}

template <int kRows>
__attribute__((target("avx512f,avx512bw,avx2"))) void dots_avx512(const std::int8_t* query,
                                                                  const std::int8_t* const* rows,
                                                                  std::size_t padded_length, std::int32_t* out) {
  __m512i sums[kRows];
  for (int r = 0; r < kRows; ++r) sums[r] = _mm512_setzero_si512();
  for (std::size_t i = 0; i < padded_length; i += 32) {
    const __m512i q = widen32(query + i);
    for (int r = 0; r < kRows; ++r) sums[r] = _mm512_add_epi32(sums[r], _mm512_madd_epi16(q, widen32(rows[r] + i)));
  }
  for (int r = 0; r < kRows; ++r) {
    // The zero-masking extracts: the plain ones start from an undefined
    // register, which the compiler's own warnings flag.
    const __m256i low = _mm512_maskz_extracti64x4_epi64(0xF, sums[r], 0);
    const __m256i high = _mm512_maskz_extracti64x4_epi64(0xF, sums[r], 1);
    out[r] = sum_lanes(_mm256_add_epi32(low, high));
  }
}

}  // namespace

__attribute__((target("avx2"))) void int8_dots_avx2(const std::int8_t* query, const std::int8_t* const* rows,
                                                    std::size_t count, std::size_t padded_length, std::int32_t* out) {
  score_in_groups(
      count, [&](std::size_t k) { prefetch_whole_row(rows[k], padded_length); },
      [&](std::size_t j, auto group) { dots_avx2<decltype(group)::value>(query, rows + j, padded_length, out + j); });
}

__attribute__((target("avx512f,avx512bw,avx2"))) void int8_dots_avx512(const std::int8_t* query,
                                                                       const std::int8_t* const* rows,
                                                                       std::size_t count, std::size_t padded_length,
                                                                       std::int32_t* out) {
  score_in_groups(
      count, [&](std::size_t k) { prefetch_whole_row(rows[k], padded_length); },
      [&](std::size_t j, auto group) { dots_avx512<decltype(group)::value>(query, rows + j, padded_length, out + j); });
}

__attribute__((target("avx512f,avx512bw,avx2"))) float to_int8_row_avx512(const float* values, std::size_t length,
                                                                          std::int8_t* out) {
  const std::size_t whole = length / 16 * 16;
  // The zero-masking forms throughout: the plain ones start from an
  // undefined register, which the compiler's own warnings flag.
  constexpr __mmask16 kAll = 0xFFFF;
  __m512 lanes = _mm512_setzero_ps();
  for (std::size_t i = 0; i < whole; i += 16) {
    lanes = _mm512_maskz_max_ps(kAll, lanes, _mm512_abs_ps(_mm512_loadu_ps(values + i)));
  }
  // Maxima are exact, so any order finds the portable code's largest.
  alignas(64) float lane_values[16];
  _mm512_store_ps(lane_values, lanes);
  float largest = 0.0f;
  for (const float lane : lane_values) largest = std::max(largest, lane);
  for (std::size_t i = whole; i < length; ++i) largest = std::max(largest, std::fabs(values[i]));
  if (largest == 0.0f) {
    std::fill(out, out + length, std::int8_t{0});
    return 0.0f;
  }
  // The same division, rounding to nearest even and clamp as the portable
  // code, sixteen values at a time: the same bits.
  const float scale = largest / 127.0f;
  const __m512 divisor = _mm512_set1_ps(scale);
  const __m512 lowest = _mm512_set1_ps(-127.0f);
  const __m512 highest = _mm512_set1_ps(127.0f);
  for (std::size_t i = 0; i < whole; i += 16) {
    __m512 level = _mm512_maskz_roundscale_ps(kAll, _mm512_div_ps(_mm512_loadu_ps(values + i), divisor),
                                              _MM_FROUND_TO_NEAREST_INT | _MM_FROUND_NO_EXC);
    level = _mm512_maskz_min_ps(kAll, _mm512_maskz_max_ps(kAll, level, lowest), highest);
    const __m512i levels = _mm512_maskz_cvtps_epi32(kAll, level);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), _mm512_maskz_cvtepi32_epi8(kAll, levels));
  }
  for (std::size_t i = whole; i < length; ++i) out[i] = int8_level(values[i], scale);
  return scale;
}

__attribute__((target("avx512f,avx512bw,avx2"))) double magnitude_sum_avx512(const float* values, std::size_t length) {
  const std::size_t whole = length / 8 * 8;
  constexpr __mmask8 kAll = 0xFF;
  __m512d sums = _mm512_setzero_pd();
  for (std::size_t i = 0; i < whole; i += 8) {
    sums = _mm512_add_pd(sums, _mm512_abs_pd(_mm512_maskz_cvtps_pd(kAll, _mm256_loadu_ps(values + i))));
  }
  alignas(64) double lane_sums[8];
  _mm512_store_pd(lane_sums, sums);
  double sum = 0.0;
  for (const double lane : lane_sums) sum += lane;
  for (std::size_t i = whole; i < length; ++i) sum += std::fabs(static_cast<double>(values[i]));
  return sum;
}

bool int8_avx512_available() noexcept {
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw");
}

#else

void int8_dots_avx2(const std::int8_t* query, const std::int8_t* const* rows, std::size_t count,
                    std::size_t padded_length, std::int32_t* out) {
  int8_dots_portable(query, rows, count, padded_length, out);
}

void int8_dots_avx512(const std::int8_t* query, const std::int8_t* const* rows, std::size_t count,
                      std::size_t padded_length, std::int32_t* out) {
  int8_dots_portable(query, rows, count, padded_length, out);
}

float to_int8_row_avx512(const float* values, std::size_t length, std::int8_t* out) {
  return to_int8_row_portable(values, length, out);
}

double magnitude_sum_avx512(const float* values, std::size_t length) { return magnitude_sum_portable(values, length); }

bool int8_avx512_available() noexcept { return false; }

#endif

namespace {

using Int8DotsFunction = void (*)(const std::int8_t*, const std::int8_t* const*, std::size_t, std::size_t,
                                  std::int32_t*);

// Chosen once, at load time, for the processor the program runs on.
Int8DotsFunction choose_int8_dots() noexcept {
  if (int8_avx512_available()) return int8_dots_avx512;
  if (avx2_available()) return int8_dots_avx2;
  return int8_dots_portable;
}
const Int8DotsFunction kChosenInt8Dots = choose_int8_dots();
const bool kCopiesWithAvx512 = int8_avx512_available();

}  // namespace

void int8_dots(const std::int8_t* query, const std::int8_t* const* rows, std::size_t count, std::size_t padded_length,
               std::int32_t* out) {
  kChosenInt8Dots(query, rows, count, padded_length, out);
}

float to_int8_row(const float* values, std::size_t length, std::int8_t* out) {
  return kCopiesWithAvx512 ? to_int8_row_avx512(values, length, out) : to_int8_row_portable(values, length, out);
}

double magnitude_sum(const float* values, std::size_t length) {
  return kCopiesWithAvx512 ? magnitude_sum_avx512(values, length) : magnitude_sum_portable(values, length);
}

}  // namespace sorvid::hnsw
