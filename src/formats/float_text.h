// How floats are spelled: in the files (32-bit values) and in the "floating
// point `...`" part of type errors (64-bit values).
#pragma once

#include <string>

namespace sorvid {

// Longest text write_float_text produces ("-1.1754942e-38" is 14 bytes).
inline constexpr int kMaxFloatTextLength = 16;

// Writes the file spelling of `value` at `out` and returns the end:
// null for NaN and infinities, 0.0 and -0.0 for the zeros, otherwise the
// shortest digits that the reader reads back as `value`, laid out plainly
// when the decimal exponent e of the first digit is in [-6, 12] ("100.0",
// "0.000001", "2.5") and as "d.ddde+XX" / "de-X" beyond. Writes at most
// kMaxFloatTextLength bytes.
char* write_float_text(char* out, float value);

// Appends the file spelling of `value` to `out`.
void append_float_text(std::string& out, float value);

// The spelling of a finite double in type errors: shortest round-trip
// digits, plain for e in [-5, 15], exponent form beyond ("1e+16", "1e-7").
std::string float_text_for_message(double value);

}  // namespace sorvid
