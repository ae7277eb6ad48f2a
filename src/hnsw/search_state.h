// SearchState: the scratch state of one graph walk, and the walking steps that
// construction and queries share.
//
// A walk looks for the nodes nearest to a point q. It is made of parts with
// one job each: the visit marks (which nodes this walk has scored), the found
// nodes (the results ranked within the width, and the frontier still to
// expand), the prepared query, and the neighbour list that the selection
// makes from the results. A state serves one walk at a time and is reused
// from walk to walk without allocating again.
//
// A walk decides by the distances its Decisions name (decisions.h; fast
// ones unless told otherwise): those rank the results and the frontier,
// end the walk and choose neighbours. score_results_exactly() then gives the
// results their exact distances and orders them by those.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "hnsw/decisions.h"
#include "hnsw/found_nodes.h"
#include "hnsw/hit.h"
#include "hnsw/neighbour_list.h"
#include "hnsw/node_id.h"
#include "hnsw/point_store.h"
#include "hnsw/prepared_query.h"
#include "hnsw/scored_node.h"
#include "hnsw/visit_marks.h"
#include "hnsw/walk_distances.h"

namespace sorvid::hnsw {

class SearchState {
 public:
  // A fresh state: no marks, generation 1, width 1, empty lists.
  SearchState() = default;
  // A fresh state whose mark array already holds `node_count` zero marks.
  explicit SearchState(std::size_t node_count) : marks_(node_count) {}

  // Which distances the walks of this state decide by, until changed.
  void set_decisions(Decisions decisions) { decisions_ = decisions; }
  Decisions decisions() const { return decisions_; }

  // From now on, keeps the decision distance of every node this state scores,
  // for walk_distances(). Builds use it; queries do not pay for it.
  void record_distances() { marks_.record_distances(); }
  // The distances the current walk has computed, valid until the state
  // changes; `walked_for` is the node whose point the walk looked for.
  WalkDistances walk_distances(NodeId walked_for) const { return marks_.walk_distances(walked_for); }

  // Starts a new walk: a new generation of marks and empty results and
  // frontier; the width stays; no node is excluded.
  void reset();
  // From now on until reset(), nodes whose flag is set (flags[node] != 0,
  // one per node) are walked through but never kept as results: they enter
  // the frontier alone, those among the results now leave them, and the walk
  // goes on until `width` results are in or the frontier runs dry.
  void exclude_flagged(const std::uint8_t* flags);
  // Makes the mark array exactly `node_count` long; new marks read unvisited.
  void size_marks(std::size_t node_count) { marks_.resize(node_count); }
  // Copies a query into the state's aligned buffer and measures its norm; the
  // returned point is valid until the next call.
  QueryPoint load_query(std::span<const float> query) { return query_.load(query); }

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
  // (neighbour_selection.h); the results stay as they are. With fast
  // decisions q must be a stored point (PointStore::query_for), whose
  // decision distances the selection's pairs are decided in.
  void select_neighbours(const PointStore& points);
  // After a walk: the first `count` results in walk order are kept (all of
  // them by default), each gets its exact distance to q, and they are
  // ordered by those.
  void score_results_exactly(const PointStore& points, const QueryPoint& q,
                             std::size_t count = static_cast<std::size_t>(-1));

  std::size_t width() const { return found_.width(); }
  void set_width(std::size_t width) { found_.set_width(width); }
  std::span<const ScoredNode> results() const { return found_.results(); }
  // The last selection's list.
  const NeighbourList& neighbours() const { return neighbours_; }
  bool is_visited(NodeId node) const { return marks_.is_visited(node); }
  std::size_t frontier_size() const { return found_.frontier_size(); }
  // Where a query's hits are kept, so they outlive the call that found them.
  std::vector<Hit>& hits() { return hits_; }

 private:
  // Marks the unvisited ids among `ids` and offers them in order.
  void visit_list(const NodeId* ids, std::size_t count, const PointStore& points, const QueryPoint& q);
  // Drops from the first `fresh` fresh ids those that certainly rank beyond
  // the width; returns how many are left.
  std::size_t drop_certain_misses(std::size_t fresh, const PointStore& points, const QueryPoint& q);

  // Offers a scored node to the results, or to the frontier alone when
  // excluded.
  void offer(ScoredNode scored) {
    if (excluded_ != nullptr && excluded_[scored.node] != 0) {
      found_.offer_for_routing(scored);
    } else {
      found_.offer(scored);
    }
  }
  // Whether popping `nearest` ends the walk: it is farther than every result
  // and, while nodes are excluded, the results are full.
  bool walk_ends_at(const ScoredNode& nearest) const {
    return found_.beyond_results(nearest) && (excluded_ == nullptr || found_.is_full());
  }

  // The decision distance of `node`, or the exact one (see decisions_).
  float decision_distance(NodeId node, const PointStore& points, const QueryPoint& q) const {
    return decisions_ == Decisions::kFast ? points.decision_distance_to(q, node) : points.distance_to(q, node);
  }

  Decisions decisions_ = Decisions::kFast;
  VisitMarks marks_;
  FoundNodes found_;
  const std::uint8_t* excluded_ = nullptr;
  PreparedQuery query_;
  NeighbourList neighbours_;
  std::vector<Hit> hits_;

  // Working space of one expansion, sized for the longest list.
  std::array<NodeId, kBaseLinks> link_buffer_;
  std::array<NodeId, kBaseLinks> fresh_ids_;
  std::array<float, kBaseLinks> fresh_distances_;
  // Working space of score_results_exactly, as long as the widest walk.
  std::vector<NodeId> result_ids_;
  std::vector<float> result_distances_;
};

template <class Links>
void SearchState::expand_layer(const Links& links, const PointStore& points, const QueryPoint& q,
                               std::size_t max_links) {
  while (!found_.frontier_empty()) {
    const ScoredNode nearest = found_.pop_nearest();
    if (walk_ends_at(nearest)) break;
    const std::size_t count = links.read_list(nearest.node, max_links, link_buffer_.data());
    visit_list(link_buffer_.data(), count, points, q);
    found_.trim_to_width();
    // The next node to expand is the heap's top or, soon after, one of its
    // two children: ask for their lists while the heap work goes on.
    const std::span<const ScoredNode> frontier = found_.frontier();
    for (std::size_t i = 0; i < frontier.size() && i < 3; ++i) links.prefetch_list(frontier[i].node);
  }
}

}  // namespace sorvid::hnsw
