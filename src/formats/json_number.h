// A JSON number as the reader classifies it, and its conversions.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "formats/decimal.h"

namespace sorvid {

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

// Evaluates a scanned number. Floating values are the nearest double;
// nullopt when the value lies beyond the double range (a value below it
// becomes zero).
std::optional<JsonNumber> evaluate_number(const Decimal& decimal);

// Integers go straight to the nearest float, floating values through the
// nearest double.
float number_to_float(const JsonNumber& number);

// How a type error names the number: "integer `-3`", "floating point `1.5`".
std::string describe_number(const JsonNumber& number);

}  // namespace sorvid
