#include "clss/clastool/simd.h"

#include <cstdlib>
#include <cstring>

namespace tq_simd {

#if defined(__x86_64__) && defined(__GNUC__)
namespace {

// Whether the environment variable `name` is set to anything but "" or "0": how the tests run
// the narrower copies on a host that has the wide instructions.
bool turnedOff(const char* name) {
    const char* off = std::getenv(name);
    return off && *off && std::strcmp(off, "0") != 0;
}

bool wideAllowed() { return !turnedOff("CLASTOOL_NO_SIMD"); }

}  // namespace

bool useAvx2() {
    static const bool wide = [] {
        if (!wideAllowed()) return false;
        __builtin_cpu_init();
        return __builtin_cpu_supports("avx2") != 0;
    }();
    return wide;
}

bool useAvx2Fma() {
    static const bool wide = useAvx2() && __builtin_cpu_supports("fma") != 0;
    return wide;
}

bool useAvx512() {
    static const bool wide = useAvx2Fma() && !turnedOff("CLASTOOL_NO_AVX512") &&
                             __builtin_cpu_supports("avx512f") != 0 && __builtin_cpu_supports("avx512dq") != 0;
    return wide;
}
#else
bool useAvx2() { return false; }
bool useAvx2Fma() { return false; }
bool useAvx512() { return false; }
#endif

}  // namespace tq_simd
