#include "clss/clastool/knnsearch.h"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <typeinfo>

#include "clss/clastool/errors.h"
#include "clss/clastool/knnstore.h"
#include "clss/clastool/metric.h"
#include "clss/clastool/pattern.h"
#include "clss/clastool/provider.h"
#include "platform/attention.h"
#include "platform/exception.h"

#if defined(__x86_64__) && defined(__GNUC__)
#define CLASTOOL_KNN_AVX2 1
#include <immintrin.h>
#endif

// Why the search may skip pow for most stored patterns and still give the same bits
// ---------------------------------------------------------------------------------
//
// The distance of a stored pattern is d = R(S), S = fl(t_0 + t_1 + ... + t_{n-1}) summed in
// order, t_i = pow(x_i, p), x_i = |a_i - b_i| (computed once, the same double on every path), and
// R(S) = pow(S, 1/p). Once the list holds k entries, a pattern enters only if d < T, T the k-th
// kept distance, and T = R(S_k) where S_k is the sum kept with that entry. So any test that
// proves d >= T may skip the pattern without computing d. Every pattern that is not skipped goes
// through normPowerSum and normRoot, the same out-of-line code as the metric, and through the
// exact insertion rules; those patterns therefore get the metric's bits.
//
// The test: with the cheap terms c_i = x_i (p = 1), x_i * x_i (p = 2), (x_i * x_i) * x_i (p = 3),
// a rounded sum P of the terms of a prefix (in any order of addition) with P >= B skips the
// pattern, provided every difference a_i - b_i after the prefix is finite (so not NaN), where
//     B = max(S_k * (1 + 2^-28), 2^-900),   and no test at all when B is not finite.
// Other orders use the cheap terms of order q, the largest of 1, 2, 3 not above p, against
//     Bq = (1 + 2^-28) * n^(1 - q/p) * B^(q/p)  (computed; no test when it is not finite),
// which is computed (two pows) only when the k-th entry changes, never per pattern: a pattern
// reaches pow only when it is not skipped (step 5).
//
// Assumptions, with u = 2^-53 the unit roundoff: IEEE binary64, round to nearest; pow's relative
// error below 2^-40 for normal results and its absolute error below 2^-1074 for subnormal ones
// (any libm in use is within about one ulp, 2^-52); n <= 2^20; 1 <= p <= 64.
//
// Proof. (1) A NaN difference makes its term, S and d NaN, and a NaN distance enters the list
// (d >= T is false); a NaN in the prefix makes P NaN and P >= B false, a NaN after it is excluded
// by the proviso. So assume no NaN. (2) A sum of m non-negative terms rounded in any order lies
// within a factor (1 -+ u)^(m-1) of the exact sum, and the prefix's terms are some of the n terms:
// P <= (1+u)^(n-1) * sum c_i (over all i) and S >= (1-u)^(n-1) * sum t_i. Write C for
// (1+u)^(n-1) * sum c_i below, so that P <= C. (3) Per term, c_i <= x_i^p * (1+u)^m + 2^-1073
// with m = p - 1 roundings (the last term only when a product underflows), and
// t_i >= x_i^p * (1 - 2^-40) -
// 2^-1074. If a product or a sum overflows to infinity, the exact value behind it is at least
// DBL_MAX * (1+u)^-n, so S exceeds B (finite, so <= DBL_MAX) by at least the same factor as
// below; assume no overflow.
// Together: S >= (1 - 2^-39) * (1 - 2n*u) * (C - n * 2^-1072) >= (1 - 2^-31) * (C - 2^-1052).
// With C >= P >= B >= 2^-900 the absolute part is below 2^-152 * C, so
//     S >= (1 - 2^-30.9) * B >= (1 - 2^-30.9) * (1 + 2^-28) * S_k > (1 + 2^-29) * S_k.
// (4) With p >= 1 the root cannot underflow: S >= 2^-901 gives S^(1/p) >= min(S, 1), a normal
// number, so d >= S^(1/p) * (1 - 2^-40). If S_k^(1/p) < 2^-1022 (which needs S_k < 2^-1022), then
// T <= 2^-1022 + 2^-1074 < d. Otherwise T <= S_k^(1/p) * (1 + 2^-40), and since for p <= 64
//     S^(1/p) / S_k^(1/p) > (1 + 2^-29)^(1/p) > 1 + 2^-35.1,
// d >= S^(1/p) * (1 - 2^-40) > S_k^(1/p) * (1 + 2^-35.1) * (1 - 2^-40) > S_k^(1/p) * (1 + 2^-40) >= T.
// Either way d >= T and the pattern would not have entered. A NaN S_k makes B NaN (no test; every
// pattern then enters, as d >= NaN is false), and so does an infinite one.
// (5) Other orders, q < p. Steps (1) to (3) with q for p show, for the cheap sum P >= Bq (and
// Bq >= min(B, 1) / 2 >= 2^-901, so the absolute parts stay negligible), that the exact
// sum of x_i^q is at least (1 - 2^-30.9) * Bq, overflow included. The computed Bq lies within
// 2^-38 of its real value: 1 + 2^-28 is exact; n^e and B^e with e = q/p in [1/64, 1) carry pow's
// 2^-40, the rounding of e moves them by at most |ln B| * u < 2^-43 and 20 * u, and the product
// rounds once. So sum x_i^q >= (1 + 2^-28.3) * n^(1 - q/p) * B^(q/p). For p >= q the power means
// over the n values obey (sum x_i^p / n)^(1/p) >= (sum x_i^q / n)^(1/q), that is
//     sum x_i^p >= n^(1 - p/q) * (sum x_i^q)^(p/q) >= (1 + 2^-28.3)^(p/q) * B >= (1 + 2^-28.3) * B.
// Step (3) for the exact terms then gives S >= (1 - 2^-30.9) * (1 + 2^-28.3) * B
// > (1 + 2^-29) * S_k and S >= 2^-901, and step (4) applies unchanged.
// Orders below 1 (whose roots may underflow) and above 64 are never skipped.
//
// The margin 2^-28 costs nothing measurable: patterns whose sum lies within it of S_k are rare
// and merely take the exact path. The test suite compares this search bit for bit with a direct
// implementation on data full of exact ties.

