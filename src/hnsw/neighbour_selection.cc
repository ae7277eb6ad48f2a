#include "hnsw/neighbour_selection.h"

#include <algorithm>
#include <array>
#include <limits>

namespace sorvid::hnsw {
namespace {

// The distance below which a kept node prunes `candidate`: its distance to
// the owner, except that an exact copy of the owner (distance 0) is also
// pruned by a kept node at distance 0 from it. Distances are never negative,
// so "below the smallest positive float" means "exactly 0". Without this,
// copies of one direction never prune one another and fill every list.
float pruning_bar(const ScoredNode& candidate) {
  return candidate.distance == 0.0f ? std::numeric_limits<float>::denorm_min() : candidate.distance;
}

// Whether the distance from q to some ids[j], j < count, sorts before `bar`.
bool any_below(const PointStore& points, const QueryPoint& q, const NodeId* ids, std::size_t count, float bar,
               Decisions decisions) {
  return decisions == Decisions::kFast ? points.any_decided_below(q, ids, count, bar)
                                       : points.any_below(q, ids, count, bar);
}

// Whether some node of `kept` prunes `candidate` (see pruning_bar). A
// distance between known.walked_for and another node is taken from `known`
// where that walk computed it; the rest are scored. Both are the distances
// `decisions` names, and those are symmetric between stored points
// (point_store.h), so a recorded distance is the very one scoring the pair
// from the candidate's end would give.
bool closer_to_one_of(const ScoredNode& candidate, const NodeId* kept, std::size_t kept_count, const PointStore& points,
                      const WalkDistances& known, Decisions decisions) {
  const QueryPoint from_candidate = points.query_for(candidate.node);
  const float bar = pruning_bar(candidate);
  if (known.marks == nullptr) return any_below(points, from_candidate, kept, kept_count, bar, decisions);
  std::array<NodeId, kBaseLinks> unknown_ids;
  std::size_t unknown = 0;
  for (std::size_t i = 0; i < kept_count; ++i) {
    const NodeId other = kept[i];
    float distance;
    const bool pair_has_newcomer = candidate.node == known.walked_for || other == known.walked_for;
    const NodeId far_end = candidate.node == known.walked_for ? other : candidate.node;
    if (pair_has_newcomer && known.lookup(far_end, distance)) {
      if (distance_less(distance, bar)) return true;
    } else {
      unknown_ids[unknown++] = other;
    }
  }
  return any_below(points, from_candidate, unknown_ids.data(), unknown, bar, decisions);
}

ScoredNode entry_at(const NeighbourView& list, std::size_t i) { return {list.distances[i], list.ids[i]}; }

bool is_listed(const NeighbourView& list, NodeId node) {
  return std::find(list.ids, list.ids + list.size, node) != list.ids + list.size;
}

// Where `entry` belongs among list entries [first, last), which ascend.
std::size_t position_among(const NeighbourView& list, std::size_t first, std::size_t last, const ScoredNode& entry) {
  while (first < last) {
    const std::size_t middle = first + (last - first) / 2;
    if (entry_at(list, middle) < entry) {
      first = middle + 1;
    } else {
      last = middle;
    }
  }
  return first;
}

// `out` is `list` with `entry` inserted at `position`, the kept count
// unchanged and the last entry dropped when the list was full.
void insert_entry(const NeighbourView& list, std::size_t position, const ScoredNode& entry, NeighbourList& out) {
  out.kept = list.kept;
  out.size = std::min(list.size + 1, kBaseLinks);
  std::copy_n(list.ids, position, out.ids.begin());
  std::copy_n(list.distances, position, out.distances.begin());
  out.ids[position] = entry.node;
  out.distances[position] = entry.distance;
  const std::size_t after = out.size - position - 1;
  std::copy_n(list.ids + position, after, out.ids.begin() + position + 1);
  std::copy_n(list.distances + position, after, out.distances.begin() + position + 1);
}

// Builds the output list: the kept entries, then the pruned ones while the
// list has room. At most kBaseLinks entries are ever kept (both selections
// stop there), and since the pruned ones fill only what the kept leave free,
// pruned entries past the first kBaseLinks never reach the list.
class ListWriter {
 public:
  explicit ListWriter(NeighbourList& out) : out_(out) { out_.size = 0; }
  void add_kept(const ScoredNode& entry) {
    kept_ids_[kept_count_] = entry.node;
    kept_[kept_count_++] = entry;
  }
  void add_pruned(const ScoredNode& entry) {
    if (pruned_count_ < kBaseLinks) pruned_[pruned_count_++] = entry;
  }
  std::size_t kept_count() const { return kept_count_; }
  const NodeId* kept_ids() const { return kept_ids_.data(); }

