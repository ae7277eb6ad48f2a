#include "hnsw/neighbour_list.h"

#include <algorithm>

namespace sorvid::hnsw {
namespace {

enum class Origin { kKept, kPruned, kNewcomer };

struct Candidate {
  ScoredNode scored;
  Origin origin;
};

// Whether some entry of `kept` is closer to `candidate` than the owner is.
bool closer_to_one_of(const ScoredNode& candidate, const ScoredNode* kept, std::size_t kept_count,
                      const PointStore& points) {
  const QueryPoint from_candidate = points.query_for(candidate.node);
  for (std::size_t i = 0; i < kept_count; ++i) {
    if (points.distance_below(from_candidate, kept[i].node, candidate.distance)) return true;
  }
  return false;
}

}  // namespace

NeighbourList reselect_with(const NeighbourList& list, ScoredNode newcomer,
                            const PointStore& points) {
  // A newcomer already listed changes nothing: its second visit is skipped.
  for (std::size_t i = 0; i < list.size; ++i) {
    if (list.ids[i] == newcomer.node) return list;
  }

  // The candidates in selection order: the kept and the pruned entries are
  // each ascending already, so one merge of the three sources sorts them.
  std::array<Candidate, kBaseLinks + 1> candidates;
  std::size_t count = 0;
  std::size_t kept_next = 0;
  std::size_t pruned_next = list.kept;
  bool newcomer_placed = false;
  while (kept_next < list.kept || pruned_next < list.size || !newcomer_placed) {
    Candidate best{newcomer, Origin::kNewcomer};
    bool have = !newcomer_placed;
    if (kept_next < list.kept) {
      const ScoredNode entry{list.distances[kept_next], list.ids[kept_next]};
      if (!have || entry < best.scored) best = {entry, Origin::kKept}, have = true;
    }
    if (pruned_next < list.size) {
      const ScoredNode entry{list.distances[pruned_next], list.ids[pruned_next]};
      if (!have || entry < best.scored) best = {entry, Origin::kPruned}, have = true;
    }
    candidates[count++] = best;
    if (best.origin == Origin::kKept) ++kept_next;
    if (best.origin == Origin::kPruned) ++pruned_next;
    if (best.origin == Origin::kNewcomer) newcomer_placed = true;
  }

  std::array<ScoredNode, kBaseLinks + 1> kept;
  std::array<ScoredNode, kBaseLinks + 1> pruned;
  // Kept now but not kept before: the newcomer and revived pruned entries.
  // Only these can prune an entry that was kept before.
  std::array<ScoredNode, kBaseLinks + 1> newly_kept;
  std::size_t kept_count = 0;
  std::size_t pruned_count = 0;
  std::size_t newly_kept_count = 0;
  bool old_kept_lost = false;
  for (std::size_t i = 0; i < count; ++i) {
    if (kept_count >= kBaseLinks) break;
    const Candidate& c = candidates[i];
    bool prune = false;
    switch (c.origin) {
      case Origin::kNewcomer:
        prune = closer_to_one_of(c.scored, kept.data(), kept_count, points);
        break;
      case Origin::kKept:
        prune = closer_to_one_of(c.scored, newly_kept.data(), newly_kept_count, points);
        break;
      case Origin::kPruned:
        // Its pruner was kept before and ahead of it; while no entry kept
        // before has been lost, that pruner is still kept.
        prune = !old_kept_lost || closer_to_one_of(c.scored, kept.data(), kept_count, points);
        break;
    }
    if (prune) {
      pruned[pruned_count++] = c.scored;
      old_kept_lost = old_kept_lost || c.origin == Origin::kKept;
    } else {
      kept[kept_count++] = c.scored;
      if (c.origin != Origin::kKept) newly_kept[newly_kept_count++] = c.scored;
    }
  }

  NeighbourList out;
  out.kept = kept_count;
  for (std::size_t i = 0; i < kept_count; ++i) {
    out.ids[out.size] = kept[i].node;
    out.distances[out.size++] = kept[i].distance;
  }
  for (std::size_t i = 0; i < pruned_count && out.size < kBaseLinks; ++i) {
    out.ids[out.size] = pruned[i].node;
    out.distances[out.size++] = pruned[i].distance;
  }
  return out;
}

}  // namespace sorvid::hnsw
