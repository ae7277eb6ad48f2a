#include "hnsw/search_state.h"

#include "hnsw/neighbour_selection.h"

namespace sorvid::hnsw {

void SearchState::reset() {
  marks_.next_generation();
  found_.clear();
  excluded_ = nullptr;
}

void SearchState::exclude_flagged(const std::uint8_t* flags) {
  excluded_ = flags;
  found_.drop_results_if([flags](NodeId node) { return flags[node] != 0; });
}

void SearchState::visit(NodeId node, const PointStore& points, const QueryPoint& q) {
  if (!marks_.mark_visited(node)) return;
  const float distance = decision_distance(node, points, q);
  marks_.record(node, distance);
  offer({distance, node});
}

void SearchState::visit_list(const NodeId* ids, std::size_t count, const PointStore& points, const QueryPoint& q) {
  // Scoring does not depend on the results, so the unvisited ids are scored
  // together and then offered in slot order, exactly as one visit per slot.
  std::size_t fresh = 0;
  for (std::size_t i = 0; i < count; ++i) {
    // Written to the next slot either way and counted only when fresh: no
    // branch to mispredict.
    fresh_ids_[fresh] = ids[i];
    fresh += marks_.mark_visited(ids[i]) ? 1 : 0;
  }
  if (decisions_ == Decisions::kFast) {
    // A decision distance costs no more than an estimate would: no node is
    // dropped on one.
    points.decision_distances_to(q, fresh_ids_.data(), fresh, fresh_distances_.data());
    for (std::size_t j = 0; j < fresh; ++j) {
      marks_.record(fresh_ids_[j], fresh_distances_[j]);
      const ScoredNode scored{fresh_distances_[j], fresh_ids_[j]};
      if (!found_.turns_away(scored)) offer(scored);
    }
    return;
  }
  if (found_.is_full()) {
    if (marks_.is_recording()) {
      // Nodes dropped here are marked but never scored exactly.
      for (std::size_t j = 0; j < fresh; ++j) marks_.record(fresh_ids_[j], WalkDistances::kUnknown);
    }
    fresh = drop_certain_misses(fresh, points, q);
  }
  points.distances_to(q, fresh_ids_.data(), fresh, fresh_distances_.data());
  for (std::size_t j = 0; j < fresh; ++j) {
    marks_.record(fresh_ids_[j], fresh_distances_[j]);
    offer({fresh_distances_[j], fresh_ids_[j]});
  }
}

std::size_t SearchState::drop_certain_misses(std::size_t fresh, const PointStore& points, const QueryPoint& q) {
  // With the results full, a node enters only if it sorts before the last
  // one that counts; offers during this expansion only lower that bar. A node
  // whose distance certainly lies above it would be scored only to be
  // dropped, so its exact distance is never needed.
  return points.drop_certainly_above(q, found_.last_counted().distance, fresh_ids_.data(), fresh);
}

void SearchState::narrow() {
  found_.restart_from_results();
  marks_.next_generation();
  for (const ScoredNode& result : found_.results()) marks_.mark_visited(result.node);
}

void SearchState::select_neighbours(const PointStore& points) {
  hnsw::select_neighbours(found_.results(), points, neighbours_, decisions_);
}

void SearchState::score_results_exactly(const PointStore& points, const QueryPoint& q, std::size_t count) {
  if (count < found_.results().size()) found_.set_width(count);
  if (decisions_ == Decisions::kExact) return;
  const std::span<const ScoredNode> results = found_.results();
  result_ids_.resize(results.size());
  result_distances_.resize(results.size());
  for (std::size_t i = 0; i < results.size(); ++i) result_ids_[i] = results[i].node;
  points.distances_to(q, result_ids_.data(), result_ids_.size(), result_distances_.data());
  found_.rescore_results(result_distances_);
}

}  // namespace sorvid::hnsw
