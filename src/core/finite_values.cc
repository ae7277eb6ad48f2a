#include "core/finite_values.h"

#include <cmath>

namespace sorvid {

bool all_finite(std::span<const float> values) {
  for (float value : values) {
    if (!std::isfinite(value)) return false;
  }
  return true;
}

}  // namespace sorvid
