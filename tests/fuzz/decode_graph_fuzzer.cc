// decode_graph on any bytes. The input's last 8 bytes are replaced by the
// checksum of the rest, and the expected fingerprint and node count are
// taken from the input's own header, so the fuzzer gets past those gates
// and reaches the structural checks. Decoding must fail cleanly or give a
// graph that no walk can leave, checked here independently of the decoder,
// and that encodes back to exactly the input (the format has one encoding
// per graph).
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <numeric>
#include <span>
#include <string>
#include <vector>

#include "base/fingerprint.h"
#include "base/little_endian.h"
#include "fuzz_checks.h"
#include "hnsw/graph_file.h"
#include "hnsw/graph_file_layout.h"

namespace {

using namespace sorvid::hnsw;
using sorvid::fuzz::check;

// Rows of `slots` ids: used slots first, each accepted by `allowed`, then
// empty slots only. Returns each row's used count.
template <class Allowed>
std::vector<std::size_t> check_rows(const std::vector<NodeId>& links, std::size_t slots, Allowed allowed) {
  check(links.size() % slots == 0, "whole rows");
  std::vector<std::size_t> used_counts;
  for (std::size_t row = 0; row < links.size() / slots; ++row) {
    const auto begin = links.begin() + static_cast<std::ptrdiff_t>(row * slots);
    const auto end = begin + static_cast<std::ptrdiff_t>(slots);
    const auto first_empty = std::find(begin, end, kEmptySlot);
    check(std::all_of(first_empty, end, [](NodeId id) { return id == kEmptySlot; }), "empty slots trail");
    check(std::all_of(begin, first_empty, allowed), "every link is a node of its layer");
    used_counts.push_back(static_cast<std::size_t>(first_empty - begin));
  }
  return used_counts;
}

void check_walkable(const GraphImage& graph, std::size_t n) {
  check(n >= 1 && graph.positions.size() == n, "as many nodes as expected");
  std::vector<std::uint32_t> sorted = graph.positions;
  std::sort(sorted.begin(), sorted.end());
  std::vector<std::uint32_t> identity(n);
  std::iota(identity.begin(), identity.end(), 0u);
  check(sorted == identity, "positions are a permutation");
  check(graph.base_distances.size() == n * kBaseLinks && graph.base_kept.size() == n, "base sections sized");
  const auto base_used = check_rows(graph.base_links, kBaseLinks, [&](NodeId id) { return id < n; });
  for (std::size_t i = 0; i < n; ++i) check(graph.base_kept[i] <= base_used[i], "kept within the used slots");

  std::vector<bool> below(n, true);  // membership of the layer below
  for (const UpperLayerImage& layer : graph.upper) {
    std::vector<bool> on_layer(n, false);
    check(!layer.nodes.empty(), "upper layers are not empty");
    for (NodeId node : layer.nodes) {
      check(node < n && below[node] && !on_layer[node], "upper nodes are distinct nodes of the layer below");
      on_layer[node] = true;
    }
    check(layer.links.size() == layer.nodes.size() * kUpperLinks, "one row per upper node");
    check_rows(layer.links, kUpperLinks, [&](NodeId id) { return id < n && on_layer[id]; });
    below = std::move(on_layer);
  }
  check(graph.entry < n && below[graph.entry], "the entry is on the top layer");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  namespace layout = sorvid::hnsw::graph_file;
  std::string bytes(reinterpret_cast<const char*>(data), size);
  if (bytes.size() >= layout::kChecksumBytes) {
    const std::size_t body = bytes.size() - layout::kChecksumBytes;
    sorvid::store_le(bytes.data() + body, sorvid::fingerprint_of(std::span(bytes).first(body)), layout::kChecksumBytes);
  }
  const auto header_number = [&](std::size_t offset) {
    return bytes.size() >= offset + 8 ? sorvid::load_le(bytes.data() + offset, 8) : 0;
  };
  const std::uint64_t fingerprint = header_number(layout::kFingerprintOffset);
  const auto nodes = static_cast<std::size_t>(header_number(layout::kNodeCountOffset));

  auto decoded = decode_graph(bytes, fingerprint, nodes);
  if (!decoded) return 0;
  check_walkable(decoded.value(), nodes);
  std::string encoded;
  check(encode_graph(decoded.value().view(),
                     [&](std::span<const char> piece) {
                       encoded.append(piece.data(), piece.size());
                       return true;
                     }),
        "encoding succeeds");
  check(encoded == bytes, "a decoded graph encodes to the bytes it came from");
  return 0;
}
