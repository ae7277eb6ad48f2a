// Room for a large text that is about to be written front to back.
#pragma once

#include <cstddef>
#include <string>

namespace sorvid {

// Reserves room for `extra` more bytes in `out`. For a large reservation it
// also asks the kernel to back the room with huge pages: the text is then
// written through a few hundred page faults per gigabyte rather than one
// per 4 KiB page, which saves a good part of the writing time of a large
// snapshot. The advice is only a hint; where it is not taken, nothing
// changes but the speed.
void reserve_text(std::string& out, std::size_t extra);

}  // namespace sorvid
