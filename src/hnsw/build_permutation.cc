#include "hnsw/build_permutation.h"

#include <algorithm>
#include <cstdint>
#include <utility>

namespace sorvid::hnsw {

std::vector<NodeId> build_permutation(std::size_t n, BuildRng& rng) {
  std::vector<std::pair<std::uint32_t, NodeId>> keyed(n);
  for (std::size_t i = 0; i < n; ++i) {
    keyed[i] = {rng.uniform_below(static_cast<std::uint32_t>(n)), static_cast<NodeId>(i)};
  }
  std::sort(keyed.begin(), keyed.end());
  std::vector<NodeId> order(n);
  for (std::size_t j = 0; j < n; ++j) order[j] = keyed[j].second;
  return order;
}

}  // namespace sorvid::hnsw
