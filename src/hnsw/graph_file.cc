#include "hnsw/graph_file.h"

#include <algorithm>
#include <bit>
#include <cassert>
#include <cstring>
#include <type_traits>

#include "base/fingerprint.h"
#include "hnsw/graph_file_layout.h"

namespace sorvid::hnsw {
namespace {

using namespace graph_file;

// Gathers the file's bytes into a buffer of `chunk_bytes` and hands each full
// buffer to the sink, fingerprinting what it hands over. After the sink
// refuses a piece every later write is dropped.
class ChunkedWriter {
 public:
  ChunkedWriter(const std::function<bool(std::span<const char>)>& sink, std::size_t chunk_bytes)
      : sink_(sink), buffer_(chunk_bytes) {}

  void put(const char* bytes, std::size_t size) {
    while (size > 0 && ok_) {
      const std::size_t take = std::min(size, buffer_.size() - used_);
      std::memcpy(buffer_.data() + used_, bytes, take);
      used_ += take;
      bytes += take;
      size -= take;
      if (used_ == buffer_.size()) flush();
    }
  }

  void put_number(std::uint64_t value, std::size_t bytes) {
    char encoded[8];
    store_le(encoded, value, bytes);
    put(encoded, bytes);
  }

  // Numbers of 1 or 4 bytes (floats by their bits), little-endian.
  template <class T>
  void put_array(std::span<const T> values) {
    static_assert(sizeof(T) == 1 || sizeof(T) == 4);
    if constexpr (sizeof(T) == 1 || std::endian::native == std::endian::little) {
      put(reinterpret_cast<const char*>(values.data()), values.size_bytes());
    } else {
      for (T value : values) put_number(std::bit_cast<std::uint32_t>(value), 4);
    }
  }

  // Sends what is buffered, then the checksum of every byte sent.
  bool finish() {
    flush();
    put_number(fingerprint_.value(), kChecksumBytes);
    if (ok_ && used_ > 0) ok_ = sink_(std::span(buffer_.data(), used_));
    return ok_;
  }

 private:
  void flush() {
    if (!ok_ || used_ == 0) return;
    const std::span<const char> piece(buffer_.data(), used_);
    fingerprint_.update(piece);
    ok_ = sink_(piece);
    used_ = 0;
  }

  const std::function<bool(std::span<const char>)>& sink_;
  std::vector<char> buffer_;
  std::size_t used_ = 0;
  bool ok_ = true;
  Fingerprint fingerprint_;
};

void write_header(ChunkedWriter& out, const GraphView& graph) {
  out.put(kMagic.data(), kMagic.size());
  out.put_number(kVersion, 4);
  out.put_number(graph.upper.size() + 1, 4);
  out.put_number(graph.positions.size(), 8);
  out.put_number(graph.entry, 4);
  out.put_number(kBaseLinks, 2);
  out.put_number(kUpperLinks, 2);
  out.put_number(graph.snapshot_fingerprint, 8);
  for (const UpperLayerView& layer : graph.upper) out.put_number(layer.nodes.size(), 8);
}

}  // namespace

GraphView GraphImage::view() const {
  GraphView view{snapshot_fingerprint, entry, positions, base_links, base_distances, base_kept, {}};
  view.upper.reserve(upper.size());
  for (const UpperLayerImage& layer : upper) view.upper.push_back({layer.nodes, layer.links});
  return view;
}

bool encode_graph(const GraphView& graph, const std::function<bool(std::span<const char>)>& sink) {
  return encode_graph(graph, sink, kGraphChunkBytes);
}

bool encode_graph(const GraphView& graph, const std::function<bool(std::span<const char>)>& sink,
                  std::size_t chunk_bytes) {
  const std::size_t n = graph.positions.size();
  assert(chunk_bytes >= kChecksumBytes);
  assert(n >= 1 && n <= kMaxNodes);
  assert(graph.base_links.size() == n * kBaseLinks && graph.base_distances.size() == n * kBaseLinks);
  assert(graph.base_kept.size() == n);
  ChunkedWriter out(sink, chunk_bytes);
  write_header(out, graph);
  out.put_array(graph.positions);
  out.put_array(graph.base_links);
  out.put_array(graph.base_distances);
  out.put_array(graph.base_kept);
  constexpr char kZeros[kSectionAlignment] = {};
  out.put(kZeros, padding_after_kept(n));
  for (const UpperLayerView& layer : graph.upper) {
    assert(layer.links.size() == layer.nodes.size() * kUpperLinks);
    out.put_array(layer.nodes);
    out.put_array(layer.links);
  }
  return out.finish();
}

const char* graph_file_error_name(GraphFileError error) {
  switch (error) {
    case GraphFileError::kTruncated: return "truncated";
    case GraphFileError::kBadMagic: return "not a graph file";
    case GraphFileError::kUnsupportedVersion: return "unsupported version";
    case GraphFileError::kBadChecksum: return "checksum mismatch";
    case GraphFileError::kStale: return "stale";
    case GraphFileError::kWrongNodeCount: return "wrong node count";
    case GraphFileError::kMalformed: return "malformed";
  }
  return "unknown";
}

}  // namespace sorvid::hnsw
