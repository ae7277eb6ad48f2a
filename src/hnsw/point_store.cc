#include "hnsw/point_store.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <memory>

#include "base/memory.h"
#include "base/worker_pool.h"
#include "hnsw/bf16_rows.h"
#include "hnsw/cosine_distance.h"
#include "hnsw/dot_batch.h"
#include "hnsw/int8_rows.h"
#include "hnsw/scored_node.h"

namespace sorvid::hnsw {
namespace {

// The largest difference between a distance and its estimate over `length`
// products, with u = 2^-24. The definition's in-order dot product and the
// estimate are each within gamma(length) * |a| |b| of the true dot product;
// relative to the norm product p that the definition divides by (itself
// within about gamma(length) + 3u of |a| |b|), the two differ by at most
// about 2.2 * length * u. The division and the subtraction from 1 add at most
// 4u, and underflowing products at most length * 2^-88 for well-scaled
// points. The margin below covers all of it with room to spare.
double estimate_margin(std::size_t length) {
  constexpr double kUnitRoundoff = 0x1.0p-24;
  return (3.0 * static_cast<double>(length) + 16.0) * kUnitRoundoff + 0x1.0p-40;
}

// Asks for the first cache lines of a row ahead of use; the hardware
// prefetcher follows on from there.
inline void prefetch_row(const float* row, std::size_t length) {
  constexpr std::size_t kFloatsPerLine = 16;
  constexpr std::size_t kLinesAhead = 4;
  const std::size_t lines = std::min(kLinesAhead, (length + kFloatsPerLine - 1) / kFloatsPerLine);
  for (std::size_t line = 0; line < lines; ++line) __builtin_prefetch(row + line * kFloatsPerLine);
}

// Decision rows hold whole cache lines of bfloat16 values.
constexpr std::size_t kBf16RowValues = 32;

// The bound on a pair decision distance from eight-bit copies (int8_rows.h),
// given the largest scale / norm and sum |x| / norm over the rows: the
// copies' own error, with 2^-10 of slack for the rounding of values / scale
// and of the sums |x| (magnitude_sum),
// plus the float arithmetic's, as in decision_bound.
double int8_pair_bound(double largest_scale, double largest_l1, std::size_t length) {
  const double n = static_cast<double>(length);
  const double copies = largest_scale * largest_l1 + n * largest_scale * largest_scale / 4.0;
  return copies * (1.0 + 0x1.0p-10) + (3.0 * n + 16.0) * 0x1.0p-24;
}

double clamp_distance(double distance) { return std::min(2.0, std::max(0.0, distance)); }

// Bounds on a distance from an estimate of its dot product, divided by the
// same float product of the norms that the definition divides by. Clamping is
// monotone, so the clamped exact value stays within the clamped bounds.
DistanceBounds bounds_from_estimate(float dot, float norm_product, double margin) {
  const double estimate = 1.0 - static_cast<double>(dot) / static_cast<double>(norm_product);
  return {clamp_distance(estimate - margin), clamp_distance(estimate + margin)};
}

// Appending many rows computes their norms and bfloat16 copies on the worker
// pool, kRowsPerTask rows a task: each row's are its own, and loading a
// saved index waits on little else.
constexpr std::size_t kParallelRows = 8192;
constexpr std::size_t kRowsPerTask = 512;

// Calls body(i) for every i in [first, end), on the pool when there are many.
template <class Body>
void for_each_row(std::size_t first, std::size_t end, Body body) {
  if (end - first < kParallelRows) {
    for (std::size_t i = first; i < end; ++i) body(i);
    return;
  }
  const std::size_t tasks = (end - first + kRowsPerTask - 1) / kRowsPerTask;
  WorkerPool::instance().parallel_for(0, tasks, 1, [&](std::size_t task) {
    const std::size_t task_end = std::min(end, first + (task + 1) * kRowsPerTask);
    for (std::size_t i = first + task * kRowsPerTask; i < task_end; ++i) body(i);
  });
}

// The entries of one batch of decision distances that must be exact
// instead (a row not well scaled, or a decision within its bound of 0),
// scored together by the batched in-order kernel, which gives the very bits
// of one exact distance at a time.
class ExactLater {
 public:
  static constexpr std::size_t kCapacity = 64;
  void add(NodeId id, std::size_t position) {
    ids_[count_] = id;
    positions_[count_++] = position;
  }
  // Overwrites out[position] of every entry added with its exact distance.
  void score(const PointStore& points, const QueryPoint& q, float* out) const {
    if (count_ == 0) return;
    std::array<float, kCapacity> exact;
    points.distances_to(q, ids_.data(), count_, exact.data());
    for (std::size_t k = 0; k < count_; ++k) out[positions_[k]] = exact[k];
  }

