// Linking a newly inserted node v back: every neighbour v chose gets v as a
// candidate for its own list, which is selected again by the neighbour
// selection (neighbour_selection.h). Builds and insertions into a finished
// index share these steps.
//
// A neighbour's list is re-selected and rewritten under its node's write
// lock, read in place; re-selections of one list by concurrent insertions
// run one after the other, in whichever order thread timing gives.
#pragma once

#include "hnsw/decisions.h"
#include "hnsw/locked_link_lists.h"
#include "hnsw/neighbour_list.h"
#include "hnsw/node_id.h"
#include "hnsw/point_store.h"
#include "hnsw/upper_layer.h"
#include "hnsw/walk_distances.h"

namespace sorvid::hnsw {

// Re-selects the base list of every node of `chosen` (v's selection, with
// the distances to v) with v as a newcomer; distances from v come from
// `from_v` (v's walk) where known.
// Pruning decides by the distances `decisions` names, those of v's walk.
void link_back_base(LockedLinkLists& lists, const PointStore& points, NodeId v, const NeighbourList& chosen,
                    const WalkDistances& from_v, Decisions decisions);

// Re-selects the row of each of `neighbours` on `layer` over its entries
// and v, all scored against the row's owner, and keeps the first kUpperLinks
// of the selection; a row is rewritten only when v makes it in. Rows are
// guarded by their owners' locks in `locks`.
void link_back_upper(UpperLayer& layer, const LockedLinkLists& locks, const PointStore& points, NodeId v,
                     std::span<const NodeId> neighbours);

}  // namespace sorvid::hnsw
