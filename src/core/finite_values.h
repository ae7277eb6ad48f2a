// The check that keeps NaN and infinities out of the store: the files spell
// such values null, which no reader accepts, so a store holding one could not
// be opened again.
#pragma once

#include <span>

namespace sorvid {

bool all_finite(std::span<const float> values);

}  // namespace sorvid
