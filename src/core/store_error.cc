#include "core/store_error.h"

#include <cstring>
#include <utility>

#include "core/file_system.h"
#include "formats/quoted_text.h"

namespace sorvid {
namespace {

// strerror_r comes in two flavours: the XSI one fills the buffer and returns
// an int, the GNU one returns a pointer that may or may not be the buffer.
// Overloads on the return type pick the right text for either.
[[maybe_unused]] const char* strerror_text(int /*xsi_status*/, const char* buffer) { return buffer; }
[[maybe_unused]] const char* strerror_text(const char* gnu_text, const char* /*buffer*/) { return gnu_text; }

std::string describe_os_error(int code) {
  char buffer[256] = {};
  return strerror_text(strerror_r(code, buffer, sizeof buffer), buffer);
}

}  // namespace

StoreError StoreError::from_os_error(int code) {
  if (code == OsError::kNotRegularFile) return io("not a regular file");
  return {StoreErrorKind::kIo, describe_os_error(code) + " (os error " + std::to_string(code) + ")"};
}

StoreError StoreError::not_regular_file(std::string_view path) {
  return {StoreErrorKind::kIo, "not a regular file: " + std::string(path)};
}

StoreError StoreError::io(std::string text) { return {StoreErrorKind::kIo, std::move(text)}; }

StoreError StoreError::json(std::string message) { return {StoreErrorKind::kJson, std::move(message)}; }

StoreError StoreError::dimension_mismatch(std::uint64_t dim, std::uint64_t length) {
  return {StoreErrorKind::kDimensionMismatch,
          "Dimension mismatch: store is " + std::to_string(dim) + "D, got " + std::to_string(length) + "D"};
}

StoreError StoreError::snapshot_dimension_mismatch(std::string_view id, std::uint64_t dim, std::uint64_t length) {
  std::string message = "Dimension mismatch in the snapshot: entry ";
  append_quoted_text(message, id);
  message += " has " + std::to_string(length) + " values, the store is " + std::to_string(dim) + "D";
  return {StoreErrorKind::kDimensionMismatch, std::move(message)};
}

StoreError StoreError::same_file(std::string text) { return {StoreErrorKind::kSameFile, std::move(text)}; }

StoreError StoreError::empty_embedding() { return {StoreErrorKind::kEmptyEmbedding, "Embedding must not be empty"}; }

StoreError StoreError::non_finite_embedding() {
  return {StoreErrorKind::kNonFiniteEmbedding, "Embedding must contain only finite values"};
}

}  // namespace sorvid
