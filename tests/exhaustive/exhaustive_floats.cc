// Every-float checks of the float writer and reader: too slow for the unit
// tests, run by `make exhaustive`.
//
// Usage: exhaustive_floats [--sample N]
//
// The 2^31 magnitudes (every bit pattern without the sign bit) are taken in
// blocks of 2^16; --sample N checks every Nth block only, spread over the
// whole range. For each magnitude v, written with the sign of every other
// value:
//
//  1. shortest_digits(v) gives the digits std::to_chars gives (the
//     shortest that round-trip, nearest and even on ties).
//  2. write_float_text gives the plain spelling: those digits laid out by
//     the file's rules ("null", "0.0", plain for exponents -6 to 12,
//     "d.ddde+XX" beyond). Where the reader's double rounding (to double,
//     then to float) defeats the shortest digits, worked out here with
//     std::from_chars, the fewest correctly rounded digits that survive it
//     are spelled instead; such magnitudes are listed.
//  3. append_float_array over the block gives the plain spellings joined.
//  4. The reader reads the block's array back to the same bits.
//  5. No text is longer than kMaxFloatTextLength, and (in a full run) the
//     longest is exactly that long.
//
// Prints a summary; the exit status is non-zero on any mismatch.
#include <algorithm>
#include <bit>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "base/worker_pool.h"
#include "formats/float_text.h"
#include "formats/json_reader.h"
#include "formats/shortest_digits.h"

namespace sorvid {
namespace {

constexpr std::uint32_t kBlockBits = 16;
constexpr std::uint32_t kBlockSize = std::uint32_t{1} << kBlockBits;
constexpr std::uint32_t kBlockCount = std::uint32_t{1} << (31 - kBlockBits);
constexpr std::size_t kReportsPerBlock = 4;

// Decimal digits d1...dn (no trailing zeros) and the exponent of d1.
struct ReferenceDigits {
  char digits[24];
  int count = 0;
  int exponent = 0;
};

// The digits std::to_chars writes for `magnitude` in scientific form:
// shortest round trip when `precision` is negative, else that many digits
// after the first.
ReferenceDigits reference_digits(float magnitude, int precision) {
  char text[64];
  const auto result =
      precision < 0 ? std::to_chars(text, text + sizeof text, magnitude, std::chars_format::scientific)
                    : std::to_chars(text, text + sizeof text, magnitude, std::chars_format::scientific, precision);
  ReferenceDigits reference;
  const char* p = text;
  for (; *p != 'e'; ++p) {
    if (*p != '.') reference.digits[reference.count++] = *p;
  }
  while (reference.count > 1 && reference.digits[reference.count - 1] == '0') --reference.count;
  std::from_chars(p + 1 + (p[1] == '+' ? 1 : 0), result.ptr, reference.exponent);
  return reference;
}

// What the reader makes of the digits, worked out apart from it: the
// nearest double, then the nearest float (digits of a finite float never
// lie beyond the float range).
bool reads_back(const ReferenceDigits& reference, float magnitude) {
  char text[48];
  std::memcpy(text, reference.digits, static_cast<std::size_t>(reference.count));
  char* end = text + reference.count;
  *end++ = 'e';
  end = std::to_chars(end, text + sizeof text, reference.exponent - reference.count + 1).ptr;
  double value = 0;
  std::from_chars(text, end, value);
  return static_cast<float>(value) == magnitude;
}

// Room for any spelling below, with a margin.
using TextBuffer = char[48];

// Writes the file spelling of a nonzero finite magnitude with these digits,
// laid out as the writer's contract says, one rule per case; returns its end.
char* write_plain_spelling(char* out, const ReferenceDigits& reference) {
  const char* d = reference.digits;
  const int n = reference.count;
  const int e = reference.exponent;
  const auto put = [&out](const char* from, int length) {
    std::memcpy(out, from, static_cast<std::size_t>(length));
    out += length;
  };
  const auto zeros = [&out](int count) {
    std::memset(out, '0', static_cast<std::size_t>(count));
    out += count;
  };
  if (e <= 12 && n - 1 <= e) {  // an integer: zeros to the point, then ".0"
    put(d, n);
    zeros(e + 1 - n);
    put(".0", 2);
  } else if (e >= 0 && e <= 12) {  // digits on both sides of the point
    put(d, e + 1);
    put(".", 1);
    put(d + e + 1, n - e - 1);
  } else if (e >= -6 && e < 0) {  // "0." and zeros before the digits
    put("0.", 2);
    zeros(-e - 1);
    put(d, n);
  } else {
    put(d, 1);
    if (n >= 2) {
      put(".", 1);
      put(d + 1, n - 1);
    }
    put(e < 0 ? "e-" : "e+", 2);
    out = std::to_chars(out, out + 4, std::abs(e)).ptr;
  }
  return out;
}

struct BlockResult {
  std::uint64_t checked = 0;
  std::uint64_t digit_mismatches = 0;
  std::uint64_t text_mismatches = 0;
  std::uint64_t array_mismatches = 0;
  std::uint64_t read_back_mismatches = 0;
  std::size_t longest_magnitude_text = 0;
  std::vector<std::uint32_t> double_rounding_exceptions;
  std::vector<std::string> reports;

