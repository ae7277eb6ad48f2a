#include "hnsw/bf16_rows.h"

#include "hnsw/dot_batch.h"
#include "hnsw/row_groups.h"
#include "hnsw/x86_intrinsics.h"

namespace sorvid::hnsw {

namespace {

// A query value as a float: floats as they are, bfloat16 values widened.
inline float value_of(float x) { return x; }
inline float value_of(std::uint16_t x) { return from_bf16(x); }

template <class Query>
void dots_portable(const Query* query, const std::uint16_t* const* rows, std::size_t count, std::size_t length,
                   float* out) {
  for (std::size_t j = 0; j < count; ++j) {
    const std::uint16_t* row = rows[j];
    float sum = 0.0f;
    for (std::size_t i = 0; i < length; ++i) {
      const float product = value_of(query[i]) * from_bf16(row[i]);
      sum += product;
    }
    out[j] = sum;
  }
}

}  // namespace

void bf16_dots_portable(const float* query, const std::uint16_t* const* rows, std::size_t count, std::size_t length,
                        float* out) {
  dots_portable(query, rows, count, length, out);
}

void bf16_pair_dots_portable(const std::uint16_t* query, const std::uint16_t* const* rows, std::size_t count,
                             std::size_t length, float* out) {
  dots_portable(query, rows, count, length, out);
}

#if SORVID_HAVE_X86

namespace {

// Eight bfloat16 values as the eight floats they stand for.
__attribute__((target("avx2,fma"))) inline __m256 widen(const std::uint16_t* values) {
  const __m128i half = _mm_loadu_si128(reinterpret_cast<const __m128i*>(values));
  return _mm256_castsi256_ps(_mm256_slli_epi32(_mm256_cvtepu16_epi32(half), 16));
}

__attribute__((target("avx2,fma"))) inline __m256 load8(const float* values) { return _mm256_loadu_ps(values); }
__attribute__((target("avx2,fma"))) inline __m256 load8(const std::uint16_t* values) { return widen(values); }

__attribute__((target("avx2,fma"))) inline float sum_lanes(__m256 v) {
  __m128 sum = _mm_add_ps(_mm256_castps256_ps128(v), _mm256_extractf128_ps(v, 1));
  sum = _mm_add_ps(sum, _mm_movehl_ps(sum, sum));
  sum = _mm_add_ss(sum, _mm_movehdup_ps(sum));
  return _mm_cvtss_f32(sum);
}

// kRows rows at once, two accumulators each, so that 2 * kRows chains of
// fused multiply-adds overlap.
template <int kRows, class Query>
__attribute__((target("avx2,fma"))) void dots_avx2(const Query* query, const std::uint16_t* const* rows,
                                                   std::size_t length, float* out) {
  __m256 even[kRows];
  __m256 odd[kRows];
  for (int r = 0; r < kRows; ++r) even[r] = odd[r] = _mm256_setzero_ps();
  std::size_t i = 0;
  for (; i + 16 <= length; i += 16) {
    const __m256 q0 = load8(query + i);
    const __m256 q1 = load8(query + i + 8);
    for (int r = 0; r < kRows; ++r) {
      even[r] = _mm256_fmadd_ps(q0, widen(rows[r] + i), even[r]);
      odd[r] = _mm256_fmadd_ps(q1, widen(rows[r] + i + 8), odd[r]);
    }
  }
  if (i + 8 <= length) {
    const __m256 q0 = load8(query + i);
    for (int r = 0; r < kRows; ++r) even[r] = _mm256_fmadd_ps(q0, widen(rows[r] + i), even[r]);
    i += 8;
  }
  for (int r = 0; r < kRows; ++r) {
    float sum = sum_lanes(_mm256_add_ps(even[r], odd[r]));
    for (std::size_t k = i; k < length; ++k) {
      const float product = value_of(query[k]) * from_bf16(rows[r][k]);
      sum += product;
    }
    out[r] = sum;
  }
}

// Asks for every cache line of a row.
inline void prefetch_whole_row(const std::uint16_t* row, std::size_t length) {
  constexpr std::size_t kValuesPerLine = 32;
  for (std::size_t i = 0; i < length; i += kValuesPerLine)
    _mm_prefetch(reinterpret_cast<const char*>(row + i), _MM_HINT_T0);
}

// The AVX-512 code uses the zero-masking forms of some instructions where
// the plain intrinsics of some compilers start from an undefined register,
// which their own warnings then flag.
constexpr __mmask16 kAllLanes = 0xFFFF;

// Sixteen bfloat16 values as the sixteen floats they stand for.
__attribute__((target("avx512f,avx2,fma"))) inline __m512 widen16(const std::uint16_t* values) {
  const __m256i half = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(values));
  return _mm512_castsi512_ps(_mm512_maskz_slli_epi32(kAllLanes, _mm512_maskz_cvtepu16_epi32(kAllLanes, half), 16));
}

__attribute__((target("avx512f,avx2,fma"))) inline __m512 load16(const float* values) {
  return _mm512_loadu_ps(values);
}
__attribute__((target("avx512f,avx2,fma"))) inline __m512 load16(const std::uint16_t* values) {
  return widen16(values);
}

__attribute__((target("avx512f,avx2,fma"))) inline float sum_lanes16(__m512 v) {
  const __m512d bits = _mm512_castps_pd(v);
  const __m256 low = _mm256_castpd_ps(_mm512_maskz_extractf64x4_pd(0xF, bits, 0));
  const __m256 high = _mm256_castpd_ps(_mm512_maskz_extractf64x4_pd(0xF, bits, 1));
  return sum_lanes(_mm256_add_ps(low, high));
}

// As dots_avx2, sixteen products per instruction.
template <int kRows, class Query>
__attribute__((target("avx512f,avx2,fma"))) void dots_avx512(const Query* query, const std::uint16_t* const* rows,
                                                             std::size_t length, float* out) {
  __m512 even[kRows];
  __m512 odd[kRows];
  for (int r = 0; r < kRows; ++r) even[r] = odd[r] = _mm512_setzero_ps();
  std::size_t i = 0;
  for (; i + 32 <= length; i += 32) {
    const __m512 q0 = load16(query + i);
    const __m512 q1 = load16(query + i + 16);
    for (int r = 0; r < kRows; ++r) {
      even[r] = _mm512_fmadd_ps(q0, widen16(rows[r] + i), even[r]);
      odd[r] = _mm512_fmadd_ps(q1, widen16(rows[r] + i + 16), odd[r]);
    }
  }
  if (i + 16 <= length) {
    const __m512 q0 = load16(query + i);
    for (int r = 0; r < kRows; ++r) even[r] = _mm512_fmadd_ps(q0, widen16(rows[r] + i), even[r]);
    i += 16;
  }
  for (int r = 0; r < kRows; ++r) {
    float sum = sum_lanes16(_mm512_add_ps(even[r], odd[r]));
    for (std::size_t k = i; k < length; ++k) {
      const float product = value_of(query[k]) * from_bf16(rows[r][k]);
      sum += product;
    }
    out[r] = sum;
  }
}

template <class Query>
__attribute__((target("avx512f,avx2,fma"))) void group_dots_avx512(const Query* query, const std::uint16_t* const* rows,
                                                                   std::size_t count, std::size_t length, float* out) {
  score_in_groups(
      count, [&](std::size_t k) { prefetch_whole_row(rows[k], length); },
      [&](std::size_t j, auto group) { dots_avx512<decltype(group)::value, Query>(query, rows + j, length, out + j); });
}

template <class Query>
__attribute__((target("avx2,fma"))) void group_dots_avx2(const Query* query, const std::uint16_t* const* rows,
                                                         std::size_t count, std::size_t length, float* out) {
  score_in_groups(
      count, [&](std::size_t k) { prefetch_whole_row(rows[k], length); },
      [&](std::size_t j, auto group) { dots_avx2<decltype(group)::value, Query>(query, rows + j, length, out + j); });
}

// vdpbf16ps multiplies 32 bfloat16 pairs and adds each two neighbouring
// products into one of 16 float lanes, so the pair form needs no widening:
// one load and one instruction per 32 values of a row.
__attribute__((target("avx512f,avx512bw,avx512bf16,avx2,fma"))) inline __m512bh load32(const std::uint16_t* values) {
  return (__m512bh)_mm512_loadu_si512(values);
}

// The first values of a row, those the mask names, and zeros for the rest;
// the values beyond them are not read.
__attribute__((target("avx512f,avx512bw,avx512bf16,avx2,fma"))) inline __m512bh load_first(const std::uint16_t* values,
                                                                                           __mmask32 mask) {
  return (__m512bh)_mm512_maskz_loadu_epi16(mask, values);
}

// As dots_avx512 for a bfloat16 query, 32 products per instruction. The tail
// of fewer than 32 values is one more step over masked loads, whose zeros
// add nothing. The loops over rows are unrolled in full, so that the
// accumulators stay in registers at -O2 as well.
template <int kRows>
__attribute__((target("avx512f,avx512bw,avx512bf16,avx2,fma"))) void pair_dots_avx512bf16(
    const std::uint16_t* query, const std::uint16_t* const* rows, std::size_t length, float* out) {
  static_assert(kRows <= 4, "the unroll pragmas below unroll four rows");
  __m512 even[kRows];
  __m512 odd[kRows];
#pragma GCC unroll 4
  for (int r = 0; r < kRows; ++r) even[r] = odd[r] = _mm512_setzero_ps();
  std::size_t i = 0;
  for (; i + 64 <= length; i += 64) {
    const __m512bh q0 = load32(query + i);
    const __m512bh q1 = load32(query + i + 32);
#pragma GCC unroll 4
    for (int r = 0; r < kRows; ++r) {
      even[r] = _mm512_dpbf16_ps(even[r], q0, load32(rows[r] + i));
      odd[r] = _mm512_dpbf16_ps(odd[r], q1, load32(rows[r] + i + 32));
    }
  }
  if (i + 32 <= length) {
    const __m512bh q0 = load32(query + i);
#pragma GCC unroll 4
    for (int r = 0; r < kRows; ++r) even[r] = _mm512_dpbf16_ps(even[r], q0, load32(rows[r] + i));
    i += 32;
  }
  if (i < length) {
    const auto tail = static_cast<__mmask32>((std::uint64_t{1} << (length - i)) - 1);
    const __m512bh q = load_first(query + i, tail);
#pragma GCC unroll 4
    for (int r = 0; r < kRows; ++r) odd[r] = _mm512_dpbf16_ps(odd[r], q, load_first(rows[r] + i, tail));
  }
#pragma GCC unroll 4
  for (int r = 0; r < kRows; ++r) out[r] = sum_lanes16(_mm512_add_ps(even[r], odd[r]));
}

// As pair_dots_avx512bf16 for a query split in two parts, each row value
// multiplied by both: four vdpbf16ps per 64 values, summed in four chains.
template <int kRows>
__attribute__((target("avx512f,avx512bw,avx512bf16,avx2,fma"))) void split_dots_avx512bf16(
    const std::uint16_t* high, const std::uint16_t* low, const std::uint16_t* const* rows, std::size_t length,
    float* out) {
  static_assert(kRows <= 4, "the unroll pragmas below unroll four rows");
  __m512 from_high[kRows];
  __m512 from_low[kRows];
#pragma GCC unroll 4
  for (int r = 0; r < kRows; ++r) from_high[r] = from_low[r] = _mm512_setzero_ps();
  std::size_t i = 0;
  for (; i + 32 <= length; i += 32) {
    const __m512bh h = load32(high + i);
    const __m512bh l = load32(low + i);
#pragma GCC unroll 4
    for (int r = 0; r < kRows; ++r) {
      const __m512bh values = load32(rows[r] + i);
      from_high[r] = _mm512_dpbf16_ps(from_high[r], h, values);
      from_low[r] = _mm512_dpbf16_ps(from_low[r], l, values);
    }
  }
  if (i < length) {
    const auto tail = static_cast<__mmask32>((std::uint64_t{1} << (length - i)) - 1);
    const __m512bh h = load_first(high + i, tail);
    const __m512bh l = load_first(low + i, tail);
#pragma GCC unroll 4
    for (int r = 0; r < kRows; ++r) {
      const __m512bh values = load_first(rows[r] + i, tail);
      from_high[r] = _mm512_dpbf16_ps(from_high[r], h, values);
      from_low[r] = _mm512_dpbf16_ps(from_low[r], l, values);
    }
  }
#pragma GCC unroll 4
  for (int r = 0; r < kRows; ++r) out[r] = sum_lanes16(_mm512_add_ps(from_high[r], from_low[r]));
}

__attribute__((target("avx512f,avx512bw,avx512bf16,avx2,fma"))) void group_split_dots_avx512bf16(
    const std::uint16_t* high, const std::uint16_t* low, const std::uint16_t* const* rows, std::size_t count,
    std::size_t length, float* out) {
  score_in_groups(
      count, [&](std::size_t k) { prefetch_whole_row(rows[k], length); },
      [&](std::size_t j, auto group) {
        split_dots_avx512bf16<decltype(group)::value>(high, low, rows + j, length, out + j);
      });
}

__attribute__((target("avx512f,avx512bw,avx512bf16,avx2,fma"))) void group_pair_dots_avx512bf16(
    const std::uint16_t* query, const std::uint16_t* const* rows, std::size_t count, std::size_t length, float* out) {
  score_in_groups(
      count, [&](std::size_t k) { prefetch_whole_row(rows[k], length); },
      [&](std::size_t j, auto group) {
        pair_dots_avx512bf16<decltype(group)::value>(query, rows + j, length, out + j);
      });
}

}  // namespace

