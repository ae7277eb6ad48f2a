// PointStore: the points of an index, each a row lent by the caller (see
// point_views.h), with its norm computed once and a reduced-precision copy
// for decision distances.
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
// While all rows share one length, each row also has a copy for decision
// distances: the distances walks, prunings and neighbour selections decide
// by. The copy is eight-bit (int8_rows.h) for rows up to kLongestInt8Row
// values, bfloat16 (bf16_rows.h) for longer ones. Decision distances lie
// within a stated bound of the exact distance and are never returned to a
// caller.
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
// distances from a stored point then read its own copies too. A query
// brings the copy its decisions read against rows of its length (see
// PreparedQuery): an eight-bit copy with its scale / norm and sum |x| / norm,
// or for longer rows, where the processor scores them faster, two bfloat16
// parts (bf16_split_dots; without them its floats are scored against the
// rows' bfloat16 copies). A query without its eight-bit copy, where the rows
// have them, is decided by exact distances.
struct QueryPoint {
  const float* data = nullptr;
  std::size_t length = 0;
  float norm = 0.0f;
  NodeId node = kEmptySlot;
  const std::int8_t* int8 = nullptr;  // padded with zeros to whole cache lines
  float int8_factor = 0.0f;
  double int8_l1 = 0.0;
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
  // query_decision_bound(q), from the copies. From a stored point (q.node
  // set) they read both ends' copies and lie within pair_decision_bound();
  // they are then symmetric, bit for bit: the distance from a to b is the
  // distance from b to a, so a distance a build recorded from one end stands
  // for the other. The exact distance is used instead where no copy applies
  // (unequal lengths, a point or query not well scaled, a query without its
  // copy) and where the decision distance lies within its bound of 0, so
  // that copies of one direction score exactly 0.
  void decision_distances_to(const QueryPoint& q, const NodeId* ids, std::size_t count, float* out) const;
  float decision_distance_to(const QueryPoint& q, NodeId node) const;
  // Whether the decision distance to some ids[j], j < count, sorts before
  // `threshold` in distance order.
  bool any_decided_below(const QueryPoint& q, const NodeId* ids, std::size_t count, float threshold) const;
  // The largest difference between a decision distance from a stored point
  // and the exact distance, over the rows stored so far: from the rows'
  // largest scale / norm and sum |x| / norm with eight-bit copies
  // (int8_rows.h), hnsw::pair_decision_bound(length) with bfloat16 ones.
  float pair_decision_bound() const { return pair_decision_bound_; }
  // The same for decision distances from the query q: from its own scale and
  // sum as well with eight-bit copies, hnsw::decision_bound(length) with
  // bfloat16 ones.
  float query_decision_bound(const QueryPoint& q) const;

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
  // Makes the copies of rows [first, end): bfloat16 or eight-bit ones, and
  // then widens the pair bound.
  void add_bf16_rows(std::size_t first, std::size_t end);
  // l1s[j] receives row first + j's sum |x| / norm (0 for one not well
  // scaled).
  void add_int8_rows(std::size_t first, std::size_t end, double* l1s);
  // decision_distances_to from the eight-bit copy `from`, whose scale / norm
  // is from_factor, within `bound`; the exact distance where it is not
  // greater than `bound`.
  void int8_decision_distances(const QueryPoint& q, const std::int8_t* from, float from_factor, float bound,
                               const NodeId* ids, std::size_t count, float* out) const;
  // decision_distances_to from the bfloat16 copies.
  void bf16_decision_distances(const QueryPoint& q, const NodeId* ids, std::size_t count, float* out) const;

  const float* row(NodeId node) const { return rows_[node]; }
  std::size_t length(NodeId node) const { return uniform_ ? uniform_length_ : lengths_[node]; }
  const std::uint16_t* bf16_row(NodeId node) const {
    return static_cast<const std::uint16_t*>(bf16_rows_.data()) + std::size_t{node} * bf16_stride_;
  }
  bool has_bf16_rows() const { return uniform_ && bf16_stride_ > 0; }
  bool has_int8_rows() const { return uniform_ && int8_stride_ > 0; }
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
  // The bfloat16 copies, row j at j * bf16_stride_ values; only while
  // uniform_ and the rows are too long for eight-bit copies
  // (bf16_stride_ 0 otherwise).
  LargeBuffer bf16_rows_;
  std::size_t bf16_stride_ = 0;
  // decision_bound of uniform_length_.
  float decision_bound_ = 0.0f;
  // The eight-bit copies (int8_rows.h), row j at j * int8_stride_ bytes, and
  // each copy's scale divided by its row's norm (0 for rows that are not
  // well scaled, whose copies are zeros); only while uniform_ and the rows
  // are short enough for exact integer sums (int8_stride_ 0 otherwise).
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
