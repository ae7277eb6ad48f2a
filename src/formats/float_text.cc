#include "formats/float_text.h"

#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>

#include "formats/json_number.h"
#include "formats/shortest_digits.h"

namespace sorvid {
namespace {

constexpr char kDigitPairs[] =
    "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
    "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
    "8081828384858687888990919293949596979899";

int count_digits(std::uint64_t value) {
  int count = 1;
  while (value >= 10) {
    value /= 10;
    ++count;
  }
  return count;
}

// Writes the `count` decimal digits of `value` at `out`.
void write_digits(char* out, std::uint64_t value, int count) {
  char* p = out + count;
  while (value >= 100) {
    const auto pair = static_cast<unsigned>(value % 100) * 2;
    value /= 100;
    p -= 2;
    std::memcpy(p, kDigitPairs + pair, 2);
  }
  if (value >= 10) {
    p -= 2;
    std::memcpy(p, kDigitPairs + value * 2, 2);
  } else {
    *--p = static_cast<char>('0' + value);
  }
}

char* write_zeros(char* out, int count) {
  std::memset(out, '0', static_cast<std::size_t>(count));
  return out + count;
}

// Lays out digits d1...dn times 10^exponent (of dn). With e the exponent of
// d1: plain digits when min_plain <= e <= max_plain, exponent form beyond.
char* write_decimal(char* out, DecimalDigits digits, int min_plain, int max_plain) {
  const int n = count_digits(digits.significand);
  const int e = digits.exponent + n - 1;
  if (e >= 0 && e <= max_plain) {
    if (n - 1 <= e) {  // an integer: pad with zeros, then ".0"
      write_digits(out, digits.significand, n);
      out = write_zeros(out + n, e + 1 - n);
      std::memcpy(out, ".0", 2);
      return out + 2;
    }
    // Digits on both sides of the point: write them all, then open a gap.
    write_digits(out + 1, digits.significand, n);
    std::memmove(out, out + 1, static_cast<std::size_t>(e + 1));
    out[e + 1] = '.';
    return out + n + 1;
  }
  if (e < 0 && e >= min_plain) {
    std::memcpy(out, "0.", 2);
    out = write_zeros(out + 2, -e - 1);
    write_digits(out, digits.significand, n);
    return out + n;
  }
  write_digits(out + 1, digits.significand, n);
  out[0] = out[1];
  if (n >= 2) {
    out[1] = '.';
    out += n + 1;
  } else {
    out += 1;
  }
  *out++ = 'e';
  *out++ = e < 0 ? '-' : '+';
  const int magnitude = e < 0 ? -e : e;
  const int exponent_digits = count_digits(static_cast<std::uint64_t>(magnitude));
  write_digits(out, static_cast<std::uint64_t>(magnitude), exponent_digits);
  return out + exponent_digits;
}

// The digits written for a positive finite float. The reader takes a
// decimal to the nearest double and then to the nearest float, and in that
// double rounding the shortest digits do not always survive: the shortest
// digits of 7.038530691851209e-26 (bits 0x15ae43fd), "7.038531e-26", lie
// inside its rounding interval, but their nearest double is exactly the
// midpoint to the next float, and ties-to-even reads back that neighbour.
// (Checked for every float, this is the only one, with its negative.) Such
// a value gets the shortest longer digits that the reader does read back;
// nine digits always do.
DecimalDigits file_digits(float magnitude) {
  const DecimalDigits shortest = shortest_digits(magnitude);
  if (decimal_to_float(shortest.significand, shortest.exponent) == magnitude) return shortest;
  const int shortest_length = count_digits(shortest.significand);
  for (int precision = shortest_length; precision < 9; ++precision) {
    // "d.ddde-XX" with `precision` digits after the point, correctly rounded.
    char text[32];
    const auto result = std::to_chars(text, text + sizeof text, magnitude, std::chars_format::scientific, precision);
    DecimalDigits longer;
    const char* p = text;
    for (; p != result.ptr && *p != 'e'; ++p) {
      if (*p != '.') longer.significand = longer.significand * 10 + static_cast<std::uint64_t>(*p - '0');
    }
    int scale = 0;
    std::from_chars(p + 1 + (p[1] == '+' ? 1 : 0), result.ptr, scale);
    longer.exponent = scale - precision;
    if (decimal_to_float(longer.significand, longer.exponent) == magnitude) {
      while (longer.significand % 10 == 0) {
        longer.significand /= 10;
        ++longer.exponent;
      }
      return longer;
    }
  }
  return shortest;  // not reached: nine digits always read back
}

}  // namespace

char* write_float_text(char* out, float value) {
  const std::uint32_t bits = std::bit_cast<std::uint32_t>(value);
  const std::uint32_t magnitude_bits = bits & 0x7fffffffu;
  if (magnitude_bits >= 0x7f800000u) {
    std::memcpy(out, "null", 4);
    return out + 4;
  }
  if ((bits >> 31) != 0) {
    *out++ = '-';
  }
  if (magnitude_bits == 0) {
    std::memcpy(out, "0.0", 3);
    return out + 3;
  }
  return write_decimal(out, file_digits(std::bit_cast<float>(magnitude_bits)), -6, 12);
}

void append_float_text(std::string& out, float value) {
  char buffer[kMaxFloatTextLength];
  char* end = write_float_text(buffer, value);
  out.append(buffer, static_cast<std::size_t>(end - buffer));
}

std::string float_text_for_message(double value) {
  char buffer[40];
  char* out = buffer;
  if (std::signbit(value)) {
    *out++ = '-';
    value = -value;
  }
  if (value == 0) {
    std::memcpy(out, "0.0", 3);
    out += 3;
  } else {
    out = write_decimal(out, shortest_digits(value), -5, 15);
  }
  return std::string(buffer, out);
}

}  // namespace sorvid
