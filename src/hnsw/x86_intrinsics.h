// The x86 vector intrinsics, where the target has them. SORVID_HAVE_X86 says
// whether it does: the kernels built on them compile only then, and are
// chosen at run time by what the processor offers.
#pragma once

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define SORVID_HAVE_X86 1
#else
#define SORVID_HAVE_X86 0
#endif
