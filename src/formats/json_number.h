// A JSON number as the reader classifies it, and its conversions.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace sorvid {

// The powers of ten that doubles hold exactly. An integer up to 2^53 times
// or divided by one of them is a single correctly rounded operation.
inline constexpr double kExactPowersOfTen[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
                                               1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
inline constexpr std::uint64_t kMaxExactInDouble = std::uint64_t{1} << 53;

// Without fraction and exponent, a non-negative integer up to 2^64 - 1 is
// unsigned and a negative one down to -2^63 is signed; everything else
// (fraction, exponent, "-0", integers beyond those ranges) is floating.
struct JsonNumber {
  enum class Kind : std::uint8_t { kUnsigned, kSigned, kFloat };
  Kind kind = Kind::kUnsigned;
  std::uint64_t unsigned_value = 0;
  std::int64_t signed_value = 0;
  double float_value = 0;
};

// Evaluates the text of a number that already matched the JSON grammar.
// Floating values are the nearest double; nullopt when the value lies
// beyond the double range (a value below it becomes zero).
std::optional<JsonNumber> evaluate_number(std::string_view text);

// The nearest float to a double; beyond the float range, an infinity.
float nearest_float(double value);

// What the reader makes of the decimal significand * 10^exponent as an
// embedding value: the nearest double, rounded to the nearest float.
float decimal_to_float(std::uint64_t significand, int exponent);

// Integers go straight to the nearest float, floating values through double.
float number_to_float(const JsonNumber& number);

// How a type error names the number: "integer `-3`", "floating point `1.5`".
std::string describe_number(const JsonNumber& number);

}  // namespace sorvid
