// UTF-8 checks for text read back from the store's files.
#pragma once

#include <string_view>

namespace sorvid {

// True when `bytes` is well-formed UTF-8: no stray continuation bytes, no
// truncated sequences, no overlong forms, no surrogates, nothing above U+10FFFF.
bool is_valid_utf8(std::string_view bytes);

}  // namespace sorvid
