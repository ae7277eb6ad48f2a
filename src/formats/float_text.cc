#include "formats/float_text.h"

#include <algorithm>
#include <bit>
#include <span>
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

constexpr std::uint64_t kPowersOfTen[] = {1ull,
                                          10ull,
                                          100ull,
                                          1000ull,
                                          10000ull,
                                          100000ull,
                                          1000000ull,
                                          10000000ull,
                                          100000000ull,
                                          1000000000ull,
                                          10000000000ull,
                                          100000000000ull,
                                          1000000000000ull,
                                          10000000000000ull,
                                          100000000000000ull,
                                          1000000000000000ull,
                                          10000000000000000ull,
                                          100000000000000000ull,
                                          1000000000000000000ull,
                                          10000000000000000000ull};

// Number of decimal digits of a value >= 1: log10 estimated from the bit
// length (1233 / 4096 ~ log10(2)), corrected by one comparison.
int count_digits(std::uint64_t value) {
  const int estimate = ((64 - std::countl_zero(value | 1)) * 1233) >> 12;
  return estimate + (value >= kPowersOfTen[estimate] ? 1 : 0);
}

void write_pair(char* out, std::uint32_t pair) { std::memcpy(out, kDigitPairs + pair * 2, 2); }

// Where the digits of a significand stand in a buffer with zeros on both
// sides: at least 8 before them and kZerosAfter after them, so that the
// plain layouts are fixed-size copies out of one buffer.
struct DigitRun {
  const char* digits;
  int count;
};

constexpr int kZerosBefore = 8;
constexpr int kZerosAfter = 40;
constexpr int kCopy = 24;  // fixed copy size: at least the longest piece of text

using DigitBuffer = char[kZerosBefore + 20 + kZerosAfter];

[[gnu::always_inline]] inline DigitRun digit_run(std::uint64_t significand, DigitBuffer& buffer) {
  std::memset(buffer, '0', kZerosBefore);
  char* field = buffer + kZerosBefore;
  int width;
  if (significand < 1000000000) {
    // Nine digits, zero-padded, in pairs: the common case of a float.
    const auto value = static_cast<std::uint32_t>(significand);
    const std::uint32_t high = value / 100000000;
    const std::uint32_t low = value - high * 100000000;
    const std::uint32_t upper = low / 10000;
    const std::uint32_t lower = low - upper * 10000;
    field[0] = static_cast<char>('0' + high);
    write_pair(field + 1, upper / 100);
    write_pair(field + 3, upper % 100);
    write_pair(field + 5, lower / 100);
    write_pair(field + 7, lower % 100);
    width = 9;
  } else {
    width = 20;
    std::uint64_t rest = significand;
    for (int i = width - 2; i >= 0; i -= 2) {
      write_pair(field + i, static_cast<std::uint32_t>(rest % 100));
      rest /= 100;
    }
  }
  std::memset(field + width, '0', kZerosAfter);
  const int count = count_digits(significand);
  return {field + width - count, count};
}

