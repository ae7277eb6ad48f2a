// UTF-8: validation, decoding one sequence, encoding one code point.
//
// Well-formed means shortest-form sequences of scalar values only: no
// surrogates, nothing above U+10FFFF (the table of well-formed byte
// sequences in the Unicode Standard, chapter 3).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace sorvid {

// One decoded sequence: its code point and its length in bytes, or a
// length of 0 when the bytes at the front are not a well-formed sequence.
struct Utf8Sequence {
  std::uint32_t code_point = 0;
  std::size_t length = 0;
};

// Decodes the sequence at the front of `text`, which must not be empty.
// Only the bytes of that sequence are read, never past the end of `text`.
Utf8Sequence decode_utf8(std::string_view text);

// True when all of `text` is well-formed UTF-8.
bool is_valid_utf8(std::string_view text);

// Appends the encoding of `code_point`, a scalar value (not a surrogate,
// not above U+10FFFF).
void append_utf8(std::string& out, std::uint32_t code_point);

}  // namespace sorvid
