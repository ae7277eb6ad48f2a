#include "formats/entry_list_reader.h"

#include <algorithm>
#include <iterator>
#include <limits>
#include <string_view>
#include <utility>

#include "formats/entry_json.h"

namespace sorvid {
namespace {

// What the encoder writes between two entries; a chunk is guessed to start
// at its "{".
constexpr std::string_view kEntrySeparator = "},{\"id\":";
constexpr std::size_t kSeparatorBraceOffset = 2;
constexpr std::size_t kNoLimit = std::numeric_limits<std::size_t>::max();

// Why a run of elements stopped, when it did not fail.
enum class Stop {
  kArrayEnd,  // at the "]"
  kLimit,     // at the first element that starts at or past the run's limit
};

// Decodes elements until one starts at or past `limit`, the array ends, or
// an error. `at_element`: the reader stands at an element, after its comma;
// otherwise just after the "[".
ReadResult<Stop> decode_run(JsonReader& reader, std::vector<VectorEntry>& entries, bool at_element, std::size_t limit,
                            EmbeddingText embedding_text) {
  bool first = !at_element;
  for (;;) {
    if (!at_element) {
      auto more = reader.next_element(first);
      if (!more) return fail(std::move(more).error());
      if (!more.value()) return Stop::kArrayEnd;
      if (reader.consumed() >= limit) return Stop::kLimit;
    }
    at_element = false;
    // Entries of one store share their length; reserve the last one's.
    const std::size_t capacity = entries.empty() ? 0 : entries.back().embedding.size();
    if (auto entry = read_entry(reader, entries.emplace_back(), capacity, embedding_text); !entry) {
      return fail(std::move(entry).error());
    }
  }
}

// Guessed element starts, about `chunk_bytes` apart, after byte `from`.
std::vector<std::size_t> guess_chunk_starts(std::string_view text, std::size_t from, std::size_t chunk_bytes) {
  std::vector<std::size_t> starts;
  std::size_t target = from;
  while (text.size() - target > chunk_bytes) {
    const std::size_t found = text.find(kEntrySeparator, target + chunk_bytes);
    if (found == std::string_view::npos) break;
    target = found + kSeparatorBraceOffset;
    starts.push_back(target);
  }
  return starts;
}

struct Chunk {
  Chunk(JsonReader start, std::size_t stop_at, bool starts_at_element, EmbeddingText embeddings)
      : reader(std::move(start)), limit(stop_at), at_element(starts_at_element), embedding_text(embeddings) {}

  JsonReader reader;  // at the chunk's start, then where it stopped
  std::size_t limit;
  bool at_element;
  EmbeddingText embedding_text;
  std::vector<VectorEntry> entries;
  ReadResult<Stop> outcome = Stop::kLimit;

  void decode() { outcome = decode_run(reader, entries, at_element, limit, embedding_text); }
};

// Takes the chunks' entries in text order, from the first chunk through
// those whose start the chunk before ended at; the first that failed gives
// the error. Where a chunk ended at no chunk's start, the rest is decoded in
// one pass.
ReadResult<void> join_chunks(JsonReader& reader, std::vector<VectorEntry>& entries, std::vector<Chunk>& chunks,
                             const std::vector<std::size_t>& starts) {
  std::size_t total = entries.size();
  for (const Chunk& chunk : chunks) total += chunk.entries.size();
  entries.reserve(total);
  std::size_t index = 0;
  for (;;) {
    Chunk& chunk = chunks[index];
    std::move(chunk.entries.begin(), chunk.entries.end(), std::back_inserter(entries));
    reader = chunk.reader;
    if (!chunk.outcome) return fail(std::move(chunk.outcome).error());
    if (chunk.outcome.value() == Stop::kArrayEnd) return {};
    const auto next = std::lower_bound(starts.begin(), starts.end(), reader.consumed());
    if (next == starts.end() || *next != reader.consumed()) {
      auto rest = decode_run(reader, entries, true, kNoLimit, chunk.embedding_text);
      if (!rest) return fail(std::move(rest).error());
      return {};
    }
    index = static_cast<std::size_t>(next - starts.begin()) + 1;
  }
}

}  // namespace

ReadResult<void> read_entry_list(JsonReader& reader, std::vector<VectorEntry>& entries, EmbeddingText embedding_text) {
  auto run = decode_run(reader, entries, false, kNoLimit, embedding_text);
  if (!run) return fail(std::move(run).error());
  return {};
}

ReadResult<void> read_entry_list_in_chunks(JsonReader& reader, std::vector<VectorEntry>& entries, WorkerPool& pool,
                                           std::size_t chunk_bytes, EmbeddingText embedding_text) {
  const std::vector<std::size_t> starts = guess_chunk_starts(reader.text(), reader.consumed(), chunk_bytes);
  if (starts.empty()) return read_entry_list(reader, entries, embedding_text);
  std::vector<Chunk> chunks;
  chunks.reserve(starts.size() + 1);
  chunks.emplace_back(reader, starts.front(), false, embedding_text);
  for (std::size_t i = 0; i < starts.size(); ++i) {
    chunks.emplace_back(reader.at(starts[i]), i + 1 < starts.size() ? starts[i + 1] : kNoLimit, true, embedding_text);
  }
  pool.parallel_for(0, chunks.size(), 1, [&](std::size_t i) { chunks[i].decode(); });
  return join_chunks(reader, entries, chunks, starts);
}

}  // namespace sorvid
