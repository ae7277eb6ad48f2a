#include "hnsw/scratch_pool.h"

namespace sorvid::hnsw {

ScratchPool::Lease ScratchPool::take() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!stack_.empty()) {
      std::unique_ptr<ScratchPair> pair = std::move(stack_.back());
      stack_.pop_back();
      return Lease(*this, std::move(pair));
    }
    ++created_;
  }
  // A new pair: n zero marks at generation 1, width 1. Allocated outside the
  // lock so other insertions are not held up.
  auto pair = std::make_unique<ScratchPair>(ScratchPair{SearchState(node_count_), SearchState()});
  return Lease(*this, std::move(pair));
}

std::size_t ScratchPool::pairs_created() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return created_;
}

void ScratchPool::give_back(std::unique_ptr<ScratchPair> pair) {
  std::lock_guard<std::mutex> lock(mutex_);
  stack_.push_back(std::move(pair));
}

}  // namespace sorvid::hnsw
