// FoundNodes: the nodes one walk has found, ranked as results and queued as
// the frontier still to expand.
//
// `results` holds the best nodes found so far in ScoredNode order: at most
// `width` of them whenever an expansion step ends (offers may overfill it in
// between). The frontier is a min-heap of found nodes still to expand; a node
// enters it when it enters the results, or, offered for routing only (a
// removed node: walked through, never returned), when it would have.
#pragma once

#include <algorithm>
#include <cstddef>
#include <span>
#include <vector>

#include "hnsw/scored_node.h"

namespace sorvid::hnsw {

class FoundNodes {
 public:
  std::size_t width() const { return width_; }
  void set_width(std::size_t width) { width_ = width; }
  // Empties the results and the frontier; the width stays.
  void clear() {
    frontier_.clear();
    results_.clear();
  }

  // Takes a newly scored node into the frontier alone when it would rank
  // within the width.
  void offer_for_routing(ScoredNode scored) {
    if (width_ == 0) return;
    if (is_full() && last_counted() < scored) return;
    const auto position = std::lower_bound(results_.begin(), results_.end(), scored);
    if (static_cast<std::size_t>(position - results_.begin()) >= width_) return;
    frontier_.push_back(scored);
    std::push_heap(frontier_.begin(), frontier_.end(), SortsAfter{});
  }
  // Removes the results for which `drop(node)` holds; the frontier keeps them.
  template <class Drop>
  void drop_results_if(Drop drop) {
    std::erase_if(results_, [&](const ScoredNode& result) { return drop(result.node); });
  }

  // Takes a newly scored node into the results and the frontier when it
  // ranks within the width.
  void offer(ScoredNode scored) {
    if (width_ == 0) return;
    // Fast rejection: with `width` results already ahead of it, the node's
    // position is at least the width. Nodes are distinct, so no ties.
    if (is_full() && last_counted() < scored) return;
    const auto position = std::lower_bound(results_.begin(), results_.end(), scored);
    if (static_cast<std::size_t>(position - results_.begin()) >= width_) return;
    results_.insert(position, scored);
    frontier_.push_back(scored);
    std::push_heap(frontier_.begin(), frontier_.end(), SortsAfter{});
  }
  // Whether `width` results (at least one) are in, so that a new node is
  // taken only if it sorts before last_counted().
  bool is_full() const { return width_ > 0 && results_.size() >= width_; }
  // The last result that counts; only when full.
  const ScoredNode& last_counted() const { return results_[width_ - 1]; }

  bool frontier_empty() const { return frontier_.empty(); }
  std::size_t frontier_size() const { return frontier_.size(); }
  // The frontier in heap order: the nearest first, its two children next.
  std::span<const ScoredNode> frontier() const { return frontier_; }
  // Removes and returns the nearest node still to expand.
  ScoredNode pop_nearest() {
    std::pop_heap(frontier_.begin(), frontier_.end(), SortsAfter{});
    const ScoredNode nearest = frontier_.back();
    frontier_.pop_back();
    return nearest;
  }
  // Whether `nearest` is farther than every result, which ends a walk.
  // Equal distances do not end it; NaN is farther than any number.
  bool beyond_results(const ScoredNode& nearest) const {
    return !results_.empty() && distance_less(results_.back().distance, nearest.distance);
  }
  // Drops the results past the width, at the end of an expansion step.
  void trim_to_width() {
    if (results_.size() > width_) results_.resize(width_);
  }
  // Between layers: every result goes back on the frontier.
  void restart_from_results() {
    // Ascending results already satisfy the min-heap property.
    frontier_.assign(results_.begin(), results_.end());
  }

  std::span<const ScoredNode> results() const { return results_; }
  // Gives result i the distance distances[i] and orders the results again;
  // the frontier is left as it was.
  void rescore_results(std::span<const float> distances) {
    for (std::size_t i = 0; i < results_.size(); ++i) results_[i].distance = distances[i];
    std::sort(results_.begin(), results_.end());
  }

 private:
  std::vector<ScoredNode> frontier_;
  std::vector<ScoredNode> results_;
  std::size_t width_ = 1;
};

}  // namespace sorvid::hnsw
