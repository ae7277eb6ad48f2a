#include "formats/json_writer.h"

#include <charconv>

#include "formats/float_text.h"

namespace sorvid {
namespace {

constexpr char kHexDigits[] = "0123456789abcdef";

// The escape written for a byte below 0x20 that has a short form, or 0.
char short_escape(unsigned char byte) {
  switch (byte) {
    case 0x08: return 'b';
    case 0x09: return 't';
    case 0x0a: return 'n';
    case 0x0c: return 'f';
    case 0x0d: return 'r';
    default: return 0;
  }
}

bool needs_escape(unsigned char byte) { return byte < 0x20 || byte == '"' || byte == '\\'; }

}  // namespace

void append_json_string(std::string& out, std::string_view text) {
  out.push_back('"');
  std::size_t run_start = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto byte = static_cast<unsigned char>(text[i]);
    if (!needs_escape(byte)) {
      continue;
    }
    out.append(text.data() + run_start, i - run_start);
    run_start = i + 1;
    out.push_back('\\');
    if (byte == '"' || byte == '\\') {
      out.push_back(static_cast<char>(byte));
    } else if (const char letter = short_escape(byte)) {
      out.push_back(letter);
    } else {
      const char unicode[] = {'u', '0', '0', kHexDigits[byte >> 4], kHexDigits[byte & 0xf]};
      out.append(unicode, sizeof unicode);
    }
  }
  out.append(text.data() + run_start, text.size() - run_start);
  out.push_back('"');
}

void append_json_uint(std::string& out, std::uint64_t value) {
  char buffer[24];
  const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
  out.append(buffer, result.ptr);
}

void append_json_float_array(std::string& out, std::span<const float> values) { append_float_array(out, values); }

}  // namespace sorvid
