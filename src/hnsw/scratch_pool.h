// ScratchPool: the search states that the insertions of one build share.
//
// Each insertion takes a pair of states and gives it back when it ends, so a
// build creates about as many pairs as insertions run at once, and the mark
// arrays (one byte per node) are allocated once per pair, not per insertion.
#pragma once

#include <cstddef>
#include <memory>
#include <mutex>
#include <vector>

#include "hnsw/search_state.h"

namespace sorvid::hnsw {

struct ScratchPair {
  SearchState walk;    // the insertion's own walk, with a mark per node
  SearchState update;  // re-selects one neighbour's list; needs no marks
};

class ScratchPool {
 public:
  explicit ScratchPool(std::size_t node_count) : node_count_(node_count) {}

  // A pair held for one insertion; it returns to the pool when destroyed.
  class Lease {
   public:
    Lease(ScratchPool& pool, std::unique_ptr<ScratchPair> pair)
        : pool_(pool), pair_(std::move(pair)) {}
    ~Lease() { pool_.give_back(std::move(pair_)); }
    Lease(const Lease&) = delete;
    Lease& operator=(const Lease&) = delete;
    ScratchPair& operator*() const { return *pair_; }
    ScratchPair* operator->() const { return pair_.get(); }

   private:
    ScratchPool& pool_;
    std::unique_ptr<ScratchPair> pair_;
  };

  Lease take();
  std::size_t pairs_created() const;

 private:
  void give_back(std::unique_ptr<ScratchPair> pair);

  std::size_t node_count_;
  mutable std::mutex mutex_;
  std::vector<std::unique_ptr<ScratchPair>> stack_;
  std::size_t created_ = 0;
};

}  // namespace sorvid::hnsw
