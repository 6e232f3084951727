// Internal: which copy of the library's wide loops runs. Not part of the public API (not
// included by clastool.h).
#ifndef CLASTOOL_SIMD_H
#define CLASTOOL_SIMD_H

namespace tq_simd {

// Whether code built for AVX2 may run: the processor has it, and the environment variable
// CLASTOOL_NO_SIMD, set to anything but "" or "0", does not turn it off (read once per process,
// so that every call of a process takes the same copy). Always false off x86-64.
bool useAvx2();

// useAvx2, for code that also takes fused multiply-adds: the processor has FMA as well.
bool useAvx2Fma();

}  // namespace tq_simd

#endif
