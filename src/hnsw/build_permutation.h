// The order in which a build numbers its points: a seeded shuffle, so that a
// node's id, which alone fixes its highest layer, is independent of where its
// point stood in the input.
#pragma once

#include <cstddef>
#include <vector>

#include "hnsw/build_rng.h"
#include "hnsw/node_id.h"

namespace sorvid::hnsw {

// The input position of each node: for each position i a key is drawn from
// 0 to n - 1, and node j is the position of the j-th (key, i) pair in
// ascending order.
std::vector<NodeId> build_permutation(std::size_t n, BuildRng& rng);

}  // namespace sorvid::hnsw
