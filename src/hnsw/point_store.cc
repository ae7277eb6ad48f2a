#include "hnsw/point_store.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "hnsw/cosine_distance.h"
#include "hnsw/dot_batch.h"

namespace sorvid::hnsw {
namespace {

std::size_t round_up(std::size_t value, std::size_t multiple) {
  return (value + multiple - 1) / multiple * multiple;
}

}  // namespace

PointStore::PointStore(const std::vector<std::vector<float>>& points,
                       std::span<const NodeId> order) {
  const std::size_t n = order.size();
  uniform_length_ = n == 0 ? 0 : points[order[0]].size();
  for (NodeId source : order) uniform_ = uniform_ && points[source].size() == uniform_length_;

  std::size_t total = 0;
  if (uniform_) {
    stride_ = round_up(uniform_length_, kRowAlignment);
    total = stride_ * n;
  } else {
    offsets_.resize(n);
    lengths_.resize(n);
    for (std::size_t j = 0; j < n; ++j) {
      offsets_[j] = total;
      lengths_[j] = points[order[j]].size();
      total += round_up(lengths_[j], kRowAlignment);
    }
  }
  data_ = AlignedFloats(total);
  norms_.resize(n);
  for (std::size_t j = 0; j < n; ++j) {
    const std::vector<float>& source = points[order[j]];
    float* target = data_.data() + (uniform_ ? j * stride_ : offsets_[j]);
    if (!source.empty()) std::memcpy(target, source.data(), source.size() * sizeof(float));
    norms_[j] = point_norm(source);
  }
}

float PointStore::distance_to(const QueryPoint& q, NodeId node) const {
  const float dot = dot_in_order(q.data, row(node), std::min(q.length, length(node)));
  return distance_from_parts(dot, q.norm, norms_[node]);
}

void PointStore::distances_to(const QueryPoint& q, const NodeId* ids, std::size_t count,
                              float* out) const {
  if (!uniform_ || q.length != uniform_length_) {
    // Unequal lengths: the dot product covers each pair's common prefix.
    for (std::size_t j = 0; j < count; ++j) out[j] = distance_to(q, ids[j]);
    return;
  }
  constexpr std::size_t kBatch = 64;
  std::array<const float*, kBatch> rows;
  std::array<float, kBatch> dots;
  for (std::size_t start = 0; start < count; start += kBatch) {
    const std::size_t batch = std::min(kBatch, count - start);
    for (std::size_t j = 0; j < batch; ++j) {
      rows[j] = row(ids[start + j]);
      __builtin_prefetch(rows[j]);
    }
    dot_batch(q.data, rows.data(), batch, uniform_length_, dots.data());
    for (std::size_t j = 0; j < batch; ++j) {
      out[start + j] = distance_from_parts(dots[j], q.norm, norms_[ids[start + j]]);
    }
  }
}

}  // namespace sorvid::hnsw
