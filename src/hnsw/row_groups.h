// The shape every decision kernel shares: many rows scored against one
// query, four at a time.
//
// Rows lie all over memory and a kernel waits on them far more than on its
// arithmetic, so rows are asked for kAhead groups before they are scored:
// scoring one group takes far less time than a row takes to arrive from
// memory, and asking only one group ahead left the kernel waiting on every
// group (two and three groups ahead each took another 4-10% off a build
// and off queries, in runs side by side; four gained nothing more). The
// last one to three rows are scored together, so that their loads overlap
// too.
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
  constexpr std::size_t kAhead = 3;
  for (std::size_t k = 0; k < kAhead * kGroup && k < count; ++k) prefetch(k);
  std::size_t j = 0;
  for (; j + kGroup <= count; j += kGroup) {
    for (std::size_t k = j + kAhead * kGroup; k < j + (kAhead + 1) * kGroup && k < count; ++k) prefetch(k);
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
