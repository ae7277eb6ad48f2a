// Random entries (any Unicode text, any finite floats) written as a log line
// and as a snapshot must read back bit for bit.
#include <fuzzer/FuzzedDataProvider.h>

#include <bit>
#include <cstddef>
#include <cstdint>
#include <string>
#include <variant>
#include <vector>

#include "formats/snapshot.h"
#include "formats/utf8.h"
#include "formats/wal_record.h"
#include "fuzz_checks.h"

namespace {

// Mostly ASCII (control characters and quotes included), sometimes any
// scalar value.
std::string text_from(FuzzedDataProvider& input) {
  std::string text;
  const std::size_t length = input.ConsumeIntegralInRange<std::size_t>(0, 24);
  for (std::size_t i = 0; i < length && input.remaining_bytes() > 0; ++i) {
    std::uint32_t code_point = input.ConsumeBool() ? input.ConsumeIntegralInRange<std::uint32_t>(0, 0x7F)
                                                   : input.ConsumeIntegralInRange<std::uint32_t>(0x80, 0x10FFFF);
    if (code_point >= 0xD800 && code_point <= 0xDFFF) code_point = 0xFFFD;  // surrogates are no scalar values
    sorvid::append_utf8(text, code_point);
  }
  return text;
}

// Any finite float, from its bits: subnormals, -0.0 and extremes included.
float value_from(FuzzedDataProvider& input) {
  const float value = std::bit_cast<float>(input.ConsumeIntegral<std::uint32_t>());
  return value - value == 0.0f ? value : 1.0f;
}

sorvid::VectorEntry entry_from(FuzzedDataProvider& input) {
  sorvid::VectorEntry entry;
  entry.id = text_from(input);
  const std::size_t dim = input.ConsumeIntegralInRange<std::size_t>(0, 16);
  for (std::size_t i = 0; i < dim; ++i) entry.embedding.push_back(value_from(input));
  entry.metadata = text_from(input);
  entry.created_at = text_from(input);
  return entry;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider input(data, size);
  std::vector<sorvid::VectorEntry> entries;
  const std::size_t count = input.ConsumeIntegralInRange<std::size_t>(1, 4);
  for (std::size_t i = 0; i < count; ++i) entries.push_back(entry_from(input));

  std::vector<const sorvid::VectorEntry*> listed;
  for (const sorvid::VectorEntry& entry : entries) {
    std::string line;
    sorvid::encode_upsert_record(entry, line);
    auto record = sorvid::decode_record(line);
    sorvid::fuzz::check(record.ok(), "an upsert line decodes");
    const auto* upsert = std::get_if<sorvid::UpsertRecord>(&record.value());
    sorvid::fuzz::check(upsert != nullptr && sorvid::fuzz::identical(upsert->entry, entry),
                        "an entry survives a log line bit for bit");

    line.clear();
    sorvid::encode_delete_record(entry.id, line);
    auto deletion = sorvid::decode_record(line);
    sorvid::fuzz::check(deletion.ok() && std::get_if<sorvid::DeleteRecord>(&deletion.value()) != nullptr &&
                            std::get<sorvid::DeleteRecord>(deletion.value()).id == entry.id,
                        "a delete line gives its id back");
    listed.push_back(&entry);
  }

  const std::uint64_t dim = input.ConsumeIntegral<std::uint64_t>();
  std::string text;
  sorvid::encode_snapshot(dim, listed, text);
  auto snapshot = sorvid::decode_snapshot(text);
  sorvid::fuzz::check(snapshot.ok(), "a snapshot decodes");
  sorvid::fuzz::check(snapshot.value().dim == dim, "the dimension survives a snapshot");
  sorvid::fuzz::check(snapshot.value().entries.size() == entries.size(), "every entry survives a snapshot");
  for (std::size_t i = 0; i < entries.size(); ++i) {
    sorvid::fuzz::check(sorvid::fuzz::identical(snapshot.value().entries[i], entries[i]),
                        "an entry survives a snapshot bit for bit");
  }
  return 0;
}
