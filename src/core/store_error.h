// StoreError: why an engine operation failed, with the message text that the
// Python layer shows unchanged.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace sorvid {

enum class StoreErrorKind { kIo, kJson, kDimensionMismatch, kEmptyEmbedding, kNonFiniteEmbedding, kSameFile };

struct StoreError {
  StoreErrorKind kind = StoreErrorKind::kIo;
  std::string message;

  // An operating-system error: its description and code, as in
  // "No space left on device (os error 28)".
  static StoreError from_os_error(int code);
  // "not a regular file: {path}": a device, pipe or socket where a store
  // file should be.
  static StoreError not_regular_file(std::string_view path);
  // An I/O failure with a fixed text (e.g. "failed to write whole buffer").
  static StoreError io(std::string text);
  // A JSON text that failed to decode; `message` is the decoder's full text.
  static StoreError json(std::string message);
  // "Dimension mismatch: store is {dim}D, got {length}D"
  static StoreError dimension_mismatch(std::uint64_t dim, std::uint64_t length);
  // A snapshot entry whose length is not the snapshot's dimension:
  // "Dimension mismatch in the snapshot: entry {quoted id} has {length}
  // values, the store is {dim}D" (the id quoted as VectorEntry's repr does).
  static StoreError snapshot_dimension_mismatch(std::string_view id, std::uint64_t dim, std::uint64_t length);
  // Two paths of a store that must name different files name one.
  static StoreError same_file(std::string text);
  // "Embedding must not be empty"
  static StoreError empty_embedding();
  // "Embedding must contain only finite values"
  static StoreError non_finite_embedding();
};

// The fixed I/O texts.
inline constexpr const char* kWriteZeroDirectText = "failed to write whole buffer";
inline constexpr const char* kWriteZeroBufferedText = "failed to write the buffered data";
inline constexpr const char* kInvalidUtf8Text = "stream did not contain valid UTF-8";

}  // namespace sorvid
