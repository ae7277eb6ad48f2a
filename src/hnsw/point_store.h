// PointStore: the points of an index, each a row lent by the caller (see
// point_views.h), with its norm computed once and a bfloat16 copy for
// decision distances.
//
// The store keeps a pointer to each row, not a copy: the caller's rows must
// stay valid and unchanged for as long as the store (and so the index) lives.
// A norm is the same computation whenever it is made, so computing it once
// per point gives the very bits that recomputing it at every distance would.
// Points normally share one length; entries loaded unchecked from a snapshot
// may not, and then every distance takes the scalar path that handles any
// pair of lengths. Rows are only ever added, between walks (never during
// one).
//
// A row is its point as cosine_distance scores it: a point whose sum of
// squares underflows is scored scaled by 2^underflow_scale (see
// cosine_distance.h), so for such a point (rare: every value tiny) the store
// keeps a scaled copy of its own, with the copy's norm, and the row is that
// copy. Every path then scores it exactly as the definition does, and
// estimates see a well-scaled point.
//
// While all rows share one length, each row also has a bfloat16 copy
// (bf16_rows.h) for decision distances: the distances walks, prunings and
// neighbour selections decide by. They are within decision_bound(length) of
// the exact distance and are never returned to a caller.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "hnsw/large_buffer.h"
#include "hnsw/node_id.h"
#include "hnsw/point_views.h"

namespace sorvid::hnsw {

// The point a walk searches for: a query or a stored point, with its norm.
// `node` names the stored point it is (kEmptySlot for a query): decision
// distances from a stored point then read its own copies too. A query may
// come split in two bfloat16 parts as well (bf16_rows.h; both null when it
// does not), which its decision distances then read.
struct QueryPoint {
  const float* data = nullptr;
  std::size_t length = 0;
  float norm = 0.0f;
  NodeId node = kEmptySlot;
  const std::uint16_t* high = nullptr;
  const std::uint16_t* low = nullptr;
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
  // Row j is points[order[j]], lent (see above).
  PointStore(PointViews points, std::span<const NodeId> order);

  // Appends `points`, lent, as rows size(), size() + 1, ...
  void append(PointViews points);
  // From now on keeps eight-bit copies of every row (int8_rows.h), for
  // decisions between stored points, which builds and insertions make; until
  // then those read both bfloat16 copies. An index that only answers queries
  // never pays for them. Throws std::bad_alloc, the store unchanged, when
  // the memory cannot be had.
  void keep_pair_copies();
  // Frees the eight-bit copies until keep_pair_copies() is called again
  // (which makes the very same copies): a finished build hands over an index
  // that may only answer queries.
  void drop_pair_copies();

  std::size_t size() const { return norms_.size(); }
  // The point as stored: scaled when its sum of squares underflows.
  std::span<const float> point(NodeId node) const { return {row(node), length(node)}; }
  float norm(NodeId node) const { return norms_[node]; }
  QueryPoint query_for(NodeId node) const { return {row(node), length(node), norms_[node], node}; }

  // cosine_distance(q, point of node).
  float distance_to(const QueryPoint& q, NodeId node) const;
  // out[j] = cosine_distance(q, point of ids[j]) for j < count.
  void distances_to(const QueryPoint& q, const NodeId* ids, std::size_t count, float* out) const;

