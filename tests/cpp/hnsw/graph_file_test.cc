// The graph file codec: what is written reads back unchanged, the bytes do
// not depend on how they are handed out, and every kind of damage or
// hostile content fails with its own error instead of reaching a walk.
#include "hnsw/graph_file.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "base/fingerprint.h"
#include "hnsw/graph_file_layout.h"

namespace sorvid::hnsw {
namespace {

using namespace graph_file;

constexpr std::uint64_t kSnapshot = 0x5eed'f00d'1234'5678;

// Row `row` of a list array with `ids` in its first slots.
void set_row(std::vector<NodeId>& links, std::size_t slots, std::size_t row, const std::vector<NodeId>& ids) {
  std::copy(ids.begin(), ids.end(), links.begin() + static_cast<std::ptrdiff_t>(row * slots));
}

GraphImage empty_graph(std::size_t n) {
  GraphImage graph;
  graph.snapshot_fingerprint = kSnapshot;
  for (std::uint32_t i = 0; i < n; ++i) graph.positions.push_back(static_cast<std::uint32_t>((i * 7 + 2) % n));
  graph.base_links.assign(n * kBaseLinks, kEmptySlot);
  graph.base_distances.assign(n * kBaseLinks, 0.0f);
  graph.base_kept.assign(n, 0);
  return graph;
}

// Six nodes on three layers: layer 1 holds 4, 1 and 3, layer 2 holds 3 (the
// entry). Node i has min(i + 1, 5) base links; an unused slot's distance is
// NaN, which the reader leaves alone.
GraphImage small_graph() {
  GraphImage graph = empty_graph(6);
  graph.entry = 3;
  for (std::size_t i = 0; i < 6; ++i) {
    std::vector<NodeId> ids;
    for (std::size_t k = 1; k <= std::min<std::size_t>(i + 1, 5); ++k) ids.push_back(static_cast<NodeId>((i + k) % 6));
    set_row(graph.base_links, kBaseLinks, i, ids);
    for (std::size_t k = 0; k < ids.size(); ++k) graph.base_distances[i * kBaseLinks + k] = 0.25f * float(k + 1);
    graph.base_kept[i] = static_cast<std::uint8_t>(ids.size() / 2 + 1);
  }
  graph.base_distances[kBaseLinks - 1] = std::numeric_limits<float>::quiet_NaN();
  graph.upper.resize(2);
  graph.upper[0].nodes = {4, 1, 3};
  graph.upper[0].links.assign(3 * kUpperLinks, kEmptySlot);
  set_row(graph.upper[0].links, kUpperLinks, 0, {1, 3});
  set_row(graph.upper[0].links, kUpperLinks, 1, {4});
  set_row(graph.upper[0].links, kUpperLinks, 2, {4, 1});
  graph.upper[1].nodes = {3};
  graph.upper[1].links.assign(kUpperLinks, kEmptySlot);
  return graph;
}

// 65 nodes whose base lists are full (every other node), and an upper layer
// of 33 nodes with full lists too.
GraphImage full_graph() {
  GraphImage graph = empty_graph(65);
  for (std::size_t i = 0; i < 65; ++i) {
    for (std::size_t k = 1; k <= kBaseLinks; ++k) graph.base_links[i * kBaseLinks + k - 1] = NodeId((i + k) % 65);
    graph.base_kept[i] = kBaseLinks;
  }
  graph.upper.resize(1);
  for (NodeId i = 0; i < 33; ++i) graph.upper[0].nodes.push_back(i * 2);
  for (std::size_t r = 0; r < 33; ++r) {
    for (std::size_t k = 1; k <= kUpperLinks; ++k) graph.upper[0].links.push_back(NodeId((r + k) % 33 * 2));
  }
  graph.entry = 64;
  return graph;
}

GraphImage single_node_graph() { return empty_graph(1); }

std::string encode(const GraphImage& graph, std::size_t chunk_bytes = kGraphChunkBytes) {
  std::string bytes;
  const bool written = encode_graph(
      graph.view(),
      [&](std::span<const char> piece) {
        EXPECT_LE(piece.size(), chunk_bytes);
        EXPECT_FALSE(piece.empty());
        bytes.append(piece.data(), piece.size());
        return true;
      },
      chunk_bytes);
  EXPECT_TRUE(written);
  return bytes;
}

// Gives damaged bytes a valid checksum again, so only the structure is wrong.
void reseal(std::string& bytes) {
  const std::size_t body = bytes.size() - kChecksumBytes;
  store_le(bytes.data() + body, fingerprint_of(std::span(bytes).first(body)), kChecksumBytes);
}

std::optional<GraphFileError> decode_error(const std::string& bytes, std::size_t nodes = 6,
                                           std::uint64_t fingerprint = kSnapshot) {
  auto decoded = decode_graph(bytes, fingerprint, nodes);
  if (decoded) return std::nullopt;
  return decoded.error();
}

void expect_same(const GraphImage& a, const GraphImage& b) {
  EXPECT_EQ(a.snapshot_fingerprint, b.snapshot_fingerprint);
  EXPECT_EQ(a.entry, b.entry);
  EXPECT_EQ(a.positions, b.positions);
  EXPECT_EQ(a.base_links, b.base_links);
  ASSERT_EQ(a.base_distances.size(), b.base_distances.size());
  EXPECT_EQ(0, std::memcmp(a.base_distances.data(), b.base_distances.data(), a.base_distances.size() * 4));
  EXPECT_EQ(a.base_kept, b.base_kept);
  ASSERT_EQ(a.upper.size(), b.upper.size());
  for (std::size_t k = 0; k < a.upper.size(); ++k) {
    EXPECT_EQ(a.upper[k].nodes, b.upper[k].nodes);
    EXPECT_EQ(a.upper[k].links, b.upper[k].links);
  }
}

class GraphRoundTripTest : public ::testing::TestWithParam<GraphImage (*)()> {};

TEST_P(GraphRoundTripTest, DecodesToTheEncodedGraphWhateverTheChunkSize) {
  const GraphImage graph = GetParam()();
  const std::string bytes = encode(graph);
  std::size_t expected_size = kFixedHeaderBytes + 8 * graph.upper.size() + graph.positions.size() * kBaseNodeBytes +
                              padding_after_kept(graph.positions.size()) + kChecksumBytes;
  for (const UpperLayerImage& layer : graph.upper) expected_size += layer.nodes.size() * kUpperNodeBytes;
  EXPECT_EQ(expected_size, bytes.size());
  for (std::size_t chunk : {8u, 9u, 100u, 4096u}) EXPECT_EQ(bytes, encode(graph, chunk)) << chunk;

  auto decoded = decode_graph(bytes, kSnapshot, graph.positions.size());
  ASSERT_TRUE(decoded.ok()) << graph_file_error_name(decoded.error());
  expect_same(graph, decoded.value());
}

INSTANTIATE_TEST_SUITE_P(Graphs, GraphRoundTripTest, ::testing::Values(&small_graph, &full_graph, &single_node_graph));

TEST(GraphFile, EncodingStopsWhenTheSinkRefuses) {
  const GraphImage graph = small_graph();
  const std::size_t pieces = (encode(graph).size() + 99) / 100;
  for (std::size_t refused = 1; refused <= pieces; ++refused) {
    std::size_t calls = 0;
    const auto sink = [&](std::span<const char>) { return ++calls < refused; };
    EXPECT_FALSE(encode_graph(graph.view(), sink, 100));
    EXPECT_EQ(refused, calls);
  }
}

TEST(GraphFile, EveryTruncationFails) {
  const std::string bytes = encode(small_graph());
  for (std::size_t length = 0; length < bytes.size(); ++length) {
    const auto expected =
        length < kFixedHeaderBytes + kChecksumBytes ? GraphFileError::kTruncated : GraphFileError::kBadChecksum;
    ASSERT_EQ(expected, decode_error(bytes.substr(0, length))) << length;
  }
}

TEST(GraphFile, EveryFlippedByteFails) {
  const std::string bytes = encode(small_graph());
  for (std::size_t at = 0; at < bytes.size(); ++at) {
    std::string damaged = bytes;
    damaged[at] = static_cast<char>(damaged[at] ^ 0x10);
    const auto expected = at < kVersionOffset      ? GraphFileError::kBadMagic
                          : at < kLayerCountOffset ? GraphFileError::kUnsupportedVersion
                                                   : GraphFileError::kBadChecksum;
    ASSERT_EQ(expected, decode_error(damaged)) << at;
  }
}

TEST(GraphFile, HeaderMismatchesHaveTheirOwnErrors) {
  const std::string bytes = encode(small_graph());
  EXPECT_EQ(GraphFileError::kStale, decode_error(bytes, 6, kSnapshot + 1));
  EXPECT_EQ(GraphFileError::kWrongNodeCount, decode_error(bytes, 5));
  EXPECT_EQ(GraphFileError::kWrongNodeCount, decode_error(bytes, 7));
  EXPECT_EQ(GraphFileError::kBadMagic, decode_error("{\"dim\":3}"));
  for (std::size_t field : {kBaseSlotsOffset, kUpperSlotsOffset}) {
    std::string other_shape = bytes;
    store_le(other_shape.data() + field, 16, 2);
    reseal(other_shape);
    EXPECT_EQ(GraphFileError::kUnsupportedVersion, decode_error(other_shape)) << field;
  }
}

// A structural fault put into the graph before encoding: the file's
// checksum is valid, its content is not.
struct GraphFault {
  const char* name;
  std::function<void(GraphImage&)> apply;
};

class GraphFaultTest : public ::testing::TestWithParam<GraphFault> {};

TEST_P(GraphFaultTest, IsMalformed) {
  GraphImage graph = small_graph();
  GetParam().apply(graph);
  EXPECT_EQ(GraphFileError::kMalformed, decode_error(encode(graph)));
}

INSTANTIATE_TEST_SUITE_P(
    Faults, GraphFaultTest,
    ::testing::Values(
        GraphFault{"base_link_out_of_range", [](GraphImage& g) { g.base_links[2 * kBaseLinks + 1] = 6; }},
        GraphFault{"base_empty_slot_not_trailing", [](GraphImage& g) { g.base_links[2 * kBaseLinks] = kEmptySlot; }},
        GraphFault{"base_used_after_last", [](GraphImage& g) { g.base_links[kBaseLinks - 1] = 0; }},
        GraphFault{"kept_above_used", [](GraphImage& g) { g.base_kept[0] = 2; }},
        GraphFault{"used_distance_nan",
                   [](GraphImage& g) { g.base_distances[kBaseLinks] = std::numeric_limits<float>::quiet_NaN(); }},
        GraphFault{"positions_repeat", [](GraphImage& g) { g.positions[1] = g.positions[0]; }},
        GraphFault{"position_out_of_range", [](GraphImage& g) { g.positions[1] = 6; }},
        GraphFault{"entry_out_of_range", [](GraphImage& g) { g.entry = 6; }},
        GraphFault{"entry_not_on_top_layer", [](GraphImage& g) { g.entry = 4; }},
        GraphFault{"entry_out_of_range_on_one_layer", [](GraphImage& g) { g.upper.clear(), g.entry = kEmptySlot; }},
        GraphFault{"upper_node_out_of_range", [](GraphImage& g) { g.upper[0].nodes[1] = 6; }},
        GraphFault{"upper_node_twice", [](GraphImage& g) { g.upper[0].nodes[1] = 4; }},
        GraphFault{"upper_node_missing_below",
                   [](GraphImage& g) {
                     g.upper[1].nodes.push_back(0);
                     g.upper[1].links.resize(2 * kUpperLinks, kEmptySlot);
                   }},
        GraphFault{"upper_link_out_of_range", [](GraphImage& g) { g.upper[0].links[1] = 6; }},
        GraphFault{"upper_link_off_its_layer", [](GraphImage& g) { g.upper[0].links[1] = 0; }},
        GraphFault{"upper_empty_slot_not_trailing", [](GraphImage& g) { g.upper[0].links[0] = kEmptySlot; }},
        GraphFault{"upper_layer_empty", [](GraphImage& g) { g.upper.emplace_back(); }}),
    [](const auto& param_info) { return std::string(param_info.param.name); });

// A fault in the header's or layout's numbers, resealed. `nodes` is what
// the reader expects (the header's count, as a caller that believed it
// would pass).
struct ByteFault {
  const char* name;
  std::function<void(std::string&)> apply;
};

class ByteFaultTest : public ::testing::TestWithParam<ByteFault> {};

TEST_P(ByteFaultTest, IsMalformedWithoutAllocatingTheDeclaredSize) {
  std::string bytes = encode(small_graph());
  GetParam().apply(bytes);
  reseal(bytes);
  const std::uint64_t nodes = load_le(bytes.data() + kNodeCountOffset, 8);
  EXPECT_EQ(GraphFileError::kMalformed, decode_error(bytes, static_cast<std::size_t>(nodes)));
}

constexpr std::size_t kSmallPaddingAt = kFixedHeaderBytes + 2 * 8 + 6 * kBaseNodeBytes;

INSTANTIATE_TEST_SUITE_P(
    Faults, ByteFaultTest,
    ::testing::Values(
        ByteFault{"no_nodes", [](std::string& b) { store_le(b.data() + kNodeCountOffset, 0, 8); }},
        ByteFault{"more_nodes_than_ids", [](std::string& b) { store_le(b.data() + kNodeCountOffset, 1ull << 32, 8); }},
        ByteFault{"huge_node_count", [](std::string& b) { store_le(b.data() + kNodeCountOffset, ~0ull / 3, 8); }},
        ByteFault{"no_layers", [](std::string& b) { store_le(b.data() + kLayerCountOffset, 0, 4); }},
        ByteFault{"huge_layer_count", [](std::string& b) { store_le(b.data() + kLayerCountOffset, ~0u, 4); }},
        ByteFault{"one_layer_fewer", [](std::string& b) { store_le(b.data() + kLayerCountOffset, 2, 4); }},
        ByteFault{"huge_upper_layer", [](std::string& b) { store_le(b.data() + kFixedHeaderBytes, ~0ull / 5, 8); }},
        ByteFault{"upper_layer_above_its_lower",
                  [](std::string& b) {
                    store_le(b.data() + kFixedHeaderBytes, 1, 8);
                    store_le(b.data() + kFixedHeaderBytes + 8, 3, 8);
                  }},
        ByteFault{"padding_not_zero", [](std::string& b) { b[kSmallPaddingAt] = 1; }},
        ByteFault{"bytes_after_the_last_layer", [](std::string& b) { b.insert(b.size() - kChecksumBytes, 4, '\0'); }},
        ByteFault{"last_layer_cut_short", [](std::string& b) { b.erase(b.size() - kChecksumBytes - 4, 4); }}),
    [](const auto& param_info) { return std::string(param_info.param.name); });

}  // namespace
}  // namespace sorvid::hnsw
