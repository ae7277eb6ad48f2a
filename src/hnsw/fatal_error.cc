#include "hnsw/fatal_error.h"

#include <cstdio>
#include <cstdlib>

namespace sorvid::hnsw {

void fatal_error(const char* message) {
  std::fprintf(stderr, "sorvid: %s\n", message);
  std::fflush(stderr);
  std::abort();
}

}  // namespace sorvid::hnsw
