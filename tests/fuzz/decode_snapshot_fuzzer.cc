// decode_snapshot on any bytes: it must fail cleanly or give a document that
// encodes back to a text which decodes to the very same document; decoding
// in chunks must give the same outcome. Passing over the embeddings, which
// only the store's own texts are meant for, must not fail on any bytes in a
// way that reads outside them, and on an encoded text must give every entry
// but its embedding.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "formats/snapshot.h"
#include "formats/utf8.h"
#include "fuzz_checks.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  static_cast<void>(sorvid::decode_snapshot(text, sorvid::EmbeddingText::kPassOver));
  auto decoded = sorvid::decode_snapshot(text);
  // In chunks of a few bytes every entry boundary starts a chunk: the same
  // document or the same error.
  auto chunked = sorvid::decode_snapshot_in_chunks(text, sorvid::WorkerPool::instance(), 16);
  sorvid::fuzz::check(chunked.ok() == decoded.ok(), "decoding in chunks succeeds or fails alike");
  if (!decoded) {
    sorvid::fuzz::check(!decoded.error().message().empty(), "a decoding error has a message");
    sorvid::fuzz::check(chunked.error().message() == decoded.error().message(), "decoding in chunks fails alike");
    return 0;
  }
  sorvid::fuzz::check(
      chunked.value().dim == decoded.value().dim && chunked.value().entries.size() == decoded.value().entries.size(),
      "decoding in chunks gives the same document");
  for (std::size_t i = 0; i < decoded.value().entries.size(); ++i) {
    sorvid::fuzz::check(sorvid::fuzz::identical(chunked.value().entries[i], decoded.value().entries[i]),
                        "decoding in chunks gives the same entries");
  }
  if (!sorvid::is_valid_utf8(text)) return 0;
  std::vector<const sorvid::VectorEntry*> entries;
  for (const sorvid::VectorEntry& entry : decoded.value().entries) {
    if (!sorvid::fuzz::all_finite(entry.embedding)) return 0;  // the store refuses such a snapshot
    entries.push_back(&entry);
  }
  std::string encoded;
  sorvid::encode_snapshot(decoded.value().dim, entries, encoded);
  sorvid::fuzz::check(sorvid::is_valid_utf8(encoded), "an encoded snapshot is valid UTF-8");
  auto again = sorvid::decode_snapshot(encoded);
  sorvid::fuzz::check(again.ok(), "an encoded snapshot decodes");
  sorvid::fuzz::check(again.value().dim == decoded.value().dim, "the dimension survives");
  sorvid::fuzz::check(again.value().entries.size() == entries.size(), "every entry survives");
  for (std::size_t i = 0; i < entries.size(); ++i) {
    sorvid::fuzz::check(sorvid::fuzz::identical(*entries[i], again.value().entries[i]), "entries survive unchanged");
  }
  auto passed =
      sorvid::decode_snapshot_in_chunks(encoded, sorvid::WorkerPool::instance(), 16, sorvid::EmbeddingText::kPassOver);
  sorvid::fuzz::check(passed.ok() && passed.value().entries.size() == entries.size(),
                      "passing over an encoded text's embeddings gives every entry");
  for (std::size_t i = 0; i < entries.size(); ++i) {
    sorvid::VectorEntry expected = *entries[i];
    expected.embedding.clear();
    sorvid::fuzz::check(sorvid::fuzz::identical(expected, passed.value().entries[i]),
                        "passing over the embeddings leaves the rest of each entry");
  }
  return 0;
}
