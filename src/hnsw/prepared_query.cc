#include "hnsw/prepared_query.h"

#include "hnsw/cosine_distance.h"

namespace sorvid::hnsw {

QueryPoint PreparedQuery::load(std::span<const float> query) {
  if (buffer_.size() < query.size()) buffer_ = AlignedFloats(query.size());
  const float norm = copy_as_scored(query, buffer_.data());
  return {buffer_.data(), query.size(), norm};
}

}  // namespace sorvid::hnsw
