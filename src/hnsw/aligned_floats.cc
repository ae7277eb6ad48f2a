#include "hnsw/aligned_floats.h"

namespace sorvid::hnsw {

AlignedFloats::AlignedFloats(std::size_t count) : memory_(checked_size(count, sizeof(float))) {}

}  // namespace sorvid::hnsw