namespace tq_knn {

double normPowerSum(const double* a, const double* b, long n, double p) {
    double sum = 0.0;
    for (long i = 0; i < n; ++i) sum += std::pow(std::fabs(a[i] - b[i]), p);
    return sum;
}

double normRoot(double sum, double p) { return std::pow(sum, 1.0 / p); }

SkipBound::SkipBound(double q, double p, long terms)
    : convert_(q != p),
      exponent_(q / p),
      scale_((1.0 + 0x1p-28) * std::pow(static_cast<double>(std::max(terms, 1L)), 1.0 - q / p)) {}

double SkipBound::operator()(double kthSum) const {
    double b = kthSum * (1.0 + 0x1p-28);
    if (b < 0x1p-900) b = 0x1p-900;
    if (!(b <= DBL_MAX)) return std::numeric_limits<double>::quiet_NaN();
    if (!convert_) return b;
    b = scale_ * std::pow(b, exponent_);
    return b <= DBL_MAX ? b : std::numeric_limits<double>::quiet_NaN();
}

ReplayList::ReplayList(long capacity, const PackedRows& rows, SkipBound cheap, bool keepAll)
    : cap_(capacity), rows_(&rows), cheap_(cheap), keepAll_(keepAll), bound_(std::numeric_limits<double>::quiet_NaN()) {}

void ReplayList::offer(long at, double d, double sum) {
    const long index = rows_->storedIndex(at);
    if (keepAll_) {
        candidates_.push_back({index, d});
        return;
    }
    // Without keepAll no distance is NaN.
    if (full()) {
        const double t = heap_.front().first;
        if (d > t) return;
        if (d < t) {
            std::pop_heap(heap_.begin(), heap_.end());
            heap_.back() = {d, sum};
            std::push_heap(heap_.begin(), heap_.end());
            bound_ = cheap_(heap_.front().second);
            if (candidates_.size() > static_cast<std::size_t>(2 * cap_ + 64)) dropFarther();
        }
    } else {
        heap_.emplace_back(d, sum);
        std::push_heap(heap_.begin(), heap_.end());
        if (full()) bound_ = cheap_(heap_.front().second);
    }
    candidates_.push_back({index, d});
}

void ReplayList::dropFarther() {
    if (!full()) return;
    const double t = heap_.front().first;
    candidates_.erase(std::remove_if(candidates_.begin(), candidates_.end(),
                                     [t](const Candidate& c) { return c.distance > t; }),
                      candidates_.end());
}

void ReplayList::finish(std::vector<long>& indices, std::vector<double>& distances) {
    dropFarther();
    std::sort(candidates_.begin(), candidates_.end(),
              [](const Candidate& x, const Candidate& y) { return x.index < y.index; });
    indices.clear();
    distances.clear();
    for (const Candidate& c : candidates_) {
        if (static_cast<long>(distances.size()) == cap_ && c.distance >= distances.back()) continue;
        const auto at = std::find_if(distances.begin(), distances.end(), [&](double x) { return !(x < c.distance); });
        indices.insert(indices.begin() + (at - distances.begin()), c.index);
        distances.insert(at, c.distance);
        if (static_cast<long>(distances.size()) > cap_) {
            indices.pop_back();
            distances.pop_back();
        }
    }
}

namespace {

constexpr long kMaxBoundedMeasurements = 1L << 20;
constexpr double kMinBoundedOrder = 1.0;
constexpr double kMaxBoundedOrder = 64.0;

void attention() {
    const long status = tfAttentionCheck();
    if (status != 0) tfThrowExceptionOnFailure(status);
}

[[noreturn]] void throwLengthMismatch() {
    throw tqClassifierDefs::BadFeatures(
        "Pattern distance function requires the number of measurementsin the two patterns to be equal");
}

// The kept neighbours, sorted by ascending distance, with the sum behind each distance.
class NearestList {
public:
    NearestList(long capacity, std::vector<long>& indices, std::vector<double>& distances,
                SkipBound cheap = SkipBound())
        : cap_(capacity), cheap_(cheap), indices_(indices), distances_(distances) {
        const double inf = std::numeric_limits<double>::infinity();
        indices_.assign(static_cast<std::size_t>(cap_), 0);
        distances_.assign(static_cast<std::size_t>(cap_), inf);
        sums_.assign(static_cast<std::size_t>(cap_), inf);
    }

