// FoundNodes: the nodes one walk has found, ranked as results and queued as
// the frontier still to expand.
//
// The results are the best nodes offered so far in ScoredNode order, at most
// `width` of them. While a walk offers nodes they are kept as a max-heap, so
// that the worst one, which every offer is compared with, is on top and a
// better node replaces it in logarithmic time without shifting the rest;
// results() sorts them ascending when they are read, and the next offer turns
// them back into a heap (a descending array already is one). The frontier is
// a min-heap of found nodes still to expand; a node enters it when it enters
// the results, or, offered for routing only (a removed node: walked through,
// never returned), when it would have.
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
  // A smaller width drops the results past it at once.
  void set_width(std::size_t width) {
    width_ = width;
    if (results_.size() > width_) {
      sort_results();
      results_.resize(width_);
    }
  }
  // Empties the results and the frontier; the width stays.
  void clear() {
    frontier_.clear();
    results_.clear();
    sorted_ = true;
  }

  // Takes a newly scored node into the frontier alone when it would rank
  // within the width.
  void offer_for_routing(ScoredNode scored) {
    if (width_ == 0) return;
    if (is_full() && !(scored < last_counted())) return;
    push_frontier(scored);
  }
  // Removes the results for which `drop(node)` holds; the frontier keeps them.
  template <class Drop>
  void drop_results_if(Drop drop) {
    std::erase_if(results_, [&](const ScoredNode& result) { return drop(result.node); });
    if (!sorted_) std::make_heap(results_.begin(), results_.end());
  }

  // Takes a newly scored node into the results and the frontier when it
  // ranks within the width.
  void offer(ScoredNode scored) {
    if (width_ == 0) return;
    make_heap_of_results();
    if (results_.size() < width_) {
      results_.push_back(scored);
      std::push_heap(results_.begin(), results_.end());
    } else if (scored < results_.front()) {
      // Nodes are distinct, so no ties: the worst result leaves.
      replace_worst(scored);
    } else {
      return;
    }
    push_frontier(scored);
  }
  // Whether offer() and offer_for_routing() would both turn `scored` away:
  // the width is 0, or the results are full and it does not sort before the
  // last one that counts. Most nodes of a long walk are; checking first
  // spares them the call.
  bool turns_away(const ScoredNode& scored) const { return width_ == 0 || (is_full() && !(scored < last_counted())); }
  // Whether `width` results (at least one) are in, so that a new node is
  // taken only if it sorts before last_counted().
  bool is_full() const { return width_ > 0 && results_.size() >= width_; }
  // The worst result, the last one that counts; only when full.
  const ScoredNode& last_counted() const { return sorted_ ? results_.back() : results_.front(); }

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
    return !results_.empty() && distance_less(last_counted().distance, nearest.distance);
  }
  // Kept for the walk's step structure: results never exceed the width.
  void trim_to_width() {}
  // Between layers: every result goes back on the frontier.
  void restart_from_results() {
    sort_results();
    // Ascending results already satisfy the min-heap property.
    frontier_.assign(results_.begin(), results_.end());
  }

  // The results, ascending.
  std::span<const ScoredNode> results() const {
    sort_results();
    return results_;
  }
  // Gives result i (in results() order) the distance distances[i] and orders
  // the results again; the frontier is left as it was.
  void rescore_results(std::span<const float> distances) {
    sort_results();
    for (std::size_t i = 0; i < results_.size(); ++i) results_[i].distance = distances[i];
    std::sort(results_.begin(), results_.end());
  }

 private:
  void push_frontier(ScoredNode scored) {
    frontier_.push_back(scored);
    std::push_heap(frontier_.begin(), frontier_.end(), SortsAfter{});
  }
  void make_heap_of_results() {
    if (!sorted_) return;
    // Descending order is a max-heap.
    std::reverse(results_.begin(), results_.end());
    sorted_ = false;
  }
  void sort_results() const {
    if (sorted_) return;
    std::sort_heap(results_.begin(), results_.end());
    sorted_ = true;
  }
  // Puts `scored` in place of the worst result and sifts it down.
  void replace_worst(ScoredNode scored) {
    const std::size_t size = results_.size();
    std::size_t hole = 0;
    while (true) {
      std::size_t child = 2 * hole + 1;
      if (child >= size) break;
      if (child + 1 < size && results_[child] < results_[child + 1]) ++child;
      if (!(scored < results_[child])) break;
      results_[hole] = results_[child];
      hole = child;
    }
    results_[hole] = scored;
  }

  std::vector<ScoredNode> frontier_;
  // Sorted ascending when sorted_, a max-heap otherwise; results() is read
  // by const callers, so the order is switched in place.
  mutable std::vector<ScoredNode> results_;
  mutable bool sorted_ = true;
  std::size_t width_ = 1;
};

}  // namespace sorvid::hnsw
