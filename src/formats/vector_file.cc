#include "formats/vector_file.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <cstring>
#include <string>

#include "base/fingerprint.h"
#include "base/little_endian.h"

namespace sorvid {
namespace {

static_assert(std::endian::native == std::endian::little, "the values are stored as the host holds them");

constexpr std::array<char, 8> kMagic = {'\x89', 'S', 'V', 'F', '3', '2', '\r', '\n'};
constexpr std::uint32_t kVersion = 1;
constexpr std::size_t kVersionOffset = 8;
constexpr std::size_t kDimOffset = 12;
constexpr std::size_t kCountOffset = 16;
constexpr std::size_t kFingerprintOffset = 24;
constexpr std::size_t kHeaderBytes = 32;
constexpr std::size_t kChecksumBytes = 8;

// The values are handed to the sink in pieces of about this size.
constexpr std::size_t kPieceBytes = std::size_t{1} << 20;

// Entries copied per task of the pool.
constexpr std::size_t kEntriesPerTask = 512;

void put_number(std::string& out, std::uint64_t value, std::size_t bytes) {
  char encoded[8];
  store_le(encoded, value, bytes);
  out.append(encoded, bytes);
}

std::uint64_t number_at(std::string_view file, std::size_t offset, std::size_t bytes) {
  return load_le(file.data() + offset, bytes);
}

// The length of a file of `count` entries of `dim` values, or 0 when it
// would not fit in memory (no such file can be in hand).
std::size_t file_length(std::uint64_t count, std::uint64_t dim) {
  constexpr std::uint64_t kLimit = std::uint64_t{1} << 62;
  if (dim != 0 && count > kLimit / 4 / dim) return 0;
  const std::uint64_t values_bytes = count * dim * 4;
  return static_cast<std::size_t>(kHeaderBytes + values_bytes + kChecksumBytes);
}

}  // namespace

bool encode_vector_file(std::uint64_t snapshot_fingerprint, std::uint32_t dim,
                        std::span<const VectorEntry* const> entries,
                        const std::function<bool(std::string_view)>& sink) {
  Fingerprint checksum;
  std::string piece;
  piece.reserve(kPieceBytes + kHeaderBytes);
  piece.append(kMagic.data(), kMagic.size());
  put_number(piece, kVersion, 4);
  put_number(piece, dim, 4);
  put_number(piece, entries.size(), 8);
  put_number(piece, snapshot_fingerprint, 8);
  const auto hand_over = [&] {
    checksum.update(piece);
    const bool taken = sink(piece);
    piece.clear();
    return taken;
  };
  for (const VectorEntry* entry : entries) {
    const std::span<const float> values = entry->embedding;
    if (values.size() != dim) return false;
    piece.append(reinterpret_cast<const char*>(values.data()), values.size_bytes());
    if (piece.size() >= kPieceBytes && !hand_over()) return false;
  }
  if (!hand_over()) return false;
  put_number(piece, checksum.value(), kChecksumBytes);
  return sink(piece);
}

bool vector_file_belongs_to(std::string_view file, std::uint64_t snapshot_fingerprint) {
  return file.size() >= kHeaderBytes + kChecksumBytes && std::equal(kMagic.begin(), kMagic.end(), file.begin()) &&
         number_at(file, kVersionOffset, 4) == kVersion &&
         number_at(file, kFingerprintOffset, 8) == snapshot_fingerprint;
}

bool take_embeddings(std::string_view file, std::uint64_t snapshot_fingerprint, std::uint64_t dim,
                     std::span<VectorEntry> entries, WorkerPool* pool) {
  // Entries without values have nothing to take; a file that claims them
  // would empty every entry.
  if (dim == 0 || !vector_file_belongs_to(file, snapshot_fingerprint)) return false;
  if (number_at(file, kDimOffset, 4) != dim || number_at(file, kCountOffset, 8) != entries.size()) return false;
  if (file_length(entries.size(), dim) != file.size()) return false;
  const char* const values = file.data() + kHeaderBytes;
  const std::size_t row_bytes = static_cast<std::size_t>(dim) * sizeof(float);
  const std::string_view checked = file.substr(0, file.size() - kChecksumBytes);
  bool whole = false;
  // Task 0 checks the sum while the others copy: the copies are wasted only
  // for a damaged file.
  const std::size_t copy_tasks = (entries.size() + kEntriesPerTask - 1) / kEntriesPerTask;
  auto run = [&](std::size_t task) {
    if (task == 0) {
      whole = fingerprint_of(checked) == number_at(file, checked.size(), kChecksumBytes);
      return;
    }
    const std::size_t first = (task - 1) * kEntriesPerTask;
    const std::size_t last = std::min(entries.size(), first + kEntriesPerTask);
    for (std::size_t i = first; i < last; ++i) {
      std::vector<float>& embedding = entries[i].embedding;
      embedding.resize(dim);
      std::memcpy(embedding.data(), values + i * row_bytes, row_bytes);
    }
  };
  if (pool != nullptr) {
    pool->parallel_for(0, copy_tasks + 1, 1, run);
  } else {
    for (std::size_t task = 0; task <= copy_tasks; ++task) run(task);
  }
  return whole;
}

}  // namespace sorvid
