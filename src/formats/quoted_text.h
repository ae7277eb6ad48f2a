// The quoted form of a text, as shown in VectorEntry's repr and in the
// "string ..." part of JSON type errors.
#pragma once

#include <string>
#include <string_view>

namespace sorvid {

// Returns `text` between double quotes. Inside, `"` and `\` get a backslash;
// tab, carriage return, line feed and NUL become \t, \r, \n and \0; control,
// format, surrogate, private-use, unassigned and separator characters (the
// ASCII space excepted) and grapheme extenders become \u{hex}; every other
// character stands as it is. A byte that is not part of valid UTF-8 (which
// the store never holds) is shown as \u{fffd}.
std::string quote_text(std::string_view text);

// Appends the quoted form of `text` to `out`.
void append_quoted_text(std::string& out, std::string_view text);

}  // namespace sorvid
