// decode_graph: reads a graph file and checks everything a walk relies on.
//
// The order of the checks matters: the header's length fields are trusted
// only after the checksum says the bytes are the ones written, and every
// size is measured against the bytes actually present before anything is
// allocated. So a damaged file fails as damaged, and a hostile one (any bytes
// with a valid checksum) fails as malformed without allocating more than a
// small multiple of its own length.
#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <type_traits>

#include "base/fingerprint.h"
#include "hnsw/graph_file.h"
#include "hnsw/graph_file_layout.h"

namespace sorvid::hnsw {
namespace {

using namespace graph_file;

// Reads numbers from the front of the bytes; every read has been measured
// against the length beforehand.
class Reader {
 public:
  explicit Reader(std::span<const char> bytes) : bytes_(bytes) {}

  void skip(std::size_t bytes) { at_ += bytes; }

  std::uint64_t number(std::size_t bytes) {
    const std::uint64_t value = load_le(bytes_.data() + at_, bytes);
    at_ += bytes;
    return value;
  }

  template <class T>
  std::vector<T> array(std::size_t count) {
    static_assert(sizeof(T) == 1 || sizeof(T) == 4);
    std::vector<T> values(count);
    if constexpr (sizeof(T) == 1 || std::endian::native == std::endian::little) {
      if (count > 0) std::memcpy(values.data(), bytes_.data() + at_, count * sizeof(T));
      at_ += count * sizeof(T);
    } else {
      for (T& value : values) value = std::bit_cast<T>(static_cast<std::uint32_t>(number(4)));
    }
    return values;
  }

  bool zeros(std::size_t count) {
    const bool all_zero =
        std::all_of(bytes_.begin() + static_cast<std::ptrdiff_t>(at_),
                    bytes_.begin() + static_cast<std::ptrdiff_t>(at_ + count), [](char byte) { return byte == 0; });
    at_ += count;
    return all_zero;
  }

