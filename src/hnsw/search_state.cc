#include "hnsw/search_state.h"

#include <algorithm>
#include <cstring>

#include "hnsw/cosine_distance.h"
#include "hnsw/neighbour_selection.h"

namespace sorvid::hnsw {

SearchState::SearchState(std::size_t node_count) : marks_(node_count, 0) {}

void SearchState::record_distances() {
  // Left unfilled: a slot is written whenever its node is marked, and read
  // only while the mark is current.
  recorded_distances_ = std::make_unique_for_overwrite<float[]>(marks_.size());
}

WalkDistances SearchState::walk_distances(NodeId walked_for) const {
  if (!recorded_distances_) return {};
  return {marks_.data(), generation_, recorded_distances_.get(), walked_for};
}

void SearchState::clear_marks() {
  if (generation_ < kLastGeneration) {
    ++generation_;
    return;
  }
  std::fill(marks_.begin(), marks_.end(), std::uint8_t{0});
  generation_ = 1;
}

void SearchState::reset() {
  clear_marks();
  frontier_.clear();
  results_.clear();
}

void SearchState::size_marks(std::size_t node_count) {
  if (recorded_distances_ && node_count != marks_.size()) {
    auto resized = std::make_unique_for_overwrite<float[]>(node_count);
    std::copy_n(recorded_distances_.get(), std::min(node_count, marks_.size()), resized.get());
    recorded_distances_ = std::move(resized);
  }
  // generation - 1 is never the current generation: not visited.
  marks_.resize(node_count, static_cast<std::uint8_t>(generation_ - 1));
}

void SearchState::visit(NodeId node, const PointStore& points, const QueryPoint& q) {
  if (marks_[node] == generation_) return;
  marks_[node] = generation_;
  const float distance = points.distance_to(q, node);
  record(node, distance);
  offer({distance, node});
}

void SearchState::visit_list(const NodeId* ids, std::size_t count, const PointStore& points, const QueryPoint& q) {
  // Scoring does not depend on the results, so the unvisited ids are scored
  // together and then offered in slot order, exactly as one visit per slot.
  std::size_t fresh = 0;
  for (std::size_t i = 0; i < count; ++i) {
    const NodeId id = ids[i];
    if (marks_[id] == generation_) continue;
    marks_[id] = generation_;
    fresh_ids_[fresh++] = id;
  }
  if (results_.size() >= width_ && width_ > 0) {
    if (recorded_distances_) {
      // Nodes dropped here are marked but never scored exactly.
      for (std::size_t j = 0; j < fresh; ++j) record(fresh_ids_[j], WalkDistances::kUnknown);
    }
    fresh = drop_certain_misses(fresh, points, q);
  }
  points.distances_to(q, fresh_ids_.data(), fresh, fresh_distances_.data());
  for (std::size_t j = 0; j < fresh; ++j) {
    record(fresh_ids_[j], fresh_distances_[j]);
    offer({fresh_distances_[j], fresh_ids_[j]});
  }
}

std::size_t SearchState::drop_certain_misses(std::size_t fresh, const PointStore& points, const QueryPoint& q) {
  // With the results full, a node enters only if it sorts before the last
  // one that counts; offers during this expansion only lower that bar. A node
  // whose distance certainly lies above it would be scored only to be
  // dropped, so its exact distance is never needed.
  return points.drop_certainly_above(q, results_[width_ - 1].distance, fresh_ids_.data(), fresh);
}

void SearchState::offer(ScoredNode scored) {
  // Fast rejection: with `width` results already ahead of it, the node's
  // position is at least the width. Nodes are distinct, so no ties.
  if (results_.size() >= width_ && (width_ == 0 || results_[width_ - 1] < scored)) return;
  const auto position = std::lower_bound(results_.begin(), results_.end(), scored);
  if (static_cast<std::size_t>(position - results_.begin()) >= width_) return;
  results_.insert(position, scored);
  frontier_.push_back(scored);
  std::push_heap(frontier_.begin(), frontier_.end(), SortsAfter{});
}

ScoredNode SearchState::pop_frontier() {
  std::pop_heap(frontier_.begin(), frontier_.end(), SortsAfter{});
  const ScoredNode top = frontier_.back();
  frontier_.pop_back();
  return top;
}

void SearchState::narrow() {
  // Ascending results already satisfy the min-heap property.
  frontier_.assign(results_.begin(), results_.end());
  clear_marks();
  for (const ScoredNode& result : results_) marks_[result.node] = generation_;
}

void SearchState::select_neighbours(const PointStore& points) {
  hnsw::select_neighbours(results_, points, neighbours_);
}

QueryPoint SearchState::load_query(std::span<const float> query) {
  if (query_buffer_.size() < query.size()) query_buffer_ = AlignedFloats(query.size());
  if (!query.empty()) std::memcpy(query_buffer_.data(), query.data(), query.size() * sizeof(float));
  return {query_buffer_.data(), query.size(), point_norm(query)};
}

}  // namespace sorvid::hnsw
