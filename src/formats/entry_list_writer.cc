#include "formats/entry_list_writer.h"

#include <algorithm>
#include <atomic>
#include <new>
#include <vector>

#include "base/worker_pool.h"
#include "formats/entry_json.h"

namespace sorvid {
namespace {

// A chunk is a run of consecutive entries of about this much text: large
// enough that handing it out costs nothing, small enough that its buffer
// stays in the cache until it is appended.
constexpr std::size_t kChunkBytes = 256 * 1024;
// Below either of these the pool does not pay for its hand-offs: a list this
// small encodes in well under a millisecond on one thread.
constexpr std::size_t kMinParallelBytes = 4 * 1024 * 1024;
constexpr std::size_t kMinParallelEntries = 256;

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
void encode_range(std::string& out, std::span<const VectorEntry* const> entries, std::size_t begin, std::size_t end) {
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
  WorkerPool& pool = WorkerPool::instance();
  const std::vector<std::size_t> starts = chunk_starts(entries);
  const std::size_t chunk_count = starts.size() - 1;
  // Chunks are handed out in increasing order. Each is encoded into its
  // thread's own buffer, then appended to `out` when its turn comes, that is
  // once the chunk before it has been appended. So the appends of one thread
  // overlap the encoding of the others, memory beyond the document stays at
  // one buffer per thread, and only the thread whose turn it is touches
  // `out` (the turn's release/acquire orders those writes).
  //
  // Every claimed chunk is being encoded by a running thread, so a waiting
  // thread always gets its turn; a loop run inline on one thread takes its
  // chunks in order and never waits.
  std::atomic<std::size_t> turn = 0;
  // An allocation that fails on a pool thread is raised again here, as it
  // would be on the calling thread; the failing chunk still passes the turn on.
  std::atomic<bool> out_of_memory = false;
  pool.parallel_for(0, chunk_count, 1, [&](std::size_t chunk) {
    thread_local std::string text;
    bool encoded = true;
    try {
      text.clear();
      encode_range(text, entries, starts[chunk], starts[chunk + 1]);
    } catch (const std::bad_alloc&) {
      encoded = false;
    }
    for (std::size_t current = turn.load(std::memory_order_acquire); current != chunk;
         current = turn.load(std::memory_order_acquire)) {
      turn.wait(current, std::memory_order_acquire);
    }
    if (encoded && !out_of_memory.load(std::memory_order_relaxed)) {
      try {
        out.append(text);
      } catch (const std::bad_alloc&) {
        encoded = false;
      }
    }
    if (!encoded) out_of_memory.store(true, std::memory_order_relaxed);
    // The buffer outlives the loop (pool threads live on); one that grew for
    // a huge entry is given back.
    if (text.capacity() > 4 * kChunkBytes) std::string().swap(text);
    turn.store(chunk + 1, std::memory_order_release);
    turn.notify_all();
  });
  if (out_of_memory) throw std::bad_alloc();
}

void append_entry_list(std::string& out, std::span<const VectorEntry* const> entries) {
  std::size_t size = 0;
  for (const VectorEntry* entry : entries) size += estimated_entry_size(*entry);
  // The pool is started only for a list this large; a pool of one thread
  // would only add the joining.
  if (entries.size() >= kMinParallelEntries && size >= kMinParallelBytes && WorkerPool::instance().thread_count() > 1) {
    append_entry_list_parallel(out, entries);
  } else {
    append_entry_list_serial(out, entries);
  }
}

}  // namespace sorvid
