// How many threads the worker pool starts, from "RAYON_NUM_THREADS" and
// "RAYON_RS_NUM_CPUS".
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

namespace sorvid {

// An unsigned decimal count: an optional leading "+" and one or more digits,
// nothing else, within 64 bits. Anything else is not a count.
std::optional<std::uint64_t> parse_thread_count(std::string_view text);

// The pool size from the two settings (null when unset):
// - "RAYON_NUM_THREADS" above 0 wins; exactly 0 means the default;
// - when it is unset or not a count, "RAYON_RS_NUM_CPUS" above 0 wins;
// - otherwise the default.
std::size_t pool_size_from_settings(const char* num_threads, const char* rs_num_cpus, std::size_t default_size);

// The number of processors in this process's CPU affinity set, at least 1.
std::size_t default_pool_size();

// pool_size_from_settings over the environment and default_pool_size().
std::size_t pool_size_from_environment();

}  // namespace sorvid
