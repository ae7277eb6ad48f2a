// The saved graph: compaction writes the graph it builds to
// "<snapshot>.hnsw", and open takes it back when it belongs to the very
// snapshot bytes just read. The file is a cache of work that a build can
// always redo: any fault in it means only that the first search builds.
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/atomic_file_replacer.h"
#include "core/file.h"
#include "core/paths.h"
#include "core/store_core.h"

namespace sorvid {
namespace {

// A saved graph takes well under this many bytes per node; anything larger
// is not one, and is not read.
constexpr std::uint64_t kMaxGraphBytesPerNode = 2048;
constexpr std::uint64_t kMaxGraphHeaderBytes = 1 << 20;

// The whole file at `path`, mapped where the file system can map it and
// read into a buffer otherwise.
struct GraphBytes {
  std::unique_ptr<FileMapping> mapping;
  std::unique_ptr<char[]> buffer;
  std::size_t size = 0;

  std::span<const char> bytes() const {
    return mapping ? std::span<const char>(mapping->bytes().data(), mapping->bytes().size())
                   : std::span<const char>(buffer.get(), size);
  }
};

// The file at `path` when it is a plausible saved graph for `node_count`
// nodes, otherwise nothing. The size is checked before the file is opened,
// and only a regular file is opened.
std::optional<GraphBytes> read_graph_file(FileSystem& fs, const std::string& path, std::size_t node_count) {
  Result<FileAttributes, OsError> attributes = fs.attributes(path);
  if (!attributes || attributes.value().kind != FileKind::kRegular) return std::nullopt;
  const std::uint64_t size = attributes.value().size;
  if (size == 0 || size > kMaxGraphHeaderBytes + kMaxGraphBytesPerNode * node_count) return std::nullopt;
  Result<File, StoreError> file = File::open(fs, path, OpenMode::kRead);
  if (!file) return std::nullopt;
  // A mapping spares a fresh buffer's page faults and the copy of a read.
  // The file is only ever replaced whole by a rename, never rewritten in
  // place, so the mapped bytes stay those of the file opened.
  Result<std::unique_ptr<FileMapping>, OsError> mapped = file.value().map_whole();
  if (mapped) return GraphBytes{std::move(mapped).value(), nullptr, 0};
  // Not zeroed first: the read fills it.
  const auto length = static_cast<std::size_t>(size);
  auto buffer = std::make_unique_for_overwrite<char[]>(length);
  Result<std::size_t, StoreError> read = file.value().read_at(0, std::span<char>(buffer.get(), length));
  if (!read || read.value() != length) return std::nullopt;
  return GraphBytes{nullptr, std::move(buffer), length};
}

}  // namespace

void StoreCore::save_graph(std::uint64_t snapshot_fingerprint) {
  const std::string path = graph_path_for(snapshot_path_);
  if (!index_) {
    // An empty store has no graph; one left from before would be stale.
    (void)fs_->remove(path);
    return;
  }
  Result<AtomicFileReplacer, StoreError> replacer = AtomicFileReplacer::begin(*fs_, path);
  if (!replacer) return;
  Result<void, StoreError> step = {};
  const bool whole = index_->write_graph(snapshot_fingerprint, [&](std::span<const char> piece) {
    step = replacer.value().write(std::string_view(piece.data(), piece.size()));
    return step.ok();
  });
  // An unfinished replacer removes its temporary file when it goes away.
  if (whole && step) (void)replacer.value().commit();
}

void StoreCore::load_graph(std::uint64_t snapshot_fingerprint, const std::vector<VectorEntry>& listed) {
  if (listed.empty()) return;
  // Value i is snapshot entry i; a snapshot that lists an id twice keeps
  // only the later entry, which the saved graph cannot know.
  for (std::size_t position = 0; position < listed.size(); ++position) {
    if (!slot_of_id_.emplace(listed[position].id, position).second) {
      slot_of_id_.clear();
      return;
    }
  }
  const auto bytes = read_graph_file(*fs_, graph_path_for(snapshot_path_), listed.size());
  std::optional<hnsw::VectorIndex> loaded;
  if (bytes) {
    // The index reads these buffers in place from here on: the caller moves
    // the listed entries into the map, which keeps each embedding's buffer.
    std::vector<std::span<const float>> points;
    points.reserve(listed.size());
    for (const VectorEntry& entry : listed) points.push_back(entry.embedding);
    loaded = hnsw::VectorIndex::read_graph(bytes->bytes(), snapshot_fingerprint, points);
  }
  if (!loaded) {
    slot_of_id_.clear();
    return;
  }
  index_ = std::move(loaded);
  index_ids_.reserve(listed.size());
  for (const VectorEntry& entry : listed) index_ids_.push_back(entry.id);
}

}  // namespace sorvid
