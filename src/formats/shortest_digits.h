// The shortest decimal digits that read back as a given binary float.
#pragma once

#include <array>
#include <bit>
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
// whose last digit is even. Inline: it is the writer's hot path.
inline DecimalDigits shortest_digits(float value);

// The same digits before trailing zeros are stripped: `significand` is
// below 10^9 and may end in zeros. For writers that find the zeros on
// their own way.
inline DecimalDigits shortest_digits_unstripped(float value);

// The same for a double (at most 17 digits). Used only for error messages.
DecimalDigits shortest_digits(double value);

// ---------------------------------------------------------------------------
// Implementation: the Schubfach method (R. Giulietti, "The Schubfach way to
// render doubles"), specialised for binary32.
//
// With v = c * 2^q, the values that round back to v form the interval
// [cbl, cbr] * 2^(q-2) around cb * 2^(q-2) = v, closed when c is even (ties
// go to even on reading). k is chosen so that the interval, scaled by
// 10^-k, is between 1 and 10 units wide: it then holds a multiple of 10
// (one digit shorter) or, failing that, one of floor/ceil of v * 10^-k.
// The scaled bounds are computed from a 64-bit over-approximation of 10^-k
// and "rounded to odd" (the low bit set when inexact), which keeps every
// comparison with the lattice points exact. `make exhaustive` checks the
// routine against std::to_chars for every positive finite float; the unit
// tests cover a sample.
namespace shortest_digits_detail {

// floor(q * log10(2)) for q in [-149, 104].
constexpr int floor_log10_pow2(int q) { return (q * 78913) >> 18; }
// floor(log10(3/4 * 2^q)) for q in [-149, 104].
constexpr int floor_log10_three_quarters_pow2(int q) { return (q * 1262611 - 524031) >> 22; }
// floor(e * log2(10)) for e in [-31, 45].
constexpr int floor_log2_pow10(int e) { return (e * 217706) >> 16; }

constexpr int kMinPow10 = -31;
// kPow10[e - kMinPow10] = floor(10^e * 2^(63 - floor_log2_pow10(e))) + 1,
// for e in [-31, 45]; every entry lies strictly between 2^63 and 2^64.
// Generated exactly with Python's fractions:
//   x = Fraction(10)**e; beta = floor(log2(x))
//   g = floor(x * 2**(63 - beta)) + 1
inline constexpr std::uint64_t kPow10[] = {
    0x81ceb32c4b43fcf5, 0xa2425ff75e14fc32, 0xcad2f7f5359a3b3f, 0xfd87b5f28300ca0e, 0x9e74d1b791e07e49,
    0xc612062576589ddb, 0xf79687aed3eec552, 0x9abe14cd44753b53, 0xc16d9a0095928a28, 0xf1c90080baf72cb2,
    0x971da05074da7bef, 0xbce5086492111aeb, 0xec1e4a7db69561a6, 0x9392ee8e921d5d08, 0xb877aa3236a4b44a,
    0xe69594bec44de15c, 0x901d7cf73ab0acda, 0xb424dc35095cd810, 0xe12e13424bb40e14, 0x8cbccc096f5088cc,
    0xafebff0bcb24aaff, 0xdbe6fecebdedd5bf, 0x89705f4136b4a598, 0xabcc77118461cefd, 0xd6bf94d5e57a42bd,
    0x8637bd05af6c69b6, 0xa7c5ac471b478424, 0xd1b71758e219652c, 0x83126e978d4fdf3c, 0xa3d70a3d70a3d70b,
    0xcccccccccccccccd, 0x8000000000000001, 0xa000000000000001, 0xc800000000000001, 0xfa00000000000001,
    0x9c40000000000001, 0xc350000000000001, 0xf424000000000001, 0x9896800000000001, 0xbebc200000000001,
    0xee6b280000000001, 0x9502f90000000001, 0xba43b74000000001, 0xe8d4a51000000001, 0x9184e72a00000001,
    0xb5e620f480000001, 0xe35fa931a0000001, 0x8e1bc9bf04000001, 0xb1a2bc2ec5000001, 0xde0b6b3a76400001,
    0x8ac7230489e80001, 0xad78ebc5ac620001, 0xd8d726b7177a8001, 0x878678326eac9001, 0xa968163f0a57b401,
    0xd3c21bcecceda101, 0x84595161401484a1, 0xa56fa5b99019a5c9, 0xcecb8f27f4200f3b, 0x813f3978f8940985,
    0xa18f07d736b90be6, 0xc9f2c9cd04674edf, 0xfc6f7c4045812297, 0x9dc5ada82b70b59e, 0xc5371912364ce306,
    0xf684df56c3e01bc7, 0x9a130b963a6c115d, 0xc097ce7bc90715b4, 0xf0bdc21abb48db21, 0x96769950b50d88f5,
    0xbc143fa4e250eb32, 0xeb194f8e1ae525fe, 0x92efd1b8d0cf37bf, 0xb7abc627050305ae, 0xe596b7b0c643c71a,
    0x8f7e32ce7bea5c70, 0xb35dbf821ae4f38c,
};

// What a binary exponent needs: k, the shift h (in [1, 4]) and 10^-k.
struct Scale {
  std::uint64_t g;
  int k;
  int h;
};

constexpr Scale scale_for(int q, int k) { return {kPow10[-k - kMinPow10], k, q + floor_log2_pow10(-k) + 1}; }

// The regular scale of every biased exponent (index 255 unused).
inline constexpr std::array<Scale, 256> kScales = [] {
  std::array<Scale, 256> scales{};
  for (int biased = 0; biased < 255; ++biased) {
    const int q = biased == 0 ? -149 : biased - 150;
    scales[static_cast<std::size_t>(biased)] = scale_for(q, floor_log10_pow2(q));
  }
  return scales;
}();

// floor(g * cp / 2^64), its lowest bit set when the product has a fraction
// of at least 2^-31 (smaller remainders come from the over-approximation).
inline std::uint32_t round_to_odd(std::uint64_t g, std::uint32_t cp) {
  // A GCC/Clang extension; __extension__ keeps -Wpedantic quiet about it.
  __extension__ using UInt128 = unsigned __int128;
  const UInt128 product = static_cast<UInt128>(g) * cp;
  const auto whole = static_cast<std::uint32_t>(product >> 64);
  const auto fraction_high = static_cast<std::uint32_t>(static_cast<std::uint64_t>(product) >> 32);
  return whole | (fraction_high > 1 ? 1u : 0u);
}

inline DecimalDigits strip_trailing_zeros(std::uint32_t significand, int exponent) {
  // The first zero without a branch (a shorter candidate always ends in
  // one, others often do); further zeros are rare and take the loop.
  const std::uint32_t tenth = significand / 10;
  const bool one_zero = (tenth * 10 == significand) & (significand != 0);
  const std::uint32_t mask = 0u - static_cast<std::uint32_t>(one_zero);
  significand = (tenth & mask) | (significand & ~mask);
  exponent += static_cast<int>(one_zero);
  while (significand % 10 == 0 && significand != 0) {
    significand /= 10;
    ++exponent;
  }
  return {significand, exponent};
}

}  // namespace shortest_digits_detail

