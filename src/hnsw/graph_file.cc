// Temporary stand-in for the graph file codec: an unchecked raw dump, enough
// for the index's round trip test until the real codec is merged. It checks
// only the fingerprint, the node count and the sizes of the arrays.
#include "hnsw/graph_file.h"

#include <cstring>

namespace sorvid::hnsw {
namespace {

template <class T>
bool put(const std::function<bool(std::span<const char>)>& sink, std::span<const T> items) {
  const std::uint64_t count = items.size();
  return sink({reinterpret_cast<const char*>(&count), sizeof count}) &&
         sink({reinterpret_cast<const char*>(items.data()), items.size_bytes()});
}

template <class T>
bool take(std::span<const char>& bytes, std::vector<T>& out) {
  std::uint64_t count = 0;
  if (bytes.size() < sizeof count) return false;
  std::memcpy(&count, bytes.data(), sizeof count);
  bytes = bytes.subspan(sizeof count);
  if (count > bytes.size() / sizeof(T)) return false;
  out.resize(count);
  if (count > 0) std::memcpy(out.data(), bytes.data(), count * sizeof(T));
  bytes = bytes.subspan(count * sizeof(T));
  return true;
}

}  // namespace

GraphView GraphImage::view() const {
  GraphView view{snapshot_fingerprint, entry, positions, base_links, base_distances, base_kept, {}};
  for (const UpperLayerImage& layer : upper) view.upper.push_back({layer.nodes, layer.links});
  return view;
}

bool encode_graph(const GraphView& graph, const std::function<bool(std::span<const char>)>& sink) {
  const std::uint64_t head[3] = {graph.snapshot_fingerprint, graph.entry, graph.upper.size()};
  if (!sink({reinterpret_cast<const char*>(head), sizeof head})) return false;
  if (!put(sink, graph.positions) || !put(sink, graph.base_links) || !put(sink, graph.base_distances) ||
      !put(sink, graph.base_kept)) {
    return false;
  }
  for (const UpperLayerView& layer : graph.upper) {
    if (!put(sink, layer.nodes) || !put(sink, layer.links)) return false;
  }
  return true;
}

Result<GraphImage, GraphFileError> decode_graph(std::span<const char> bytes, std::uint64_t expected_fingerprint,
                                                std::size_t expected_nodes) {
  std::uint64_t head[3];
  if (bytes.size() < sizeof head) return fail(GraphFileError::kTruncated);
  std::memcpy(head, bytes.data(), sizeof head);
  bytes = bytes.subspan(sizeof head);
  if (head[0] != expected_fingerprint) return fail(GraphFileError::kStale);
  GraphImage image;
  image.snapshot_fingerprint = head[0];
  image.entry = static_cast<NodeId>(head[1]);
  if (!take(bytes, image.positions) || !take(bytes, image.base_links) || !take(bytes, image.base_distances) ||
      !take(bytes, image.base_kept)) {
    return fail(GraphFileError::kTruncated);
  }
  image.upper.resize(head[2] < 64 ? head[2] : 0);
  for (UpperLayerImage& layer : image.upper) {
    if (!take(bytes, layer.nodes) || !take(bytes, layer.links)) return fail(GraphFileError::kTruncated);
  }
  const std::size_t n = image.positions.size();
  if (n != expected_nodes) return fail(GraphFileError::kWrongNodeCount);
  if (n == 0 || image.base_links.size() != n * kBaseLinks || image.base_distances.size() != n * kBaseLinks ||
      image.base_kept.size() != n) {
    return fail(GraphFileError::kMalformed);
  }
  return image;
}

}  // namespace sorvid::hnsw