__attribute__((target("avx512f,avx2,fma"))) void bf16_dots_avx512(const float* query, const std::uint16_t* const* rows,
                                                                  std::size_t count, std::size_t length, float* out) {
  group_dots_avx512(query, rows, count, length, out);
}

__attribute__((target("avx2,fma"))) void bf16_dots_avx2(const float* query, const std::uint16_t* const* rows,
                                                        std::size_t count, std::size_t length, float* out) {
  group_dots_avx2(query, rows, count, length, out);
}

void bf16_pair_dots_avx2(const std::uint16_t* query, const std::uint16_t* const* rows, std::size_t count,
                         std::size_t length, float* out) {
  group_dots_avx2(query, rows, count, length, out);
}

void bf16_pair_dots_avx512(const std::uint16_t* query, const std::uint16_t* const* rows, std::size_t count,
                           std::size_t length, float* out) {
  group_dots_avx512(query, rows, count, length, out);
}

void bf16_pair_dots_avx512bf16(const std::uint16_t* query, const std::uint16_t* const* rows, std::size_t count,
                               std::size_t length, float* out) {
  group_pair_dots_avx512bf16(query, rows, count, length, out);
}

bool avx512_available() noexcept {
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx512f");
}

bool avx512_bf16_available() noexcept {
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
         __builtin_cpu_supports("avx512bf16");
}