 private:
  std::span<const char> bytes_;
  std::size_t at_ = 0;
};

// The header fields that shape the rest of the file.
struct Shape {
  std::uint64_t nodes = 0;
  std::vector<std::uint64_t> upper_nodes;  // per upper layer
};

// Takes `count` items of `item_bytes` out of `left` bytes; false when they
// do not fit (the multiplication cannot overflow: count is bounded first).
bool take(std::uint64_t& left, std::uint64_t count, std::uint64_t item_bytes) {
  if (count > left / item_bytes) return false;
  left -= count * item_bytes;
  return true;
}

// Reads the layer table and checks that the declared sections fill the file
// exactly. Counts beyond what the bytes can hold fail here, before any array
// of their size exists.
bool read_shape(Reader& in, std::uint64_t layer_count, std::uint64_t file_bytes, Shape& shape) {
  std::uint64_t left = file_bytes - kFixedHeaderBytes - kChecksumBytes;
  if (layer_count == 0 || !take(left, layer_count - 1, 8)) return false;
  if (shape.nodes == 0 || shape.nodes > kMaxNodes || !take(left, shape.nodes, kBaseNodeBytes) ||
      !take(left, padding_after_kept(shape.nodes), 1)) {
    return false;
  }
  shape.upper_nodes.resize(static_cast<std::size_t>(layer_count - 1));
  std::uint64_t below = shape.nodes;
  for (std::uint64_t& count : shape.upper_nodes) {
    count = in.number(8);
    // A layer is a non-empty subset of the one below it.
    if (count == 0 || count > below || !take(left, count, kUpperNodeBytes)) return false;
    below = count;
  }
  return left == 0;
}

bool is_permutation(const std::vector<std::uint32_t>& positions) {
  std::vector<bool> seen(positions.size());
  for (std::uint32_t position : positions) {
    if (position >= positions.size() || seen[position]) return false;
    seen[position] = true;
  }
  return true;
}

// Rows of `slots` ids: used slots first, each < n and accepted by `on_layer`,
// then kEmptySlot only. Calls `row_used(row, used)` with each row's count.
template <class OnLayer, class RowUsed>
bool rows_valid(std::span<const NodeId> links, std::size_t slots, std::size_t n, OnLayer on_layer, RowUsed row_used) {
  for (std::size_t row = 0; row * slots < links.size(); ++row) {
    const std::span<const NodeId> list = links.subspan(row * slots, slots);
    std::size_t used = 0;
    while (used < slots && list[used] != kEmptySlot) {
      if (list[used] >= n || !on_layer(list[used])) return false;
      ++used;
    }
    for (std::size_t slot = used; slot < slots; ++slot) {
      if (list[slot] != kEmptySlot) return false;
    }
    if (!row_used(row, used)) return false;
  }
  return true;
}

bool base_valid(const GraphImage& graph) {
  const std::size_t n = graph.positions.size();
  return rows_valid(
      graph.base_links, kBaseLinks, n, [](NodeId) { return true; },
      [&](std::size_t row, std::size_t used) {
        if (graph.base_kept[row] > used) return false;
        // A non-finite distance would break the orderings the index sorts by.
        const float* distances = graph.base_distances.data() + row * kBaseLinks;
        return std::all_of(distances, distances + used, [](float d) { return std::isfinite(d); });
      });
}

// Each upper layer's nodes are distinct and on the layer below; its links
// point to nodes of the layer; the entry is on the top layer (so on all).
bool upper_valid(const GraphImage& graph) {
  const std::size_t n = graph.positions.size();
  std::vector<std::uint32_t> top_layer(n, 0);  // the highest layer each node is on so far
  for (std::uint32_t layer = 1; layer <= graph.upper.size(); ++layer) {
    const UpperLayerImage& image = graph.upper[layer - 1];
    for (NodeId node : image.nodes) {
      if (node >= n || top_layer[node] != layer - 1) return false;  // out of range, missing below, or twice
      top_layer[node] = layer;
    }
    const auto on_layer = [&](NodeId node) { return top_layer[node] >= layer; };
    if (!rows_valid(image.links, kUpperLinks, n, on_layer, [](std::size_t, std::size_t) { return true; })) {
      return false;
    }
  }
  return graph.entry < n && top_layer[graph.entry] == graph.upper.size();
}

}  // namespace

Result<GraphImage, GraphFileError> decode_graph(std::span<const char> bytes, std::uint64_t expected_fingerprint,
                                                std::size_t expected_nodes) {
  if (!std::equal(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(std::min(bytes.size(), kMagic.size())),
                  kMagic.begin())) {
    return fail(GraphFileError::kBadMagic);
  }
  if (bytes.size() < kLayerCountOffset) return fail(GraphFileError::kTruncated);
  if (load_le(bytes.data() + kVersionOffset, 4) != kVersion) return fail(GraphFileError::kUnsupportedVersion);
  if (bytes.size() < kFixedHeaderBytes + kChecksumBytes) return fail(GraphFileError::kTruncated);
  const std::span<const char> body = bytes.first(bytes.size() - kChecksumBytes);
  if (fingerprint_of(body) != load_le(body.data() + body.size(), kChecksumBytes)) {
    return fail(GraphFileError::kBadChecksum);
  }
  if (load_le(bytes.data() + kFingerprintOffset, 8) != expected_fingerprint) return fail(GraphFileError::kStale);
  Shape shape;
  shape.nodes = load_le(bytes.data() + kNodeCountOffset, 8);
  if (shape.nodes != expected_nodes) return fail(GraphFileError::kWrongNodeCount);
  if (load_le(bytes.data() + kBaseSlotsOffset, 2) != kBaseLinks ||
      load_le(bytes.data() + kUpperSlotsOffset, 2) != kUpperLinks) {
    return fail(GraphFileError::kUnsupportedVersion);
  }

  Reader in(bytes);
  in.skip(kFixedHeaderBytes);  // read above, field by field
  if (!read_shape(in, load_le(bytes.data() + kLayerCountOffset, 4), bytes.size(), shape)) {
    return fail(GraphFileError::kMalformed);
  }
  const std::size_t n = static_cast<std::size_t>(shape.nodes);
  GraphImage graph;
  graph.snapshot_fingerprint = expected_fingerprint;
  graph.entry = static_cast<NodeId>(load_le(bytes.data() + kEntryOffset, 4));
  graph.positions = in.array<std::uint32_t>(n);
  graph.base_links = in.array<NodeId>(n * kBaseLinks);
  graph.base_distances = in.array<float>(n * kBaseLinks);
  graph.base_kept = in.array<std::uint8_t>(n);
  const bool padding_zero = in.zeros(padding_after_kept(n));
  graph.upper.resize(shape.upper_nodes.size());
  for (std::size_t k = 0; k < graph.upper.size(); ++k) {
    const std::size_t count = static_cast<std::size_t>(shape.upper_nodes[k]);
    graph.upper[k].nodes = in.array<NodeId>(count);
    graph.upper[k].links = in.array<NodeId>(count * kUpperLinks);
  }
  if (!padding_zero || !is_permutation(graph.positions) || !base_valid(graph) || !upper_valid(graph)) {
    return fail(GraphFileError::kMalformed);
  }
  return graph;
}

}  // namespace sorvid::hnsw
