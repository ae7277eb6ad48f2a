#include "formats/json_reader.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "formats/json_error_text.h"
#include "formats/nearest_float.h"
#include "formats/quick_float.h"
#include "formats/quoted_text.h"
#include "formats/utf8.h"

namespace sorvid {
namespace {

bool is_digit(int c) { return c >= '0' && c <= '9'; }

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Bytes that end a run of plain string content.
bool is_string_special(char c) { return c == '"' || c == '\\' || static_cast<unsigned char>(c) < 0x20; }

bool is_high_surrogate(unsigned unit) { return unit >= 0xD800 && unit <= 0xDBFF; }
bool is_low_surrogate(unsigned unit) { return unit >= 0xDC00 && unit <= 0xDFFF; }

}  // namespace

ReadError unplaced_error(std::string text) { return ReadError{std::move(text), ReadError::kUnplaced}; }

JsonError to_json_error(std::string_view input, const ReadError& error) {
  const std::size_t consumed = std::min(error.consumed, input.size());
  const std::string_view before = input.substr(0, consumed);
  const std::size_t last_line_feed = before.rfind('\n');
  const std::size_t line_start = last_line_feed == std::string_view::npos ? 0 : last_line_feed + 1;
  const auto line_feeds = static_cast<std::uint64_t>(std::count(before.begin(), before.end(), '\n'));
  return JsonError{error.text, line_feeds + 1, consumed - line_start};
}

JsonReader::JsonReader(std::string_view text)
    : begin_(text.data()), cursor_(text.data()), end_(text.data() + text.size()) {}

// ---------------------------------------------------------------- errors

ReadError JsonReader::error_at_last(std::string text) const { return ReadError{std::move(text), consumed()}; }

ReadError JsonReader::error_at_next(std::string text) const {
  return ReadError{std::move(text), cursor_ == end_ ? consumed() : consumed() + 1};
}

ReadError JsonReader::place(ReadError error) const {
  if (!error.placed()) error.consumed = consumed();
  return error;
}

ReadError JsonReader::invalid_type(std::string_view expected) {
  std::string found;
  switch (peek()) {
    case 'n':
    case 't':
    case 'f': {
      const char letter = *cursor_;
      advance();
      const std::string_view rest = letter == 'n' ? "ull" : letter == 't' ? "rue" : "alse";
      if (auto literal = expect_literal_rest(rest); !literal) return std::move(literal).error();
      found = letter == 'n' ? "null" : letter == 't' ? "boolean `true`" : "boolean `false`";
      break;
    }
    case '"': {
      if (auto text = read_string(scratch_); !text) return std::move(text).error();
      found = "string " + quote_text(scratch_);
      break;
    }
    case '[': found = "sequence"; break;
    case '{': found = "map"; break;
    default: {
      if (peek() != '-' && !is_digit(peek())) return error_at_next(error_text::kExpectedValue);
      auto number = read_number();
      if (!number) return std::move(number).error();
      found = describe_number(number.value());
    }
  }
  return error_at_last(error_text::invalid_type(found, expected));
}

// ---------------------------------------------------------------- nesting

ReadResult<void> JsonReader::enter_nested() {
  if (--remaining_depth_ == 0) return fail(error_at_next(error_text::kRecursionLimitExceeded));
  return {};
}

// ---------------------------------------------------------------- scalars

ReadResult<void> JsonReader::expect_literal_rest(std::string_view rest) {
  for (const char expected : rest) {
    if (cursor_ == end_) return fail(error_at_last(error_text::kEofInValue));
    if (*cursor_++ != expected) return fail(error_at_last(error_text::kExpectedIdent));
  }
  return {};
}

ReadResult<void> JsonReader::read_string(std::string& out) {
  out.clear();
  advance();  // the opening quote
  const char* run = cursor_;
  for (;;) {
    while (cursor_ != end_ && !is_string_special(*cursor_)) ++cursor_;
    if (cursor_ == end_) return fail(error_at_last(error_text::kEofInString));
    const char c = *cursor_;
    out.append(run, cursor_);
    advance();
    if (c == '"') break;
    if (c != '\\') return fail(error_at_last(error_text::kControlCharacterInString));
    if (auto escape = read_escape(out); !escape) return escape;
    run = cursor_;
  }
  // Escapes only ever add whole characters, so checking the result checks
  // the raw bytes of the text.
  if (!is_valid_utf8(out)) return fail(error_at_last(error_text::kInvalidUnicodeCodePoint));
  return {};
}

ReadResult<void> JsonReader::read_escape(std::string& out) {
  if (cursor_ == end_) return fail(error_at_last(error_text::kEofInString));
  const char c = *cursor_++;
  switch (c) {
    case '"': out.push_back('"'); break;
    case '\\': out.push_back('\\'); break;
    case '/': out.push_back('/'); break;
    case 'b': out.push_back('\b'); break;
    case 'f': out.push_back('\f'); break;
    case 'n': out.push_back('\n'); break;
    case 'r': out.push_back('\r'); break;
    case 't': out.push_back('\t'); break;
    case 'u': return read_unicode_escape(out);
    default: return fail(error_at_last(error_text::kInvalidEscape));
  }
  return {};
}

ReadResult<unsigned> JsonReader::read_hex4() {
  if (end_ - cursor_ < 4) {
    cursor_ = end_;
    return fail(error_at_last(error_text::kEofInString));
  }
  unsigned unit = 0;
  for (int i = 0; i < 4; ++i) {
    const int digit = hex_value(*cursor_++);
    if (digit < 0) return fail(error_at_last(error_text::kInvalidEscape));
    unit = unit * 16 + static_cast<unsigned>(digit);
  }
  return unit;
}

// After "\u": one UTF-16 unit, or a high surrogate and the low surrogate
// that must follow it at once as another "\u" escape.
ReadResult<void> JsonReader::read_unicode_escape(std::string& out) {
  auto unit = read_hex4();
  if (!unit) return fail(std::move(unit).error());
  const unsigned high = unit.value();
  if (is_low_surrogate(high)) return fail(error_at_last(error_text::kLoneLeadingSurrogate));
  if (!is_high_surrogate(high)) {
    append_utf8(out, high);
    return {};
  }
  for (const char expected : {'\\', 'u'}) {
    if (cursor_ == end_) return fail(error_at_last(error_text::kEofInString));
    if (*cursor_++ != expected) return fail(error_at_last(error_text::kUnexpectedEndOfHexEscape));
  }
  auto low = read_hex4();
  if (!low) return fail(std::move(low).error());
  if (!is_low_surrogate(low.value())) return fail(error_at_last(error_text::kLoneLeadingSurrogate));
  append_utf8(out, 0x10000 + ((high - 0xD800) << 10) + (low.value() - 0xDC00));
  return {};
}

ReadResult<void> JsonReader::skip_string() {
  advance();  // the opening quote
  for (;;) {
    while (cursor_ != end_ && !is_string_special(*cursor_)) ++cursor_;
    if (cursor_ == end_) return fail(error_at_last(error_text::kEofInString));
    const char c = *cursor_++;
    if (c == '"') return {};
    if (c != '\\') return fail(error_at_last(error_text::kControlCharacterInString));
    if (auto escape = skip_escape(); !escape) return escape;
  }
}

// An escape in a skipped string: its letter and hex digits are checked, the
// pairing of surrogates is not (nothing is decoded).
ReadResult<void> JsonReader::skip_escape() {
  if (cursor_ == end_) return fail(error_at_last(error_text::kEofInString));
  switch (*cursor_++) {
    case '"':
    case '\\':
    case '/':
    case 'b':
    case 'f':
    case 'n':
    case 'r':
    case 't': return {};
    case 'u': {
      auto unit = read_hex4();
      if (!unit) return fail(std::move(unit).error());
      return {};
    }
    default: return fail(error_at_last(error_text::kInvalidEscape));
  }
}

// A byte that breaks the number grammar is "invalid number", placed at
// that byte; the end of the text where a digit must follow is "EOF while
// parsing a value".
ReadError JsonReader::number_syntax_error(DecimalScanStatus status) const {
  return error_at_next(status == DecimalScanStatus::kEndOfText ? error_text::kEofInValue : error_text::kInvalidNumber);
}

ReadResult<Decimal> JsonReader::scan_number() {
  Decimal decimal;
  const DecimalScan scan = scan_decimal(cursor_, end_, decimal);
  cursor_ = scan.stop;
  if (scan.status != DecimalScanStatus::kComplete) return fail(number_syntax_error(scan.status));
  return decimal;
}

ReadResult<JsonNumber> JsonReader::read_number() {
  auto scanned = scan_number();
  if (!scanned) return fail(std::move(scanned).error());
  return evaluate_scanned(scanned.value());
}

ReadResult<JsonNumber> JsonReader::evaluate_scanned(const Decimal& decimal) const {
  const std::optional<JsonNumber> number = evaluate_number(decimal);
  if (!number) return fail(error_at_last(error_text::kNumberOutOfRange));
  return *number;
}

// The number is scanned again from `begin`. Handing over the loop's Decimal
// instead kept that Decimal in memory for every element, which cost the
// snapshot decoder 7%; and these numbers are rare in the files (the
// shortest digits of a float leave the fast path only below about 1e-13
// and above about 1e31).
ReadResult<float> JsonReader::float_beyond_fast_path(const char* begin) const {
  Decimal decimal;
  scan_decimal(begin, end_, decimal);
  auto number = evaluate_scanned(decimal);
  if (!number) return fail(std::move(number).error());
  return number_to_float(number.value());
}

ReadResult<float> JsonReader::read_float_element() {
  Decimal decimal;
  const DecimalScan scan = scan_decimal(cursor_, end_, decimal);
  cursor_ = scan.stop;
  if (scan.status != DecimalScanStatus::kComplete) return fail(number_syntax_error(scan.status));
  // Both paths round the decimal to the nearest double and that to the
  // nearest float, except that integers go to the nearest float directly
  // (JsonNumber).
  if (const std::optional<double> exact = fast_path_double(decimal)) return nearest_float(*exact);
  return float_beyond_fast_path(decimal.text.data());
}

ReadResult<void> JsonReader::read_float_elements(std::vector<float>& out) {
  int c = peek_token();
  if (c == ']') return {};
  if (c == kEnd) return fail(error_at_next(error_text::kEofInList));
  for (;;) {
    if (c != '-' && !is_digit(c)) [[unlikely]] {
      return fail(c == kEnd ? error_at_next(error_text::kEofInValue) : invalid_type("f32"));
    }
    // Most embedding values take the quick reading, and the files separate
    // them with bare commas: such runs are read in a loop of their own. A
    // declined value is left to the full reading, after its comma.
    float value;
    if (const char* stop = read_quick_float(cursor_, end_, value)) [[likely]] {
      for (;;) {
        out.push_back(value);
        cursor_ = stop;
        // The quick reading leaves room for these two bytes. The sign of
        // the next value is random: testing it with a branch of its own
        // would be mispredicted half the time.
        const bool value_follows = static_cast<int>(is_digit(stop[1])) | static_cast<int>(stop[1] == '-');
        if (stop[0] != ',' || !value_follows) break;
        stop = read_quick_float(stop + 1, end_, value);
        if (stop == nullptr) break;
      }
    } else {
      auto element = read_float_element();
      if (!element) return fail(std::move(element).error());
      out.push_back(element.value());
    }
    c = peek_token();
    if (c == ']') return {};
    if (c != ',') return fail(error_at_next(c == kEnd ? error_text::kEofInList : error_text::kExpectedCommaOrBracket));
    advance();
    c = peek_token();
    if (c == ']') return fail(error_at_next(error_text::kTrailingComma));
  }
}

ReadResult<void> JsonReader::pass_over_number_elements() {
  const void* bracket = std::memchr(cursor_, ']', static_cast<std::size_t>(end_ - cursor_));
  if (bracket == nullptr) {
    cursor_ = end_;
    return fail(error_at_next(error_text::kEofInList));
  }
  cursor_ = static_cast<const char*>(bracket);
  return {};
}

// ---------------------------------------------------------------- skipping

ReadResult<void> JsonReader::skip_scalar(int first_byte) {
  switch (first_byte) {
    case 'n': advance(); return expect_literal_rest("ull");
    case 't': advance(); return expect_literal_rest("rue");
    case 'f': advance(); return expect_literal_rest("alse");
    case '"': return skip_string();
    case kEnd: return fail(error_at_next(error_text::kEofInValue));
    default:
      if (first_byte == '-' || is_digit(first_byte)) {
        auto scanned = scan_number();
        if (!scanned) return fail(std::move(scanned).error());
        return {};
      }
      return fail(error_at_next(error_text::kExpectedValue));
  }
}

// A key and its colon inside a skipped object.
ReadResult<void> JsonReader::skip_object_key(bool after_comma) {
  const int c = peek_token();
  if (c == kEnd) return fail(error_at_next(after_comma ? error_text::kEofInValue : error_text::kEofInObject));
  if (c == '}' && after_comma) return fail(error_at_next(error_text::kTrailingComma));
  if (c != '"') return fail(error_at_next(error_text::kKeyMustBeString));
  if (auto key = skip_string(); !key) return key;
  return expect_colon();
}

// Iterative, with the open brackets on an explicit stack, so that input
// nested arbitrarily deep cannot exhaust the call stack.
ReadResult<void> JsonReader::skip_value() {
  std::vector<char> open;
  for (;;) {
    const int c = peek_token();
    if (c == '[' || c == '{') {
      advance();
      open.push_back(static_cast<char>(c));
      const int next = peek_token();
      if (next != (c == '[' ? ']' : '}')) {  // not empty: the first element follows
        if (c == '{') {
          if (auto key = skip_object_key(false); !key) return key;
        } else if (next == kEnd) {
          return fail(error_at_next(error_text::kEofInList));
        }
        continue;
      }
    } else if (auto scalar = skip_scalar(c); !scalar) {
      return scalar;
    }
    // A value has ended: close the containers that end with it, or step
    // over the comma before the next element.
    for (;;) {
      if (open.empty()) return {};
      const bool in_array = open.back() == '[';
      const int after = peek_token();
      if (after == (in_array ? ']' : '}')) {
        advance();
        open.pop_back();
        continue;
      }
      if (after == ',') {
        advance();
        break;
      }
      if (after == kEnd) return fail(error_at_next(in_array ? error_text::kEofInList : error_text::kEofInObject));
      return fail(error_at_next(in_array ? error_text::kExpectedCommaOrBracket : error_text::kExpectedCommaOrBrace));
    }
    if (open.back() == '{') {
      if (auto key = skip_object_key(true); !key) return key;
    } else if (peek_token() == ']') {
      return fail(error_at_next(error_text::kTrailingComma));
    }
  }
}

// ---------------------------------------------------------------- checking

// Recursion here is bounded by the nesting limit.
ReadResult<void> JsonReader::check_value() {
  const int c = peek_token();
  switch (c) {
    case kEnd: return fail(error_at_next(error_text::kEofInValue));
    case 'n': advance(); return expect_literal_rest("ull");
    case 't': advance(); return expect_literal_rest("rue");
    case 'f': advance(); return expect_literal_rest("alse");
    case '"': return read_string(scratch_);
    case '[':
    case '{': {
      if (auto entered = enter_nested(); !entered) return entered;
      advance();
      if (auto content = check_container_content(c); !content) return content;
      leave_nested();
      return {};
    }
    default: {
      if (c != '-' && !is_digit(c)) return fail(error_at_next(error_text::kExpectedValue));
      auto number = read_number();
      if (!number) return fail(std::move(number).error());
      return {};
    }
  }
}

ReadResult<void> JsonReader::check_container_content(int bracket) {
  const bool is_array = bracket == '[';
  bool first = true;
  for (;;) {
    auto more = is_array ? next_element(first) : next_key(first, scratch_);
    if (!more) return fail(std::move(more).error());
    if (!more.value()) return is_array ? end_array() : end_object();
    if (!is_array) {
      if (auto colon = expect_colon(); !colon) return colon;
    }
    if (auto element = check_value(); !element) return element;
  }
}

// ---------------------------------------------------------------- containers

ReadResult<bool> JsonReader::next_element(bool& first) {
  const int c = peek_token();
  if (c == ']') return false;
  if (first) {
    if (c == kEnd) return fail(error_at_next(error_text::kEofInList));
    first = false;
    return true;
  }
  if (c == kEnd) return fail(error_at_next(error_text::kEofInList));
  if (c != ',') return fail(error_at_next(error_text::kExpectedCommaOrBracket));
  advance();
  const int next = peek_token();
  if (next == ']') return fail(error_at_next(error_text::kTrailingComma));
  if (next == kEnd) return fail(error_at_next(error_text::kEofInValue));
  return true;
}

ReadResult<bool> JsonReader::next_key(bool& first, std::string& key) {
  int c = peek_token();
  if (c == '}') return false;
  if (c == kEnd) return fail(error_at_next(error_text::kEofInObject));
  if (first) {
    first = false;
  } else {
    if (c != ',') return fail(error_at_next(error_text::kExpectedCommaOrBrace));
    advance();
    c = peek_token();
    if (c == kEnd) return fail(error_at_next(error_text::kEofInValue));
    if (c == '}') return fail(error_at_next(error_text::kTrailingComma));
  }
  if (c != '"') return fail(error_at_next(error_text::kKeyMustBeString));
  if (auto text = read_string(key); !text) return fail(std::move(text).error());
  return true;
}

ReadResult<void> JsonReader::expect_colon() {
  const int c = peek_token();
  if (c == ':') {
    advance();
    return {};
  }
  return fail(error_at_next(c == kEnd ? error_text::kEofInObject : error_text::kExpectedColon));
}

ReadResult<void> JsonReader::end_array() {
  const int c = peek_token();
  if (c == ']') {
    advance();
    return {};
  }
  if (c == kEnd) return fail(error_at_next(error_text::kEofInList));
  if (c == ',') {
    advance();
    if (peek_token() == ']') return fail(error_at_next(error_text::kTrailingComma));
  }
  return fail(error_at_next(error_text::kTrailingCharacters));
}

ReadResult<void> JsonReader::end_object() {
  const int c = peek_token();
  if (c == '}') {
    advance();
    return {};
  }
  if (c == kEnd) return fail(error_at_next(error_text::kEofInObject));
  return fail(error_at_next(c == ',' ? error_text::kTrailingComma : error_text::kTrailingCharacters));
}

void JsonReader::settle_failed_array() {
  const int c = peek_token();
  if (c == ']') {
    advance();
  } else if (c == ',') {
    advance();
    peek_token();
  }
}

void JsonReader::settle_failed_object() {
  if (peek_token() == '}') advance();
}

ReadResult<void> JsonReader::end_text() {
  if (peek_token() != kEnd) return fail(error_at_next(error_text::kTrailingCharacters));
  return {};
}

}  // namespace sorvid
