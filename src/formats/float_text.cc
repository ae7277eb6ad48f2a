#include "formats/float_text.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <span>

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
  std::fill_n(buffer, kZerosBefore, '0');
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

// The digits of one value in their buffer, ready to be laid out. Writing
// the buffers of several values before laying any of them out lets the
// stores into a buffer complete before the layout reads it back in larger
// blocks; read back at once, the blocks would wait for those stores.
struct StagedDigits {
  DigitBuffer buffer;
  DigitRun run;
  int exponent;  // of the significand's last digit
};

[[gnu::always_inline]] inline void stage_digits(StagedDigits& staged, std::uint64_t significand, int exponent) {
  staged.run = digit_run(significand, staged.buffer);
  staged.exponent = exponent;
}

// Lays out the staged significand times 10^exponent. With n digits and e
// the exponent of the first digit: plain when kMinPlain <= e <= kMaxPlain,
// exponent form beyond. Copies fixed-size blocks: `out` needs
// kFloatTextRoom bytes.
template <int kMinPlain, int kMaxPlain>
[[gnu::always_inline]] inline char* write_staged(char* out, const StagedDigits& staged) {
  static_assert(-kMinPlain < kZerosBefore && kMaxPlain + 1 + kCopy <= kZerosAfter);
  const int n = staged.run.count;
  const char* digits = staged.run.digits;
  const int e = staged.exponent + n - 1;
  if (e >= kMinPlain && e <= kMaxPlain) [[likely]] {
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

template <int kMinPlain, int kMaxPlain>
char* write_decimal(char* out, std::uint64_t significand, int exponent) {
  StagedDigits staged;
  stage_digits(staged, significand, exponent);
  return write_staged<kMinPlain, kMaxPlain>(out, staged);
}

// The one float whose shortest digits do not read back. The reader takes a
// decimal to the nearest double and then to the nearest float, and in that
// double rounding the shortest digits do not always survive: the shortest
// digits of 7.038530691851209e-26 (bits 0x15ae43fd), "7.038531e-26", lie
// inside its rounding interval, but their nearest double is exactly the
// midpoint to the next float, and ties-to-even reads back that neighbour.
// Reading every positive float's shortest digits back through the reader
// finds this one and no other (its negative shares the magnitude; `make
// exhaustive` checks this); it is written with the shortest longer digits
// that do read back.
constexpr std::uint32_t kDoubleRoundingException = 0x15ae43fdu;
constexpr DecimalDigits kDoubleRoundingExceptionDigits = {70385307, -33};  // "7.0385307e-26"

// The digits written for a positive finite float.
[[gnu::always_inline]] inline DecimalDigits file_digits(float magnitude) {
  if (std::bit_cast<std::uint32_t>(magnitude) == kDoubleRoundingException) [[unlikely]] {
    return kDoubleRoundingExceptionDigits;
  }
  return shortest_digits(magnitude);
}

// For the values without digits, writes "null", "0.0" or "-0.0" and
// returns the end; for any other value, writes its sign (a "-" or
// nothing), advances `out` past it and returns nullptr.
[[gnu::always_inline]] inline char* write_sign_or_special(char*& out, float value) {
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
  return nullptr;
}

[[gnu::always_inline]] inline char* write_float_text_inline(char* out, float value) {
  if (char* end = write_sign_or_special(out, value)) return end;
  const DecimalDigits digits = file_digits(std::fabs(value));
  return write_decimal<-6, 12>(out, digits.significand, digits.exponent);
}

// The eight decimal digits of value < 10^8, one per byte with the first in
// the lowest byte, as numbers 0 to 9. The divisions run on all lanes of one
// word at once: two 4-digit groups in 32-bit lanes, split into 2-digit
// groups in 16-bit lanes, split into digits. x * 10486 >> 20 equals x / 100
// for x < 10^4, and x * 103 >> 10 equals x / 10 for x < 100; no lane's
// product reaches into the next lane.
std::uint64_t eight_digit_bytes(std::uint32_t value) {
  static_assert(std::endian::native == std::endian::little, "the first digit goes to the lowest byte");
  const std::uint64_t high = value / 10000;
  const std::uint64_t quads = high | ((value - high * 10000) << 32);
  const std::uint64_t hundreds = ((quads * 10486) >> 20) & 0x0000007f0000007full;
  const std::uint64_t pairs = hundreds | ((quads - hundreds * 100) << 16);
  const std::uint64_t tens = ((pairs * 103) >> 10) & 0x000f000f000f000full;
  return tens | ((pairs - tens * 10) << 8);
}

// Stages the digits of a float's magnitude. Zeros, infinities and NaN
// stage the digits of 1 instead, unused, so that no branch is taken here.
// The shortest digits come with their trailing zeros, which the digit
// bytes count without a division.
[[gnu::always_inline]] inline void stage_float(StagedDigits& staged, float value) {
  const std::uint32_t magnitude_bits = std::bit_cast<std::uint32_t>(value) & 0x7fffffffu;
  const bool has_digits = magnitude_bits - 1 < 0x7f7fffffu;
  const std::uint32_t staged_bits = has_digits ? magnitude_bits : 0x3f800000u;
  const DecimalDigits digits = staged_bits == kDoubleRoundingException
                                   ? kDoubleRoundingExceptionDigits
                                   : shortest_digits_unstripped(std::bit_cast<float>(staged_bits));
  // Nine digits, zero-padded: d1 then eight more in one store.
  const auto significand = static_cast<std::uint32_t>(digits.significand);
  const std::uint32_t first = significand / 100000000;
  const std::uint64_t rest = eight_digit_bytes(significand - first * 100000000);
  std::fill_n(staged.buffer, kZerosBefore, '0');
  char* field = staged.buffer + kZerosBefore;
  field[0] = static_cast<char>('0' + first);
  const std::uint64_t rest_text = rest + 0x3030303030303030ull;
  std::memcpy(field + 1, &rest_text, 8);
  std::memset(field + 9, '0', kZerosAfter);
  // The last digits are the highest bytes of `rest`; all eight are zero
  // when it is (countl_zero(0) is 64).
  const int trailing_zeros = std::countl_zero(rest) / 8;
  const int count = count_digits(significand);
  staged.run = {field + 9 - count, count - trailing_zeros};
  staged.exponent = digits.exponent + trailing_zeros;
}

}  // namespace

char* write_float_text(char* out, float value) { return write_float_text_inline(out, value); }

void append_float_array(std::string& out, std::span<const float> values) {
  // The texts go into a local chunk first, which gives the writer the room
  // it scribbles in, and reach `out` a chunk at a time. The values are
  // taken a group at a time: all digits of the group are staged, then laid
  // out (see StagedDigits).
  constexpr std::size_t kGroup = 16;
  StagedDigits staged[kGroup];
  char chunk[8192];
  char* const flush_mark = chunk + sizeof chunk - kFloatTextRoom - 2;
  char* p = chunk;
  *p++ = '[';
  for (std::size_t first = 0; first < values.size(); first += kGroup) {
    const std::size_t count = std::min(kGroup, values.size() - first);
    for (std::size_t j = 0; j < count; ++j) stage_float(staged[j], values[first + j]);
    for (std::size_t j = 0; j < count; ++j) {
      if (p > flush_mark) {
        out.append(chunk, p);
        p = chunk;
      }
      if (first + j != 0) *p++ = ',';
      if (char* end = write_sign_or_special(p, values[first + j])) {
        p = end;
      } else {
        p = write_staged<-6, 12>(p, staged[j]);
      }
    }
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
