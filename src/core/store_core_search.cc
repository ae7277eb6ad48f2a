// Search, with the lazy rebuild of the index.
#include <algorithm>
#include <utility>

#include "core/store_core.h"

namespace sorvid {

void StoreCore::rebuild_index() {
  index_ids_.clear();
  index_ids_.reserve(entries_.size());
  for (const auto& [id, entry] : entries_) index_ids_.push_back(id);
  // std::string compares its chars as unsigned bytes, so this is byte order.
  std::sort(index_ids_.begin(), index_ids_.end());
  dirty_ = false;
  if (index_ids_.empty()) {
    index_.reset();
    return;
  }

  std::vector<std::vector<float>> points;
  std::vector<std::uint64_t> values;
  points.reserve(index_ids_.size());
  values.reserve(index_ids_.size());
  for (std::size_t position = 0; position < index_ids_.size(); ++position) {
    points.push_back(entries_.find(index_ids_[position])->second.embedding);
    values.push_back(position);
  }
  index_.emplace(hnsw::VectorIndex::build(std::move(points), std::move(values)));
}

Result<std::vector<SearchHit>, StoreError> StoreCore::search(std::span<const float> query, std::uint64_t top_k) {
  // Checked before any rebuild, so a refused query leaves the index as it was;
  // a query never fixes the dimension.
  if (query.empty()) return fail(StoreError::empty_embedding());
  if (dim_ && *dim_ != query.size()) return fail(StoreError::dimension_mismatch(*dim_, query.size()));
  if (dirty_) rebuild_index();

  std::vector<SearchHit> found;
  if (!index_) return found;
  const std::vector<hnsw::Hit> hits =
      index_->search(query, static_cast<std::size_t>(std::min<std::uint64_t>(top_k, hnsw::VectorIndex::kMaxHits)));
  found.reserve(hits.size());
  for (const hnsw::Hit& hit : hits) {
    // The index belongs to the current entries whenever it is used (a
    // mutation marks it stale and the rebuild comes first), so every id is
    // found; a missing one is skipped rather than trusted.
    auto entry = entries_.find(index_ids_[hit.value]);
    if (entry != entries_.end()) found.push_back(SearchHit{&entry->second, hit.distance});
  }
  return found;
}

}  // namespace sorvid