 private:
  std::array<NodeId, kCapacity> ids_;
  std::array<std::size_t, kCapacity> positions_;
  std::size_t count_ = 0;
};

}  // namespace

PointStore::PointStore(PointViews points, std::span<const NodeId> order) {
  add_rows(points, order.data(), order.size());
}

void PointStore::append(PointViews points) { add_rows(points, nullptr, points.size()); }

void PointStore::add_rows(PointViews points, const NodeId* order, std::size_t count) {
  const auto source = [&](std::size_t j) { return points[order != nullptr ? order[j] : j]; };
  const std::size_t first = size();
  if (count == 0) return;
  const std::size_t rows = first + count;
  if (first == 0) {
    uniform_ = true;
    uniform_length_ = source(0).size();
    int8_stride_ = int8_copy_bytes(uniform_length_);
    bf16_stride_ = int8_stride_ > 0 ? 0 : round_up(uniform_length_, kBf16RowValues);
    decision_bound_ = static_cast<float>(decision_bound(uniform_length_));
    // Longer rows decide pairs from both bfloat16 copies.
    pair_decision_bound_ = static_cast<float>(hnsw::pair_decision_bound(uniform_length_));
    largest_int8_scale_ = 0.0;
    largest_int8_l1_ = 0.0;
  }
  bool stays_uniform = uniform_;
  for (std::size_t j = 0; j < count && stays_uniform; ++j) stays_uniform = source(j).size() == uniform_length_;
  if (uniform_ && !stays_uniform) switch_to_lengths();

  // A failed call (std::bad_alloc) leaves the store as it was: at most with
  // more capacity, or switched to the per-row lengths, which hold the same
  // rows.
  rows_.reserve(rows);
  norms_.reserve(rows);
  if (!uniform_) lengths_.reserve(rows);
  if (has_bf16_rows()) bf16_rows_.reserve(checked_size(checked_size(rows, bf16_stride_), sizeof(std::uint16_t)));
  if (has_int8_rows()) {
    int8_rows_.reserve(checked_size(rows, int8_stride_));
    int8_factors_.reserve(rows);
  }
  std::vector<float> norms(count);
  // Each new row's sum |x| / norm, for the bound on eight-bit decisions.
  std::vector<double> l1s(has_int8_rows() ? count : 0);
  for_each_row(0, count, [&](std::size_t j) { norms[j] = point_norm(source(j)); });
  const std::size_t scaled_before = scaled_rows_.size();
  try {
    // Only a scaled copy allocates here.
    for (std::size_t j = 0; j < count; ++j) add_row(source(j), norms[j]);
  } catch (...) {
    rows_.resize(first);
    norms_.resize(first);
    if (!uniform_) lengths_.resize(first);
    scaled_rows_.resize(scaled_before);
    throw;
  }
  if (has_bf16_rows()) add_bf16_rows(first, rows);
  if (has_int8_rows()) add_int8_rows(first, rows, l1s.data());
}

void PointStore::add_bf16_rows(std::size_t first, std::size_t end) {
  for_each_row(first, end, [&](std::size_t node) {
    std::uint16_t* copy = static_cast<std::uint16_t*>(bf16_rows_.data()) + node * bf16_stride_;
    const float* values = rows_[node];
    for (std::size_t i = 0; i < uniform_length_; ++i) copy[i] = to_bf16(values[i]);
  });
}

void PointStore::add_int8_rows(std::size_t first, std::size_t end, double* l1s) {
  // Reserved by add_rows: does not allocate.
  int8_factors_.resize(end);
  for_each_row(first, end, [&](std::size_t node) {
    // Only well-scaled rows are ever decided from their copies; the others
    // keep a copy of zeros, which LargeBuffer starts with, and factor 0.
    if (!is_well_scaled(norms_[node])) {
      int8_factors_[node] = 0.0f;
      l1s[node - first] = 0.0;
      return;
    }
    std::int8_t* copy = static_cast<std::int8_t*>(int8_rows_.data()) + node * int8_stride_;
    const float* values = rows_[node];
    const float scale = to_int8_row(values, uniform_length_, copy);
    // Positive: a well-scaled row has a value other than 0.
    int8_factors_[node] = scale / norms_[node];
    l1s[node - first] = magnitude_sum(values, uniform_length_) / static_cast<double>(norms_[node]);
  });
  for (std::size_t node = first; node < end; ++node) {
    largest_int8_scale_ = std::max(largest_int8_scale_, static_cast<double>(int8_factors_[node]));
    largest_int8_l1_ = std::max(largest_int8_l1_, l1s[node - first]);
  }
  pair_decision_bound_ = static_cast<float>(int8_pair_bound(largest_int8_scale_, largest_int8_l1_, uniform_length_));
}

void PointStore::add_row(std::span<const float> point, float norm) {
  const float* row = point.data();
  if (underflow_scale(point, norm) != 0) {
    auto copy = std::make_unique_for_overwrite<float[]>(point.size());
    norm = copy_as_scored(point, copy.get());
    row = copy.get();
    scaled_rows_.push_back(std::move(copy));
  }
  // Reserved by add_rows: these do not allocate.
  rows_.push_back(row);
  norms_.push_back(norm);
  if (!uniform_) lengths_.push_back(point.size());
}

void PointStore::switch_to_lengths() {
  lengths_.assign(size(), uniform_length_);
  uniform_ = false;
  // Decisions fall back to exact distances from here on.
  bf16_rows_ = LargeBuffer();
  bf16_stride_ = 0;
  int8_rows_ = LargeBuffer();
  int8_factors_ = {};
  int8_stride_ = 0;
}

float PointStore::distance_to(const QueryPoint& q, NodeId node) const {
  const float dot = dot_in_order(q.data, row(node), std::min(q.length, length(node)));
  return distance_from_parts(dot, q.norm, norms_[node]);
}

void PointStore::distances_to(const QueryPoint& q, const NodeId* ids, std::size_t count, float* out) const {
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
      prefetch_row(rows[j], uniform_length_);
    }
    dot_batch(q.data, rows.data(), batch, uniform_length_, dots.data());
    for (std::size_t j = 0; j < batch; ++j) {
      out[start + j] = distance_from_parts(dots[j], q.norm, norms_[ids[start + j]]);
    }
  }
}

