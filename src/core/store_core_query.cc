// Queries: the nearest entries to one query, to many at once, or among a
// given set of ids.
#include <algorithm>
#include <cstddef>
#include <exception>
#include <utility>

#include "base/worker_pool.h"
#include "core/finite_values.h"
#include "core/store_core.h"

namespace sorvid {
namespace {

std::size_t hits_wanted(std::uint64_t top_k) {
  return static_cast<std::size_t>(std::min<std::uint64_t>(top_k, hnsw::VectorIndex::kMaxHits));
}

// Queries handed to a pool thread at a time: enough to pay for the hand-out,
// few enough that both threads finish a short batch together.
constexpr std::size_t kQueriesPerChunk = 4;

}  // namespace

Result<void, StoreError> StoreCore::check_query(std::span<const float> query) const {
  if (query.empty()) return fail(StoreError::empty_embedding());
  // A NaN or an infinity would only give NaN distances.
  if (!all_finite(query)) return fail(StoreError::non_finite_embedding());
  if (dim_ && *dim_ != query.size()) return fail(StoreError::dimension_mismatch(*dim_, query.size()));
  return {};
}

std::vector<SearchHit> StoreCore::entries_of(std::span<const hnsw::Hit> hits) const {
  std::vector<SearchHit> found;
  found.reserve(hits.size());
  for (const hnsw::Hit& hit : hits) {
    // The index holds exactly the live entries whenever it is used (the
    // update comes first), so every id is found; a missing one is skipped
    // rather than trusted.
    auto entry = entries_.find(index_ids_[hit.value]);
    if (entry != entries_.end()) found.push_back(SearchHit{&entry->second, hit.distance});
  }
  return found;
}

Result<std::vector<SearchHit>, StoreError> StoreCore::search(std::span<const float> query, std::uint64_t top_k) {
  // Checked before any update, so a refused query leaves the index as it
  // was; a query never fixes the dimension.
  if (Result<void, StoreError> checked = check_query(query); !checked) return fail(std::move(checked).error());
  if (dirty()) update_index();
  if (!index_) return std::vector<SearchHit>{};
  return entries_of(index_->search(query, hits_wanted(top_k)));
}

Result<std::vector<std::vector<SearchHit>>, StoreError> StoreCore::search_batch(
    std::span<const std::span<const float>> queries, std::uint64_t top_k) {
  for (std::span<const float> query : queries) {
    if (Result<void, StoreError> checked = check_query(query); !checked) return fail(std::move(checked).error());
  }
  if (dirty() && !queries.empty()) update_index();
  std::vector<std::vector<SearchHit>> found(queries.size());
  if (!index_) return found;
  // Each walk has a state of its own and only reads the index and the
  // entries, and each writes only its own list.
  const hnsw::VectorIndex& index = *index_;
  WorkerPool::instance().parallel_for(0, queries.size(), kQueriesPerChunk, [&](std::size_t i) {
    found[i] = entries_of(index.search(queries[i], hits_wanted(top_k)));
  });
  return found;
}

Result<std::vector<SearchHit>, StoreError> StoreCore::search_filtered(std::span<const float> query,
                                                                      std::span<const std::string> allowed,
                                                                      std::uint64_t top_k) {
  if (Result<void, StoreError> checked = check_query(query); !checked) return fail(std::move(checked).error());
  if (dirty()) update_index();
  if (!index_) return std::vector<SearchHit>{};
  // After the update every live entry, and only a live one, has a slot.
  std::vector<std::uint64_t> values;
  values.reserve(allowed.size());
  for (const std::string& id : allowed) {
    if (auto slot = slot_of_id_.find(id); slot != slot_of_id_.end()) values.push_back(slot->second);
  }
  return entries_of(index_->search_among(query, values, hits_wanted(top_k)));
}

}  // namespace sorvid
