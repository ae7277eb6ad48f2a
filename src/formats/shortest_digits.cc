#include "formats/shortest_digits.h"

#include <charconv>

namespace sorvid {

DecimalDigits shortest_digits(double value) {
  // Scientific form gives "d.ddde+XX"; read the digits and exponent back.
  char buffer[32];
  const auto result = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::scientific);
  DecimalDigits digits;
  const char* p = buffer;
  for (; p != result.ptr && *p != 'e'; ++p) {
    if (*p >= '0' && *p <= '9') {
      digits.significand = digits.significand * 10 + static_cast<std::uint64_t>(*p - '0');
      --digits.exponent;
    }
  }
  ++digits.exponent;  // the first digit stands before the point
  int scale = 0;
  std::from_chars(p + 1 + (p[1] == '+' ? 1 : 0), result.ptr, scale);
  digits.exponent += scale;
  while (digits.significand % 10 == 0 && digits.significand != 0) {
    digits.significand /= 10;
    ++digits.exponent;
  }
  return digits;
}

}  // namespace sorvid
