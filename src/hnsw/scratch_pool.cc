#include "hnsw/scratch_pool.h"

namespace sorvid::hnsw {

ScratchPool::Lease ScratchPool::take() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!stack_.empty()) {
      std::unique_ptr<SearchState> state = std::move(stack_.back());
      stack_.pop_back();
      state->size_marks(node_count_);
      return Lease(*this, std::move(state));
    }
    // give_back runs in a lease's destructor, also while an exception
    // unwinds, and must not allocate: the stack has room for every state.
    stack_.reserve(created_ + 1);
    ++created_;
  }
  // A new state: n zero marks at generation 1, width 1. Allocated outside the
  // lock so other insertions are not held up.
  auto state = std::make_unique<SearchState>(node_count_);
  // Re-selections look up the distances the insertion's walk computed.
  state->record_distances();
  return Lease(*this, std::move(state));
}

std::size_t ScratchPool::states_created() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return created_;
}

void ScratchPool::give_back(std::unique_ptr<SearchState> state) {
  std::lock_guard<std::mutex> lock(mutex_);
  stack_.push_back(std::move(state));
}

}  // namespace sorvid::hnsw
