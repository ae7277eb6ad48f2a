#include "hnsw/prepared_query.h"

#include "hnsw/bf16_rows.h"
#include "hnsw/cosine_distance.h"

namespace sorvid::hnsw {

QueryPoint PreparedQuery::load(std::span<const float> query) {
  if (buffer_.size() < query.size()) buffer_ = AlignedFloats(query.size());
  const float norm = copy_as_scored(query, buffer_.data());
  QueryPoint prepared{buffer_.data(), query.size(), norm};
  if (bf16_split_dots_are_fast()) {
    if (high_.size() < query.size()) {
      high_.resize(query.size());
      low_.resize(query.size());
    }
    split_to_bf16(buffer_.data(), query.size(), high_.data(), low_.data());
    prepared.high = high_.data();
    prepared.low = low_.data();
  }
  return prepared;
}

}  // namespace sorvid::hnsw