bool PointStore::estimate_bounds(const QueryPoint& q, NodeId node, DistanceBounds& bounds) const {
  if (!is_well_scaled(q.norm) || !is_well_scaled(norms_[node])) return false;
  const std::size_t common = std::min(q.length, length(node));
  const float dot = dot_estimate(q.data, row(node), common);
  bounds = bounds_from_estimate(dot, q.norm * norms_[node], estimate_margin(common));
  return true;
}

bool PointStore::distance_below(const QueryPoint& q, NodeId node, float threshold) const {
  DistanceBounds bounds;
  if (threshold == threshold && estimate_bounds(q, node, bounds)) {
    if (bounds.high < threshold) return true;
    if (bounds.low >= threshold) return false;
  }
  return distance_less(distance_to(q, node), threshold);
}

bool PointStore::any_below(const QueryPoint& q, const NodeId* ids, std::size_t count, float threshold) const {
  if (threshold != threshold || !is_well_scaled(q.norm) || !uniform_ || q.length != uniform_length_) {
    for (std::size_t j = 0; j < count; ++j) {
      if (distance_below(q, ids[j], threshold)) return true;
    }
    return false;
  }
  // Small batches: the answer is often found among the first few ids, and
  // estimates past it are wasted.
  constexpr std::size_t kBatch = 8;
  std::array<const float*, kBatch> rows;
  std::array<float, kBatch> dots;
  const double margin = estimate_margin(uniform_length_);
  for (std::size_t start = 0; start < count; start += kBatch) {
    const std::size_t batch = std::min(kBatch, count - start);
    for (std::size_t j = 0; j < batch; ++j) rows[j] = row(ids[start + j]);
    dot_estimates(q.data, rows.data(), batch, uniform_length_, dots.data());
    for (std::size_t j = 0; j < batch; ++j) {
      const NodeId id = ids[start + j];
      if (is_well_scaled(norms_[id])) {
        const DistanceBounds bounds = bounds_from_estimate(dots[j], q.norm * norms_[id], margin);
        if (bounds.high < threshold) return true;
        if (bounds.low >= threshold) continue;
      }
      if (distance_less(distance_to(q, id), threshold)) return true;
    }
  }
  return false;
}

