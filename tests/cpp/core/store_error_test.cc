#include "core/store_error.h"

#include <gtest/gtest.h>

#include <cerrno>

namespace sorvid {
namespace {

struct ErrorCase {
  StoreError error;
  StoreErrorKind kind;
  const char* message;
};

class StoreErrorMessage : public ::testing::TestWithParam<ErrorCase> {};

TEST_P(StoreErrorMessage, CarriesItsFullText) {
  EXPECT_EQ(GetParam().error.kind, GetParam().kind);
  EXPECT_EQ(GetParam().error.message, GetParam().message);
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, StoreErrorMessage,
    ::testing::Values(
        ErrorCase{StoreError::from_os_error(ENOSPC), StoreErrorKind::kIo, "No space left on device (os error 28)"},
        ErrorCase{StoreError::from_os_error(ENOENT), StoreErrorKind::kIo, "No such file or directory (os error 2)"},
        ErrorCase{StoreError::from_os_error(EISDIR), StoreErrorKind::kIo, "Is a directory (os error 21)"},
        ErrorCase{StoreError::io(kWriteZeroBufferedText), StoreErrorKind::kIo, "failed to write the buffered data"},
        ErrorCase{StoreError::json("trailing characters at line 1 column 3"), StoreErrorKind::kJson,
                  "trailing characters at line 1 column 3"},
        ErrorCase{StoreError::dimension_mismatch(3, 4), StoreErrorKind::kDimensionMismatch,
                  "Dimension mismatch: store is 3D, got 4D"},
        ErrorCase{StoreError::dimension_mismatch(18446744073709551615ull, 1), StoreErrorKind::kDimensionMismatch,
                  "Dimension mismatch: store is 18446744073709551615D, got 1D"},
        ErrorCase{StoreError::empty_embedding(), StoreErrorKind::kEmptyEmbedding, "Embedding must not be empty"},
        ErrorCase{StoreError::non_finite_embedding(), StoreErrorKind::kNonFiniteEmbedding,
                  "Embedding must contain only finite values"}));

}  // namespace
}  // namespace sorvid
