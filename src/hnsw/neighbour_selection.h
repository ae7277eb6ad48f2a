// The neighbour selection: which candidates become a node's base-layer
// neighbours, chosen in full from a walk's results, or again incrementally
// when one more candidate arrives for an existing list.
//
// The rule: candidates are taken ascending by distance to the owner (in
// ScoredNode order). A candidate c is pruned when some candidate k kept
// before it prunes it, and kept otherwise. k prunes c when k is closer to c
// than the owner is (in distance order, so a NaN distance is never closer),
// or when c is an exact copy of the owner's direction (distance 0) and k is
// one of c too: copies never prune one another by closeness, and would
// otherwise fill the list and hide every other neighbour. Among points with
// no distance 0 the second case never arises. Taking stops once 64 are kept.
// Distances between candidates are the ones `decisions` names; the
// candidates' distances to the owner come with them and must be of the same
// kind: for fast decisions, the decision distances from the owner as a stored
// point (a walk from PointStore::query_for(owner) gives them). An exact copy
// of the owner then ties with the owner, as it does exactly, instead of
// pruning a candidate on a rounding.
// The list is the kept candidates, then the pruned ones while it has room,
// each part ascending. Both forms below give exactly this list.
#pragma once

#include <span>

#include "hnsw/decisions.h"
#include "hnsw/neighbour_list.h"
#include "hnsw/point_store.h"
#include "hnsw/scored_node.h"
#include "hnsw/walk_distances.h"

namespace sorvid::hnsw {

// Writes to `out` the list the rule gives over `candidates`, which ascend by
// distance to the owner and do not include the owner.
void select_neighbours(std::span<const ScoredNode> candidates, const PointStore& points, NeighbourList& out,
                       Decisions decisions = Decisions::kExact);

// The list that the rule gives for the owner over the candidates {newcomer}
// and `list`, each scored against the owner (`newcomer.distance` is the
// newcomer's distance to the owner).
//
// Why the shortcut is exact: whether k prunes c depends on k, c and the
// owner alone (both cases of the rule), never on the other candidates.
// Replaying the selection over the old entries alone reproduces the old
// outcome, because pruned candidates never take part in later decisions and
// candidates dropped by the 64 limit come last. With the newcomer added, the
// entries ahead of it decide as before. After it, an old kept entry can only
// be pruned by an entry that was not kept before (the newcomer, or a pruned
// entry revived because its pruner was lost), and an old pruned entry stays
// pruned while every old kept entry ahead of it is still kept; only when one
// was lost must it be checked again against the entries kept now.
// Distances from the newcomer are taken from `from_newcomer` where known
// (its walked_for must then be the newcomer). `out` must not be `list`.
// Returns false, leaving `out` unwritten, when the selection gives `list`
// itself: the newcomer was already listed, or the list is full and the
// newcomer falls past its end.
// `list` is read in place, so a caller that holds the owner's write lock
// can re-select the stored list without copying it first.
[[nodiscard]] bool reselect_with(const NeighbourView& list, ScoredNode newcomer, const PointStore& points,
                                 NeighbourList& out, const WalkDistances& from_newcomer = {},
                                 Decisions decisions = Decisions::kExact);
[[nodiscard]] inline bool reselect_with(const NeighbourList& list, ScoredNode newcomer, const PointStore& points,
                                        NeighbourList& out, const WalkDistances& from_newcomer = {},
                                        Decisions decisions = Decisions::kExact) {
  return reselect_with(list.view(), newcomer, points, out, from_newcomer, decisions);
}

}  // namespace sorvid::hnsw
