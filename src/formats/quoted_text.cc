#include "formats/quoted_text.h"

#include <algorithm>
#include <cstdint>

#include "formats/unicode_tables.h"
#include "formats/utf8.h"

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
    const auto [cp, length] = decode_utf8(text);
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
