// The seeds of index builds: one fresh, unpredictable 64-bit number per build.
//
// Each thread draws from its own generator, seeded from the operating
// system's random source at first use and again every few draws. A child
// process after fork() re-seeds before its first draw, so parent and child
// never hand out the same seeds.
#pragma once

#include <cstddef>
#include <cstdint>

namespace sorvid::hnsw {

std::uint64_t next_build_seed();

// Fills `buffer` from the operating system's random source (getrandom, then
// /dev/urandom); returns false when neither could be read.
bool read_os_random(void* buffer, std::size_t size);

}  // namespace sorvid::hnsw
