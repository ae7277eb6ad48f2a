// Temporary stand-in: the graph file codec's declarations, so that the index
// compiles before the codec itself is merged. The codec's own header replaces
// this file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <vector>

#include "base/result.h"
#include "hnsw/node_id.h"

namespace sorvid::hnsw {

struct UpperLayerView {
  std::span<const NodeId> nodes;
  std::span<const NodeId> links;
};
struct UpperLayerImage {
  std::vector<NodeId> nodes;
  std::vector<NodeId> links;
};

struct GraphView {
  std::uint64_t snapshot_fingerprint = 0;
  NodeId entry = 0;
  std::span<const std::uint32_t> positions;
  std::span<const NodeId> base_links;
  std::span<const float> base_distances;
  std::span<const std::uint8_t> base_kept;
  std::vector<UpperLayerView> upper;
};
struct GraphImage {
  std::uint64_t snapshot_fingerprint = 0;
  NodeId entry = 0;
  std::vector<std::uint32_t> positions;
  std::vector<NodeId> base_links;
  std::vector<float> base_distances;
  std::vector<std::uint8_t> base_kept;
  std::vector<UpperLayerImage> upper;
  GraphView view() const;
};

bool encode_graph(const GraphView& graph, const std::function<bool(std::span<const char>)>& sink);

enum class GraphFileError {
  kTruncated,
  kBadMagic,
  kUnsupportedVersion,
  kBadChecksum,
  kStale,
  kWrongNodeCount,
  kMalformed
};
Result<GraphImage, GraphFileError> decode_graph(std::span<const char> bytes, std::uint64_t expected_fingerprint,
                                                std::size_t expected_nodes);

}  // namespace sorvid::hnsw
