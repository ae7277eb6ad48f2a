// LargeBuffer: zero-filled memory for the big arrays of an index (points,
// link lists), backed by huge pages where the system offers them.
//
// A build and a query touch rows and lists all over these arrays in random
// order. With 4 KiB pages almost every such touch also misses the address
// translation cache; on 2 MiB pages the same arrays need a few dozen
// translations, which stay cached. It shows most in a query that comes after
// other work has pushed the index out of the caches, as in an application
// that does more than search: on 4 KiB pages such a query took half as long
// again, on huge pages a quarter. The price is paid when the pages are
// first touched: where no free huge page is at hand the kernel compacts
// memory on the spot (0.3-0.4 s of system time in a build of 60,000 points
// on a machine whose memory was full of page cache). Buffers under one huge
// page come from the ordinary allocator, cache-line aligned.
#pragma once

#include <cstddef>
#include <new>

namespace sorvid::hnsw {

// count * size, or std::bad_alloc when that does not fit in a size_t: no
// array of that size could be allocated.
inline std::size_t checked_size(std::size_t count, std::size_t size) {
  std::size_t product = 0;
  if (__builtin_mul_overflow(count, size, &product)) throw std::bad_alloc();
  return product;
}

class LargeBuffer {
 public:
  static constexpr std::size_t kAlignment = 64;

  LargeBuffer() = default;
  // `bytes` zero bytes, the start aligned to kAlignment. Throws
  // std::bad_alloc when the memory cannot be had.
  explicit LargeBuffer(std::size_t bytes);
  ~LargeBuffer();

  LargeBuffer(LargeBuffer&& other) noexcept;
  LargeBuffer& operator=(LargeBuffer&& other) noexcept;
  LargeBuffer(const LargeBuffer&) = delete;
  LargeBuffer& operator=(const LargeBuffer&) = delete;

  // Makes room for at least `bytes`, keeping the contents; the new capacity
  // is at least 1.5 times the old one, so that growing step by step copies
  // each byte a bounded number of times. Bytes past the old size read zero.
  // Throws std::bad_alloc, the buffer unchanged, when the memory cannot be
  // had.
  void reserve(std::size_t bytes);

  void* data() { return data_; }
  const void* data() const { return data_; }
  std::size_t size() const { return bytes_; }

 private:
  void release();

  void* data_ = nullptr;
  std::size_t bytes_ = 0;
  std::size_t mapped_bytes_ = 0;  // 0 when the memory came from operator new
};

}  // namespace sorvid::hnsw
