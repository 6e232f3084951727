// Internal to the k-nearest-neighbour search: the pieces of the skip tests that the scan
// (knnsearch.cpp) and the index's coded leaves (knnindex.cpp) share. The proofs are in
// knnsearch.cpp ("Why the search may skip pow", steps (6) and (7) for the float pass).
#ifndef CLASTOOL_KNNFLOAT_H
#define CLASTOOL_KNNFLOAT_H

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <limits>
#include <vector>

#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#endif

namespace tq_knn {

constexpr double kFloatLimit = 0x1p64;  // larger magnitudes take the double path

inline bool sameValue(double x, double y) { return x == y || (x != x && y != y); }

template <int P>
[[gnu::always_inline]] inline double cheapTerm(double diff) {
    const double x = std::fabs(diff);
    if constexpr (P == 1) return x;
    if constexpr (P == 2) return x * x;
    if constexpr (P == 3) return x * x * x;
}

// Whether every difference from index `from` on is finite, so that the terms not summed cannot
// make the sum NaN (a NaN sum enters the list). Inexact on purpose (an infinite difference also
// answers false, which only sends the pattern to the exact path) and branch-free.
[[gnu::always_inline]] inline bool restIsFinite(const double* a, const double* b, long from, long n) {
    double z0 = 0.0, z1 = 0.0;
    long j = from;
    for (; j + 2 <= n; j += 2) {
        z0 += (a[j] - b[j]) * 0.0;
        z1 += (a[j + 1] - b[j + 1]) * 0.0;
    }
    if (j < n) z0 += (a[j] - b[j]) * 0.0;
    return z0 + z1 == 0.0;
}

// The shared loop of the two below: four accumulators keep the additions independent (any
// order of summation obeys the proof's bound). With Early, after every 16 terms whose partial sum reaches
// `bound` it stops and returns that partial sum where the rest cannot be NaN, else NaN.
template <int P, bool Early>
[[gnu::always_inline]] inline double cheapSumOf(const double* a, const double* b, long n, double bound) {
    constexpr long kBlock = 16;
    double s0 = 0.0, s1 = 0.0, s2 = 0.0, s3 = 0.0;
    long j = 0;
    for (; j + 4 <= n; j += 4) {
        s0 += cheapTerm<P>(a[j] - b[j]);
        s1 += cheapTerm<P>(a[j + 1] - b[j + 1]);
        s2 += cheapTerm<P>(a[j + 2] - b[j + 2]);
        s3 += cheapTerm<P>(a[j + 3] - b[j + 3]);
        if constexpr (Early) {
            if ((j + 4) % kBlock == 0 && j + 4 < n) {
                const double partial = (s0 + s1) + (s2 + s3);
                if (partial >= bound)
                    return restIsFinite(a, b, j + 4, n) ? partial : std::numeric_limits<double>::quiet_NaN();
            }
        }
    }
    for (; j < n; ++j) s0 += cheapTerm<P>(a[j] - b[j]);
    return (s0 + s1) + (s2 + s3);
}

// True when the cheap sum of a prefix reaches the bound and the rest cannot be NaN. The bound is
// tested after every 16 terms only: for short patterns a test per few terms costs more in
// mispredicted branches than the terms it saves (measured with 16 measurements: about 1.7 times
// the plain loop with a test every 4 terms, about 1.0 to 1.2 times with none).
template <int P>
[[gnu::always_inline]] inline bool cheapSumReaches(const double* a, const double* b, long n, double bound) {
    return cheapSumOf<P, true>(a, b, n, bound) >= bound;
}

// The whole cheap sum, with cheapSumReaches' accumulators and order of addition.
template <int P>
[[gnu::always_inline]] inline double cheapSum(const double* a, const double* b, long n) {
    return cheapSumOf<P, false>(a, b, n, 0.0);
}

// The constants of the float threshold for rows of `dims` measurements and cheap order Q.
struct FloatScale {
    FloatScale(int q, long dims)
        : rootOfDims(std::pow(static_cast<double>(dims), 1.0 / q) * (1.0 + 0x1p-30)),
          growth((1.0 + static_cast<double>(dims + 8) * 0x1p-23) * (1.0 + 0x1p-19)) {}
    double rootOfDims;  // at least dims^(1/q)
    double growth;      // g (1 + 2^-19)
};

// A query as floats, with the bound of its rounding (NaN: a value that is not finite or above
// kFloatLimit in magnitude, no float pass) and the threshold last computed. The floats live in
// `storage` (dims of them, the caller's): a batch keeps its queries' floats side by side, so
// that passing every query over a block of rows reads few cache lines wherever the heap would
// have put them.
class FloatValues {
public:
    FloatValues(float* storage, long dims) : values_(storage), dims_(dims) {}

    void set(const double* a) {
        double top = 0.0;
        for (long j = 0; j < dims_; ++j) {
            const double magnitude = std::fabs(a[j]);
            top = magnitude <= kFloatLimit ? std::max(top, magnitude) : std::numeric_limits<double>::quiet_NaN();
            if (top != top) break;
            values_[j] = static_cast<float>(a[j]);
        }
        error_ = top * 0x1p-24 + 0x1p-120;
    }
    bool usable() const { return error_ == error_; }
    const float* values() const { return values_; }

    // The float threshold for the list's bound on double cheap sums of order Q and rows whose
    // float copies are within rowError of them: a row whose float sum reaches it has a double
    // cheap sum that would reach `bound`. NaN: no test.
    template <int Q>
    float threshold(double bound, double rowError, const FloatScale& scale) {
        if (!sameValue(bound, bound_)) {
            bound_ = bound;
            root_ = Q == 1 ? bound : Q == 2 ? std::sqrt(bound) : std::cbrt(bound);
        }
        const double w = scale.rootOfDims * (error_ + rowError) * (1.0 + 0x1p-30) + root_ * (1.0 + 0x1p-30);
        double t = w;
        if constexpr (Q >= 2) t *= w;
        if constexpr (Q == 3) t *= w;
        t *= scale.growth;
        if (!(t <= 0x1p100)) return std::numeric_limits<float>::quiet_NaN();
        return static_cast<float>(std::max(t, 0x1p-60) * (1.0 + 0x1p-22));
    }

private:
    float* values_;
    long dims_;
    double error_ = 0.0;
    double bound_ = std::numeric_limits<double>::quiet_NaN();
    double root_ = std::numeric_limits<double>::quiet_NaN();
};

#if defined(__x86_64__) && defined(__GNUC__)
// One float term of order Q added to acc (the float pass's sums).
template <int Q>
[[gnu::target("avx2,fma"), gnu::always_inline]] inline __m256 floatTerm(__m256 diff, __m256 acc) {
    if constexpr (Q == 2) return _mm256_fmadd_ps(diff, diff, acc);
    const __m256 x = _mm256_andnot_ps(_mm256_set1_ps(-0.0f), diff);
    if constexpr (Q == 1) return _mm256_add_ps(acc, x);
    if constexpr (Q == 3) return _mm256_fmadd_ps(_mm256_mul_ps(diff, diff), x, acc);
}
#endif

}  // namespace tq_knn

#endif