inline DecimalDigits shortest_digits(float value) {
  const DecimalDigits digits = shortest_digits_unstripped(value);
  return shortest_digits_detail::strip_trailing_zeros(static_cast<std::uint32_t>(digits.significand), digits.exponent);
}

inline DecimalDigits shortest_digits_unstripped(float value) {
  using namespace shortest_digits_detail;
  const std::uint32_t bits = std::bit_cast<std::uint32_t>(value) & 0x7fffffffu;
  const std::uint32_t fraction = bits & 0x7fffffu;
  const int biased_exponent = static_cast<int>(bits >> 23);

  std::uint32_t c = fraction;
  int q = -149;
  if (biased_exponent != 0) {
    c |= 0x800000u;
    q = biased_exponent - 150;
  }
  // Ends of the interval are accepted only when c is even.
  const std::uint32_t exclusive = c & 1u;
  const std::uint32_t cb = c << 2;
  const std::uint32_t cbr = cb + 2;
  std::uint32_t cbl = cb - 2;
  Scale scale = kScales[static_cast<std::size_t>(biased_exponent)];
  if (fraction == 0 && biased_exponent > 1) {
    // At a power of two the gap below is half the gap above.
    cbl = cb - 1;
    scale = scale_for(q, floor_log10_three_quarters_pow2(q));
  }
  const std::uint32_t vbl = round_to_odd(scale.g, cbl << scale.h);
  const std::uint32_t vb = round_to_odd(scale.g, cb << scale.h);
  const std::uint32_t vbr = round_to_odd(scale.g, cbr << scale.h);

  // One digit fewer: the multiples of 10 around v * 10^-k. The interval is
  // under 10 units wide, so at most one of them lies in it.
  const std::uint32_t s = vb >> 2;
  const std::uint32_t sp10 = s / 10 * 10;
  const std::uint32_t tp10 = sp10 + 10;
  const bool sp10_inside = vbl + exclusive <= sp10 << 2;
  const bool tp10_inside = (tp10 << 2) + exclusive <= vbr;
  // Otherwise floor or ceiling of v * 10^-k, the nearer when both fit.
  const std::uint32_t t = s + 1;
  const bool s_inside = vbl + exclusive <= s << 2;
  const bool t_inside = (t << 2) + exclusive <= vbr;
  const auto distance = static_cast<std::int64_t>(vb) - static_cast<std::int64_t>((s + t) << 1);
  const bool nearer_s = (distance < 0) | ((distance == 0) & ((s & 1u) == 0));
  // Chosen with arithmetic rather than branches: for varied data each of
  // these conditions is a coin toss that a branch predictor keeps missing.
  const bool take_s = (s_inside & !t_inside) | (!(s_inside ^ t_inside) & nearer_s);
  const std::uint32_t same_length = s + static_cast<std::uint32_t>(!take_s);
  const std::uint32_t shorter = sp10 + 10 * static_cast<std::uint32_t>(!sp10_inside);
  const std::uint32_t use_shorter = 0u - static_cast<std::uint32_t>(sp10_inside != tp10_inside);
  const std::uint32_t chosen = (shorter & use_shorter) | (same_length & ~use_shorter);
  return {chosen, scale.k};
}

}  // namespace sorvid
