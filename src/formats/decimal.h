// Decimal numbers as JSON spells them: one scan of the text into sign,
// significand and exponent, and the exact fast path to the nearest double.
//
// Every number the decoders read goes through scan_decimal; the embedding's
// floats then mostly take fast_path_double, and everything else is
// evaluated from a scan (json_number.h). Inline: this is the snapshot
// decoder's hot path.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace sorvid {

// A scanned number. Its first 19 significant digits (any 19 digits fit 64
// bits) form `significand`, and the value is significand * 10^exponent when
// `exact`. A number is not exact when digits beyond those were dropped or
// its written exponent was too long to keep; then only `text` holds its
// value, though `exponent` still places the significand's first digit
// for numbers shorter than 10^9 digits.
struct Decimal {
  std::string_view text;  // the whole number, sign included
  std::uint64_t significand = 0;
  std::int64_t exponent = 0;  // of the significand's last digit
  bool negative = false;
  bool integer_form = true;  // neither fraction nor exponent part
  bool exact = true;
};

enum class DecimalScanStatus : std::uint8_t {
  kComplete,     // a whole number; `stop` is the byte after it
  kInvalidByte,  // `stop` is a byte that the grammar does not allow there
  kEndOfText,    // the text ended where a digit must follow; `stop` is the end
};

// Where a scan stopped, and why.
struct DecimalScan {
  const char* stop;
  DecimalScanStatus status;
};

// Scans -?(0|[1-9][0-9]*)(.[0-9]+)?([eE][+-]?[0-9]+)? from `begin` into
// `decimal` (which must be freshly made), never reading at or past `end`.
// The number ends at the first byte that cannot continue it, which is left
// to the caller. `decimal` is complete only when the scan is.
inline DecimalScan scan_decimal(const char* begin, const char* end, Decimal& decimal);

