// VisitMarks: which nodes the current walk has visited, one byte per node,
// and, when recording, the distance each visited node scored.
//
// A node is visited when its mark equals the current generation. A new walk
// only moves on to the next generation, so the marks of earlier walks need
// no clearing; after kLastGeneration the array is wiped to 0 and counting
// restarts at 1. No mark ever exceeds kLastGeneration, so a mark left by an
// earlier walk never equals the generation in use.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "hnsw/node_id.h"
#include "hnsw/walk_distances.h"

namespace sorvid::hnsw {

class VisitMarks {
 public:
  // The last generation before the marks are wiped and counting restarts.
  static constexpr std::uint8_t kLastGeneration = 249;

  // No marks, generation 1.
  VisitMarks() = default;
  // `node_count` unvisited marks, generation 1.
  explicit VisitMarks(std::size_t node_count) : marks_(node_count, 0) {}

  // From now on, keeps the distance of every node recorded, for
  // walk_distances(). Builds use it; queries do not pay for it.
  void record_distances();
  // The distances the current walk has recorded, valid until the marks
  // change; `walked_for` is the node whose point the walk looked for.
  WalkDistances walk_distances(NodeId walked_for) const;

  // Makes the array exactly `node_count` long; new marks read unvisited.
  void resize(std::size_t node_count);
  // Starts a new walk: no node reads visited any more.
  void next_generation();

  bool is_visited(NodeId node) const { return marks_[node] == generation_; }
  // Marks `node` visited; returns whether it was unvisited. Written without
  // a branch: whether a walk has seen a node is a coin toss to the branch
  // predictor, and a walk asks it of every link it reads.
  bool mark_visited(NodeId node) {
    const bool fresh = marks_[node] != generation_;
    marks_[node] = generation_;
    return fresh;
  }
  // Keeps a visited node's distance (or WalkDistances::kUnknown) when
  // recording.
  void record(NodeId node, float distance) {
    if (distances_) distances_[node] = distance;
  }
  bool is_recording() const { return distances_ != nullptr; }

  std::uint8_t generation() const { return generation_; }
  std::span<const std::uint8_t> marks() const { return marks_; }

 private:
  std::vector<std::uint8_t> marks_;
  // One per mark when recording; read only where the mark is current.
  std::unique_ptr<float[]> distances_;
  std::uint8_t generation_ = 1;
};

}  // namespace sorvid::hnsw
