// ScratchPool: the search states that the insertions of one build share.
//
// Each insertion takes a state and gives it back when it ends, so a build
// creates about as many states as insertions run at once, and the mark
// arrays (one byte per node) are allocated once per state, not per
// insertion. (Re-selecting a neighbour's list needs no walk state of its
// own: see neighbour_selection.h.)
#pragma once

#include <cstddef>
#include <memory>
#include <mutex>
#include <vector>

#include "hnsw/search_state.h"

namespace sorvid::hnsw {

class ScratchPool {
 public:
  explicit ScratchPool(std::size_t node_count) : node_count_(node_count) {}

  // A state held for one insertion; it returns to the pool when destroyed.
  class Lease {
   public:
    Lease(ScratchPool& pool, std::unique_ptr<SearchState> state) : pool_(pool), state_(std::move(state)) {}
    ~Lease() { pool_.give_back(std::move(state_)); }
    Lease(const Lease&) = delete;
    Lease& operator=(const Lease&) = delete;
    SearchState& operator*() const { return *state_; }
    SearchState* operator->() const { return state_.get(); }

   private:
    ScratchPool& pool_;
    std::unique_ptr<SearchState> state_;
  };

  // A state whose marks cover the pool's node count.
  Lease take();
  // From now on, states cover `node_count` nodes. Only while no state is
  // taken.
  void resize(std::size_t node_count) { node_count_ = node_count; }
  std::size_t states_created() const;

 private:
  void give_back(std::unique_ptr<SearchState> state);

  std::size_t node_count_;
  mutable std::mutex mutex_;
  std::vector<std::unique_ptr<SearchState>> stack_;
  std::size_t created_ = 0;
};

}  // namespace sorvid::hnsw
