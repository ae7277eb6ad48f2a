// The shape every decision kernel shares: many rows scored against one
// query, four at a time.
//
// Rows lie all over memory and a kernel waits on them far more than on its
// arithmetic, so each group's rows are asked for before it is scored and the
// next group's while it is; the last one to three rows are scored together,
// so that their loads overlap too.
#pragma once

#include <cstddef>
#include <type_traits>

namespace sorvid::hnsw {

// Calls prefetch(k) for each row k ahead of its use, and score(j, rows) for
// consecutive runs of rows j .. j + rows - 1 that cover [0, count) in order,
// where `rows` is a std::integral_constant<int, 1 to 4>.
template <class Prefetch, class Score>
inline void score_in_groups(std::size_t count, Prefetch prefetch, Score score) {
  constexpr std::size_t kGroup = 4;
  for (std::size_t k = 0; k < kGroup && k < count; ++k) prefetch(k);
  std::size_t j = 0;
  for (; j + kGroup <= count; j += kGroup) {
    for (std::size_t k = j + kGroup; k < j + 2 * kGroup && k < count; ++k) prefetch(k);
    score(j, std::integral_constant<int, 4>{});
  }
  switch (count - j) {
    case 3: score(j, std::integral_constant<int, 3>{}); break;
    case 2: score(j, std::integral_constant<int, 2>{}); break;
    case 1: score(j, std::integral_constant<int, 1>{}); break;
    default: break;
  }
}

}  // namespace sorvid::hnsw
