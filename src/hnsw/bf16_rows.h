// Reduced-precision copies of points for the walk's decisions: each float
// rounded to the nearest bfloat16 (its top 16 bits, ties to even), so a row
// is half as many bytes to fetch.
//
// Error bound. A stored value is b = r (1 + d) with |d| <= 2^-8 for every
// finite r below 2^127 in magnitude. bf16_dots sums the products q[i] b[i] of
// a float query in any order, fused or not, so with u = 2^-24 and
// gamma(n) = n u / (1 - n u) its result differs from the exact sum of
// q[i] r[i] by at most (2^-8 + gamma(n) (1 + 2^-8)) sum |q[i] r[i]|. A
// cosine distance made from it with the points' own float norms is then
// within 2^-8 + (3 n + 16) u of the exact distance (see decision_bound).
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>

namespace sorvid::hnsw {

// The bfloat16 nearest to `x` (ties to even); a NaN stays a NaN.
inline std::uint16_t to_bf16(float x) {
  const std::uint32_t bits = std::bit_cast<std::uint32_t>(x);
  if ((bits & 0x7FFFFFFFu) > 0x7F800000u) return static_cast<std::uint16_t>((bits >> 16) | 0x40u);
  return static_cast<std::uint16_t>((bits + 0x7FFFu + ((bits >> 16) & 1u)) >> 16);
}

inline float from_bf16(std::uint16_t x) { return std::bit_cast<float>(static_cast<std::uint32_t>(x) << 16); }

// The largest difference between a decision distance over `length` values
// and the exact distance, for points whose norms are well scaled (see
// point_store.h), with room to spare.
//
// The bound also covers bf16_split_dots below, whose query stands for the
// float one within 2^-16 of each value and which sums 2 n exact products:
// 2^-15 and a second n u in the rounding term make room for that.
inline double decision_bound(std::size_t length) {
  return 0x1.0p-8 + 0x1.0p-15 + (4.0 * static_cast<double>(length) + 16.0) * 0x1.0p-24;
}

// The same bound for a decision between two stored points that reads both
// bfloat16 copies (the one standing for the query widened to floats): each
// product then carries a relative error of at most 2^-7 + 2^-16 before the
// sum, so the rounding term doubles, again with room to spare.
inline double pair_decision_bound(std::size_t length) {
  return 0x1.0p-7 + 0x1.0p-15 + (3.0 * static_cast<double>(length) + 16.0) * 0x1.0p-24;
}

// out[j] = the sum of query[i] * rows[j][i] for i < length, in any order
// (see the bound above). Reads exactly `length` values of each.
void bf16_dots(const float* query, const std::uint16_t* const* rows, std::size_t count, std::size_t length, float* out);
// As bf16_dots with a bfloat16 query: the sums of a[i] * b[i] for two
// stored points' copies, a the query and b each row. Every implementation
// keeps three promises that callers rely on:
//  - Symmetry, bit for bit: a against row b gives the bits of b against row
//    a, so that a distance recorded from one end of a pair stands for the
//    other. A product of two bfloat16 values (8 significant bits each) is
//    the same whichever is the query, and the products are summed in an
//    order fixed by the length alone.
//  - Determinism: a row's result depends only on the two copies and the
//    length, never on `count` or the row's place in the batch: each row is
//    summed by the same operations wherever it stands.
//  - pair_decision_bound: the products are exact in float barring underflow,
//    and their sum is rounded as any order of float additions is. The
//    vdpbf16ps kernel rounds to nearest even but flushes to zero each input,
//    product and partial sum below 2^-126 in magnitude. Flushing a[i] moves
//    the sum by less than 2^-126 |b[i]| (and the converse), a flushed product
//    or partial sum (at most n + 31 of each) by less than 2^-126, so all
//    flushes together by less than 2^-126 (sum |a[i]| + sum |b[i]| + 2 (n + 32)).
//    Where both points' norms lie in [2^-30, 2^30] (is_well_scaled), that is
//    below (sqrt(n) 2^-94 + (n + 32) 2^-64) |a| |b|, so far inside the 2^-16
//    the bound leaves to spare. (The other kernels underflow gradually, by
//    less still.)
void bf16_pair_dots(const std::uint16_t* query, const std::uint16_t* const* rows, std::size_t count, std::size_t length,
                    float* out);
// A float query as two bfloat16 parts: high[i] is the nearest bfloat16 to
// query[i] and low[i] the nearest to what is left, so that high[i] + low[i]
// lies within 2^-16 |query[i]| of it (and both flush to 0 below 2^-126).
void split_to_bf16(const float* query, std::size_t length, std::uint16_t* high, std::uint16_t* low);
// As bf16_dots for a query split by split_to_bf16: the sums of
// (high[i] + low[i]) * rows[j][i], from exact products of bfloat16 values,
// in any order, within decision_bound. Worth it only where
// bf16_split_dots_are_fast() (the processor has vdpbf16ps, which makes
// these faster than widening the rows); elsewhere bf16_dots is the faster.
void bf16_split_dots(const std::uint16_t* high, const std::uint16_t* low, const std::uint16_t* const* rows,
                     std::size_t count, std::size_t length, float* out);
void bf16_split_dots_portable(const std::uint16_t* high, const std::uint16_t* low, const std::uint16_t* const* rows,
                              std::size_t count, std::size_t length, float* out);
bool bf16_split_dots_are_fast() noexcept;
// The implementations behind bf16_dots and bf16_pair_dots, for tests; the
// AVX2 ones may only run where avx2_available() and fma_available(), the
// AVX-512 ones only where avx512_available(), bf16_pair_dots_avx512bf16 only
// where avx512_bf16_available(). bf16_pair_dots uses the last where it may,
// else the same choice as bf16_dots.
void bf16_dots_portable(const float* query, const std::uint16_t* const* rows, std::size_t count, std::size_t length,
                        float* out);
void bf16_dots_avx2(const float* query, const std::uint16_t* const* rows, std::size_t count, std::size_t length,
                    float* out);
void bf16_dots_avx512(const float* query, const std::uint16_t* const* rows, std::size_t count, std::size_t length,
                      float* out);
void bf16_pair_dots_portable(const std::uint16_t* query, const std::uint16_t* const* rows, std::size_t count,
                             std::size_t length, float* out);
void bf16_pair_dots_avx2(const std::uint16_t* query, const std::uint16_t* const* rows, std::size_t count,
                         std::size_t length, float* out);
void bf16_pair_dots_avx512(const std::uint16_t* query, const std::uint16_t* const* rows, std::size_t count,
                           std::size_t length, float* out);
void bf16_pair_dots_avx512bf16(const std::uint16_t* query, const std::uint16_t* const* rows, std::size_t count,
                               std::size_t length, float* out);
bool avx512_available() noexcept;
// AVX-512 with its bfloat16 dot products (and byte and word masks).
bool avx512_bf16_available() noexcept;

}  // namespace sorvid::hnsw