std::size_t PointStore::drop_certainly_above(const QueryPoint& q, float bar, NodeId* ids, std::size_t count) const {
  if (!(bar >= 0.0f) || !is_well_scaled(q.norm)) return count;
  constexpr std::size_t kBatch = 64;
  std::array<const float*, kBatch> rows;
  std::array<float, kBatch> dots;
  std::size_t left = 0;
  for (std::size_t start = 0; start < count; start += kBatch) {
    const std::size_t batch = std::min(kBatch, count - start);
    bool same_length = true;
    for (std::size_t j = 0; j < batch; ++j) {
      rows[j] = row(ids[start + j]);
      prefetch_row(rows[j], q.length);
      same_length = same_length && length(ids[start + j]) == q.length;
    }
    if (!same_length) {
      for (std::size_t j = 0; j < batch; ++j) ids[left++] = ids[start + j];
      continue;
    }
    dot_estimates(q.data, rows.data(), batch, q.length, dots.data());
    const double margin = estimate_margin(q.length);
    for (std::size_t j = 0; j < batch; ++j) {
      const NodeId id = ids[start + j];
      if (is_well_scaled(norms_[id])) {
        const float norm_product = q.norm * norms_[id];
        const double low = 1.0 - static_cast<double>(dots[j]) / norm_product - margin;
        // The clamped distance exceeds the bar exactly when `low` does, for a
        // bar in [0, 2).
        if (low > bar && bar < 2.0f) continue;
      }
      ids[left++] = id;
    }
  }
  return left;
}

float PointStore::query_decision_bound(const QueryPoint& q) const {
  if (!has_int8_rows()) return decision_bound_;
  return static_cast<float>(int8_pair_bound(std::max(largest_int8_scale_, static_cast<double>(q.int8_factor)),
                                            std::max(largest_int8_l1_, q.int8_l1), uniform_length_));
}

void PointStore::decision_distances_to(const QueryPoint& q, const NodeId* ids, std::size_t count, float* out) const {
  if (!uniform_ || q.length != uniform_length_ || !is_well_scaled(q.norm)) {
    distances_to(q, ids, count, out);
    return;
  }
  const bool from_stored = q.node != kEmptySlot;
  if (has_int8_rows() && from_stored) {
    int8_decision_distances(q, int8_row(q.node), int8_factors_[q.node], pair_decision_bound_, ids, count, out);
  } else if (has_int8_rows() && q.int8 != nullptr) {
    int8_decision_distances(q, q.int8, q.int8_factor, query_decision_bound(q), ids, count, out);
  } else if (has_bf16_rows()) {
    bf16_decision_distances(q, ids, count, out);
  } else {
    distances_to(q, ids, count, out);
  }
}

