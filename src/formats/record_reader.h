// The shape every record decoder shares: a record is a JSON object (fields
// by name, in any order, unknown members skipped) or a JSON array (fields
// in declaration order), and errors about the record as a whole are placed
// after the decoder has closed it as far as it can.
#pragma once

#include <array>
#include <cstddef>
#include <string>
#include <string_view>

#include "formats/json_error_text.h"
#include "formats/json_reader.h"

namespace sorvid {

// Decodes the record at the reader: `visit_array()` after "[" or
// `visit_object()` after "{", then the closing bracket. Anything else
// where the record must start is an invalid type named after `expected`.
template <class VisitArray, class VisitObject>
[[nodiscard]] ReadResult<void> read_record(JsonReader& reader, std::string_view expected, VisitArray&& visit_array,
                                           VisitObject&& visit_object) {
  const int c = reader.peek_token();
  if (c == JsonReader::kEnd) return fail(reader.error_at_next(error_text::kEofInValue));
  if (c != '[' && c != '{') return fail(reader.invalid_type(expected));
  if (auto entered = reader.enter_nested(); !entered) return entered;
  reader.advance();
  const bool is_array = c == '[';
  ReadResult<void> visited = is_array ? visit_array() : visit_object();
  if (visited) {
    visited = is_array ? reader.end_array() : reader.end_object();
  } else if (!visited.error().placed()) {
    if (is_array) {
      reader.settle_failed_array();
    } else {
      reader.settle_failed_object();
    }
    visited = fail(reader.place(std::move(visited).error()));
  }
  reader.leave_nested();
  return visited;
}

template <std::size_t N>
using FieldNames = std::array<std::string_view, N>;

// Object form. `read_field(i)` decodes the value of field i; the reader
// stands after the colon. A field may occur once, and all must occur.
template <std::size_t N, class ReadField>
[[nodiscard]] ReadResult<void> visit_object_fields(JsonReader& reader, const FieldNames<N>& names,
                                                   ReadField&& read_field) {
  std::array<bool, N> seen{};
  bool first = true;
  std::string key;
  for (;;) {
    auto more = reader.next_key(first, key);
    if (!more) return fail(std::move(more).error());
    if (!more.value()) break;
    std::size_t index = 0;
    while (index < N && names[index] != key) ++index;
    // Reported as soon as the repeated key has been read.
    if (index < N && seen[index]) return fail(unplaced_error(error_text::duplicate_field(key)));
    if (auto colon = reader.expect_colon(); !colon) return colon;
    if (index == N) {
      if (auto skipped = reader.skip_value(); !skipped) return skipped;
      continue;
    }
    seen[index] = true;
    if (auto field = read_field(index); !field) return field;
  }
  for (std::size_t index = 0; index < N; ++index) {
    if (!seen[index]) return fail(unplaced_error(error_text::missing_field(names[index])));
  }
  return {};
}

// Array form: the N fields in order. Elements beyond them are left to the
// closing bracket check ("trailing characters" / "trailing comma").
template <std::size_t N, class ReadField>
[[nodiscard]] ReadResult<void> visit_array_fields(JsonReader& reader, std::string_view expected_length,
                                                  ReadField&& read_field) {
  bool first = true;
  for (std::size_t index = 0; index < N; ++index) {
    auto more = reader.next_element(first);
    if (!more) return fail(std::move(more).error());
    if (!more.value()) {
      return fail(unplaced_error(error_text::invalid_length(index, expected_length)));
    }
    if (auto field = read_field(index); !field) return field;
  }
  return {};
}

// A JSON string where only a string is accepted.
[[nodiscard]] ReadResult<void> read_string_field(JsonReader& reader, std::string& out);

}  // namespace sorvid