#else

void bf16_dots_avx2(const float* query, const std::uint16_t* const* rows, std::size_t count, std::size_t length,
                    float* out) {
  bf16_dots_portable(query, rows, count, length, out);
}

void bf16_dots_avx512(const float* query, const std::uint16_t* const* rows, std::size_t count, std::size_t length,
                      float* out) {
  bf16_dots_portable(query, rows, count, length, out);
}

void bf16_pair_dots_avx2(const std::uint16_t* query, const std::uint16_t* const* rows, std::size_t count,
                         std::size_t length, float* out) {
  bf16_pair_dots_portable(query, rows, count, length, out);
}

void bf16_pair_dots_avx512(const std::uint16_t* query, const std::uint16_t* const* rows, std::size_t count,
                           std::size_t length, float* out) {
  bf16_pair_dots_portable(query, rows, count, length, out);
}

void bf16_pair_dots_avx512bf16(const std::uint16_t* query, const std::uint16_t* const* rows, std::size_t count,
                               std::size_t length, float* out) {
  bf16_pair_dots_portable(query, rows, count, length, out);
}

bool avx512_available() noexcept { return false; }
bool avx512_bf16_available() noexcept { return false; }

#endif

namespace {

template <class Query>
using DotsFunction = void (*)(const Query*, const std::uint16_t* const*, std::size_t, std::size_t, float*);

// Chosen once, at load time, for the processor the program runs on.
template <class Query>
DotsFunction<Query> choose_dots() noexcept {
#if SORVID_HAVE_X86
  if (avx512_available()) return group_dots_avx512<Query>;
  if (avx2_available() && fma_available()) return group_dots_avx2<Query>;
#endif
  return dots_portable<Query>;
}
DotsFunction<std::uint16_t> choose_pair_dots() noexcept {
#if SORVID_HAVE_X86
  if (avx512_bf16_available()) return group_pair_dots_avx512bf16;
#endif
  return choose_dots<std::uint16_t>();
}

const DotsFunction<float> kChosenBf16Dots = choose_dots<float>();
const bool kSplitDotsAreFast = avx512_bf16_available();
const DotsFunction<std::uint16_t> kChosenPairDots = choose_pair_dots();

}  // namespace

