// The sizes of an index's layers, fixed by the number of points alone.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace sorvid::hnsw {

// 1 / ln 32 as a 32-bit float (bit pattern 0x3E93BB63, about 0.28853902).
float level_factor();

// n_(k+1) from n_k: n_k as a 32-bit float times level_factor in 32-bit
// arithmetic, truncated toward zero (negative gives 0, beyond the 64-bit range
// saturates).
std::uint64_t next_layer_size(std::uint64_t size);

// [n_0 = n, n_1, ..., n_top]: layer k >= 1 exists while n_k >= 32, so the list
// stops before the first size below 32. `top` is the list's size minus one.
std::vector<std::size_t> layer_sizes(std::size_t n);

}  // namespace sorvid::hnsw
