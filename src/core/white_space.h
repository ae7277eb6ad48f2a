// Blank lines of the log: lines that hold only Unicode white space.
#pragma once

#include <string_view>

namespace sorvid {

// True when `line` (valid UTF-8) is empty or holds only characters with the
// Unicode White_Space property: U+0009..U+000D, U+0020, U+0085, U+00A0,
// U+1680, U+2000..U+200A, U+2028, U+2029, U+202F, U+205F and U+3000.
bool is_blank_line(std::string_view line);

}  // namespace sorvid
