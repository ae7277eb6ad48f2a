#include "hnsw/locked_link_lists.h"

namespace sorvid::hnsw {

LockedLinkLists::LockedLinkLists(std::size_t node_count)
    : lists_(node_count, kBaseLinks), locks_(std::make_unique<RwSpinLock[]>(node_count)) {}

std::size_t LockedLinkLists::read_list(NodeId node, std::size_t max_links, NodeId* out) const {
  ReadGuard guard(locks_[node]);
  return lists_.read_list(node, max_links, out);
}

}  // namespace sorvid::hnsw
