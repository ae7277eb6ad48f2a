#include "hnsw/index_limits.h"

#include "hnsw/fatal_error.h"
#include "hnsw/node_id.h"

namespace sorvid::hnsw {

std::size_t checked_node_count(std::size_t nodes, std::size_t points, std::size_t values) {
  if (nodes >= std::size_t{kEmptySlot}) fatal_error("an index holds fewer than 4294967295 points");
  if (values != points) fatal_error("an index needs exactly one value per point");
  return nodes;
}

std::uint32_t checked_value(std::uint64_t value) {
  if (value >= kEmptySlot) fatal_error("an index takes values below 4294967295");
  return static_cast<std::uint32_t>(value);
}

}  // namespace sorvid::hnsw
