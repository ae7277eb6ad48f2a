// JsonReader: the strict, one-pass JSON tokenizer under every decoder.
//
// The reader walks the bytes of one complete text once, never looking back.
// The decoders of the records drive it: they ask for the next token, a
// string, a number, the next array element or object key, and decide what
// each place accepts. Syntax errors are positioned where they are found;
// errors about a whole value are positioned by the decoder of the value
// that encloses them (see ReadError).
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "base/result.h"
#include "formats/decimal.h"
#include "formats/json_error.h"
#include "formats/json_number.h"

namespace sorvid {

// A decoding failure inside the reader. `consumed` is the number of bytes
// the reader had consumed when the failure was reported; line and column
// follow from it. Errors about a whole record (type, length, missing or
// duplicate fields) are raised while the record's decoder stands somewhere
// inside it; they stay kUnplaced until that decoder has closed the record
// (as far as it can) and places them there.
struct ReadError {
  static constexpr std::size_t kUnplaced = static_cast<std::size_t>(-1);
  std::string text;
  std::size_t consumed = kUnplaced;

  bool placed() const { return consumed != kUnplaced; }
};

template <class T>
using ReadResult = Result<T, ReadError>;

ReadError unplaced_error(std::string text);

// Line and column of a placed error within `input`.
JsonError to_json_error(std::string_view input, const ReadError& error);

class JsonReader {
 public:
  static constexpr int kEnd = -1;
  // Arrays and objects that are decoded may nest this deep.
  static constexpr int kMaxDepth = 127;

  explicit JsonReader(std::string_view text);

  // A reader of the same text at the same nesting, standing at byte
  // `offset`: the state this reader would be in there had it read every
  // byte before it, when the bytes in between close no bracket they did not
  // open. Lets pieces of one array be decoded on their own.
  JsonReader at(std::size_t offset) const {
    JsonReader copy(text());
    copy.cursor_ = begin_ + offset;
    copy.remaining_depth_ = remaining_depth_;
    return copy;
  }
  std::string_view text() const { return {begin_, static_cast<std::size_t>(end_ - begin_)}; }

  // --- Bytes and position.
  std::size_t consumed() const { return static_cast<std::size_t>(cursor_ - begin_); }
  int peek() const { return cursor_ == end_ ? kEnd : static_cast<unsigned char>(*cursor_); }
  void advance() { ++cursor_; }
  // Skips whitespace (space, tab, line feed, carriage return) and returns
  // the next byte without consuming it, or kEnd.
  int peek_token() {
    while (cursor_ != end_ && is_whitespace(*cursor_)) ++cursor_;
    return peek();
  }

  // --- Errors.
  // Positioned at the last byte consumed.
  ReadError error_at_last(std::string text) const;
  // Positioned at the next byte, or at the last byte at the end of the text.
  ReadError error_at_next(std::string text) const;
  // Gives an unplaced error the current position.
  ReadError place(ReadError error) const;
  // The error for a value that the place does not accept, with the reader
  // at its first byte: scalars are read (and may fail to read) and the
  // error stands after them; for an array or object it stands before the
  // bracket; a byte that starts no value gives "expected value".
  ReadError invalid_type(std::string_view expected);

  // --- Nesting of decoded arrays and objects; the reader is at the bracket.
  [[nodiscard]] ReadResult<void> enter_nested();
  void leave_nested() { ++remaining_depth_; }

  // --- Scalars.
  // After the first letter of true, false or null: the remaining letters.
  [[nodiscard]] ReadResult<void> expect_literal_rest(std::string_view rest);
  // At the opening quote: decodes the string (escapes, surrogate pairs,
  // UTF-8 check) into `out`.
  [[nodiscard]] ReadResult<void> read_string(std::string& out);
  // At "-" or a digit: reads and classifies a number.
  [[nodiscard]] ReadResult<JsonNumber> read_number();
  // After "[": reads comma-separated numbers as 32-bit floats up to, not
  // including, the closing bracket; an element that is no number is an
  // invalid type for "f32". The embedding's hot loop.
  [[nodiscard]] ReadResult<void> read_float_elements(std::vector<float>& out);
  // After "[" of an array of numbers: moves to its closing bracket (not
  // consumed) without reading the elements. Only for a text known to be
  // well formed (the store's own, by its fingerprint): a number holds no
  // "]", so the first one closes the array; nothing in between is checked.
  [[nodiscard]] ReadResult<void> pass_over_number_elements();
  // Checks the syntax of one value and drops it: numbers are not evaluated,
  // strings not decoded, and nesting is not limited (no recursion).
  [[nodiscard]] ReadResult<void> skip_value();
  // Checks one value by the rules of a value that is decoded (numbers
  // evaluated, strings decoded, nesting limited), with the errors a decoder
  // meets at the same bytes, and drops it. Needs memory only for the longest
  // string and the nesting.
  [[nodiscard]] ReadResult<void> check_value();

  // --- Containers, after the opening bracket.
  // True when another element follows (the reader then stands at it),
  // false at the closing bracket (not consumed). `first` tracks the comma.
  [[nodiscard]] ReadResult<bool> next_element(bool& first);
  // True with the decoded key when another member follows, false at the
  // closing brace (not consumed).
  [[nodiscard]] ReadResult<bool> next_key(bool& first, std::string& key);
  [[nodiscard]] ReadResult<void> expect_colon();
  // After the last element or member a decoder wanted: the closing bracket
  // or brace, or "trailing comma" / "trailing characters" for more.
  [[nodiscard]] ReadResult<void> end_array();
  [[nodiscard]] ReadResult<void> end_object();
  // After a decoder gave up inside an array or object: moves over what
  // closing it would have consumed (whitespace, and the bracket, or a
  // comma and the whitespace after it), where its error is then placed.
  void settle_failed_array();
  void settle_failed_object();
  // After the top-level value: only whitespace may follow.
  [[nodiscard]] ReadResult<void> end_text();

 private:
  static bool is_whitespace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

  // At "-" or a digit: scans the number and stands after it.
  [[nodiscard]] ReadResult<Decimal> scan_number();
  ReadError number_syntax_error(DecimalScanStatus status) const;
  // With the reader after the number: its value, or "number out of range".
  [[nodiscard]] ReadResult<JsonNumber> evaluate_scanned(const Decimal& decimal) const;
  // At "-" or a digit: one float element by the full reading.
  [[nodiscard]] ReadResult<float> read_float_element();
  // A float element at `begin` that the fast path does not take, with the
  // reader standing after it.
  [[nodiscard, gnu::noinline]] ReadResult<float> float_beyond_fast_path(const char* begin) const;
  [[nodiscard]] ReadResult<void> read_escape(std::string& out);
  [[nodiscard]] ReadResult<void> skip_escape();
  [[nodiscard]] ReadResult<void> read_unicode_escape(std::string& out);
  [[nodiscard]] ReadResult<unsigned> read_hex4();
  [[nodiscard]] ReadResult<void> skip_string();
  [[nodiscard]] ReadResult<void> skip_scalar(int first_byte);
  [[nodiscard]] ReadResult<void> skip_object_key(bool after_comma);
  // After the opening bracket or brace: the elements or members, each
  // checked as check_value does, and the closing bracket or brace.
  [[nodiscard]] ReadResult<void> check_container_content(int bracket);

  const char* begin_;
  const char* cursor_;
  const char* end_;
  // Starts one above the depth limit; an opening bracket that brings it to
  // zero is one level too deep.
  int remaining_depth_ = kMaxDepth + 1;
  std::string scratch_;  // the string of an invalid-type error, or one that is checked
};

}  // namespace sorvid
