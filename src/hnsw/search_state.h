// SearchState: the scratch state of one graph walk, and the walking steps that
// construction and queries share.
//
// A walk looks for the nodes nearest to a point q. `results` holds the best
// nodes found so far in ScoredNode order (at most `width` of them between
// expansions); `frontier` is a min-heap of found nodes still to expand; a node
// is visited in the current walk when its mark equals `generation`.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "hnsw/aligned_floats.h"
#include "hnsw/hit.h"
#include "hnsw/neighbour_list.h"
#include "hnsw/node_id.h"
#include "hnsw/point_store.h"
#include "hnsw/scored_node.h"
#include "hnsw/walk_distances.h"

namespace sorvid::hnsw {

class SearchState {
 public:
  // The last generation before the mark array is wiped and counting restarts.
  static constexpr std::uint8_t kLastGeneration = 249;

  // A fresh state: no marks, generation 1, width 1, empty lists.
  SearchState() = default;
  // A fresh state whose mark array already holds `node_count` zero marks.
  explicit SearchState(std::size_t node_count);

  // From now on, keeps the exact distance of every node this state scores,
  // for walk_distances(). Builds use it; queries do not pay for it.
  void record_distances();
  // The distances the current walk has computed, valid until the state
  // changes; `walked_for` is the node whose point the walk looked for.
  WalkDistances walk_distances(NodeId walked_for) const;

  // Starts a new generation, wiping the marks once in 249 calls.
  void clear_marks();
  // clear_marks, then empties every list; the width stays.
  void reset();
  // Makes the mark array exactly `node_count` long; new marks read unvisited.
  void size_marks(std::size_t node_count);

  // Scores `node` against q unless already visited, and keeps it when it
  // ranks within the width.
  void visit(NodeId node, const PointStore& points, const QueryPoint& q);
  // The best-first walk over one layer. `links` provides
  // read_list(node, max_links, out) -> count and prefetch_list(node); at most
  // `max_links` slots of a list are read.
  template <class Links>
  void expand_layer(const Links& links, const PointStore& points, const QueryPoint& q, std::size_t max_links);

  // Between layers: the results become the frontier and the only visited
  // nodes of a new generation.
  void narrow();

  // Chooses q's neighbours among the results by the neighbour selection
  // (neighbour_selection.h); the results stay as they are.
  void select_neighbours(const PointStore& points);
  // The last selection's list.
  const NeighbourList& neighbours() const { return neighbours_; }

  std::size_t width() const { return width_; }
  void set_width(std::size_t width) { width_ = width; }
  std::span<const ScoredNode> results() const { return results_; }
  std::uint8_t generation() const { return generation_; }
  std::span<const std::uint8_t> marks() const { return marks_; }
  bool is_visited(NodeId node) const { return marks_[node] == generation_; }
  std::size_t frontier_size() const { return frontier_.size(); }

  // Copies a query into the state's aligned buffer and measures its norm; the
  // returned point is valid until the next call.
  QueryPoint load_query(std::span<const float> query);
  // Where a query's hits are kept, so they outlive the call that found them.
  std::vector<Hit>& hits() { return hits_; }

 private:
  // Puts a scored node into the results and the frontier if it ranks within
  // the width (the results may exceed the width until the expansion ends).
  void offer(ScoredNode scored);
  ScoredNode pop_frontier();
  // Marks the unvisited ids among `ids` and offers them in order.
  void visit_list(const NodeId* ids, std::size_t count, const PointStore& points, const QueryPoint& q);
  // Drops from the first `fresh` fresh ids those that certainly rank beyond
  // the width; returns how many are left.
  std::size_t drop_certain_misses(std::size_t fresh, const PointStore& points, const QueryPoint& q);

  // Records a scored node's distance (or kUnknown) when recording is on.
  void record(NodeId node, float distance) {
    if (recorded_distances_) recorded_distances_[node] = distance;
  }

  std::vector<std::uint8_t> marks_;
  // One per mark when recording; read only where the mark is current.
  std::unique_ptr<float[]> recorded_distances_;
  std::uint8_t generation_ = 1;
  std::vector<ScoredNode> frontier_;
  std::vector<ScoredNode> results_;
  std::size_t width_ = 1;
  NeighbourList neighbours_;

  // Working space of one expansion, sized for the longest list.
  std::array<NodeId, kBaseLinks> link_buffer_;
  std::array<NodeId, kBaseLinks + 1> fresh_ids_;
  std::array<float, kBaseLinks + 1> fresh_distances_;

  AlignedFloats query_buffer_;
  std::vector<Hit> hits_;
};

template <class Links>
void SearchState::expand_layer(const Links& links, const PointStore& points, const QueryPoint& q,
                               std::size_t max_links) {
  while (!frontier_.empty()) {
    const ScoredNode nearest = pop_frontier();
    // Equal distances do not stop the walk; NaN is farther than any number.
    if (!results_.empty() && distance_less(results_.back().distance, nearest.distance)) break;
    const std::size_t count = links.read_list(nearest.node, max_links, link_buffer_.data());
    visit_list(link_buffer_.data(), count, points, q);
    if (results_.size() > width_) results_.resize(width_);
    // The next node to expand is the heap's top or, soon after, one of its
    // two children: ask for their lists while the heap work goes on.
    for (std::size_t i = 0; i < frontier_.size() && i < 3; ++i) links.prefetch_list(frontier_[i].node);
  }
}

}  // namespace sorvid::hnsw
