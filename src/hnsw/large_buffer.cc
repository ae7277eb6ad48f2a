#include "hnsw/large_buffer.h"

#include <sys/mman.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <limits>
#include <new>
#include <utility>

#include "base/memory.h"

namespace sorvid::hnsw {
namespace {

// Maps `bytes` (a multiple of kHugePageSize) at an address aligned to kHugePageSize,
// so that every 2 MiB of it can be one huge page. Returns nullptr on failure.
void* map_huge_aligned(std::size_t bytes) {
  const std::size_t padded = bytes + kHugePageSize;
  void* raw = mmap(nullptr, padded, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (raw == MAP_FAILED) return nullptr;
  const auto start = reinterpret_cast<std::uintptr_t>(raw);
  const std::uintptr_t aligned = round_up(start, kHugePageSize);
  // Give back the unaligned head and the unused tail.
  if (aligned > start) munmap(raw, aligned - start);
  const std::size_t tail = start + padded - (aligned + bytes);
  if (tail > 0) munmap(reinterpret_cast<void*>(aligned + bytes), tail);
  void* memory = reinterpret_cast<void*>(aligned);
  advise_huge_pages(memory, bytes);
  return memory;
}

}  // namespace

LargeBuffer::LargeBuffer(std::size_t bytes) : bytes_(bytes) {
  if (bytes == 0) return;
  if (bytes >= kHugePageSize) {
    // Sizes near the top of the address space would wrap when rounded and
    // padded; no system could map them anyway.
    if (bytes > std::numeric_limits<std::size_t>::max() / 2) throw std::bad_alloc();
    const std::size_t mapped = round_up(bytes, kHugePageSize);
    // Fresh anonymous mappings read as zeros.
    data_ = map_huge_aligned(mapped);
    if (data_ == nullptr) throw std::bad_alloc();
    mapped_bytes_ = mapped;
    return;
  }
  data_ = ::operator new(bytes, std::align_val_t{kAlignment});
  std::memset(data_, 0, bytes);
}

LargeBuffer::~LargeBuffer() { release(); }

void LargeBuffer::reserve(std::size_t bytes) {
  if (bytes <= bytes_) return;
  LargeBuffer grown(std::max(bytes, bytes_ + bytes_ / 2));
  if (bytes_ > 0) std::memcpy(grown.data_, data_, bytes_);
  *this = std::move(grown);
}

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
