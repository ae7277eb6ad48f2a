// The quick reading of an embedding value: the common texts, read eight
// digits at a time, to exactly the float the full reader would give.
//
// The files hold the shortest digits of each float ("-0.0123456789",
// "1.5e-05"): at most 19 digits and a small decimal exponent. For those the
// value is w * 10^e with w and 10^|e| both exact doubles, and one correctly
// rounded multiplication or division gives the nearest double (Clinger's
// fast path), as fast_path_double does after scan_decimal; the division is
// mostly replaced by a multiplication whose float is provably the same
// (float_of_quotient). No branch depends on a value's sign or on how many
// digits it has: both vary at random from one value to the next. Anything else
// (more digits, larger exponents, syntax errors, the last bytes of the
// text) is declined, and the caller reads it with scan_decimal instead,
// which gives the same value and the same errors. Inline: this is the
// snapshot decoder's hot loop.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>

#include "formats/decimal.h"
#include "formats/nearest_float.h"

namespace sorvid {

// Reads the number at `p` (a "-" or a digit) into `out` and returns the
// byte after it, or returns nullptr, with `out` untouched, for a number it
// declines. Never reads at or past `end`.
inline const char* read_quick_float(const char* p, const char* end, float& out);

// ---------------------------------------------------------------------------
// Implementation.
namespace quick_float_detail {

static_assert(std::endian::native == std::endian::little, "the first byte of a word is its lowest");

constexpr std::uint64_t kEachByte = 0x0101010101010101u;
constexpr int kWord = 8;
constexpr int kMaxDigits = 19;  // any 19 digits fit 64 bits
constexpr int kMaxExponentDigits = 3;

inline std::uint64_t load_word(const char* p) {
  std::uint64_t word;
  std::memcpy(&word, p, sizeof word);
  return word;
}

// How many of the word's bytes, from its first, are digits (0 to 8). A
// byte's high bit marks a non-digit: it is set, or the low seven bits lie
// below '0' or above '9' (sums within a byte, no carry to the next).
inline int leading_digit_count(std::uint64_t word) {
  const std::uint64_t low = word & (0x7f * kEachByte);
  const std::uint64_t above_nine = low + (0x46 * kEachByte);     // bit 7 set from 0x3a up
  const std::uint64_t below_zero = ~(low + (0x50 * kEachByte));  // bit 7 set below 0x30
  const std::uint64_t non_digits = (above_nine | below_zero | word) & (0x80 * kEachByte);
  // The marks moved to bit 0 of their bytes, over a top bit that stands for
  // a non-digit after the word: the first mark at bit 8k gives k, and
  // without any the top bit gives 8. Never zero, so no test for it.
  return (std::countr_zero((non_digits >> 7) | (std::uint64_t{1} << 63)) + 1) >> 3;
}

// The value of eight digits, the first byte the most significant: summed
// in pairs, fours and eights within the word.
inline std::uint64_t eight_digits_value(std::uint64_t digits) {
  const std::uint64_t pairs = digits * 10 + (digits >> 8);
  constexpr std::uint64_t kPairs = 0x000000ff000000ffu;
  constexpr std::uint64_t kHigh = 100 + (std::uint64_t{1000000} << 32);
  constexpr std::uint64_t kLow = 1 + (std::uint64_t{10000} << 32);
  return (((pairs & kPairs) * kHigh) + (((pairs >> 16) & kPairs) * kLow)) >> 32;
}

// The value of the word's first `count` (0 to 7) bytes, all digits: they
// are moved to the top of the word, zeros before them. No branch: the count
// varies from one number to the next. The shift by 64 - 8 * count is made
// in two steps so that a count of 0 shifts everything out. A borrow of the
// subtraction only runs from a byte to later ones, which the shift drops.
inline std::uint64_t digits_value(std::uint64_t word, int count) {
  return eight_digits_value(((word - ('0' * kEachByte)) << 1) << (63 - 8 * count));
}

inline constexpr std::uint64_t kPowersOfTen[] = {1,
                                                 10,
                                                 100,
                                                 1000,
                                                 10000,
                                                 100000,
                                                 1000000,
                                                 10000000,
                                                 100000000,
                                                 1000000000,
                                                 10000000000,
                                                 100000000000,
                                                 1000000000000,
                                                 10000000000000,
                                                 100000000000000,
                                                 1000000000000000,
                                                 10000000000000000};

// Bytes the reading may look at from the first digit on: an integer part
// of up to 7 digits, the point, 15 fraction digits and their two words,
// and an exponent of up to 3 digits with its sign; at most 29 bytes, so
// that the caller may also look at the two bytes after a number taken.
constexpr std::int64_t kRoom = 32;
constexpr int kMaxIntegerDigits = 7;

// The digits of the fraction after the point at `point`, and the byte after
// them: one or two words, with 1 to 15 digits. The first word is full in
// nearly every text the files hold (which lets the branch on it predict
// well); the count in the second varies at random, so no branch depends
// on it. nullptr for none or more.
struct Fraction {
  const char* stop;
  std::uint64_t value;
  int digits;
};

[[gnu::always_inline]] inline Fraction read_fraction(const char* point) {
  const std::uint64_t first = load_word(point + 1);
  const int first_count = leading_digit_count(first);
  if (first_count == kWord) [[likely]] {
    const std::uint64_t second = load_word(point + 1 + kWord);
    const int second_count = leading_digit_count(second);
    if (second_count == kWord) return {nullptr, 0, 0};
    const std::uint64_t value =
        eight_digits_value(first - ('0' * kEachByte)) * kPowersOfTen[second_count] + digits_value(second, second_count);
    return {point + 1 + kWord + second_count, value, kWord + second_count};
  }
  if (first_count == 0) return {nullptr, 0, 0};
  return {point + 1 + first_count, digits_value(first, first_count), first_count};
}

// `value` (not negative) with the sign bit set when `negative`: without a
// branch, since half of the values are negative, at random.
inline double with_sign(double value, bool negative) {
  return std::bit_cast<double>(std::bit_cast<std::uint64_t>(value) | (std::uint64_t{negative} << 63));
}

// The nearest doubles to 10^-k.
inline constexpr double kInversePowersOfTen[] = {1e0,   1e-1,  1e-2,  1e-3,  1e-4,  1e-5,  1e-6,  1e-7,
                                                 1e-8,  1e-9,  1e-10, 1e-11, 1e-12, 1e-13, 1e-14, 1e-15,
                                                 1e-16, 1e-17, 1e-18, 1e-19, 1e-20, 1e-21, 1e-22};

// Bits of a double's significand below those of a float, and the pattern
// they have at a midpoint between two floats.
constexpr int kBitsBelowFloat = 52 - 23;
constexpr std::uint64_t kBelowFloatMask = (std::uint64_t{1} << kBitsBelowFloat) - 1;
constexpr std::uint64_t kFloatMidpoint = std::uint64_t{1} << (kBitsBelowFloat - 1);
// How close, in units of the double's last place, a product may come to a
// float midpoint and still be trusted (it lies within 2 of the quotient).
constexpr std::uint64_t kMidpointMargin = 8;

// With sign +-1: nearest_float(sign * magnitude / 10^k) for magnitude <=
// 2^53 and k in [1, 22], the quotient rounded to the nearest double first,
// without a division where the product with the nearest double to 10^-k
// tells the same float. That product has two roundings (of 10^-k and of
// the product), so it lies within 2 units in the last place of the exact
// quotient, and the nearest double to the quotient within 2.5 units of it.
// Only a float midpoint between them can make the two round to different
// floats; when the product stands farther from every midpoint than the
// margin, its float is the answer. Every value here is a normal double and
// within the float range, so the significand bits tell the distance.
// Rounding to nearest is symmetric, so the sign may go with the power of
// ten, which is ready early: the magnitude comes last.
inline float float_of_quotient(double magnitude, bool negative, int k) {
  const double signed_power = with_sign(kInversePowersOfTen[k], negative);
  const double product = magnitude * signed_power;
  const std::uint64_t below_float = std::bit_cast<std::uint64_t>(product) & kBelowFloatMask;
  if (below_float - (kFloatMidpoint - kMidpointMargin) <= 2 * kMidpointMargin) [[unlikely]] {
    return nearest_float(with_sign(magnitude, negative) / kExactPowersOfTen[k]);
  }
  return static_cast<float>(product);
}

inline bool is_digit(char c) { return c >= '0' && c <= '9'; }

}  // namespace quick_float_detail

[[gnu::always_inline]] inline const char* read_quick_float(const char* p, const char* end, float& out) {
  using namespace quick_float_detail;
  const bool negative = *p == '-';
  p += negative ? 1 : 0;
  if (end - p < kRoom) return nullptr;
  // The integer part: a lone zero, or up to 7 digits without a leading
  // zero. A zero before more digits, or no digit, is an error that the
  // full reader reports.
  std::uint64_t significand = 0;
  int count = 0;
  if (*p == '0') {
    ++p;
    if (is_digit(*p)) return nullptr;
  } else {
    const std::uint64_t word = load_word(p);
    count = leading_digit_count(word);
    if (count == 0 || count > kMaxIntegerDigits) return nullptr;
    significand = digits_value(word, count);
    p += count;
  }
  std::int64_t exponent = 0;
  if (*p == '.') {
    const Fraction fraction = read_fraction(p);
    if (fraction.stop == nullptr) return nullptr;
    significand = significand * kPowersOfTen[fraction.digits] + fraction.value;
    count += fraction.digits;
    exponent = -fraction.digits;
    p = fraction.stop;
  }
  if (count > kMaxDigits) return nullptr;
  if ((*p | 0x20) == 'e') [[unlikely]] {
    ++p;
    const bool negative_exponent = *p == '-';
    p += (*p == '-' || *p == '+') ? 1 : 0;
    int written = 0;
    const char* const first = p;
    for (; p - first < kMaxExponentDigits && is_digit(*p); ++p) written = written * 10 + (*p - '0');
    if (p == first || is_digit(*p)) return nullptr;
    exponent += negative_exponent ? -written : written;
  }
  if (significand > kMaxExactInDouble || exponent < -kMaxExactPowerOfTen || exponent > kMaxExactPowerOfTen) {
    return nullptr;
  }
  const auto magnitude = static_cast<double>(significand);
  if (exponent >= 0) {
    out = nearest_float(magnitude * with_sign(kExactPowersOfTen[exponent], negative));
    return p;
  }
  out = float_of_quotient(magnitude, negative, static_cast<int>(-exponent));
  return p;
}

}  // namespace sorvid
