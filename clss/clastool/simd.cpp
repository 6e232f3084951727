#include "clss/clastool/simd.h"

#include <cstdlib>
#include <cstring>

namespace tq_simd {

#if defined(__x86_64__) && defined(__GNUC__)
namespace {

// Whether CLASTOOL_NO_SIMD leaves the wide copies on, which is how the tests run the baseline
// copies on a host that has the wide instructions.
bool wideAllowed() {
    const char* off = std::getenv("CLASTOOL_NO_SIMD");
    return !(off && *off && std::strcmp(off, "0") != 0);
}

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
#else
bool useAvx2() { return false; }
bool useAvx2Fma() { return false; }
#endif

}  // namespace tq_simd
