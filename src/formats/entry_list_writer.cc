#include "formats/entry_list_writer.h"

#include <algorithm>
#include <atomic>
#include <new>
#include <vector>

#include "formats/wal_record.h"
#include "hnsw/worker_pool.h"

namespace sorvid {
namespace {

// A chunk is a run of consecutive entries of about this much text: large
// enough that handing it out costs nothing, small enough that its buffer
// stays in the cache until it is joined.
constexpr std::size_t kChunkBytes = 256 * 1024;
// Below either of these the pool does not pay for its hand-offs. A store
// with this many entries starts the pool for its index anyway (from 111
// entries), so encoding in parallel adds no threads the store would not have.
constexpr std::size_t kMinParallelBytes = 4 * 1024 * 1024;
constexpr std::size_t kMinParallelEntries = 256;
// Chunks per pool thread in one wave. Chunks are encoded a wave at a time
// and joined after it, so that memory beyond the document stays bounded.
constexpr std::size_t kChunksPerThread = 4;

// Where each chunk starts, and after the last one the end of the list.
std::vector<std::size_t> chunk_starts(std::span<const VectorEntry* const> entries) {
  std::vector<std::size_t> starts = {0};
  std::size_t size = 0;
  for (std::size_t i = 0; i < entries.size(); ++i) {
    size += estimated_entry_size(*entries[i]);
    if (size >= kChunkBytes) {
      starts.push_back(i + 1);
      size = 0;
    }
  }
  if (starts.back() != entries.size()) starts.push_back(entries.size());
  return starts;
}

// Entries [begin, end) with the "," before each one but the list's first.
void encode_range(std::string& out, std::span<const VectorEntry* const> entries, std::size_t begin,
                  std::size_t end) {
  for (std::size_t i = begin; i < end; ++i) {
    if (i != 0) out.push_back(',');
    encode_entry(*entries[i], out);
  }
}

}  // namespace

std::size_t estimated_entry_size(const VectorEntry& entry) {
  return 64 + entry.id.size() + entry.metadata.size() + entry.created_at.size() + entry.embedding.size() * 12;
}

void append_entry_list_serial(std::string& out, std::span<const VectorEntry* const> entries) {
  encode_range(out, entries, 0, entries.size());
}

void append_entry_list_parallel(std::string& out, std::span<const VectorEntry* const> entries) {
  hnsw::WorkerPool& pool = hnsw::WorkerPool::instance();
  const std::vector<std::size_t> starts = chunk_starts(entries);
  const std::size_t chunk_count = starts.size() - 1;
  const std::size_t wave = std::max<std::size_t>(pool.thread_count(), 1) * kChunksPerThread;
  // One buffer per chunk of a wave, reused by the next wave.
  std::vector<std::string> texts(std::min(wave, chunk_count));
  // An allocation that fails on a pool thread is raised again here, as it
  // would be on the calling thread.
  std::atomic<bool> out_of_memory = false;
  for (std::size_t first = 0; first < chunk_count; first += wave) {
    const std::size_t last = std::min(first + wave, chunk_count);
    pool.parallel_for(first, last, 1, [&](std::size_t chunk) {
      std::string& text = texts[chunk - first];
      text.clear();
      try {
        encode_range(text, entries, starts[chunk], starts[chunk + 1]);
      } catch (const std::bad_alloc&) {
        out_of_memory = true;
      }
    });
    if (out_of_memory) throw std::bad_alloc();
    for (std::size_t chunk = first; chunk < last; ++chunk) out.append(texts[chunk - first]);
  }
}

void append_entry_list(std::string& out, std::span<const VectorEntry* const> entries) {
  std::size_t size = 0;
  for (const VectorEntry* entry : entries) size += estimated_entry_size(*entry);
  // The pool is started only for a list this large; a pool of one thread
  // would only add the joining.
  if (entries.size() >= kMinParallelEntries && size >= kMinParallelBytes &&
      hnsw::WorkerPool::instance().thread_count() > 1) {
    append_entry_list_parallel(out, entries);
  } else {
    append_entry_list_serial(out, entries);
  }
}

}  // namespace sorvid
