#include "hnsw/visit_marks.h"

#include <algorithm>

namespace sorvid::hnsw {

void VisitMarks::record_distances() {
  // Left unfilled: a slot is written whenever its node is marked, and read
  // only while the mark is current.
  distances_ = std::make_unique_for_overwrite<float[]>(marks_.size());
}

WalkDistances VisitMarks::walk_distances(NodeId walked_for) const {
  if (!distances_) return {};
  return {marks_.data(), generation_, distances_.get(), walked_for};
}

void VisitMarks::resize(std::size_t node_count) {
  if (distances_ && node_count != marks_.size()) {
    auto resized = std::make_unique_for_overwrite<float[]>(node_count);
    std::copy_n(distances_.get(), std::min(node_count, marks_.size()), resized.get());
    distances_ = std::move(resized);
  }
  // generation - 1 is never the current generation: not visited.
  marks_.resize(node_count, static_cast<std::uint8_t>(generation_ - 1));
}

void VisitMarks::next_generation() {
  if (generation_ < kLastGeneration) {
    ++generation_;
    return;
  }
  std::fill(marks_.begin(), marks_.end(), std::uint8_t{0});
  generation_ = 1;
}

}  // namespace sorvid::hnsw