void bf16_dots(const float* query, const std::uint16_t* const* rows, std::size_t count, std::size_t length,
               float* out) {
  kChosenBf16Dots(query, rows, count, length, out);
}

void bf16_pair_dots(const std::uint16_t* query, const std::uint16_t* const* rows, std::size_t count, std::size_t length,
                    float* out) {
  kChosenPairDots(query, rows, count, length, out);
}

void split_to_bf16(const float* query, std::size_t length, std::uint16_t* high, std::uint16_t* low) {
  for (std::size_t i = 0; i < length; ++i) {
    high[i] = to_bf16(query[i]);
    // Exact: query[i] and its nearest bfloat16 share their leading bits.
    low[i] = to_bf16(query[i] - from_bf16(high[i]));
  }
}

void bf16_split_dots_portable(const std::uint16_t* high, const std::uint16_t* low, const std::uint16_t* const* rows,
                              std::size_t count, std::size_t length, float* out) {
  for (std::size_t j = 0; j < count; ++j) {
    float sum = 0.0f;
    for (std::size_t i = 0; i < length; ++i) {
      const float value = from_bf16(rows[j][i]);
      const float from_high = from_bf16(high[i]) * value;
      const float from_low = from_bf16(low[i]) * value;
      sum += from_high;
      sum += from_low;
    }
    out[j] = sum;
  }
}

void bf16_split_dots(const std::uint16_t* high, const std::uint16_t* low, const std::uint16_t* const* rows,
                     std::size_t count, std::size_t length, float* out) {
#if SORVID_HAVE_X86
  if (kSplitDotsAreFast) {
    group_split_dots_avx512bf16(high, low, rows, count, length, out);
    return;
  }
#endif
  bf16_split_dots_portable(high, low, rows, count, length, out);
}

bool bf16_split_dots_are_fast() noexcept { return kSplitDotsAreFast; }

}  // namespace sorvid::hnsw
