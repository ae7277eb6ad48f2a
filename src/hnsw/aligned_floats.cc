#include "hnsw/aligned_floats.h"

#include <cstring>
#include <new>

namespace sorvid::hnsw {

AlignedFloats::AlignedFloats(std::size_t count) : size_(count) {
  if (count == 0) return;
  void* memory = ::operator new(count * sizeof(float), std::align_val_t{kAlignment});
  std::memset(memory, 0, count * sizeof(float));
  data_.reset(static_cast<float*>(memory));
}

void AlignedFloats::AlignedDelete::operator()(float* p) const {
  ::operator delete(p, std::align_val_t{kAlignment});
}

}  // namespace sorvid::hnsw