// Lays out significand times 10^exponent. With n digits and e the exponent
// of the first digit: plain when min_plain <= e <= max_plain, exponent
// form beyond. Copies fixed-size blocks: `out` needs kFloatTextRoom bytes.
template <int min_plain, int max_plain>
char* write_decimal(char* out, std::uint64_t significand, int exponent) {
  static_assert(-min_plain < kZerosBefore && max_plain + 1 + kCopy <= kZerosAfter);
  DigitBuffer buffer;
  const DigitRun run = digit_run(significand, buffer);
  const int n = run.count;
  const char* digits = run.digits;
  const int e = exponent + n - 1;
  if (e >= min_plain && e <= max_plain) [[likely]] {
    // The integer part is d1...d(e+1) padded with zeros, or the single zero
    // before the digits; the fraction is what follows, at least one digit.
    // One uniform layout, so that no branch depends on the exponent.
    const int integer_length = std::max(e, 0) + 1;
    const int fraction_length = std::max(n - e - 1, 1);
    std::memcpy(out, digits + std::min(e, 0), kCopy);
    out[integer_length] = '.';
    std::memcpy(out + integer_length + 1, digits + e + 1, kCopy);
    return out + integer_length + 1 + fraction_length;
  }
  out[0] = digits[0];
  if (n >= 2) {
    out[1] = '.';
    std::memcpy(out + 2, digits + 1, kCopy);
    out += n + 1;
  } else {
    out += 1;
  }
  *out++ = 'e';
  *out++ = e < 0 ? '-' : '+';
  const auto magnitude = static_cast<std::uint32_t>(e < 0 ? -e : e);
  if (magnitude >= 100) *out++ = static_cast<char>('0' + magnitude / 100);
  if (magnitude >= 10) *out++ = kDigitPairs[(magnitude % 100) * 2];
  *out++ = static_cast<char>('0' + magnitude % 10);
  return out;
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
bool reads_back(DecimalDigits digits, float magnitude) {
  if (digits.significand <= kMaxExactInDouble && digits.exponent >= -22 && digits.exponent <= 22) {
    // The reader's fast path; the result lies well inside the float range.
    const auto value = static_cast<double>(digits.significand);
    const double exact = digits.exponent < 0 ? value / kExactPowersOfTen[-digits.exponent]
                                             : value * kExactPowersOfTen[digits.exponent];
    return static_cast<float>(exact) == magnitude;
  }
  return decimal_to_float(digits.significand, digits.exponent) == magnitude;
}

[[gnu::noinline]] DecimalDigits longer_digits(float magnitude, DecimalDigits shortest);

DecimalDigits file_digits(float magnitude) {
  const DecimalDigits shortest = shortest_digits(magnitude);
  if (reads_back(shortest, magnitude)) [[likely]] return shortest;
  return longer_digits(magnitude, shortest);
}

DecimalDigits longer_digits(float magnitude, DecimalDigits shortest) {
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
    if (reads_back(longer, magnitude)) {
      while (longer.significand % 10 == 0) {
        longer.significand /= 10;
        ++longer.exponent;
      }
      return longer;
    }
  }
  return shortest;  // not reached: nine digits always read back
}

[[gnu::always_inline]] inline char* write_float_text_inline(char* out, float value) {
  const std::uint32_t bits = std::bit_cast<std::uint32_t>(value);
  const std::uint32_t magnitude_bits = bits & 0x7fffffffu;
  if (magnitude_bits >= 0x7f800000u) {
    std::memcpy(out, "null", 4);
    return out + 4;
  }
  // The sign without a branch: half of varied data is negative.
  *out = '-';
  out += bits >> 31;
  if (magnitude_bits == 0) {
    std::memcpy(out, "0.0", 3);
    return out + 3;
  }
  const DecimalDigits digits = file_digits(std::bit_cast<float>(magnitude_bits));
  return write_decimal<-6, 12>(out, digits.significand, digits.exponent);
}

}  // namespace

char* write_float_text(char* out, float value) { return write_float_text_inline(out, value); }

void append_float_array(std::string& out, std::span<const float> values) {
  // The texts go into a local chunk first, which gives the writer the room
  // it scribbles in, and reach `out` a chunk at a time.
  char chunk[8192];
  char* const flush_mark = chunk + sizeof chunk - kFloatTextRoom - 2;
  char* p = chunk;
  *p++ = '[';
  for (std::size_t i = 0; i < values.size(); ++i) {
    if (p > flush_mark) {
      out.append(chunk, p);
      p = chunk;
    }
    if (i != 0) *p++ = ',';
    p = write_float_text_inline(p, values[i]);
  }
  *p++ = ']';
  out.append(chunk, p);
}

void append_float_text(std::string& out, float value) {
  char buffer[kFloatTextRoom];
  char* end = write_float_text(buffer, value);
  out.append(buffer, static_cast<std::size_t>(end - buffer));
}

std::string float_text_for_message(double value) {
  char buffer[kFloatTextRoom + 8];
  char* out = buffer;
  if (std::signbit(value)) {
    *out++ = '-';
    value = -value;
  }
  if (value == 0) {
    std::memcpy(out, "0.0", 3);
    out += 3;
  } else {
    const DecimalDigits digits = shortest_digits(value);
    out = write_decimal<-5, 15>(out, digits.significand, digits.exponent);
  }
  return std::string(buffer, out);
}

}  // namespace sorvid
