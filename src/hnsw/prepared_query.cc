#include "hnsw/prepared_query.h"

#include <algorithm>

#include "hnsw/bf16_rows.h"
#include "hnsw/cosine_distance.h"
#include "hnsw/int8_rows.h"

namespace sorvid::hnsw {

QueryPoint PreparedQuery::load(std::span<const float> query) {
  if (buffer_.size() < query.size()) buffer_ = AlignedFloats(query.size());
  const float norm = copy_as_scored(query, buffer_.data());
  QueryPoint prepared{buffer_.data(), query.size(), norm};
  // Copies are only read for well-scaled queries (finite values, so
  // to_int8_row may take them).
  if (query.empty() || !is_well_scaled(norm)) return prepared;
  if (const std::size_t padded = int8_copy_bytes(query.size()); padded > 0) {
    if (int8_.size() < padded) int8_.resize(padded);
    std::fill(int8_.begin() + static_cast<std::ptrdiff_t>(query.size()), int8_.end(), std::int8_t{0});
    const float scale = to_int8_row(buffer_.data(), query.size(), int8_.data());
    prepared.int8 = int8_.data();
    prepared.int8_factor = scale / norm;
    prepared.int8_l1 = magnitude_sum(buffer_.data(), query.size()) / static_cast<double>(norm);
  } else if (bf16_split_dots_are_fast()) {
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
