#include "formats/text_buffer.h"

#include "base/memory.h"

namespace sorvid {
namespace {

// Below this a reservation gains too little to be worth the system call.
constexpr std::size_t kMinAdvisedSize = std::size_t{16} << 20;

}  // namespace

void reserve_text(std::string& out, std::size_t extra) {
  out.reserve(out.size() + extra);
  if (out.capacity() >= kMinAdvisedSize) advise_huge_pages(out.data(), out.capacity());
}

}  // namespace sorvid
