// Many dot products against one query at once, each bit-identical to
// dot_in_order.
//
// A single dot product may not be split into partial sums, but several
// independent ones can run side by side: the vector kernel gives each row one
// lane and adds that row's products in index order, so every lane repeats the
// scalar definition exactly while the processor overlaps the lanes.
#pragma once

#include <cstddef>

namespace sorvid::hnsw {

// out[j] = dot_in_order(query, rows[j], length) for j < count. Reads exactly
// `length` floats of the query and of every row.
void dot_batch(const float* query, const float* const* rows, std::size_t count, std::size_t length, float* out);

// The two implementations behind dot_batch, exposed so tests can hold each to
// the definition. dot_batch_avx2 may only run where avx2_available().
void dot_batch_portable(const float* query, const float* const* rows, std::size_t count, std::size_t length,
                        float* out);
void dot_batch_avx2(const float* query, const float* const* rows, std::size_t count, std::size_t length, float* out);
bool avx2_available() noexcept;
// Whether the processor fuses multiply and add; the batched estimates use it.
bool fma_available() noexcept;

// An estimate of dot_in_order(a, b, length) that may add in any order: its
// error, like the definition's own, is at most gamma(length) * sum |a[i] b[i]|
// with gamma(n) = n u / (1 - n u), u = 2^-24. Callers use it only where that
// bound decides a comparison; it is never a distance itself.
float dot_estimate(const float* a, const float* b, std::size_t length);
// out[j] = dot_estimate(query, rows[j], length) for j < count.
void dot_estimates(const float* query, const float* const* rows, std::size_t count, std::size_t length, float* out);

}  // namespace sorvid::hnsw
