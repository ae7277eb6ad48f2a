// Hit: one answer of a query.
#pragma once

#include <cstdint>

#include "hnsw/node_id.h"

namespace sorvid::hnsw {

struct Hit {
  std::uint64_t value;  // the value stored with the node at build time
  float distance;       // cosine_distance(query, point of node)
  NodeId node;
};

}  // namespace sorvid::hnsw
