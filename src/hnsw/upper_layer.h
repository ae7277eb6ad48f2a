// UpperLayer: one layer above the base, holding any subset of the nodes.
//
// Each node on the layer owns a row of kUpperLinks slots (used slots first,
// then kEmptySlot), holding ids of nodes on this layer. Rows are numbered in
// the order nodes joined: row r belongs to node nodes()[r], and row_of(node)
// maps back (kEmptySlot for a node not on the layer). A build puts nodes 0 to
// n_k - 1 on layer k in that order, so after a build row r is node r's;
// insertions add nodes after that in any order.
//
// Nodes join only between insertions, never while walks run; row contents
// change during insertions under the owning node's lock (see
// locked_link_lists.h), and queries read them without locks while no
// insertion runs.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "hnsw/node_id.h"

namespace sorvid::hnsw {

class UpperLayer {
 public:
  UpperLayer() = default;
  // Nodes 0 to node_count - 1, each with an empty row.
  static UpperLayer of_first_nodes(std::size_t node_count);
  // The layer a graph file describes: row r (slots links[r * kUpperLinks]
  // on) is node nodes[r]'s. The caller has checked that the nodes are
  // distinct and that links has kUpperLinks slots per node.
  static UpperLayer from_rows(std::vector<NodeId> nodes, std::vector<NodeId> links);

  std::size_t node_count() const { return nodes_.size(); }
  bool contains(NodeId node) const { return row_of(node) != kEmptySlot; }
  NodeId row_of(NodeId node) const { return node < row_of_node_.size() ? row_of_node_[node] : kEmptySlot; }
  // Gives `node` (not yet on the layer) an empty row.
  void add(NodeId node);

  // The row of a node on the layer.
  std::span<NodeId> row(NodeId node) { return {slots_.data() + std::size_t{row_of(node)} * kUpperLinks, kUpperLinks}; }
  std::span<const NodeId> row(NodeId node) const {
    return {slots_.data() + std::size_t{row_of(node)} * kUpperLinks, kUpperLinks};
  }

  // The walk's view (see SearchState::expand_layer): copies the used slots
  // of `node`'s row, at most `max_links`, into `out`; none for a node not on
  // the layer.
  std::size_t read_list(NodeId node, std::size_t max_links, NodeId* out) const;
  void prefetch_list(NodeId node) const {
    const NodeId r = row_of(node);
    if (r != kEmptySlot) __builtin_prefetch(slots_.data() + std::size_t{r} * kUpperLinks);
  }

  // Row r's node, and all rows' slots row by row (what a graph file holds).
  std::span<const NodeId> nodes() const { return nodes_; }
  std::span<const NodeId> all_slots() const { return slots_; }

 private:
  std::vector<NodeId> nodes_;        // row -> node
  std::vector<NodeId> row_of_node_;  // node -> row, kEmptySlot when absent
  std::vector<NodeId> slots_;        // kUpperLinks per row
};

}  // namespace sorvid::hnsw
