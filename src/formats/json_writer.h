// The compact JSON writer: strings, unsigned integers and 32-bit float
// arrays, appended to a text built whole in memory.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace sorvid {

// Appends `text` in double quotes. `"` and `\` get a backslash; bytes below
// 0x20 become \b \t \n \f \r or \u00XX (lowercase hex); every other byte,
// including "/", 0x7F and all bytes of multi-byte characters, is copied.
void append_json_string(std::string& out, std::string_view text);

// Appends an unsigned integer in decimal.
void append_json_uint(std::string& out, std::uint64_t value);

// Appends "[" the values separated by "," "]", each as write_float_text.
void append_json_float_array(std::string& out, std::span<const float> values);

}  // namespace sorvid
