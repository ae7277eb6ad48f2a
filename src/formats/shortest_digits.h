// The shortest decimal digits that read back as a given binary float.
#pragma once

#include <cstdint>

namespace sorvid {

// A positive decimal `significand` times 10 to the power `exponent`, where
// `significand` has no trailing zeros.
struct DecimalDigits {
  std::uint64_t significand = 0;
  int exponent = 0;
};

// For a finite, nonzero, positive float: the shortest digit string that
// rounds back to it (at most 9 digits); of several such strings of that
// length, the one nearest the exact value, and of two equally near, the one
// whose last digit is even.
DecimalDigits shortest_digits(float value);

// The same for a double (at most 17 digits). Used only for error messages.
DecimalDigits shortest_digits(double value);

}  // namespace sorvid
