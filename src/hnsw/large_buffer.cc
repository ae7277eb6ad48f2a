#include "hnsw/large_buffer.h"

#include <sys/mman.h>

#include <cstdint>
#include <cstring>
#include <new>
#include <utility>

#include "hnsw/fatal_error.h"

namespace sorvid::hnsw {
namespace {

constexpr std::size_t kHugePage = std::size_t{2} << 20;

std::size_t round_up(std::size_t value, std::size_t multiple) {
  return (value + multiple - 1) / multiple * multiple;
}

// Maps `bytes` (a multiple of kHugePage) at an address aligned to kHugePage,
// so that every 2 MiB of it can be one huge page. Returns nullptr on failure.
void* map_huge_aligned(std::size_t bytes) {
  const std::size_t padded = bytes + kHugePage;
  void* raw = mmap(nullptr, padded, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (raw == MAP_FAILED) return nullptr;
  const auto start = reinterpret_cast<std::uintptr_t>(raw);
  const std::uintptr_t aligned = round_up(start, kHugePage);
  // Give back the unaligned head and the unused tail.
  if (aligned > start) munmap(raw, aligned - start);
  const std::size_t tail = start + padded - (aligned + bytes);
  if (tail > 0) munmap(reinterpret_cast<void*>(aligned + bytes), tail);
  void* memory = reinterpret_cast<void*>(aligned);
#ifdef MADV_HUGEPAGE
  // Only advice: without huge pages the memory works the same, just slower.
  madvise(memory, bytes, MADV_HUGEPAGE);
#endif
  return memory;
}

}  // namespace

LargeBuffer::LargeBuffer(std::size_t bytes) : bytes_(bytes) {
  if (bytes == 0) return;
  if (bytes >= kHugePage) {
    const std::size_t mapped = round_up(bytes, kHugePage);
    // Fresh anonymous mappings read as zeros.
    data_ = map_huge_aligned(mapped);
    if (data_ == nullptr) fatal_error("out of memory for an index array");
    mapped_bytes_ = mapped;
    return;
  }
  data_ = ::operator new(bytes, std::align_val_t{kAlignment});
  std::memset(data_, 0, bytes);
}

LargeBuffer::~LargeBuffer() { release(); }

LargeBuffer::LargeBuffer(LargeBuffer&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)),
      bytes_(std::exchange(other.bytes_, 0)),
      mapped_bytes_(std::exchange(other.mapped_bytes_, 0)) {}

LargeBuffer& LargeBuffer::operator=(LargeBuffer&& other) noexcept {
  if (this != &other) {
    release();
    data_ = std::exchange(other.data_, nullptr);
    bytes_ = std::exchange(other.bytes_, 0);
    mapped_bytes_ = std::exchange(other.mapped_bytes_, 0);
  }
  return *this;
}

void LargeBuffer::release() {
  if (data_ == nullptr) return;
  if (mapped_bytes_ > 0) {
    munmap(data_, mapped_bytes_);
  } else {
    ::operator delete(data_, std::align_val_t{kAlignment});
  }
  data_ = nullptr;
  bytes_ = 0;
  mapped_bytes_ = 0;
}

}  // namespace sorvid::hnsw