    bool full() const { return count_ == cap_; }
    // Skip threshold on cheap sums while full (see the proof above); NaN disables skipping.
    double bound() const { return bound_; }

    // The insertion rules: when full, a pattern at least as far as the last entry stays out;
    // otherwise it goes in front of every entry that is not strictly nearer.
    void offer(long index, double d, double sum) {
        if (count_ == cap_ && d >= distances_[static_cast<std::size_t>(cap_ - 1)]) return;
        long pos = 0;
        while (pos < count_ && distances_[static_cast<std::size_t>(pos)] < d) ++pos;
        const long last = count_ < cap_ ? count_++ : cap_ - 1;
        for (long j = last; j > pos; --j) {
            const auto to = static_cast<std::size_t>(j), from = static_cast<std::size_t>(j - 1);
            indices_[to] = indices_[from];
            distances_[to] = distances_[from];
            sums_[to] = sums_[from];
        }
        const auto at = static_cast<std::size_t>(pos);
        indices_[at] = index;
        distances_[at] = d;
        sums_[at] = sum;
        if (count_ == cap_) bound_ = cheap_(sums_[static_cast<std::size_t>(cap_ - 1)]);
    }

private:
    long cap_;
    SkipBound cheap_;
    long count_ = 0;
    double bound_ = std::numeric_limits<double>::quiet_NaN();
    std::vector<long>& indices_;
    std::vector<double>& distances_;
    std::vector<double> sums_;
};

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

// True when the cheap sum of a prefix reaches the bound and the rest cannot be NaN. Four
// accumulators keep the additions independent (any order of summation obeys the proof's bound).
// The bound is tested after every 16 terms only: for short patterns a test per few terms costs
// more in mispredicted branches than the terms it saves (measured with 16 measurements: about
// 1.7 times the plain loop with a test every 4 terms, about 1.0 to 1.2 times with none).
template <int P>
[[gnu::always_inline]] inline bool cheapSumReaches(const double* a, const double* b, long n, double bound) {
    constexpr long kBlock = 16;
    double s0 = 0.0, s1 = 0.0, s2 = 0.0, s3 = 0.0;
    long j = 0;
    for (; j + 4 <= n; j += 4) {
        s0 += cheapTerm<P>(a[j] - b[j]);
        s1 += cheapTerm<P>(a[j + 1] - b[j + 1]);
        s2 += cheapTerm<P>(a[j + 2] - b[j + 2]);
        s3 += cheapTerm<P>(a[j + 3] - b[j + 3]);
        if ((j + 4) % kBlock == 0 && j + 4 < n && (s0 + s1) + (s2 + s3) >= bound)
            return restIsFinite(a, b, j + 4, n);
    }
    for (; j < n; ++j) s0 += cheapTerm<P>(a[j] - b[j]);
    return (s0 + s1) + (s2 + s3) >= bound;
}

#ifdef CLASTOOL_KNN_AVX2
// The cheap sum four differences per instruction: lane l is accumulator s_l of cheapSumReaches,
// fed the same terms in the same order, and the lanes are combined as (s0 + s1) + (s2 + s3) as
// there. So every value, and every answer, is the one cheapSumReaches computes.
template <int P>
[[gnu::target("avx2"), gnu::always_inline]] inline __m256d cheapTerms(__m256d diff) {
    // A square does not depend on the sign: diff * diff is the same double as |diff| * |diff|.
    if constexpr (P == 2) {
        return _mm256_mul_pd(diff, diff);
    } else {
        const __m256d x = _mm256_andnot_pd(_mm256_set1_pd(-0.0), diff);  // |diff|, as fabs
        if constexpr (P == 1) return x;
        if constexpr (P == 3) return _mm256_mul_pd(_mm256_mul_pd(x, x), x);
    }
}

[[gnu::target("avx2"), gnu::always_inline]] inline double laneSum(__m256d s) {
    const __m128d pairs = _mm_hadd_pd(_mm256_castpd256_pd128(s), _mm256_extractf128_pd(s, 1));
    return _mm_cvtsd_f64(pairs) + _mm_cvtsd_f64(_mm_unpackhi_pd(pairs, pairs));
}

template <int P>
[[gnu::target("avx2")]] inline bool cheapSumReachesWide(const double* a, const double* b, long n,
                                                        double bound) {
    constexpr long kBlock = 16;
    __m256d s = _mm256_setzero_pd();
    long j = 0;
    for (; j + 4 <= n; j += 4) {
        s = _mm256_add_pd(s, cheapTerms<P>(_mm256_sub_pd(_mm256_loadu_pd(a + j), _mm256_loadu_pd(b + j))));
        if ((j + 4) % kBlock == 0 && j + 4 < n && laneSum(s) >= bound) return restIsFinite(a, b, j + 4, n);
    }
    alignas(32) double lanes[4];
    _mm256_store_pd(lanes, s);
    for (; j < n; ++j) lanes[0] += cheapTerm<P>(a[j] - b[j]);
    return (lanes[0] + lanes[1]) + (lanes[2] + lanes[3]) >= bound;
}
#endif

template <int P, bool Wide>
[[gnu::always_inline]] inline bool cheapSumSkips(const double* a, const double* b, long n, double bound) {
#ifdef CLASTOOL_KNN_AVX2
    if constexpr (Wide) return cheapSumReachesWide<P>(a, b, n, bound);
#endif
    return cheapSumReaches<P>(a, b, n, bound);
}

// Offers stored row i (measurements b) to the list, for distances of order p. P = 1, 2, 3: cheap
// terms of that order against the list's bound; P = 0: no skipping.
template <int P, bool Wide, class List>
[[gnu::always_inline]] inline void offerRow(List& list, long i, const double* a, const double* b,
                                            long dims, double p) {
    if constexpr (P > 0) {
        if (list.full() && cheapSumSkips<P, Wide>(a, b, dims, list.bound())) return;
    }
    const double sum = normPowerSum(a, b, dims, p);
    list.offer(i, normRoot(sum, p), sum);
}

#ifdef CLASTOOL_KNN_AVX2
// The cheap sums of the four rows from b on, as lanes 0 to 3. Each row's lanes get the same terms
// in the same order as in cheapSumReachesWide, and the four rows' lanes are combined as
// (s0 + s1) + (s2 + s3) together. The accumulators start with the first terms instead of adding
// them to zero: a term is never -0, so 0 + t is t, and only the comparisons of these sums are used.
// Neighbouring lanes are added through unpacks, which cost fewer instructions than horizontal
// additions and add the same pairs in the same order.
template <int P>
[[gnu::target("avx2"), gnu::always_inline]] inline __m256d fourSums(const __m256d* query, const double* b,
                                                                    long d) {
    __m256d s0 = cheapTerms<P>(_mm256_sub_pd(query[0], _mm256_loadu_pd(b)));
    __m256d s1 = cheapTerms<P>(_mm256_sub_pd(query[0], _mm256_loadu_pd(b + d)));
    __m256d s2 = cheapTerms<P>(_mm256_sub_pd(query[0], _mm256_loadu_pd(b + 2 * d)));
    __m256d s3 = cheapTerms<P>(_mm256_sub_pd(query[0], _mm256_loadu_pd(b + 3 * d)));
    for (long g = 1; g < d / 4; ++g) {
        const __m256d x = query[g];
        const long j = 4 * g;
        s0 = _mm256_add_pd(s0, cheapTerms<P>(_mm256_sub_pd(x, _mm256_loadu_pd(b + j))));
        s1 = _mm256_add_pd(s1, cheapTerms<P>(_mm256_sub_pd(x, _mm256_loadu_pd(b + d + j))));
        s2 = _mm256_add_pd(s2, cheapTerms<P>(_mm256_sub_pd(x, _mm256_loadu_pd(b + 2 * d + j))));
        s3 = _mm256_add_pd(s3, cheapTerms<P>(_mm256_sub_pd(x, _mm256_loadu_pd(b + 3 * d + j))));
    }
    const __m256d h01 = _mm256_add_pd(_mm256_unpacklo_pd(s0, s1), _mm256_unpackhi_pd(s0, s1));
    const __m256d h23 = _mm256_add_pd(_mm256_unpacklo_pd(s2, s3), _mm256_unpackhi_pd(s2, s3));
    return _mm256_add_pd(_mm256_permute2f128_pd(h01, h23, 0x20), _mm256_permute2f128_pd(h01, h23, 0x31));
}

// Packed rows [begin, end) for one query, four rows per pass when a row holds at most 16
// measurements in whole groups of four (where cheapSumReaches has no early test to lose). The
// four rows' cheap sums (fourSums) are compared with the bound at once. When all four reach it,
// nothing is offered, so the bound was the current one for each of them. Otherwise the rows are
// taken in order, each tested against the bound as it is then (an earlier row of the four may have
// entered and changed it, even to NaN when NaN distances fill the list) and, if not skipped, sent
// to the exact path: each row is decided exactly as offerRow decides it. Returns the first row
// not handled.
// Dims > 0: rows of exactly Dims measurements, known when compiling (the loops unroll and the
// query stays in registers); Dims = 0: the row length is `dims`.
template <int P, long Dims, class List>
[[gnu::target("avx2")]] long offerRowsWideOf(List& list, long begin, long end, const double* a,
                                             const PackedRows& rows, long dims, double p) {
    const long d = Dims > 0 ? Dims : dims;
    __m256d query[4];
    for (long g = 0; g < d / 4; ++g) query[g] = _mm256_loadu_pd(a + 4 * g);
    long i = begin;
    for (; i + 4 <= end; i += 4) {
        const double* b = rows.row(i);
        const __m256d sums = fourSums<P>(query, b, d);
        const int skipped = _mm256_movemask_pd(_mm256_cmp_pd(sums, _mm256_set1_pd(list.bound()), _CMP_GE_OQ));
        if (skipped == 0xF) continue;
        alignas(32) double each[4];
        _mm256_store_pd(each, sums);
        for (long r = 0; r < 4; ++r) {
            if (each[r] >= list.bound()) continue;
            const double sum = normPowerSum(a, b + r * d, d, p);
            list.offer(i + r, normRoot(sum, p), sum);
        }
    }
    return i;
}

template <int P, class List>
[[gnu::target("avx2")]] long offerRowsWide(List& list, long begin, long end, const double* a,
                                           const PackedRows& rows, long dims, double p) {
    if (dims == 8) return offerRowsWideOf<P, 8>(list, begin, end, a, rows, dims, p);
    if (dims == 16) return offerRowsWideOf<P, 16>(list, begin, end, a, rows, dims, p);
    if (dims == 4 || dims == 12) return offerRowsWideOf<P, 0>(list, begin, end, a, rows, dims, p);
    return begin;
}
#endif

// The measurements of stored pattern i, with the metric's errors for a valid query of `dims`
// measurements: for the patterns after the packed prefix.
const double* storedRow(const tqClassifierDataProviderMemory& data, long i, long dims) {
    const tqFeaturePattern& stored = *data.patterns()[static_cast<std::size_t>(i)];
    if (stored.numMeasurements() != dims) throwLengthMismatch();
    return dims > 0 ? stored.featureMeasurements(true).data() : nullptr;
}

// Rows per block: about 32 KB of measurements, so that a block stays in the first-level cache
// while every query of a batch passes over it.
long rowsPerBlock(long dims) { return std::max(32768L / (std::max(dims, 1L) * 8L), 16L); }

template <int P, bool Wide, class List>
[[gnu::always_inline]] inline void scanPacked(const PackedRows& rows,
                                              const tqClassifierDataProviderMemory& data, long n, long dims,
                                              double p, const double* const* queries, std::vector<List>& lists) {
    // Rows packed for another length are never read (the patterns' own errors apply).
    const long packed = rows.dimension() == dims ? std::min(rows.rows(), n) : 0;
    const long step = rowsPerBlock(dims);
    for (long r0 = 0; r0 < n; r0 += step) {
        attention();
        const long r1 = std::min(n, r0 + step);
        for (std::size_t q = 0; q < lists.size(); ++q) {
            const double* a = queries[q];
            long i = r0;
#ifdef CLASTOOL_KNN_AVX2
            if constexpr (Wide && P > 0)
                i = offerRowsWide<P>(lists[q], i, std::min(r1, packed), a, rows, dims, p);
#endif
            for (; i < std::min(r1, packed); ++i) offerRow<P, Wide>(lists[q], i, a, rows.row(i), dims, p);
            for (; i < r1; ++i) offerRow<P, Wide>(lists[q], i, a, storedRow(data, i, dims), dims, p);
        }
    }
}

// Whether rows [begin, end) are all packed and finite.
bool allFinite(const PackedRows& rows, long begin, long end, long dims) {
    if (rows.rows() < end) return false;
    for (long i = begin; i < end; ++i)
        if (!finiteValues(rows.row(i), dims)) return false;
    return true;
}

void scanMetric(const tqClassifierDataProviderMemory& data, long n, const tqFeaturePattern& query,
                const tqPatternDistanceMetric* metric, NearestList& list) {
    const double noSum = std::numeric_limits<double>::quiet_NaN();
    const auto& patterns = data.patterns();
    for (long i = 0; i < n; ++i) {
        attention();
        const tqFeaturePattern& stored = *patterns[static_cast<std::size_t>(i)];
        if (!metric) tq_throwBadPointer();
        list.offer(i, metric->distance(query, stored), noSum);
    }
}

template <int P, bool Wide>
[[gnu::always_inline]] inline void searchPacked(const PackedRows& rows,
                                                const tqClassifierDataProviderMemory& data, long dims,
                                                double p, const double* const* queries, long count, long k,
                                                std::vector<long>* indices, std::vector<double>* distances) {
    const long n = std::max(data.numPatterns(), 0L);
    const SkipBound cheap = P > 0 ? SkipBound(P, p, dims) : SkipBound();
    if (rows.reordered() > 0 && rows.dimension() == dims) {
        // Rows in an index's order: lists that replay stored order (all rows kept where a value
        // that is not finite may come: the reordered rows are finite, the others unchecked).
        const bool rest = rows.reordered() < n && !allFinite(rows, rows.reordered(), n, dims);
        std::vector<ReplayList> lists;
        lists.reserve(static_cast<std::size_t>(count));
        for (long q = 0; q < count; ++q)
            lists.emplace_back(std::min(k, n), rows, cheap, rest || !finiteValues(queries[q], dims));
        scanPacked<P, Wide>(rows, data, n, dims, p, queries, lists);
        for (long q = 0; q < count; ++q) lists[static_cast<std::size_t>(q)].finish(indices[q], distances[q]);
        return;
    }
    std::vector<NearestList> lists;
    lists.reserve(static_cast<std::size_t>(count));
    for (long q = 0; q < count; ++q) lists.emplace_back(std::min(k, n), indices[q], distances[q], cheap);
    scanPacked<P, Wide>(rows, data, n, dims, p, queries, lists);
}

// Every order's search, chosen by p. Inlined into each of the two entries below, so that the
// whole scan (everything but the exact formula, which stays the metric's own code) is compiled
// once for the baseline instruction set and once for AVX2.
template <bool Wide>
[[gnu::always_inline]] inline void searchByOrder(const PackedRows& rows,
                                                 const tqClassifierDataProviderMemory& data, double p,
                                                 const double* const* queries, long count, long dims, long k,
                                                 std::vector<long>* indices, std::vector<double>* distances) {
    const int q = cheapOrder(p, dims);
    if (q == 1)
        searchPacked<1, Wide>(rows, data, dims, p, queries, count, k, indices, distances);
    else if (q == 2)
        searchPacked<2, Wide>(rows, data, dims, p, queries, count, k, indices, distances);
    else if (q == 3)
        searchPacked<3, Wide>(rows, data, dims, p, queries, count, k, indices, distances);
    else
        searchPacked<0, Wide>(rows, data, dims, p, queries, count, k, indices, distances);
}

// Run-time dispatch. The library is built for any x86-64 host; where the processor has AVX2 the
// AVX2 copy runs, with the cheap sums four differences per instruction (cheapSumReachesWide,
// offerRowsWide). Both copies compute the same cheap sums (the four accumulators are the four
// lanes; nothing is reassociated, and the file is compiled with -ffp-contract=off, so no fused
// multiply-add appears either), skip only proven rows and share the exact path, hence the same
// bits. CLASTOOL_NO_SIMD set to anything but "" or "0" forces the baseline copy (read once per
// process), which is how the tests cover it.
void searchBaseline(const PackedRows& rows, const tqClassifierDataProviderMemory& data, double p,
                    const double* const* queries, long count, long dims, long k, std::vector<long>* indices,
                    std::vector<double>* distances) {
    searchByOrder<false>(rows, data, p, queries, count, dims, k, indices, distances);
}

#ifdef CLASTOOL_KNN_AVX2
[[gnu::target("avx2")]] void searchAvx2(const PackedRows& rows, const tqClassifierDataProviderMemory& data,
                                        double p, const double* const* queries, long count, long dims, long k,
                                        std::vector<long>* indices, std::vector<double>* distances) {
    searchByOrder<true>(rows, data, p, queries, count, dims, k, indices, distances);
}
#endif

bool wideScan() {
    static const bool wide = [] {
        const char* off = std::getenv("CLASTOOL_NO_SIMD");
        if (off && *off && std::strcmp(off, "0") != 0) return false;
#ifdef CLASTOOL_KNN_AVX2
        __builtin_cpu_init();
        return __builtin_cpu_supports("avx2") != 0;
#else
        return false;
#endif
    }();
    return wide;
}

template <int P, bool Wide>
[[gnu::always_inline]] inline void offerRun(ReplayList& list, long begin, long end, const double* a,
                                            const PackedRows& rows, long dims, double p) {
    long i = begin;
#ifdef CLASTOOL_KNN_AVX2
    if constexpr (Wide) i = offerRowsWide<P>(list, i, end, a, rows, dims, p);
#endif
    for (; i < end; ++i) offerRow<P, Wide>(list, i, a, rows.row(i), dims, p);
}

template <bool Wide>
[[gnu::always_inline]] inline void offerRunByOrder(int q, ReplayList& list, long begin, long end, const double* a,
                                                   const PackedRows& rows, long dims, double p) {
    if (q == 1)
        offerRun<1, Wide>(list, begin, end, a, rows, dims, p);
    else if (q == 2)
        offerRun<2, Wide>(list, begin, end, a, rows, dims, p);
    else
        offerRun<3, Wide>(list, begin, end, a, rows, dims, p);
}

void offerRunBaseline(int q, ReplayList& list, long begin, long end, const double* a, const PackedRows& rows,
                      long dims, double p) {
    offerRunByOrder<false>(q, list, begin, end, a, rows, dims, p);
}

#ifdef CLASTOOL_KNN_AVX2
[[gnu::target("avx2")]] void offerRunAvx2(int q, ReplayList& list, long begin, long end, const double* a,
                                          const PackedRows& rows, long dims, double p) {
    offerRunByOrder<true>(q, list, begin, end, a, rows, dims, p);
}
#endif

}  // namespace

void offerRows(int q, ReplayList& list, long begin, long end, const double* a, const PackedRows& rows, long dims,
               double p) {
#ifdef CLASTOOL_KNN_AVX2
    if (wideScan()) {
        offerRunAvx2(q, list, begin, end, a, rows, dims, p);
        return;
    }
#endif
    offerRunBaseline(q, list, begin, end, a, rows, dims, p);
}

void findNearestPacked(const PackedRows& rows, const tqClassifierDataProviderMemory& data, double p,
                       const double* const* queries, long count, long dims, long k,
                       std::vector<long>* indices, std::vector<double>* distances) {
    if (k < 1) throw tqClassifierDefs::BadParams("K must be >= 1");
#ifdef CLASTOOL_KNN_AVX2
    if (wideScan()) {
        searchAvx2(rows, data, p, queries, count, dims, k, indices, distances);
        return;
    }
#endif
    searchBaseline(rows, data, p, queries, count, dims, k, indices, distances);
}

bool finiteValues(const double* v, long n) {
    for (long j = 0; j < n; ++j)
        if (!std::isfinite(v[j])) return false;
    return true;
}

int cheapOrder(double p, long dims) {
    if (dims > kMaxBoundedMeasurements || !(p >= kMinBoundedOrder && p <= kMaxBoundedOrder)) return 0;
    return p < 2.0 ? 1 : p < 3.0 ? 2 : 3;
}

const tqPatternDistanceMetricNorm* exactNorm(const tqPatternDistanceMetric* metric) {
    return metric && typeid(*metric) == typeid(tqPatternDistanceMetricNorm)
               ? static_cast<const tqPatternDistanceMetricNorm*>(metric)
               : nullptr;
}

void findNearestNeighbors(const tqClassifierDataProviderMemory& data, const tqPatternDistanceMetric* metric,
                          const tqFeaturePattern& query, long k, std::vector<long>& indices,
                          std::vector<double>& distances) {
    if (k < 1) throw tqClassifierDefs::BadParams("K must be >= 1");
    const tqPatternDistanceMetricNorm* norm = exactNorm(metric);
    if (norm && query.numInvalid() == 0) {
        const PackedRows rows(data);
        const long dims = query.numMeasurements();
        const double* a = dims > 0 ? query.featureMeasurements(false).data() : nullptr;
        findNearestPacked(rows, data, norm->order(), &a, 1, dims, k, &indices, &distances);
        return;
    }
    // The stored data cannot change during a run (runs are const and nothing may train
    // meanwhile), so the count is read once and the list never needs more than n entries.
    const long n = std::max(data.numPatterns(), 0L);
    NearestList list(std::min(k, n), indices, distances);
    scanMetric(data, n, query, metric, list);
}

}  // namespace tq_knn
