// PointStore: the points of an index in one contiguous aligned array, with
// each point's norm computed once.
//
// A norm is the same computation whenever it is made, so computing it once
// per point gives the very bits that recomputing it at every distance would.
// Points normally share one length; entries loaded unchecked from a snapshot
// may not, and then every distance takes the scalar path that handles any
// pair of lengths. Rows are only ever added, between walks (never during
// one): a row's address may change then.
//
// A row holds its point as cosine_distance scores it: a point whose sum of
// squares underflows is stored scaled by 2^underflow_scale (see
// cosine_distance.h), with the scaled copy's norm. Every path then scores it
// exactly as the definition does, and estimates see a well-scaled point.
//
// While all rows share one length, each row also has a bfloat16 copy
// (bf16_rows.h) for decision distances: the distances walks, prunings and
// neighbour selections decide by. They are within decision_bound(length) of
// the exact distance and are never returned to a caller.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "hnsw/aligned_floats.h"
#include "hnsw/large_buffer.h"
#include "hnsw/node_id.h"
#include "hnsw/point_views.h"

namespace sorvid::hnsw {

// The point a walk searches for: a query or a stored point, with its norm.
struct QueryPoint {
  const float* data = nullptr;
  std::size_t length = 0;
  float norm = 0.0f;
};

// Whether a point with this norm is safe for distance estimates: its norm is
// a number in [2^-30, 2^30], so all its elements are finite and no product or
// sum of the dot product overflows, and underflow costs a negligible absolute
// error.
inline bool is_well_scaled(float norm) { return norm >= 0x1.0p-30f && norm <= 0x1.0p30f; }

// Bounds on a distance: the exact value lies in [low, high].
struct DistanceBounds {
  double low;
  double high;
};

class PointStore {
 public:
  PointStore() = default;
  // Row j is a copy of points[order[j]].
  PointStore(PointViews points, std::span<const NodeId> order);

  // Appends copies of `points` as rows size(), size() + 1, ...
  void append(PointViews points);

  std::size_t size() const { return norms_.size(); }
  // The point as stored: scaled when its sum of squares underflows.
  std::span<const float> point(NodeId node) const { return {row(node), length(node)}; }
  float norm(NodeId node) const { return norms_[node]; }
  QueryPoint query_for(NodeId node) const { return {row(node), length(node), norms_[node]}; }

  // cosine_distance(q, point of node).
  float distance_to(const QueryPoint& q, NodeId node) const;
  // out[j] = cosine_distance(q, point of ids[j]) for j < count.
  void distances_to(const QueryPoint& q, const NodeId* ids, std::size_t count, float* out) const;

  // Decision distances: cosine_distance(q, point of ids[j]) within
  // decision_bound(length) (bf16_rows.h), from the bfloat16 copies. The
  // exact distance is used instead where no copy applies (unequal lengths, a
  // point or query not well scaled) and where the decision distance lies
  // within the bound of 0, so that copies of one direction score exactly 0.
  void decision_distances_to(const QueryPoint& q, const NodeId* ids, std::size_t count, float* out) const;
  float decision_distance_to(const QueryPoint& q, NodeId node) const;
  // Whether the decision distance to some ids[j], j < count, sorts before
  // `threshold` in distance order.
  bool any_decided_below(const QueryPoint& q, const NodeId* ids, std::size_t count, float threshold) const;

  // Bounds on cosine_distance(q, point of node) from a fast estimate of the
  // dot product, or false when either point is not well scaled.
  bool estimate_bounds(const QueryPoint& q, NodeId node, DistanceBounds& bounds) const;
  // Whether cosine_distance(q, point of node) sorts before `threshold` in
  // distance order (NaN greatest): decided by the estimate when its bounds
  // allow, by the exact distance otherwise, so always the exact answer.
  bool distance_below(const QueryPoint& q, NodeId node, float threshold) const;
  // Whether distance_below(q, ids[j], threshold) holds for some j < count;
  // the same answer, with the estimates made eight rows at a time.
  bool any_below(const QueryPoint& q, const NodeId* ids, std::size_t count, float threshold) const;
  // Removes from ids[0, count) the nodes whose distance to q is certainly
  // above `bar`, keeping the order of the rest; returns how many are left.
  std::size_t drop_certainly_above(const QueryPoint& q, float bar, NodeId* ids, std::size_t count) const;

 private:
  // Rows start at multiples of 16 floats, one cache line.
  static constexpr std::size_t kRowAlignment = 16;

  // Appends rows for points[order[j]] (points[j] when `order` is null), j <
  // count.
  void add_rows(PointViews points, const NodeId* order, std::size_t count);
  // Leaves the one-length layout: every row gets its offset and length.
  void switch_to_offsets();

  const float* row(NodeId node) const {
    return data_.data() + (uniform_ ? std::size_t{node} * stride_ : offsets_[node]);
  }
  std::size_t length(NodeId node) const { return uniform_ ? uniform_length_ : lengths_[node]; }
  const std::uint16_t* decision_row(NodeId node) const {
    return static_cast<const std::uint16_t*>(decision_rows_.data()) + std::size_t{node} * decision_stride_;
  }
  bool has_decision_rows() const { return uniform_ && decision_stride_ > 0; }

  AlignedFloats data_;
  std::vector<float> norms_;
  // All points have uniform_length_ floats, row j at j * stride_; otherwise
  // row j starts at offsets_[j] and has lengths_[j] floats.
  bool uniform_ = true;
  std::size_t uniform_length_ = 0;
  std::size_t stride_ = 0;
  std::vector<std::size_t> offsets_;
  std::vector<std::size_t> lengths_;
  // The bfloat16 copies, row j at j * decision_stride_ values; only while
  // uniform_ (decision_stride_ 0 otherwise).
  LargeBuffer decision_rows_;
  std::size_t decision_stride_ = 0;
  float decision_bound_ = 0.0f;
};

}  // namespace sorvid::hnsw
