#include "hnsw/vector_index.h"

#include <algorithm>
#include <utility>

#include "hnsw/filtered_search.h"
#include "hnsw/graph_file.h"
#include "hnsw/hnsw_index.h"
#include "hnsw/index_builder.h"
#include "hnsw/live_insertion.h"
#include "hnsw/search_state.h"
#include "hnsw/seed_source.h"

namespace sorvid::hnsw {

// A query's walk keeps as many results as it may return.
static_assert(VectorIndex::kMaxHits == HnswIndex::kQueryWidth);

// Points a query's walk keeps beyond the hits it returns (see search()).
constexpr std::size_t kRescoreMargin = 16;

VectorIndex VectorIndex::build(PointViews points, std::span<const std::uint64_t> values) {
  return build(points, values, next_build_seed());
}

VectorIndex VectorIndex::build(PointViews points, std::span<const std::uint64_t> values, std::uint64_t seed) {
  return VectorIndex(std::make_unique<HnswIndex>(build_index(points, values, seed)));
}

VectorIndex::VectorIndex(std::unique_ptr<HnswIndex> graph) : graph_(std::move(graph)) {}
VectorIndex::VectorIndex(VectorIndex&&) noexcept = default;
VectorIndex& VectorIndex::operator=(VectorIndex&&) noexcept = default;
VectorIndex::~VectorIndex() = default;

void VectorIndex::insert(PointViews points, std::span<const std::uint64_t> values) {
  LiveInsertion::insert(*graph_, points, values);
}

bool VectorIndex::remove(std::uint64_t value) { return graph_->remove_value(value); }

std::size_t VectorIndex::size() const { return graph_->size(); }
std::size_t VectorIndex::removed_count() const { return graph_->removed_count(); }
std::size_t VectorIndex::inserted_since_build() const { return graph_->inserted_since_build(); }

std::vector<Hit> VectorIndex::search(std::span<const float> query, std::size_t max_hits) const {
  // One walk state per thread, reused from query to query, so that its marks
  // and lists are allocated once (it keeps one mark byte per node of the
  // largest index searched on the thread); queries on other threads share
  // nothing with it.
  thread_local SearchState state;
  // The walk ranks by decision distances, which may place a point a little
  // off near the end of its list; the first kRescoreMargin points past the
  // hits wanted are re-scored exactly too, so that exact distances, not
  // decision ones, settle which points make the cut. The walk is at least
  // that wide.
  const std::size_t wanted = std::min(max_hits, kMaxHits);
  const std::size_t scored = wanted + kRescoreMargin;
  const std::span<const Hit> found = graph_->search(query, state, std::max(HnswIndex::kQueryWidth, scored), scored);
  return std::vector<Hit>(found.begin(), found.begin() + static_cast<std::ptrdiff_t>(std::min(wanted, found.size())));
}

std::vector<Hit> VectorIndex::search_among(std::span<const float> query, std::span<const std::uint64_t> allowed,
                                           std::size_t max_hits) const {
  // Each call has its own walk state and flags, so concurrent calls share
  // nothing.
  return hnsw::search_among(*graph_, query, allowed, max_hits);
}

bool VectorIndex::write_graph(std::uint64_t snapshot_fingerprint,
                              const std::function<bool(std::span<const char>)>& sink) const {
  const HnswIndex& graph = *graph_;
  if (graph.size() == 0 || !graph.values_are_positions()) return false;
  // Views of the index's own arrays: nothing big is copied.
  GraphView view;
  view.snapshot_fingerprint = snapshot_fingerprint;
  view.entry = graph.entry();
  view.positions = graph.values();
  view.base_links = graph.base().links().all_slots();
  view.base_distances = graph.base().all_distances();
  view.base_kept = graph.base().all_kept();
  for (const UpperLayer& layer : graph.upper()) view.upper.push_back({layer.nodes(), layer.all_slots()});
  return encode_graph(view, sink);
}

namespace {

// The base lists of a decoded file, with their distances and kept counts.
LockedLinkLists base_lists_of(const GraphImage& image) {
  const std::size_t n = image.positions.size();
  LockedLinkLists lists(n);
  NeighbourList list;
  for (std::size_t node = 0; node < n; ++node) {
    const std::size_t first = node * kBaseLinks;
    list.size = 0;
    while (list.size < kBaseLinks && image.base_links[first + list.size] != kEmptySlot) {
      list.ids[list.size] = image.base_links[first + list.size];
      list.distances[list.size] = image.base_distances[first + list.size];
      ++list.size;
    }
    list.kept = std::min<std::size_t>(image.base_kept[node], list.size);
    lists.store_neighbours(static_cast<NodeId>(node), list);
  }
  return lists;
}

}  // namespace

std::optional<VectorIndex> VectorIndex::read_graph(std::span<const char> file, std::uint64_t snapshot_fingerprint,
                                                   PointViews points) {
  Result<GraphImage, GraphFileError> decoded = decode_graph(file, snapshot_fingerprint, points.size());
  if (!decoded.ok()) return std::nullopt;
  GraphImage image = std::move(decoded).value();
  // Node j holds the point at snapshot position positions[j], and carries
  // that position as its value.
  PointStore store(points, image.positions);
  LockedLinkLists base = base_lists_of(image);
  std::vector<UpperLayer> upper;
  upper.reserve(image.upper.size());
  for (UpperLayerImage& layer : image.upper) {
    upper.push_back(UpperLayer::from_rows(std::move(layer.nodes), std::move(layer.links)));
  }
  return VectorIndex(std::make_unique<HnswIndex>(std::move(store), std::move(image.positions), std::move(base),
                                                 std::move(upper), image.entry,
                                                 BuildRng::from_seed(next_build_seed())));
}

}  // namespace sorvid::hnsw
