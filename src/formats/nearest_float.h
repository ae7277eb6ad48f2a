// The one rounding from double to 32-bit float, for every value the store
// keeps: decoded embedding values and the values Python hands in.
#pragma once

#include <limits>

namespace sorvid {

// The nearest float to `value`, ties to even; beyond the float range an
// infinity of the same sign, and NaN stays NaN.
inline float nearest_float(double value) {
  // Converting a finite double beyond the float range is undefined in C++,
  // so those are rounded by hand: from 2^128 - 2^103 (halfway between the
  // largest float and 2^128) upwards the nearest is infinity.
  constexpr double kInfinityThreshold = 340282356779733661637539395458142568448.0;
  if (value >= kInfinityThreshold) return std::numeric_limits<float>::infinity();
  if (value <= -kInfinityThreshold) return -std::numeric_limits<float>::infinity();
  return static_cast<float>(value);
}

}  // namespace sorvid
