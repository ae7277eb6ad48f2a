// BufferedWriter: an 8192-byte write buffer in front of a File.
//
// Pieces that fit into the free part of the buffer are collected; a piece
// that does not fit first makes the buffer be written out; a piece as large
// as the whole buffer or larger goes to the file directly. A write that
// accepts no bytes fails with "failed to write the buffered data" while the
// buffer is written out and "failed to write whole buffer" for a direct write.
#pragma once

#include <cstddef>
#include <string_view>
#include <vector>

#include "base/result.h"
#include "core/file.h"
#include "core/store_error.h"

namespace sorvid {

class BufferedWriter {
 public:
  static constexpr std::size_t kCapacity = 8192;

  explicit BufferedWriter(File file);

  [[nodiscard]] Result<void, StoreError> write(std::string_view piece);
  // Writes out everything still held in the buffer.
  [[nodiscard]] Result<void, StoreError> flush();
  // Forgets the buffered bytes without writing them.
  void discard() { used_ = 0; }

  File& file() { return file_; }

 private:
  std::size_t spare() const { return kCapacity - used_; }

  File file_;
  std::vector<char> buffer_;
  std::size_t used_ = 0;  // bytes of buffer_ not yet written out, always a prefix
};

}  // namespace sorvid
