// UTF-8 validation.
#pragma once

#include <string_view>

namespace sorvid {

// True when `text` is well-formed UTF-8: shortest-form sequences of scalar
// values only (no surrogates, nothing above U+10FFFF).
bool is_valid_utf8(std::string_view text);

}  // namespace sorvid
