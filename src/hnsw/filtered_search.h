// Filtered search: the live points nearest a query among those whose value
// is in an allowed set, by one of two strategies.
//
// Exact: score every allowed live node with the walk's own kernel and keep
// the best in (distance, node) order. Its cost grows with the allowed count.
// Walk: the query's usual descent and base-layer walk, with every node that
// is removed or not allowed walked through for routing but never kept; it
// goes on until a full width of allowed nodes is in. Its cost grows as the
// allowed share shrinks (about width / share nodes must be passed), so it
// wins only when many nodes are allowed. Both give distances bit for bit
// those of search(), and hits ordered as search() orders them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "hnsw/hit.h"
#include "hnsw/hnsw_index.h"
#include "hnsw/node_id.h"
#include "hnsw/point_store.h"

namespace sorvid::hnsw {

// The live nodes carrying values of a filter.
struct AllowedNodes {
  std::vector<NodeId> nodes;  // distinct, ascending
  // One flag per node, 0 exactly for the nodes above; empty when not asked for.
  std::vector<std::uint8_t> excluded;
};

// The live nodes of `allowed` (values no live node carries are ignored, and
// so are repeats), with the flags when `with_flags`.
AllowedNodes allowed_nodes(const HnswIndex& index, std::span<const std::uint64_t> allowed, bool with_flags);

// Whether the walk is the cheaper strategy for `allowed_live` allowed live
// nodes in an index of `node_count` nodes.
bool walk_pays_off(std::size_t allowed_live, std::size_t node_count);

// The `count` nodes of `nodes` nearest `query` (all of them when fewer), as
// hits nearest first, equal distances by node, NaN distances last.
std::vector<Hit> exact_among(const HnswIndex& index, const QueryPoint& query, std::span<const NodeId> nodes,
                             std::size_t count);

// The width of a filtered walk.
inline constexpr std::size_t kFilteredWidth = HnswIndex::kQueryWidth;

// The filtered walk for the nodes of `allowed` (whose flags it may change),
// keeping `width` results (at least `count`), cut to min(count,
// allowed.nodes.size()) hits; when the walk reaches fewer, the rest come
// exactly from the allowed nodes it did not return.
std::vector<Hit> walk_among(const HnswIndex& index, std::span<const float> query, AllowedNodes& allowed,
                            std::size_t count, std::size_t width = kFilteredWidth);

// The strategy chosen by walk_pays_off: min(max_hits, kQueryWidth, allowed
// live nodes) hits.
std::vector<Hit> search_among(const HnswIndex& index, std::span<const float> query,
                              std::span<const std::uint64_t> allowed, std::size_t max_hits);

}  // namespace sorvid::hnsw
