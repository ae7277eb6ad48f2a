// Eight-bit copies of points for the decisions of walks, prunings and
// neighbour selections: each point scaled so that its largest |value| maps
// to 127 and every value rounded to the nearest integer, so a row of 384
// values is six cache lines where its bfloat16 copy is twelve and the float
// row twenty-four. Walks wait on memory far more than on arithmetic. A query
// gets a copy of its own, made once per walk (prepared_query.h).
//
// The dot product of two copies is a sum of integer products, exact in any
// order: every implementation gives the same bits, and the product of a with
// b is the product of b with a.
//
// Error. A copy stands for x_i = s q_i + e_i with scale s = max|x| / 127 and
// |e_i| <= s / 2 (plus the rounding of x_i / s, covered by the slack in
// int8_pair_bound, point_store.cc). Then |sum x_i y_i - s_x s_y sum q_i r_i| is at most
// (s_y / 2) sum |x_i| + (s_x / 2) sum |y_i| + n s_x s_y / 4, which
// point_store.h turns into a bound on a decision distance per pair.
#pragma once

#include <cstddef>
#include <cstdint>

namespace sorvid::hnsw {

// Copies are made of rows up to this length, whose integer dot products stay
// exact (below); longer rows decide from bfloat16 copies (bf16_rows.h).
constexpr std::size_t kLongestInt8Row = 65536;

// Values per row of copies: rows are padded with zeros to a whole number of
// cache lines, and the kernels read the padding too.
constexpr std::size_t kInt8RowAlignment = 64;

// The bytes of a copy of `length` values, padding included: the stride of
// a store's copies and the length of a query's, which the kernels read
// alike. 0 for rows too long for copies.
constexpr std::size_t int8_copy_bytes(std::size_t length) {
  if (length > kLongestInt8Row) return 0;
  return (length + kInt8RowAlignment - 1) / kInt8RowAlignment * kInt8RowAlignment;
}

// Writes the copy of `values` to `out` (length values, the caller's padding
// left as it is) and returns its scale; 0 (and a copy of zeros) when every
// value is 0. Only for finite values.
float to_int8_row(const float* values, std::size_t length, std::int8_t* out);
// The sum of |values[i]|, within length * 2^-53 of it relative (summed in
// doubles in some order): the l1 norm the bound on a decision reads.
double magnitude_sum(const float* values, std::size_t length);
// The implementations behind the two, for tests: the AVX-512 ones, the same
// bits for to_int8_row, only where int8_avx512_available().
float to_int8_row_portable(const float* values, std::size_t length, std::int8_t* out);
float to_int8_row_avx512(const float* values, std::size_t length, std::int8_t* out);
double magnitude_sum_portable(const float* values, std::size_t length);
double magnitude_sum_avx512(const float* values, std::size_t length);

// out[j] = the sum of query[i] * rows[j][i] for i < padded_length, a
// multiple of kInt8RowAlignment: exact while padded_length * 127 * 127 stays
// below 2^31.
void int8_dots(const std::int8_t* query, const std::int8_t* const* rows, std::size_t count, std::size_t padded_length,
               std::int32_t* out);
// The implementations behind int8_dots, for tests: the AVX-512 one only where
// int8_avx512_available(), the AVX2 one only where avx2_available().
void int8_dots_portable(const std::int8_t* query, const std::int8_t* const* rows, std::size_t count,
                        std::size_t padded_length, std::int32_t* out);
void int8_dots_avx2(const std::int8_t* query, const std::int8_t* const* rows, std::size_t count,
                    std::size_t padded_length, std::int32_t* out);
void int8_dots_avx512(const std::int8_t* query, const std::int8_t* const* rows, std::size_t count,
                      std::size_t padded_length, std::int32_t* out);
bool int8_avx512_available() noexcept;

}  // namespace sorvid::hnsw
