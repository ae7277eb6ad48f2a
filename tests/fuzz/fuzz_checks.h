// Checks shared by the fuzz targets. A failed check aborts, which libFuzzer
// reports as a crash and saves the input that caused it.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "base/vector_entry.h"

namespace sorvid::fuzz {

[[noreturn]] inline void check_failed(const char* what) {
  std::fprintf(stderr, "fuzz check failed: %s\n", what);
  std::abort();
}

inline void check(bool holds, const char* what) {
  if (!holds) check_failed(what);
}

// Every value finite: only such entries can be written and read back.
inline bool all_finite(const std::vector<float>& values) {
  for (float value : values) {
    if (!(value - value == 0.0f)) return false;  // NaN and infinities give NaN
  }
  return true;
}

// Equal down to the bits of every float (0.0 and -0.0 differ).
inline bool identical(const VectorEntry& a, const VectorEntry& b) {
  return a.id == b.id && a.metadata == b.metadata && a.created_at == b.created_at &&
         a.embedding.size() == b.embedding.size() &&
         (a.embedding.empty() ||
          std::memcmp(a.embedding.data(), b.embedding.data(), a.embedding.size() * sizeof(float)) == 0);
}

}  // namespace sorvid::fuzz
