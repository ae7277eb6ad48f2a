// The texts of JSON decoding errors, each spelled once. Users see them (as
// the message of a refused file or log line), so they never change.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace sorvid::error_text {

// Syntax, reported where the reader stands.
inline constexpr char kEofInValue[] = "EOF while parsing a value";
inline constexpr char kEofInString[] = "EOF while parsing a string";
inline constexpr char kEofInList[] = "EOF while parsing a list";
inline constexpr char kEofInObject[] = "EOF while parsing an object";
inline constexpr char kExpectedValue[] = "expected value";
inline constexpr char kExpectedIdent[] = "expected ident";
inline constexpr char kExpectedColon[] = "expected `:`";
inline constexpr char kExpectedCommaOrBracket[] = "expected `,` or `]`";
inline constexpr char kExpectedCommaOrBrace[] = "expected `,` or `}`";
inline constexpr char kKeyMustBeString[] = "key must be a string";
inline constexpr char kTrailingComma[] = "trailing comma";
inline constexpr char kTrailingCharacters[] = "trailing characters";
inline constexpr char kRecursionLimitExceeded[] = "recursion limit exceeded";

// Numbers.
inline constexpr char kInvalidNumber[] = "invalid number";
inline constexpr char kNumberOutOfRange[] = "number out of range";

// Strings.
inline constexpr char kControlCharacterInString[] = "control character (\\u0000-\\u001F) found while parsing a string";
inline constexpr char kInvalidEscape[] = "invalid escape";
inline constexpr char kLoneLeadingSurrogate[] = "lone leading surrogate in hex escape";
inline constexpr char kUnexpectedEndOfHexEscape[] = "unexpected end of hex escape";
inline constexpr char kInvalidUnicodeCodePoint[] = "invalid unicode code point";

// About a whole value or record.

// "invalid type: {found}, expected {expected}"
std::string invalid_type(std::string_view found, std::string_view expected);
// "invalid value: {found}, expected {expected}"
std::string invalid_value(std::string_view found, std::string_view expected);
// "invalid length {length}, expected {expected}"
std::string invalid_length(std::size_t length, std::string_view expected);
// "duplicate field `{name}`"
std::string duplicate_field(std::string_view name);
// "missing field `{name}`"
std::string missing_field(std::string_view name);
// "unknown variant `{name}`, expected {expected}"
std::string unknown_variant(std::string_view name, std::string_view expected);

}  // namespace sorvid::error_text
