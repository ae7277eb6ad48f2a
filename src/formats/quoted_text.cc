#include "formats/quoted_text.h"

#include <algorithm>
#include <cstdint>

#include "formats/unicode_tables.h"

namespace sorvid {
namespace {

bool is_escaped_code_point(std::uint32_t cp) {
  const unicode::CodePointRange* begin = unicode::kEscapedRanges;
  const unicode::CodePointRange* end = begin + unicode::kEscapedRangeCount;
  // First range whose end is not below cp; cp is escaped when it starts at or before cp.
  const auto* range = std::lower_bound(
      begin, end, cp, [](const unicode::CodePointRange& r, std::uint32_t value) { return r.last < value; });
  return range != end && range->first <= cp;
}

// Decodes one UTF-8 sequence at the front of `text`. Returns its length in
// bytes and stores the code point, or returns 0 when the bytes are not a
// valid, shortest-form sequence of a scalar value.
std::size_t decode_utf8(std::string_view text, std::uint32_t& cp) {
  const auto byte = [&](std::size_t i) { return static_cast<std::uint8_t>(text[i]); };
  const std::uint8_t lead = byte(0);
  std::size_t length;
  std::uint32_t min_value;
  if (lead < 0x80) {
    cp = lead;
    return 1;
  } else if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2, cp = lead & 0x1F, min_value = 0x80;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3, cp = lead & 0x0F, min_value = 0x800;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4, cp = lead & 0x07, min_value = 0x10000;
  } else {
    return 0;
  }
  if (text.size() < length) return 0;
  for (std::size_t i = 1; i < length; ++i) {
    if ((byte(i) & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (byte(i) & 0x3F);
  }
  if (cp < min_value || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
  return length;
}

void append_code_point_escape(std::string& out, std::uint32_t cp) {
  static constexpr char kHex[] = "0123456789abcdef";
  char digits[8];
  int count = 0;
  do {
    digits[count++] = kHex[cp & 0xF];
    cp >>= 4;
  } while (cp != 0);
  out += "\\u{";
  while (count > 0) out += digits[--count];
  out += '}';
}

}  // namespace

void append_quoted_text(std::string& out, std::string_view text) {
  out += '"';
  while (!text.empty()) {
    std::uint32_t cp;
    std::size_t length = decode_utf8(text, cp);
    if (length == 0) {
      append_code_point_escape(out, 0xFFFD);
      text.remove_prefix(1);
      continue;
    }
    switch (cp) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\t': out += "\\t"; break;
      case '\r': out += "\\r"; break;
      case '\n': out += "\\n"; break;
      case '\0': out += "\\0"; break;
      default:
        if (cp != ' ' && is_escaped_code_point(cp)) {
          append_code_point_escape(out, cp);
        } else {
          out.append(text.substr(0, length));
        }
    }
    text.remove_prefix(length);
  }
  out += '"';
}

std::string quote_text(std::string_view text) {
  std::string out;
  out.reserve(text.size() + 2);
  append_quoted_text(out, text);
  return out;
}

}  // namespace sorvid
