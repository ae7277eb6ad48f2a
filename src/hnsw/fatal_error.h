// Fatal failures: broken preconditions that no caller can recover from.
#pragma once

namespace sorvid::hnsw {

// Writes "sorvid: <message>" to standard error and aborts the process.
[[noreturn]] void fatal_error(const char* message);

}  // namespace sorvid::hnsw
