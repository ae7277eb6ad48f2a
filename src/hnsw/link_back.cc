#include "hnsw/link_back.h"

#include <algorithm>
#include <array>

#include "hnsw/neighbour_selection.h"
#include "hnsw/rw_spin_lock.h"
#include "hnsw/scored_node.h"

namespace sorvid::hnsw {
namespace {

void link_back_one(LockedLinkLists& lists, const PointStore& points, NodeId v, const ScoredNode& chosen,
                   const WalkDistances& from_v, Decisions decisions) {
  const NodeId u = chosen.node;
  // The whole re-selection runs under u's write lock and reads u's list where
  // it lies: copying it out under a read lock and taking the write lock
  // afterwards cost more than the short wait this may give a walk that
  // reaches u meanwhile. No other lock is taken while this one is held.
  WriteGuard guard(lists.lock(u));
  NeighbourList updated;
  // The distance is symmetric: v's distance to u is u's distance to v. An
  // unchanged list is not written back.
  if (!reselect_with(lists.neighbours(u), {chosen.distance, v}, points, updated, from_v, decisions)) return;
  lists.store_neighbours(u, updated);
}

// Re-selects u's row with v under u's write lock: rows are short, so the
// whole step runs under the lock.
void link_back_row(UpperLayer& layer, const LockedLinkLists& locks, const PointStore& points, NodeId v, NodeId u) {
  WriteGuard guard(locks.lock(u));
  const std::span<NodeId> row = layer.row(u);
  std::array<NodeId, kUpperLinks + 1> ids;
  std::size_t count = 0;
  for (; count < kUpperLinks && row[count] != kEmptySlot; ++count) ids[count] = row[count];
  ids[count++] = v;
  std::array<float, kUpperLinks + 1> distances;
  const QueryPoint from_u = points.query_for(u);
  points.distances_to(from_u, ids.data(), count, distances.data());
  std::array<ScoredNode, kUpperLinks + 1> candidates;
  for (std::size_t i = 0; i < count; ++i) candidates[i] = {distances[i], ids[i]};
  std::sort(candidates.begin(), candidates.begin() + static_cast<std::ptrdiff_t>(count));
  NeighbourList selected;
  select_neighbours(std::span<const ScoredNode>(candidates.data(), count), points, selected);
  const std::size_t kept = std::min(selected.size, kUpperLinks);
  if (std::find(selected.ids.begin(), selected.ids.begin() + static_cast<std::ptrdiff_t>(kept), v) ==
      selected.ids.begin() + static_cast<std::ptrdiff_t>(kept)) {
    return;
  }
  std::copy_n(selected.ids.begin(), kept, row.begin());
  std::fill(row.begin() + static_cast<std::ptrdiff_t>(kept), row.end(), kEmptySlot);
}

}  // namespace

void link_back_base(LockedLinkLists& lists, const PointStore& points, NodeId v, const NeighbourList& chosen,
                    const WalkDistances& from_v, Decisions decisions) {
  // The neighbours' lists are far off in memory and one re-selection often
  // takes less time than fetching them: ask for them kListsAhead ahead.
  constexpr std::size_t kListsAhead = 8;
  for (std::size_t i = 0; i < kListsAhead && i < chosen.size; ++i) lists.prefetch_neighbours(chosen.ids[i]);
  for (std::size_t i = 0; i < chosen.size; ++i) {
    if (i + kListsAhead < chosen.size) lists.prefetch_neighbours(chosen.ids[i + kListsAhead]);
    link_back_one(lists, points, v, {chosen.distances[i], chosen.ids[i]}, from_v, decisions);
  }
}

void link_back_upper(UpperLayer& layer, const LockedLinkLists& locks, const PointStore& points, NodeId v,
                     std::span<const NodeId> neighbours) {
  for (const NodeId u : neighbours) link_back_row(layer, locks, points, v, u);
}

}  // namespace sorvid::hnsw
