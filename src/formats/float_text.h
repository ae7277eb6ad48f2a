// How floats are spelled: in the files (32-bit values) and in the "floating
// point `...`" part of type errors (64-bit values).
#pragma once

#include <span>
#include <string>

namespace sorvid {

// Longest text write_float_text produces: "-0.0000010000001", 16 bytes.
// `make exhaustive` writes every float and checks that none is longer.
inline constexpr int kMaxFloatTextLength = 16;
// Room write_float_text needs at `out`: it copies fixed-size blocks and may
// write bytes past the end of the text it returns.
inline constexpr int kFloatTextRoom = 64;

// Writes the file spelling of `value` at `out` and returns the end:
// null for NaN and infinities, 0.0 and -0.0 for the zeros, otherwise the
// shortest digits that the reader reads back as `value`, laid out plainly
// when the decimal exponent e of the first digit is in [-6, 12] ("100.0",
// "0.000001", "2.5") and as "d.ddde+XX" / "de-X" beyond. The text is at
// most kMaxFloatTextLength bytes, but `out` must have kFloatTextRoom.
char* write_float_text(char* out, float value);

// Appends the file spelling of `value` to `out`.
void append_float_text(std::string& out, float value);

// Appends "[", the values' file spellings separated by ",", and "]".
void append_float_array(std::string& out, std::span<const float> values);

// The spelling of a finite double in type errors: shortest round-trip
// digits, plain for e in [-5, 15], exponent form beyond ("1e+16", "1e-7").
std::string float_text_for_message(double value);

}  // namespace sorvid