  void finish() {
    out_.kept = kept_count_;
    for (std::size_t i = 0; i < kept_count_; ++i) append(kept_[i]);
    for (std::size_t i = 0; i < pruned_count_ && out_.size < kBaseLinks; ++i) append(pruned_[i]);
  }

 private:
  void append(const ScoredNode& entry) {
    out_.ids[out_.size] = entry.node;
    out_.distances[out_.size++] = entry.distance;
  }

  NeighbourList& out_;
  std::array<ScoredNode, kBaseLinks> kept_;
  std::array<NodeId, kBaseLinks> kept_ids_;
  std::array<ScoredNode, kBaseLinks> pruned_;
  std::size_t kept_count_ = 0;
  std::size_t pruned_count_ = 0;
};

}  // namespace

void select_neighbours(std::span<const ScoredNode> candidates, const PointStore& points, NeighbourList& out,
                       Decisions decisions) {
  ListWriter writer(out);
  for (const ScoredNode& candidate : candidates) {
    if (writer.kept_count() == kBaseLinks) break;
    if (closer_to_one_of(candidate, writer.kept_ids(), writer.kept_count(), points, {}, decisions)) {
      writer.add_pruned(candidate);
    } else {
      writer.add_kept(candidate);
    }
  }
  writer.finish();
}

namespace {

// The re-selection once the newcomer is kept: the `kept_ahead` kept and the
// pruned entries up to `pruned_ahead` decide as before, then the entries
// after the newcomer are replayed. Only entries kept now but not before (the
// newcomer, revived pruned entries) can prune an entry kept before.
void replay_after_kept_newcomer(const NeighbourView& list, ScoredNode newcomer, std::size_t kept_ahead,
                                std::size_t pruned_ahead, const PointStore& points, const WalkDistances& from_newcomer,
                                Decisions decisions, NeighbourList& out) {
  ListWriter writer(out);
  for (std::size_t i = 0; i < kept_ahead; ++i) writer.add_kept(entry_at(list, i));
  for (std::size_t i = list.kept; i < pruned_ahead; ++i) writer.add_pruned(entry_at(list, i));
  writer.add_kept(newcomer);
  std::array<NodeId, kBaseLinks> newly_kept;
  std::size_t newly_kept_count = 0;
  newly_kept[newly_kept_count++] = newcomer.node;
  bool old_kept_lost = false;
  std::size_t next_kept = kept_ahead;
  std::size_t next_pruned = pruned_ahead;
  while ((next_kept < list.kept || next_pruned < list.size) && writer.kept_count() < kBaseLinks) {
    const bool take_kept =
        next_pruned >= list.size || (next_kept < list.kept && entry_at(list, next_kept) < entry_at(list, next_pruned));
    if (take_kept) {
      const ScoredNode entry = entry_at(list, next_kept++);
      if (closer_to_one_of(entry, newly_kept.data(), newly_kept_count, points, from_newcomer, decisions)) {
        writer.add_pruned(entry);
        old_kept_lost = true;
      } else {
        writer.add_kept(entry);
      }
    } else {
      const ScoredNode entry = entry_at(list, next_pruned++);
      // Its pruner was kept before and ahead of it; while no entry kept
      // before has been lost, that pruner is still kept.
      if (!old_kept_lost ||
          closer_to_one_of(entry, writer.kept_ids(), writer.kept_count(), points, from_newcomer, decisions)) {
        writer.add_pruned(entry);
      } else {
        writer.add_kept(entry);
        newly_kept[newly_kept_count++] = entry.node;
      }
    }
  }
  writer.finish();
}

}  // namespace

bool reselect_with(const NeighbourView& list, ScoredNode newcomer, const PointStore& points, NeighbourList& out,
                   const WalkDistances& from_newcomer, Decisions decisions) {
  // A newcomer already listed changes nothing: its second visit is skipped.
  if (is_listed(list, newcomer.node)) return false;
  // The kept entries [0, kept) and the pruned ones [kept, size) each ascend.
  // Everything ahead of the newcomer decides as before.
  const std::size_t kept_ahead = position_among(list, 0, list.kept, newcomer);
  const std::size_t pruned_ahead = position_among(list, list.kept, list.size, newcomer);
  // The 64 kept entries ahead fill the list; the rest drop out.
  if (kept_ahead >= kBaseLinks) return false;

  if (closer_to_one_of(newcomer, list.ids, kept_ahead, points, from_newcomer, decisions)) {
    // The newcomer is pruned and nothing after it changes: the kept entries
    // stay, and the newcomer joins the pruned ones in order, unless it falls
    // past the end of a full list.
    if (list.size == kBaseLinks && pruned_ahead == list.size) return false;
    insert_entry(list, pruned_ahead, newcomer, out);
    return true;
  }
  replay_after_kept_newcomer(list, newcomer, kept_ahead, pruned_ahead, points, from_newcomer, decisions, out);
  return true;
}

}  // namespace sorvid::hnsw
