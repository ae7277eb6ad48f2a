// The graph file: an index's graph saved beside the snapshot it was built
// over, so that opening a store can read the graph back instead of building
// it again. The format is in docs/graph-file.md and graph_file_layout.h.
//
// A file belongs to the exact snapshot bytes whose fingerprint it carries;
// any other snapshot makes it stale. The reader trusts nothing: whatever a
// file holds, decoding either fails with a GraphFileError or gives a graph
// that no walk can leave (every id in range, every link on its layer). The
// store then ignores a file that fails and builds the graph again.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <vector>

#include "base/result.h"
#include "hnsw/node_id.h"

namespace sorvid::hnsw {

// One upper layer: row r (kUpperLinks slots at links[r * kUpperLinks]) is
// the list of node nodes[r].
struct UpperLayerView {
  std::span<const NodeId> nodes;
  std::span<const NodeId> links;
};
struct UpperLayerImage {
  std::vector<NodeId> nodes;
  std::vector<NodeId> links;
};

// What a graph file holds. n = positions.size() nodes.
struct GraphView {
  std::uint64_t snapshot_fingerprint = 0;    // Fingerprint of the exact snapshot bytes the graph belongs to
  NodeId entry = 0;                          // where every walk starts; on every layer
  std::span<const std::uint32_t> positions;  // node -> position of its point in the snapshot (a permutation of 0..n-1)
  std::span<const NodeId> base_links;        // n * kBaseLinks, used slots first, then kEmptySlot
  std::span<const float> base_distances;     // n * kBaseLinks, each entry's distance to the list's owner
  std::span<const std::uint8_t> base_kept;   // n: NeighbourList::kept of each base list
  std::vector<UpperLayerView> upper;         // layer k at upper[k - 1]
};

// The same, owning (what decoding gives).
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

// The largest piece encode_graph hands its sink.
inline constexpr std::size_t kGraphChunkBytes = std::size_t{1} << 20;

// Writes the file's bytes to `sink` in pieces of at most kGraphChunkBytes,
// never the whole file in one buffer; the same view always gives the same
// bytes. Returns false as soon as the sink returns false (and calls it no
// more). The view's arrays must have the sizes GraphView describes.
bool encode_graph(const GraphView& graph, const std::function<bool(std::span<const char>)>& sink);
// The same in pieces of at most `chunk_bytes` (at least 8).
bool encode_graph(const GraphView& graph, const std::function<bool(std::span<const char>)>& sink,
                  std::size_t chunk_bytes);

enum class GraphFileError {
  kTruncated,           // too short to hold a header and checksum
  kBadMagic,            // not a graph file
  kUnsupportedVersion,  // a graph file this reader cannot read (another version or list shape)
  kBadChecksum,         // damaged: the bytes are not those written
  kStale,               // written for another snapshot
  kWrongNodeCount,      // not as many nodes as the snapshot has points
  kMalformed,           // any structural fault
};

const char* graph_file_error_name(GraphFileError error);

// Decodes and validates a whole file. Valid means: a walk over it can never
// index out of range, namely 1 <= n == expected_nodes; positions a
// permutation of 0..n-1; every base slot < n or kEmptySlot with used slots
// first; kept <= used count; every used slot's distance finite; entry < n;
// each upper layer non-empty, nodes distinct and < n, every node of layer
// k+1 also on layer k, entry on every layer, every link of a layer-k row < n
// and on layer k, used slots first. kStale when the fingerprint differs from
// expected_fingerprint. Sizes are checked against the input's length before
// anything is allocated, so a hostile header cannot make it allocate more
// than a small multiple of the input.
Result<GraphImage, GraphFileError> decode_graph(std::span<const char> bytes, std::uint64_t expected_fingerprint,
                                                std::size_t expected_nodes);

}  // namespace sorvid::hnsw
