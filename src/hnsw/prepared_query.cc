#include "hnsw/prepared_query.h"

#include <cstring>

#include "hnsw/cosine_distance.h"

namespace sorvid::hnsw {

QueryPoint PreparedQuery::load(std::span<const float> query) {
  if (buffer_.size() < query.size()) buffer_ = AlignedFloats(query.size());
  if (!query.empty()) std::memcpy(buffer_.data(), query.data(), query.size() * sizeof(float));
  return {buffer_.data(), query.size(), point_norm(query)};
}

}  // namespace sorvid::hnsw
