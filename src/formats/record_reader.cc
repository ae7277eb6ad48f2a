#include "formats/record_reader.h"

namespace sorvid {

ReadResult<void> read_string_field(JsonReader& reader, std::string& out) {
  const int c = reader.peek_token();
  if (c == JsonReader::kEnd) return fail(reader.error_at_next(error_text::kEofInValue));
  if (c != '"') return fail(reader.invalid_type("a string"));
  return reader.read_string(out);
}

}  // namespace sorvid
