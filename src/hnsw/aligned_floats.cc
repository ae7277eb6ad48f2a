#include "hnsw/aligned_floats.h"

namespace sorvid::hnsw {

AlignedFloats::AlignedFloats(std::size_t count) : memory_(count * sizeof(float)) {}

}  // namespace sorvid::hnsw
