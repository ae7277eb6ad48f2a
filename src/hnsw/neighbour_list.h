// NeighbourList: a base-layer list as a build keeps it, and the update that
// adds one candidate to it.
//
// Every base list is the output of the neighbour selection (select_neighbours
// in search_state.h): its `kept` first entries are the candidates that no
// nearer kept one was closer to, ascending by distance to the owner, and the
// rest are pruned candidates, ascending too. The build records each entry's
// distance to the owner and the kept count, so that re-selecting a list with
// one new candidate can reuse what the earlier selection established instead
// of scoring every pair again.
#pragma once

#include <array>
#include <cstddef>

#include "hnsw/node_id.h"
#include "hnsw/point_store.h"
#include "hnsw/scored_node.h"
#include "hnsw/walk_distances.h"

namespace sorvid::hnsw {

struct NeighbourList {
  std::array<NodeId, kBaseLinks> ids;
  std::array<float, kBaseLinks> distances;  // to the list's owner
  std::size_t size = 0;
  std::size_t kept = 0;
};

// The list that select_neighbours makes for the owner from the candidates
// {newcomer} and `list`, each scored against the owner (`newcomer.distance`
// is the newcomer's distance to the owner).
//
// Why the shortcut is exact: replaying the selection over the old entries
// alone reproduces the old outcome, because pruned candidates never take part
// in later decisions and candidates dropped by the 64 limit come last. With
// the newcomer added, the entries ahead of it decide as before. After it, an
// old kept entry can only be pruned by an entry that was not kept before (the
// newcomer, or a pruned entry revived because its pruner was lost), and an
// old pruned entry stays pruned while every old kept entry ahead of it is
// still kept; only when one was lost must it be checked again against the
// entries kept now.
// Distances from the newcomer are taken from `from_newcomer` where known
// (its walked_for must then be the newcomer). `out` must not be `list`.
// Returns false, leaving `out` unwritten, when the selection gives `list`
// itself: the newcomer was already listed, or the list is full and the
// newcomer falls past its end.
[[nodiscard]] bool reselect_with(const NeighbourList& list, ScoredNode newcomer, const PointStore& points,
                                 NeighbourList& out, const WalkDistances& from_newcomer = {});

}  // namespace sorvid::hnsw
