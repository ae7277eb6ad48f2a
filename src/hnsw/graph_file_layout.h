// The byte layout of a graph file (docs/graph-file.md), shared by its writer
// and reader. Every number is little-endian whatever the host.
//
//   offset  size        field
//   0       8           magic "\x89SVGRPH\n"
//   8       4           version (kGraphFileVersion)
//   12      4           layer count L >= 1 (the base layer and L - 1 upper layers)
//   16      8           node count n
//   24      4           entry node
//   28      2           base list slots (kBaseLinks)
//   30      2           upper list slots (kUpperLinks)
//   32      8           snapshot fingerprint
//   40      8 (L - 1)   node count of each upper layer, layer 1 first
//   then the sections, each an array without gaps:
//           4 n         positions
//           4 n 64      base links
//           4 n 64      base distances (IEEE-754 binary32)
//           n           base kept counts
//           0 to 3      zero bytes, up to a multiple of 4
//           for each upper layer k: 4 m_k nodes, then 4 m_k 32 links
//   last    8           checksum: Fingerprint of every byte before it
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "base/little_endian.h"
#include "hnsw/node_id.h"

namespace sorvid::hnsw::graph_file {

inline constexpr std::array<char, 8> kMagic = {'\x89', 'S', 'V', 'G', 'R', 'P', 'H', '\n'};
inline constexpr std::uint32_t kVersion = 1;

inline constexpr std::size_t kVersionOffset = 8;
inline constexpr std::size_t kLayerCountOffset = 12;
inline constexpr std::size_t kNodeCountOffset = 16;
inline constexpr std::size_t kEntryOffset = 24;
inline constexpr std::size_t kBaseSlotsOffset = 28;
inline constexpr std::size_t kUpperSlotsOffset = 30;
inline constexpr std::size_t kFingerprintOffset = 32;
inline constexpr std::size_t kFixedHeaderBytes = 40;
inline constexpr std::size_t kChecksumBytes = 8;

// Bytes per node of the base sections and per node of an upper layer.
inline constexpr std::size_t kBaseNodeBytes = 4 + kBaseLinks * 4 + kBaseLinks * 4 + 1;
inline constexpr std::size_t kUpperNodeBytes = 4 + kUpperLinks * 4;
inline constexpr std::size_t kSectionAlignment = 4;

// The most nodes a file can hold: ids run below kEmptySlot.
inline constexpr std::uint64_t kMaxNodes = kEmptySlot;

// Zero bytes after the kept counts of n nodes.
constexpr std::size_t padding_after_kept(std::uint64_t nodes) {
  return static_cast<std::size_t>((kSectionAlignment - nodes % kSectionAlignment) % kSectionAlignment);
}

}  // namespace sorvid::hnsw::graph_file
