// decode_record on any bytes: it must fail cleanly or give a record that
// encodes back to a line which decodes to the very same record.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <variant>

#include "formats/utf8.h"
#include "formats/wal_record.h"
#include "fuzz_checks.h"

namespace {

using sorvid::DeleteRecord;
using sorvid::UpsertRecord;
using sorvid::WalRecord;

bool identical(const WalRecord& a, const WalRecord& b) {
  if (a.index() != b.index()) return false;
  if (const auto* deletion = std::get_if<DeleteRecord>(&a)) return deletion->id == std::get<DeleteRecord>(b).id;
  return sorvid::fuzz::identical(std::get<UpsertRecord>(a).entry, std::get<UpsertRecord>(b).entry);
}

bool writable(const WalRecord& record) {
  const auto* upsert = std::get_if<UpsertRecord>(&record);
  return upsert == nullptr || sorvid::fuzz::all_finite(upsert->entry.embedding);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view line(reinterpret_cast<const char*>(data), size);
  auto decoded = sorvid::decode_record(line);
  if (!decoded) {
    sorvid::fuzz::check(!decoded.error().message().empty(), "a decoding error has a message");
    return 0;
  }
  // The store decodes only valid UTF-8, and writes only finite values.
  if (!sorvid::is_valid_utf8(line) || !writable(decoded.value())) return 0;
  const std::string encoded = sorvid::encode_record(decoded.value());
  sorvid::fuzz::check(sorvid::is_valid_utf8(encoded), "an encoded record is valid UTF-8");
  sorvid::fuzz::check(encoded.find('\n') == std::string::npos, "an encoded record holds no line feed");
  auto again = sorvid::decode_record(encoded);
  sorvid::fuzz::check(again.ok(), "an encoded record decodes");
  sorvid::fuzz::check(identical(decoded.value(), again.value()), "a record survives encoding unchanged");
  sorvid::fuzz::check(sorvid::encode_record(again.value()) == encoded, "encoding is stable");
  return 0;
}
