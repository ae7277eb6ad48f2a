#include "hnsw/prepared_query.h"

#include <cstring>

#include "hnsw/cosine_distance.h"

namespace sorvid::hnsw {

QueryPoint PreparedQuery::load(std::span<const float> query) {
  if (buffer_.size() < query.size()) buffer_ = AlignedFloats(query.size());
  if (!query.empty()) std::memcpy(buffer_.data(), query.data(), query.size() * sizeof(float));
  const float norm = point_norm(query);
  const int scale = underflow_scale(query, norm);
  if (scale == 0) return {buffer_.data(), query.size(), norm};
  // Scored as cosine_distance scores it: scaled, with the scaled norm.
  scale_point(query, scale, buffer_.data());
  return {buffer_.data(), query.size(), point_norm({buffer_.data(), query.size()})};
}

}  // namespace sorvid::hnsw