// The powers of ten that doubles hold exactly.
inline constexpr double kExactPowersOfTen[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
                                               1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
inline constexpr std::int64_t kMaxExactPowerOfTen = 22;
inline constexpr std::uint64_t kMaxExactInDouble = std::uint64_t{1} << 53;

// The nearest double to an exact decimal whose significand is at most 2^53
// and whose exponent lies within +-22: both factors are then exact doubles,
// and one correctly rounded multiplication or division gives the nearest
// double (Clinger's fast path). nullopt for every other decimal.
inline std::optional<double> fast_path_double(const Decimal& decimal);

// ---------------------------------------------------------------------------
// Implementation.
namespace decimal_detail {

// The written exponent stops growing here, and longer exponents make the
// decimal inexact; every double lies far within.
constexpr std::int64_t kWrittenExponentLimit = 1000000000;

inline bool is_digit(char c) { return c >= '0' && c <= '9'; }

// Where the grammar needs a digit: kComplete when one stands at `at`,
// otherwise why the number cannot go on.
inline DecimalScanStatus expect_digit(const char* at, const char* end) {
  if (at == end) return DecimalScanStatus::kEndOfText;
  return is_digit(*at) ? DecimalScanStatus::kComplete : DecimalScanStatus::kInvalidByte;
}

// Any 19 decimal digits fit 64 bits.
constexpr std::int64_t kDigitsThatFit = 19;
// A significand at or above this has its 19 digits; below it, any further
// digit still fits.
constexpr std::uint64_t kFullSignificand = 1000000000000000000u;

// A run of digits taken into a significand.
struct DigitRun {
  const char* stop;
  std::uint64_t significand;
  std::int64_t taken;   // digits in the significand
  std::int64_t beyond;  // digits after those, for which it had no room
};

// take_digits for runs that may not fit: takes digits while the
// significand has room (zeros before the first significant digit leave it
// at zero and use none) and counts the rest. Works on values, not on the
// Decimal, so that the hot path's Decimal can stay in registers.
[[gnu::noinline]] inline DigitRun take_digits_with_room(const char* p, const char* end, std::uint64_t significand) {
  DigitRun run{p, significand, 0, 0};
  for (; run.stop != end && is_digit(*run.stop); ++run.stop) {
    if (run.significand < kFullSignificand) {
      run.significand = run.significand * 10 + static_cast<unsigned>(*run.stop - '0');
      ++run.taken;
    } else {
      ++run.beyond;
    }
  }
  return run;
}

// Takes the run of digits at `p` into the significand (fraction digits
// lower the exponent). `digits_before` counts the digits of earlier runs,
// leading zeros included: while all of them together fit 64 bits, they
// are taken without a check per digit.
template <bool kFraction>
[[gnu::always_inline]] inline const char* take_digits(const char* p, const char* end, Decimal& decimal,
                                                      std::int64_t& digits_before) {
  const char* first = p;
  std::uint64_t significand = decimal.significand;
  for (; p != end && is_digit(*p); ++p) significand = significand * 10 + static_cast<unsigned>(*p - '0');
  const std::int64_t count = p - first;
  if (digits_before + count > kDigitsThatFit) [[unlikely]] {
    // Integer digits without room scale the value (the exponent grows);
    // fraction digits without room are dropped. Either way the decimal is
    // no longer exact.
    const DigitRun run = take_digits_with_room(first, end, decimal.significand);
    digits_before = kDigitsThatFit;
    decimal.significand = run.significand;
    decimal.exponent += kFraction ? -run.taken : run.beyond;
    if (run.beyond != 0) decimal.exact = false;
    return run.stop;
  }
  digits_before += count;
  decimal.significand = significand;
  if (kFraction) decimal.exponent -= count;
  return p;
}

}  // namespace decimal_detail

[[gnu::always_inline]] inline DecimalScan scan_decimal(const char* begin, const char* end, Decimal& decimal) {
  using decimal_detail::expect_digit;
  using decimal_detail::is_digit;
  const char* p = begin;
  std::int64_t digits = 0;
  if (p != end && *p == '-') {
    decimal.negative = true;
    ++p;
  }
  if (const auto status = expect_digit(p, end); status != DecimalScanStatus::kComplete) return {p, status};
  if (*p == '0') {
    ++p;
    if (p != end && is_digit(*p)) return {p, DecimalScanStatus::kInvalidByte};
  } else {
    p = decimal_detail::take_digits<false>(p, end, decimal, digits);
  }
  if (p != end && *p == '.') {
    decimal.integer_form = false;
    ++p;
    if (const auto status = expect_digit(p, end); status != DecimalScanStatus::kComplete) return {p, status};
    p = decimal_detail::take_digits<true>(p, end, decimal, digits);
  }
  if (p != end && (*p == 'e' || *p == 'E')) {
    decimal.integer_form = false;
    ++p;
    const bool negative_exponent = p != end && *p == '-';
    if (p != end && (*p == '+' || *p == '-')) ++p;
    if (const auto status = expect_digit(p, end); status != DecimalScanStatus::kComplete) return {p, status};
    std::int64_t written = 0;
    for (; p != end && is_digit(*p); ++p) {
      if (written < decimal_detail::kWrittenExponentLimit) {
        written = written * 10 + (*p - '0');
      } else {
        decimal.exact = false;
      }
    }
    decimal.exponent += negative_exponent ? -written : written;
  }
  decimal.text = std::string_view(begin, static_cast<std::size_t>(p - begin));
  return {p, DecimalScanStatus::kComplete};
}

inline std::optional<double> fast_path_double(const Decimal& decimal) {
  if (!decimal.exact || decimal.significand > kMaxExactInDouble || decimal.exponent < -kMaxExactPowerOfTen ||
      decimal.exponent > kMaxExactPowerOfTen) {
    return std::nullopt;
  }
  // Rounding to nearest is symmetric, so the sign may come first.
  const auto magnitude = static_cast<double>(decimal.significand);
  const double signed_significand = decimal.negative ? -magnitude : magnitude;
  return decimal.exponent < 0 ? signed_significand / kExactPowersOfTen[-decimal.exponent]
                              : signed_significand * kExactPowersOfTen[decimal.exponent];
}

}  // namespace sorvid