void PointStore::bf16_decision_distances(const QueryPoint& q, const NodeId* ids, std::size_t count, float* out) const {
  const bool from_stored = q.node != kEmptySlot;
  const float bound = from_stored ? pair_decision_bound_ : decision_bound_;
  constexpr std::size_t kBatch = 64;
  std::array<const std::uint16_t*, kBatch> rows;
  std::array<float, kBatch> dots;
  for (std::size_t start = 0; start < count; start += kBatch) {
    const std::size_t batch = std::min(kBatch, count - start);
    // The kernels ask for each group's rows ahead of scoring them.
    for (std::size_t j = 0; j < batch; ++j) rows[j] = bf16_row(ids[start + j]);
    if (from_stored) {
      bf16_pair_dots(bf16_row(q.node), rows.data(), batch, uniform_length_, dots.data());
    } else if (q.high != nullptr) {
      bf16_split_dots(q.high, q.low, rows.data(), batch, uniform_length_, dots.data());
    } else {
      bf16_dots(q.data, rows.data(), batch, uniform_length_, dots.data());
    }
    static_assert(kBatch <= ExactLater::kCapacity);
    ExactLater exact;
    for (std::size_t j = 0; j < batch; ++j) {
      const NodeId id = ids[start + j];
      out[start + j] = distance_from_parts(dots[j], q.norm, norms_[id]);
      if (!is_well_scaled(norms_[id]) || !(out[start + j] > bound)) exact.add(id, j);
    }
    exact.score(*this, q, out + start);
  }
}

void PointStore::int8_decision_distances(const QueryPoint& q, const std::int8_t* from, float from_factor, float bound,
                                         const NodeId* ids, std::size_t count, float* out) const {
  constexpr std::size_t kBatch = 64;
  std::array<const std::int8_t*, kBatch> rows;
  std::array<float, kBatch> factors;
  std::array<std::int32_t, kBatch> dots;
  for (std::size_t start = 0; start < count; start += kBatch) {
    const std::size_t batch = std::min(kBatch, count - start);
    // The kernel asks for each group's rows ahead of scoring them; the
    // factors are read first, so that their misses overlap its work.
    for (std::size_t j = 0; j < batch; ++j) {
      rows[j] = int8_row(ids[start + j]);
      factors[j] = int8_factors_[ids[start + j]];
    }
    int8_dots(from, rows.data(), batch, int8_stride_, dots.data());
    // The cosine is the integer sum times both rows' scale / norm. The sum
    // is symmetric and the factors multiply in either order to the same
    // bits: so is the distance. A loop without branches, which the compiler
    // turns into vector code.
    float* distances = out + start;
    for (std::size_t j = 0; j < batch; ++j) {
      float distance = 1.0f - static_cast<float>(dots[j]) * (from_factor * factors[j]);
      // Written as comparisons, not min/max, as in distance_from_parts.
      distance = distance < 0.0f ? 0.0f : distance;
      distance = distance > 2.0f ? 2.0f : distance;
      distances[j] = distance;
    }
    static_assert(kBatch <= ExactLater::kCapacity);
    ExactLater exact;
    for (std::size_t j = 0; j < batch; ++j) {
      // Factor 0: a row that is not well scaled.
      if (factors[j] == 0.0f || !(distances[j] > bound)) exact.add(ids[start + j], j);
    }
    exact.score(*this, q, distances);
  }
}

float PointStore::decision_distance_to(const QueryPoint& q, NodeId node) const {
  float distance;
  decision_distances_to(q, &node, 1, &distance);
  return distance;
}

bool PointStore::any_decided_below(const QueryPoint& q, const NodeId* ids, std::size_t count, float threshold) const {
  // The answer is often found among the first few ids, and every distance
  // past it is wasted; batches of 1, 2, 4 and then 8 ids keep the waste
  // small there and the kernel's rows overlapping further on.
  constexpr std::size_t kLargestBatch = 8;
  std::array<float, kLargestBatch> distances;
  std::size_t batch_size = 1;
  for (std::size_t start = 0; start < count; start += batch_size) {
    if (start > 0) batch_size = std::min(kLargestBatch, 2 * batch_size);
    const std::size_t batch = std::min(batch_size, count - start);
    decision_distances_to(q, ids + start, batch, distances.data());
    for (std::size_t j = 0; j < batch; ++j) {
      if (distance_less(distances[j], threshold)) return true;
    }
  }
  return false;
}

}  // namespace sorvid::hnsw
