#include "formats/utf8.h"

#include <cstdint>
#include <cstring>

namespace sorvid {
namespace {

// Length of the well-formed sequence at `p` (at most `available` bytes), or 0.
std::size_t sequence_length(const unsigned char* p, std::size_t available) {
  const unsigned char lead = p[0];
  std::size_t length;
  // The second byte's range excludes overlong forms, surrogates and values
  // above U+10FFFF (the table of well-formed sequences in Unicode ch. 3).
  unsigned char second_min = 0x80;
  unsigned char second_max = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) second_min = 0xA0;
    if (lead == 0xED) second_max = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) second_min = 0x90;
    if (lead == 0xF4) second_max = 0x8F;
  } else {
    return 0;
  }
  if (available < length || p[1] < second_min || p[1] > second_max) {
    return 0;
  }
  for (std::size_t i = 2; i < length; ++i) {
    if ((p[i] & 0xC0) != 0x80) {
      return 0;
    }
  }
  return length;
}

}  // namespace

bool is_valid_utf8(std::string_view text) {
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const unsigned char* end = p + text.size();
  while (p != end) {
    // Eight ASCII bytes at a time.
    if (end - p >= 8) {
      std::uint64_t block;
      std::memcpy(&block, p, 8);
      if ((block & 0x8080808080808080ull) == 0) {
        p += 8;
        continue;
      }
    }
    if (*p < 0x80) {
      ++p;
      continue;
    }
    const std::size_t length = sequence_length(p, static_cast<std::size_t>(end - p));
    if (length == 0) {
      return false;
    }
    p += length;
  }
  return true;
}

}  // namespace sorvid