  // Decision distances: cosine_distance(q, point of ids[j]) within
  // decision_bound(length) (bf16_rows.h), from the bfloat16 copies. From a
  // stored point (q.node set) they read both ends' eight-bit copies instead
  // (int8_rows.h; both bfloat16 copies without those) and lie within
  // pair_decision_bound(); they are then symmetric, bit for bit: the distance
  // from a to b is the distance from b to a, so a distance a build recorded
  // from one end stands for the other. The exact distance is used instead
  // where no copy applies (unequal lengths, a point or query not well scaled)
  // and where the decision distance lies within its bound of 0, so that
  // copies of one direction score exactly 0.
  void decision_distances_to(const QueryPoint& q, const NodeId* ids, std::size_t count, float* out) const;
  float decision_distance_to(const QueryPoint& q, NodeId node) const;
  // Whether the decision distance to some ids[j], j < count, sorts before
  // `threshold` in distance order.
  bool any_decided_below(const QueryPoint& q, const NodeId* ids, std::size_t count, float threshold) const;
  // The largest difference between a decision distance from a stored point
  // and the exact distance, over the rows stored so far: from the rows'
  // largest scale / norm and sum |x| / norm with eight-bit copies
  // (int8_rows.h), hnsw::pair_decision_bound(length) without them.
  float pair_decision_bound() const { return pair_decision_bound_; }

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
  // Appends rows for points[order[j]] (points[j] when `order` is null), j <
  // count.
  void add_rows(PointViews points, const NodeId* order, std::size_t count);
  // Appends one row, whose point_norm is `norm`: the point itself, or a
  // scaled copy when it underflows.
  void add_row(std::span<const float> point, float norm);
  // Leaves the one-length layout: every row gets its own length.
  void switch_to_lengths();
  // Makes the eight-bit copies of rows [first, end) and widens the pair bound.
  void add_int8_rows(std::size_t first, std::size_t end);
  // decision_distances_to for a stored point q with eight-bit copies.
  void pair_decision_distances(const QueryPoint& q, const NodeId* ids, std::size_t count, float* out) const;

  const float* row(NodeId node) const { return rows_[node]; }
  std::size_t length(NodeId node) const { return uniform_ ? uniform_length_ : lengths_[node]; }
  const std::uint16_t* decision_row(NodeId node) const {
    return static_cast<const std::uint16_t*>(decision_rows_.data()) + std::size_t{node} * decision_stride_;
  }
  bool has_decision_rows() const { return uniform_ && decision_stride_ > 0; }
  bool keeps_int8_rows() const { return keeps_pair_copies_ && uniform_ && int8_stride_ > 0; }
  const std::int8_t* int8_row(NodeId node) const {
    return static_cast<const std::int8_t*>(int8_rows_.data()) + std::size_t{node} * int8_stride_;
  }

  // Row j's first float: the caller's, or one of scaled_rows_.
  std::vector<const float*> rows_;
  std::vector<float> norms_;
  // The copies of points scored scaled; rows_ points into them. Each copy
  // stays where it is while the store lives, moves included.
  std::vector<std::unique_ptr<float[]>> scaled_rows_;
  // All points have uniform_length_ floats; otherwise row j has lengths_[j].
  bool uniform_ = true;
  std::size_t uniform_length_ = 0;
  std::vector<std::size_t> lengths_;
  // The bfloat16 copies, row j at j * decision_stride_ values; only while
  // uniform_ (decision_stride_ 0 otherwise).
  LargeBuffer decision_rows_;
  std::size_t decision_stride_ = 0;
  // decision_bound of uniform_length_.
  float decision_bound_ = 0.0f;
  // The eight-bit copies (int8_rows.h), row j at j * int8_stride_ bytes, and
  // each copy's scale divided by its row's norm (0 for rows that are not
  // well scaled, whose copies are zeros); only while uniform_ and the rows
  // are short enough for exact integer sums (int8_stride_ 0 otherwise), and
  // once keep_pair_copies() was called.
  bool keeps_pair_copies_ = false;
  LargeBuffer int8_rows_;
  std::vector<float> int8_factors_;
  std::size_t int8_stride_ = 0;
  // Over the well-scaled rows so far: the largest scale / norm and sum |x| /
  // norm, and the pair bound they give.
  double largest_int8_scale_ = 0.0;
  double largest_int8_l1_ = 0.0;
  float pair_decision_bound_ = 0.0f;
};

}  // namespace sorvid::hnsw