  void report(std::string text) {
    if (reports.size() < kReportsPerBlock) reports.push_back(std::move(text));
  }
};

std::string hex_bits(std::uint32_t bits) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08x", bits);
  return text;
}

// Check 1, and the expected text of a positive finite nonzero magnitude.
char* write_expected_magnitude_text(char* out, std::uint32_t bits, BlockResult& result) {
  const float magnitude = std::bit_cast<float>(bits);
  ReferenceDigits reference = reference_digits(magnitude, -1);
  const DecimalDigits digits = shortest_digits(magnitude);
  std::uint64_t reference_significand = 0;
  std::from_chars(reference.digits, reference.digits + reference.count, reference_significand);
  if (digits.significand != reference_significand || digits.exponent != reference.exponent - reference.count + 1) {
    ++result.digit_mismatches;
    result.report("shortest digits of " + hex_bits(bits) + ": " + std::to_string(digits.significand) + "e" +
                  std::to_string(digits.exponent) + ", std::to_chars gives " +
                  std::string(reference.digits, static_cast<std::size_t>(reference.count)) + " at 10^" +
                  std::to_string(reference.exponent));
  }
  if (!reads_back(reference, magnitude)) {
    result.double_rounding_exceptions.push_back(bits);
    for (int precision = reference.count; !reads_back(reference, magnitude); ++precision) {
      reference = reference_digits(magnitude, precision);
    }
  }
  return write_plain_spelling(out, reference);
}

// The expected text of any value; returns its end.
char* write_expected_text(char* out, float value, BlockResult& result) {
  const std::uint32_t magnitude_bits = std::bit_cast<std::uint32_t>(value) & 0x7fffffffu;
  if (magnitude_bits >= 0x7f800000u) {
    std::memcpy(out, "null", 4);
    return out + 4;
  }
  if (std::signbit(value)) *out++ = '-';
  if (magnitude_bits == 0) {
    std::memcpy(out, "0.0", 3);
    return out + 3;
  }
  char* const start = out;
  out = write_expected_magnitude_text(out, magnitude_bits, result);
  result.longest_magnitude_text = std::max(result.longest_magnitude_text, static_cast<std::size_t>(out - start));
  return out;
}

// Check 4: the array text read back through the reader.
void check_read_back(const std::string& text, const std::vector<float>& values, BlockResult& result) {
  JsonReader reader(text);
  reader.advance();  // "["
  std::vector<float> back;
  back.reserve(values.size());
  auto elements = reader.read_float_elements(back);
  if (!elements || back.size() != values.size()) {
    ++result.read_back_mismatches;
    result.report("block text does not read back: " + (elements ? "wrong length" : elements.error().text));
    return;
  }
  for (std::size_t i = 0; i < values.size(); ++i) {
    const auto bits = std::bit_cast<std::uint32_t>(values[i]);
    if (std::bit_cast<std::uint32_t>(back[i]) != bits) {
      ++result.read_back_mismatches;
      result.report("reads back wrong: " + hex_bits(bits) + " as " + hex_bits(std::bit_cast<std::uint32_t>(back[i])));
    }
  }
}

BlockResult check_block(std::uint32_t block) {
  BlockResult result;
  std::vector<float> values;
  std::vector<float> finite_values;
  std::string expected_array = "[";
  expected_array.reserve(kBlockSize * 16);
  values.reserve(kBlockSize);
  for (std::uint32_t i = 0; i < kBlockSize; ++i) {
    const std::uint32_t bits = (block << kBlockBits | i) | (i % 2 == 1 ? 0x80000000u : 0u);
    const float value = std::bit_cast<float>(bits);
    TextBuffer expected_buffer;
    const std::string_view expected(
        expected_buffer,
        static_cast<std::size_t>(write_expected_text(expected_buffer, value, result) - expected_buffer));
    char buffer[kFloatTextRoom];
    const std::string_view written(buffer, static_cast<std::size_t>(write_float_text(buffer, value) - buffer));
    if (written != expected) {
      ++result.text_mismatches;
      result.report("text of " + hex_bits(bits) + ": " + std::string(written) + ", expected " + std::string(expected));
    }
    if (i != 0) expected_array += ',';
    expected_array += expected;
    values.push_back(value);
    if (std::isfinite(value)) finite_values.push_back(value);
    ++result.checked;
  }
  expected_array += ']';
  std::string array;
  append_float_array(array, values);
  if (array != expected_array) {
    ++result.array_mismatches;
    result.report("array text of block " + hex_bits(block << kBlockBits) + " differs from the plain spellings");
  }
  if (finite_values.size() != values.size()) {
    array.clear();
    append_float_array(array, finite_values);
  }
  check_read_back(array, finite_values, result);
  return result;
}

// Adds one block's counts to the totals of a run.
void add_block(BlockResult& totals, const BlockResult& block) {
  totals.checked += block.checked;
  totals.digit_mismatches += block.digit_mismatches;
  totals.text_mismatches += block.text_mismatches;
  totals.array_mismatches += block.array_mismatches;
  totals.read_back_mismatches += block.read_back_mismatches;
  totals.longest_magnitude_text = std::max(totals.longest_magnitude_text, block.longest_magnitude_text);
  totals.double_rounding_exceptions.insert(totals.double_rounding_exceptions.end(),
                                           block.double_rounding_exceptions.begin(),
                                           block.double_rounding_exceptions.end());
  totals.reports.insert(totals.reports.end(), block.reports.begin(), block.reports.end());
}

// Every other value is negative, so the longest texts gain a sign.
std::size_t longest_text(const BlockResult& totals) { return totals.longest_magnitude_text + 1; }

// A sample need not hold the longest text, but none may be longer.
bool longest_text_fits(const BlockResult& totals, bool full_run) {
  const auto limit = static_cast<std::size_t>(kMaxFloatTextLength);
  return full_run ? longest_text(totals) == limit : longest_text(totals) <= limit;
}

std::uint64_t mismatches(const BlockResult& totals, bool full_run) {
  return totals.digit_mismatches + totals.text_mismatches + totals.array_mismatches + totals.read_back_mismatches +
         (longest_text_fits(totals, full_run) ? 0 : 1);
}

void print_summary(const BlockResult& totals, std::uint32_t sample, double seconds) {
  std::printf("checked %llu magnitudes in %.1f s (one block in %u)\n", static_cast<unsigned long long>(totals.checked),
              seconds, sample);
  if (sample > 1) std::printf("estimated full run: %.0f s\n", seconds * sample);
  std::printf("shortest digits differing from std::to_chars: %llu\n",
              static_cast<unsigned long long>(totals.digit_mismatches));
  std::printf("single texts differing from the plain spelling: %llu\n",
              static_cast<unsigned long long>(totals.text_mismatches));
  std::printf("array texts differing from the plain spellings: %llu\n",
              static_cast<unsigned long long>(totals.array_mismatches));
  std::printf("values read back with other bits: %llu\n", static_cast<unsigned long long>(totals.read_back_mismatches));
  std::printf("longest text: %zu bytes (kMaxFloatTextLength %d)\n", longest_text(totals), kMaxFloatTextLength);
  std::printf("shortest digits defeated by double rounding:");
  for (const std::uint32_t bits : totals.double_rounding_exceptions) std::printf(" %s", hex_bits(bits).c_str());
  std::printf("%s\n", totals.double_rounding_exceptions.empty() ? " none" : "");
  for (std::size_t i = 0; i < std::min<std::size_t>(totals.reports.size(), 20); ++i) {
    std::printf("  %s\n", totals.reports[i].c_str());
  }
  std::printf("%s\n", mismatches(totals, sample == 1) == 0 ? "PASS" : "FAIL");
}

int run(std::uint32_t sample) {
  const std::uint32_t blocks = (kBlockCount + sample - 1) / sample;
  std::vector<BlockResult> results(blocks);
  const auto start = std::chrono::steady_clock::now();
  WorkerPool::instance().parallel_for(
      0, blocks, 1, [&](std::size_t k) { results[k] = check_block(static_cast<std::uint32_t>(k) * sample); });
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  BlockResult totals;
  for (const BlockResult& result : results) add_block(totals, result);
  print_summary(totals, sample, seconds);
  return mismatches(totals, sample == 1) == 0 ? 0 : 1;
}

}  // namespace
}  // namespace sorvid

int main(int argc, char** argv) {
  std::uint32_t sample = 1;
  if (argc == 3 && std::string_view(argv[1]) == "--sample") {
    sample = static_cast<std::uint32_t>(std::strtoul(argv[2], nullptr, 10));
  } else if (argc != 1) {
    sample = 0;
  }
  if (sample == 0 || sample > sorvid::kBlockCount) {
    std::fprintf(stderr, "usage: %s [--sample N]   (1 <= N <= %u)\n", argv[0], sorvid::kBlockCount);
    return 2;
  }
  return sorvid::run(sample);
}
