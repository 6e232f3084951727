#include "clss/clastool/knnsearch.h"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <limits>
#include <typeinfo>

#include "clss/clastool/errors.h"
#include "clss/clastool/knnfloat.h"
#include "clss/clastool/knnstore.h"
#include "clss/clastool/metric.h"
#include "clss/clastool/pattern.h"
#include "clss/clastool/provider.h"
#include "clss/clastool/simd.h"
#include "platform/attention.h"
#include "platform/exception.h"

#if defined(__x86_64__) && defined(__GNUC__)
#define CLASTOOL_KNN_AVX2 1
// The wide copy's instruction sets: AVX2, and fused multiply-add for the float bound pass only
// (the double code is compiled with contraction off and calls no fused intrinsic).
#define CLASTOOL_KNN_TARGET "avx2,fma"
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
// (6) The float bound pass (batches). With af = float(a), bf = float(b), v = 2^-24, q the cheap
// order and d <= 256 measurements, a row is skipped when its float sum F (terms of order q of the
// float differences, formed and added in any order, products possibly fused) reaches
//     Ft = float((1 + 2^-22) * max(2^-60, W^q * (1 + (d + 8) * 2^-23) * (1 + 2^-19)))  (no test
//     when W^q * ... exceeds 2^100 or is NaN),  W = d^(1/q) (eA + eB) + Bq^(1/q), both with
// margins (1 + 2^-30), where eA and eB bound |a_j - af_j| and |b_j - bf_j| (2^-24 times the largest
// magnitude plus 2^-120: float rounding, with flush to zero or not), the query and every float row
// have no value above 2^64 in magnitude (other rows are NaN in the float block: never skipped).
// Claim: then E = sum of x_i^q >= Bq, which is all that steps (3) to (5) need of the cheap sum
// (from E >= Bq they give S >= (1 - 2^-30.9) Bq and d > T as before). Proof: let Z be the q-norm
// of z_i = |af_i - bf_i| and Y that of y_i = |a_i - b_i| (exact reals). Minkowski's inequality
// (q >= 1) gives Y >= Z - |a - af|_q - |b - bf|_q >= Z - d^(1/q) (eA + eB), and x_i >= (1 - u) y_i,
// so E >= (1 - u)^q (Z - d^(1/q) (eA + eB))^q, which is >= Bq once Z >= W (the margins cover
// 1 / (1 - u), the root's 2^-40 and the roundings of W). Each float term goes through at most
// d + 5 roundings of relative error v (difference, products, additions), and (1 + v)^(d + 8) <=
// 1 + (d + 8) 2^-23; underflow adds at most 7 d 2^-126 < 2^-110 in all, negligible against
// F >= 2^-60. So F <= (1 + (d + 8) 2^-23) Z^q (1 + 2^-50); an overflow to infinity needs an exact
// partial sum above 2^127 > W^q. Hence F >= Ft >= W^q (1 + (d + 8) 2^-23)(1 + 2^-20) gives Z^q >= W^q.
// (7) Preselected rows (batches over finite rows with no pattern after them, finite query). No
// distance is then NaN, and the list the scan ends with holds the k smallest (distance, stored
// number) pairs, a function of the set of rows offered. For k distinct rows with exact distances,
// the farthest one's sum S' gives T' = R(S') >= the final k-th distance; a row whose cheap sum
// reaches the bound of S' is strictly farther than T' by steps (3) to (5), so it is farther than k
// rows and in no final list: skipping it from the first row on changes nothing.
// (8) Upper bounds from cheap sums (DeferredList: q = p, finite rows and query). The terms also
// bound the power sum from above: c_i >= x_i^p (1 - u)^2 - 2^-1074 (at most two roundings, an
// underflow losing at most 2^-1075 each) and t_i <= x_i^p (1 + 2^-40) + 2^-1074, so t_i <=
// (1 + 2^-39.9) c_i + 2^-1072.9; with C >= (1 - u)^(n-1) sum c_i for any order of addition and
// S <= (1 + u)^(n-1) sum t_i, n <= 2^20 gives S <= (1 + 2^-31.8) C + 2^-1052. The computed
// H = fl(fl(C (1 + 2^-30)) + 2^-1000) exceeds that, so H >= S. If a pow or the sum overflows,
// then C >= DBL_MAX (1 - 2^-31), so H (1 + 2^-28) exceeds DBL_MAX and the bound of step (3) is
// NaN: no test. Take for S_k in steps (3) and (4) the k-th
// smallest H (an exact sum S being its own H) of k distinct rows: a row whose cheap sum (or
// exact sum) reaches the bound has d > H_k^(1/p) (1 + 2^-40) >= R(S_i) = d_i for each of the k
// rows (or, where H_k^(1/p) < 2^-1022, d > 2^-1022 + 2^-1074 >= d_i), so it is strictly farther
// than k rows and, as in (7), in no final list. The rows kept are therefore a set that holds every
// row the final list needs, and only they need their exact distances.
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
                                     [t](const ReplayRow& c) { return c.distance > t; }),
                      candidates_.end());
}

namespace {

// The insertion rules over `rows` in stored order, into a list of at most `capacity` entries.
void replayStoredOrder(std::vector<ReplayRow>& rows, long capacity, std::vector<long>& indices,
                       std::vector<double>& distances) {
    std::sort(rows.begin(), rows.end(),
              [](const ReplayRow& x, const ReplayRow& y) { return x.index < y.index; });
    indices.clear();
    distances.clear();
    for (const ReplayRow& c : rows) {
        if (static_cast<long>(distances.size()) == capacity && c.distance >= distances.back()) continue;
        const auto at = std::find_if(distances.begin(), distances.end(), [&](double x) { return !(x < c.distance); });
        indices.insert(indices.begin() + (at - distances.begin()), c.index);
        distances.insert(at, c.distance);
        if (static_cast<long>(distances.size()) > capacity) {
            indices.pop_back();
            distances.pop_back();
        }
    }
}

}  // namespace

void ReplayList::finish(std::vector<long>& indices, std::vector<double>& distances) {
    dropFarther();
    replayStoredOrder(candidates_, cap_, indices, distances);
}

void ReplayList::restart(const double*) {
    bound_ = std::numeric_limits<double>::quiet_NaN();
    heap_.clear();
    candidates_.clear();
}

DeferredList::DeferredList(long capacity, const PackedRows& rows, SkipBound cheap, const double* query,
                           long dims, double p)
    : cap_(capacity),
      rows_(&rows),
      cheap_(cheap),
      query_(query),
      dims_(dims),
      p_(p),
      bound_(std::numeric_limits<double>::quiet_NaN()) {}

void DeferredList::offer(long at, double d, double sum) { add(at, sum, sum, d); }

void DeferredList::offerCheap(long at, double cheapSum) {
    // Step (8) of the proof: at least the power sum (infinite where cheapSum is).
    const double high = cheapSum * (1.0 + 0x1p-30) + 0x1p-1000;
    add(at, cheapSum, high, std::numeric_limits<double>::quiet_NaN());
}

void DeferredList::add(long at, double low, double high, double distance) {
    if (full()) {
        if (high < highs_.front()) {
            std::pop_heap(highs_.begin(), highs_.end());
            highs_.back() = high;
            std::push_heap(highs_.begin(), highs_.end());
            bound_ = cheap_(highs_.front());
            if (entries_.size() > static_cast<std::size_t>(2 * cap_ + 64)) dropFarther();
        }
    } else {
        highs_.push_back(high);
        std::push_heap(highs_.begin(), highs_.end());
        if (full()) bound_ = cheap_(highs_.front());
    }
    entries_.push_back({at, low, distance});
}

void DeferredList::dropFarther() {
    const double bound = bound_;
    entries_.erase(
        std::remove_if(entries_.begin(), entries_.end(), [bound](const Entry& e) { return e.low >= bound; }),
        entries_.end());
}

void DeferredList::finish(std::vector<long>& indices, std::vector<double>& distances) {
    dropFarther();
    kept_.clear();
    for (const Entry& e : entries_) {
        double d = e.distance;
        if (d != d) d = normRoot(normPowerSum(query_, rows_->row(e.at), dims_, p_), p_);
        kept_.push_back({rows_->storedIndex(e.at), d});
    }
    replayStoredOrder(kept_, cap_, indices, distances);
}

void DeferredList::restart(const double* query) {
    query_ = query;
    bound_ = std::numeric_limits<double>::quiet_NaN();
    highs_.clear();
    entries_.clear();
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

#ifdef CLASTOOL_KNN_AVX2
// The cheap sum four differences per instruction: lane l is accumulator s_l of cheapSumReaches,
// fed the same terms in the same order, and the lanes are combined as (s0 + s1) + (s2 + s3) as
// there. So every value, and every answer, is the one cheapSumReaches computes.
template <int P>
[[gnu::target(CLASTOOL_KNN_TARGET), gnu::always_inline]] inline __m256d cheapTerms(__m256d diff) {
    // A square does not depend on the sign: diff * diff is the same double as |diff| * |diff|.
    if constexpr (P == 2) {
        return _mm256_mul_pd(diff, diff);
    } else {
        const __m256d x = _mm256_andnot_pd(_mm256_set1_pd(-0.0), diff);  // |diff|, as fabs
        if constexpr (P == 1) return x;
        if constexpr (P == 3) return _mm256_mul_pd(_mm256_mul_pd(x, x), x);
    }
}

[[gnu::target(CLASTOOL_KNN_TARGET), gnu::always_inline]] inline double laneSum(__m256d s) {
    const __m128d pairs = _mm_hadd_pd(_mm256_castpd256_pd128(s), _mm256_extractf128_pd(s, 1));
    return _mm_cvtsd_f64(pairs) + _mm_cvtsd_f64(_mm_unpackhi_pd(pairs, pairs));
}

template <int P>
[[gnu::target(CLASTOOL_KNN_TARGET)]] inline bool cheapSumReachesWide(const double* a, const double* b, long n,
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
// A query for fourSums: its whole groups of four measurements, and a partial last group loaded
// masked (the lanes past the row's end are 0 in query and rows alike, so they add nothing).
struct WideQuery {
    static constexpr long kMaxGroups = 16;
    __m256d group[kMaxGroups];
    __m256d tail;
    __m256i tailMask;
    long groups;
    bool hasTail;

    [[gnu::target(CLASTOOL_KNN_TARGET)]] WideQuery(const double* a, long d) : groups(d / 4), hasTail(d % 4 != 0) {
        for (long g = 0; g < groups; ++g) group[g] = _mm256_loadu_pd(a + 4 * g);
        const long t = d % 4;
        tailMask = _mm256_setr_epi64x(t > 0 ? -1 : 0, t > 1 ? -1 : 0, t > 2 ? -1 : 0, 0);
        tail = hasTail ? _mm256_maskload_pd(a + 4 * groups, tailMask) : _mm256_setzero_pd();
    }
};

// The cheap sums of the four rows from b on, as lanes 0 to 3: each row's four lanes summed as
// (l0 + l1) + (l2 + l3), all four rows together. The accumulators start with the first terms
// instead of adding them to zero: a term is never -0, so 0 + t is t. Neighbouring lanes are added
// through unpacks, which cost fewer instructions than horizontal additions. Dims > 0: rows of
// exactly Dims measurements in whole groups, known when compiling; Dims = 0: any length.
template <int P, long Dims>
[[gnu::target(CLASTOOL_KNN_TARGET), gnu::always_inline]] inline __m256d fourSums(const WideQuery& query,
                                                                                const double* b, long d) {
    const long groups = Dims > 0 ? Dims / 4 : query.groups;
    __m256d s0, s1, s2, s3;
    long g = 0;
    if (groups > 0) {
        s0 = cheapTerms<P>(_mm256_sub_pd(query.group[0], _mm256_loadu_pd(b)));
        s1 = cheapTerms<P>(_mm256_sub_pd(query.group[0], _mm256_loadu_pd(b + d)));
        s2 = cheapTerms<P>(_mm256_sub_pd(query.group[0], _mm256_loadu_pd(b + 2 * d)));
        s3 = cheapTerms<P>(_mm256_sub_pd(query.group[0], _mm256_loadu_pd(b + 3 * d)));
        g = 1;
    } else {
        s0 = s1 = s2 = s3 = _mm256_setzero_pd();
    }
    for (; g < groups; ++g) {
        const __m256d x = query.group[g];
        const long j = 4 * g;
        s0 = _mm256_add_pd(s0, cheapTerms<P>(_mm256_sub_pd(x, _mm256_loadu_pd(b + j))));
        s1 = _mm256_add_pd(s1, cheapTerms<P>(_mm256_sub_pd(x, _mm256_loadu_pd(b + d + j))));
        s2 = _mm256_add_pd(s2, cheapTerms<P>(_mm256_sub_pd(x, _mm256_loadu_pd(b + 2 * d + j))));
        s3 = _mm256_add_pd(s3, cheapTerms<P>(_mm256_sub_pd(x, _mm256_loadu_pd(b + 3 * d + j))));
    }
    if (Dims == 0 && query.hasTail) {
        const __m256d x = query.tail;
        const __m256i m = query.tailMask;
        const long j = 4 * groups;
        s0 = _mm256_add_pd(s0, cheapTerms<P>(_mm256_sub_pd(x, _mm256_maskload_pd(b + j, m))));
        s1 = _mm256_add_pd(s1, cheapTerms<P>(_mm256_sub_pd(x, _mm256_maskload_pd(b + d + j, m))));
        s2 = _mm256_add_pd(s2, cheapTerms<P>(_mm256_sub_pd(x, _mm256_maskload_pd(b + 2 * d + j, m))));
        s3 = _mm256_add_pd(s3, cheapTerms<P>(_mm256_sub_pd(x, _mm256_maskload_pd(b + 3 * d + j, m))));
    }
    const __m256d h01 = _mm256_add_pd(_mm256_unpacklo_pd(s0, s1), _mm256_unpackhi_pd(s0, s1));
    const __m256d h23 = _mm256_add_pd(_mm256_unpacklo_pd(s2, s3), _mm256_unpackhi_pd(s2, s3));
    return _mm256_add_pd(_mm256_permute2f128_pd(h01, h23, 0x20), _mm256_permute2f128_pd(h01, h23, 0x31));
}

// Packed rows [begin, end) for one query, four rows per pass. The four rows' cheap sums
// (fourSums) are compared with the bound at once. When all four reach it, nothing is offered, so
// the bound was the current one for each of them. Otherwise the rows are taken in order, each
// tested against the bound as it is then (an earlier row of the four may have entered and changed
// it, even to NaN when NaN distances fill the list) and, if not skipped, sent to the exact path:
// each row is decided exactly as offerRow decides it. Returns the first row not handled.
template <int P, long Dims, class List>
[[gnu::target(CLASTOOL_KNN_TARGET)]] long offerRowsWideOf(List& list, long begin, long end, const double* a,
                                                         const PackedRows& rows, long dims, double p) {
    const long d = Dims > 0 ? Dims : dims;
    const WideQuery query(a, d);
    long i = begin;
    for (; i + 4 <= end; i += 4) {
        const double* b = rows.row(i);
        const __m256d sums = fourSums<P, Dims>(query, b, d);
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

// Rows of up to 64 measurements take four rows per pass; longer ones one row at a time, whose sum
// stops early once it reaches the bound (which pays for long rows).
template <int P, class List>
[[gnu::target(CLASTOOL_KNN_TARGET)]] long offerRowsWide(List& list, long begin, long end, const double* a,
                                                       const PackedRows& rows, long dims, double p) {
    if (dims == 8) return offerRowsWideOf<P, 8>(list, begin, end, a, rows, dims, p);
    if (dims == 16) return offerRowsWideOf<P, 16>(list, begin, end, a, rows, dims, p);
    if (dims > 0 && dims <= 4 * WideQuery::kMaxGroups) return offerRowsWideOf<P, 0>(list, begin, end, a, rows, dims, p);
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

#ifdef CLASTOOL_KNN_AVX2
// ---- The float bound pass of a batch (see "The float bound pass" in the proof above) ----

constexpr long kFloatPassRows = 32;         // rows summed together: four vectors of eight floats
constexpr long kMaxFloatMeasurements = 256;  // the proof's margin g assumes at most this many
constexpr long kMinFloatQueries = 3;         // fewer queries do not pay for converting each block
constexpr long kMaxSampleRows = 1024;        // rows of the sample a query preselects from
constexpr long kSampleFloats = 65536;        // at most 256 KB of sample
constexpr long kMaxPreselected = 64;         // larger k preselect nothing

// A block of packed rows as floats, laid out per pass of 32 rows: column j of the pass's rows is
// 32 consecutive floats, so that one vector holds eight rows' values of one measurement. A row
// with a value that is not finite or above kFloatLimit in magnitude is all NaN (never skipped by
// this pass), and error() bounds |b - float(b)| over every other value.
class FloatBlock {
public:
    // Room for `capacity` rows (a multiple of kFloatPassRows).
    FloatBlock(long dims, long capacity)
        : dims_(dims),
          capacity_(capacity),
          storage_(static_cast<std::size_t>(capacity_ * dims + kAlignFloats)),
          values_(aligned(storage_.data())),
          zeros_(static_cast<std::size_t>(dims), 0.0) {}
    FloatBlock(const FloatBlock&) = delete;  // values_ points into storage_
    FloatBlock& operator=(const FloatBlock&) = delete;
    // About 16 KB: the block stays in the first-level cache while every query passes over it.
    static long blockRows(long dims) {
        return std::max(kFloatPassRows, 16384 / (dims * 4) / kFloatPassRows * kFloatPassRows);
    }

    long capacity() const { return capacity_; }
    long size() const { return size_; }
    double error() const { return error_; }
    const float* pass(long s) const { return values_ + s * kFloatPassRows * dims_; }

    // Rows [begin, end) of `rows`, at most capacity() of them.
    void fill(const PackedRows& rows, long begin, long end) {
        fillFrom([&](long r) { return begin + r; }, rows, end - begin);
    }
    // `count` rows spread evenly over the first n (count <= n, count <= capacity()).
    void fillSpread(const PackedRows& rows, long n, long count) {
        fillFrom([=](long r) { return r * n / count; }, rows, count);
    }
    // The row position of block row r.
    long position(long r) const { return positions_[static_cast<std::size_t>(r)]; }

private:
    template <class PositionOf>
    [[gnu::target(CLASTOOL_KNN_TARGET)]] void fillFrom(PositionOf positionOf, const PackedRows& rows, long count) {
        size_ = count;
        positions_.resize(static_cast<std::size_t>(count));
        for (long r = 0; r < count; ++r) positions_[static_cast<std::size_t>(r)] = positionOf(r);
        const __m256d sign = _mm256_set1_pd(-0.0), limit = _mm256_set1_pd(kFloatLimit);
        __m256d largest = _mm256_setzero_pd(), bad = _mm256_setzero_pd();
        for (long r = 0; r < size_; r += 8) {
            const double* b[8];
            for (long t = 0; t < 8; ++t) b[t] = r + t < size_ ? rows.row(position(r + t)) : zeros_.data();
            float* out = values_ + (r / kFloatPassRows) * kFloatPassRows * dims_ + r % kFloatPassRows;
            long j = 0;
            for (; j + 4 <= dims_; j += 4) {
                __m128 f[8];
                for (long t = 0; t < 8; ++t) {
                    const __m256d x = _mm256_loadu_pd(b[t] + j);
                    const __m256d magnitude = _mm256_andnot_pd(sign, x);
                    largest = _mm256_max_pd(largest, magnitude);
                    bad = _mm256_or_pd(bad, _mm256_cmp_pd(magnitude, limit, _CMP_NLE_UQ));
                    f[t] = _mm256_cvtpd_ps(x);
                }
                _MM_TRANSPOSE4_PS(f[0], f[1], f[2], f[3]);
                _MM_TRANSPOSE4_PS(f[4], f[5], f[6], f[7]);
                for (long c = 0; c < 4; ++c)
                    _mm256_storeu_ps(out + (j + c) * kFloatPassRows, _mm256_set_m128(f[4 + c], f[c]));
            }
            for (; j < dims_; ++j)
                for (long t = 0; t < 8; ++t) {
                    const double magnitude = std::fabs(b[t][j]);
                    if (!(magnitude <= kFloatLimit)) bad = _mm256_castsi256_pd(_mm256_set1_epi64x(-1));
                    largest = _mm256_max_pd(largest, _mm256_set1_pd(magnitude));
                    out[j * kFloatPassRows + t] = static_cast<float>(b[t][j]);
                }
        }
        alignas(32) double lanes[4];
        _mm256_store_pd(lanes, largest);
        double top = std::max(std::max(lanes[0], lanes[1]), std::max(lanes[2], lanes[3]));
        if (_mm256_movemask_pd(bad) != 0) top = markUnbounded(rows);
        error_ = top * 0x1p-24 + 0x1p-120;
    }

    // Fills the rows with a value out of range with NaN; returns the largest magnitude of the others.
    double markUnbounded(const PackedRows& rows) {
        double top = 0.0;
        for (long r = 0; r < size_; ++r) {
            const double* b = rows.row(position(r));
            double largest = 0.0;
            for (long j = 0; j < dims_; ++j) largest = std::fmax(largest, std::fabs(b[j]));
            if (largest <= kFloatLimit && finiteValues(b, dims_)) {
                top = std::max(top, largest);
                continue;
            }
            float* out = values_ + (r / kFloatPassRows) * kFloatPassRows * dims_ + r % kFloatPassRows;
            for (long j = 0; j < dims_; ++j) out[j * kFloatPassRows] = std::numeric_limits<float>::quiet_NaN();
        }
        return top;
    }

    // The values start at a multiple of 64 bytes, so that every vector of a pass lies within one
    // cache line. Left where the heap put them (16 bytes past a multiple of 64, say), up to half
    // of the loads crossed a line, and the same batch at 1,000,000 x 8 took 330 to 520 ms,
    // depending on what the process had allocated before.
    static constexpr std::size_t kAlignFloats = 16;
    static float* aligned(float* p) {
        const auto at = reinterpret_cast<std::uintptr_t>(p);
        return p + (-at & 63u) / sizeof(float);
    }

    long dims_;
    long capacity_;
    long size_ = 0;
    double error_ = 0.0;
    std::vector<float> storage_;
    float* values_;
    std::vector<double> zeros_;
    std::vector<long> positions_;
};

// Adds the terms of one measurement (query value x, the pass's column c) to the four vectors of
// a pass's 32 rows.
template <int Q>
[[gnu::target(CLASTOOL_KNN_TARGET), gnu::always_inline]] inline void addColumn(__m256 x, const float* c,
                                                                              __m256* acc) {
    for (int v = 0; v < 4; ++v) acc[v] = floatTerm<Q>(_mm256_sub_ps(x, _mm256_loadu_ps(c + 8 * v)), acc[v]);
}

// The float sums of order Q of the 32 rows of one pass, eight rows per vector; even and odd
// measurements go to separate accumulators, added at the end.
template <int Q>
[[gnu::target(CLASTOOL_KNN_TARGET), gnu::always_inline]] inline void floatSums(const float* query,
                                                                              const float* pass, long d,
                                                                              __m256* sums) {
    __m256 even[4], odd[4];
    for (int v = 0; v < 4; ++v) even[v] = odd[v] = _mm256_setzero_ps();
    long j = 0;
    for (; j + 2 <= d; j += 2) {
        const float* c = pass + j * kFloatPassRows;
        addColumn<Q>(_mm256_broadcast_ss(query + j), c, even);
        addColumn<Q>(_mm256_broadcast_ss(query + j + 1), c + kFloatPassRows, odd);
    }
    if (j < d) addColumn<Q>(_mm256_broadcast_ss(query + j), pass + j * kFloatPassRows, even);
    for (int v = 0; v < 4; ++v) sums[v] = _mm256_add_ps(even[v], odd[v]);
}

// A query of a batch as floats (FloatValues), with the rows it preselected.
class FloatQuery : public FloatValues {
public:
    FloatQuery(float* storage, const double* a, long dims) : FloatValues(storage, dims) { set(a); }

    // The bound on cheap sums in force for the list: its own, or the one of the preselected rows
    // where that is lower or the list has none yet.
    template <class List>
    double bound(const List& list) const {
        return std::fmin(list.bound(), preBound_);
    }

    // Finds the k rows of the sample nearest by float sum and computes their exact distances; the
    // farthest of them gives the skip bound of `cheap` in force from the first row on. Only for a
    // finite query over finite rows, none of them after the packed prefix (no distance is then
    // NaN, and a row strictly farther than k others is in no list the scan builds at the end).
    template <int Q>
    [[gnu::target(CLASTOOL_KNN_TARGET)]] void preselect(const FloatBlock& sample, long k, const SkipBound& cheap,
                                                       const double* a, const PackedRows& rows, long dims,
                                                       double p) {
        if (!usable() || k > sample.size()) return;
        std::vector<std::pair<float, long>> best;
        best.reserve(static_cast<std::size_t>(k) + 1);
        float kth = std::numeric_limits<float>::infinity();
        for (long start = 0; start < sample.size(); start += kFloatPassRows) {
            __m256 sums[4];
            floatSums<Q>(values(), sample.pass(start / kFloatPassRows), dims, sums);
            const __m256 t = _mm256_set1_ps(kth);
            unsigned nearer = 0;
            for (int v = 0; v < 4; ++v)
                nearer |= static_cast<unsigned>(_mm256_movemask_ps(_mm256_cmp_ps(sums[v], t, _CMP_LT_OQ))) << (8 * v);
            const long left = sample.size() - start;
            nearer &= left >= kFloatPassRows ? ~0u : (1u << left) - 1u;
            if (nearer == 0) continue;
            alignas(32) float each[kFloatPassRows];
            for (int v = 0; v < 4; ++v) _mm256_store_ps(each + 8 * v, sums[v]);
            for (; nearer != 0; nearer &= nearer - 1u) {
                const int r = __builtin_ctz(nearer);
                if (!(each[r] < kth)) continue;
                const std::pair<float, long> entry(each[r], start + r);
                best.insert(std::upper_bound(best.begin(), best.end(), entry), entry);
                if (static_cast<long>(best.size()) > k) best.pop_back();
                if (static_cast<long>(best.size()) == k) kth = best.back().first;
            }
        }
        if (static_cast<long>(best.size()) < k) return;
        double farthest = -1.0, farthestSum = 0.0;
        for (const auto& entry : best) {
            const long at = sample.position(entry.second);
            const double sum = normPowerSum(a, rows.row(at), dims, p);
            const double d = normRoot(sum, p);
            known_.push_back({at, sum, d});
            if (d > farthest) {
                farthest = d;
                farthestSum = sum;
            }
        }
        preBound_ = cheap(farthestSum);
    }

    // The exact sum and distance of row position `at` when preselect computed them.
    bool known(long at, double& sum, double& d) const {
        for (const Exact& e : known_)
            if (e.at == at) {
                sum = e.sum;
                d = e.distance;
                return true;
            }
        return false;
    }

private:
    struct Exact {
        long at;
        double sum;
        double distance;
    };

    double preBound_ = std::numeric_limits<double>::quiet_NaN();
    std::vector<Exact> known_;
};

// The rows of the block (positions r0 on) for one query: rows whose float sum reaches the
// threshold are skipped, the others take the double cheap test and, if not skipped, the exact
// path, in order, as offerRow does (with the query's bound, and the exact sums preselect found).
// When an offer changes the list's bound, the rest of the pass is tested again against the
// threshold of the new bound (an entering NaN distance may even turn it into NaN).
template <int Q, class List>
[[gnu::target(CLASTOOL_KNN_TARGET)]] void offerFloatBlock(List& list, FloatQuery& query, const FloatBlock& block,
                                                         const FloatScale& scale, long r0, const double* a,
                                                         const PackedRows& rows, long dims, double p) {
    float threshold = query.threshold<Q>(query.bound(list), block.error(), scale);
    for (long start = 0; start < block.size(); start += kFloatPassRows) {
        __m256 sums[4];
        floatSums<Q>(query.values(), block.pass(start / kFloatPassRows), dims, sums);
        const __m256 t = _mm256_set1_ps(threshold);
        unsigned skipped = 0;
        for (int v = 0; v < 4; ++v)
            skipped |= static_cast<unsigned>(_mm256_movemask_ps(_mm256_cmp_ps(sums[v], t, _CMP_GE_OQ))) << (8 * v);
        const long left = block.size() - start;
        const unsigned valid = left >= kFloatPassRows ? ~0u : (1u << left) - 1u;
        unsigned open = valid & ~skipped;
        if (open == 0) continue;
        alignas(32) float each[kFloatPassRows];
        for (int v = 0; v < 4; ++v) _mm256_store_ps(each + 8 * v, sums[v]);
        while (open != 0) {
            const int r = __builtin_ctz(open);
            open &= open - 1u;
            const long i = r0 + start + r;
            const double* b = rows.row(i);
            const double before = query.bound(list);
            if (before == before && cheapSumSkips<Q, true>(a, b, dims, before)) continue;
            double sum, d;
            if (!query.known(i, sum, d)) {
                sum = normPowerSum(a, b, dims, p);
                d = normRoot(sum, p);
            }
            list.offer(i, d, sum);
            if (sameValue(query.bound(list), before)) continue;
            threshold = query.threshold<Q>(query.bound(list), block.error(), scale);
            open = 0;
            for (long later = r + 1; later < std::min(left, kFloatPassRows); ++later)
                if (!(each[later] >= threshold)) open |= 1u << later;
        }
    }
}

// The batch scan with the float bound pass: each block of packed rows is converted once and
// passed over by every query in turn; the patterns after the packed prefix as in scanPacked.
// With finite rows and no pattern after them, each query first preselects k rows from a sample
// of up to 1,024 rows spread over the data, so that its bound is tight from the first block on.
template <int Q, class List>
[[gnu::target(CLASTOOL_KNN_TARGET)]] void scanPackedFloat(const PackedRows& rows,
                                                         const tqClassifierDataProviderMemory& data, long n,
                                                         long packed, long dims, double p, long k,
                                                         const SkipBound& cheap, const double* const* queries,
                                                         std::vector<List>& lists) {
    FloatBlock block(dims, FloatBlock::blockRows(dims));
    const FloatScale scale(Q, dims);
    std::vector<float> values(lists.size() * static_cast<std::size_t>(dims));
    std::vector<FloatQuery> floats;
    floats.reserve(lists.size());
    for (std::size_t q = 0; q < lists.size(); ++q)
        floats.emplace_back(values.data() + q * static_cast<std::size_t>(dims), queries[q], dims);
    const long spread = std::min(std::min(n, kMaxSampleRows), std::max(kFloatPassRows, kSampleFloats / dims));
    if (rows.finite() && packed == n && k <= kMaxPreselected && 4 * k <= spread) {
        FloatBlock sample(dims, (spread + kFloatPassRows - 1) / kFloatPassRows * kFloatPassRows);
        sample.fillSpread(rows, n, spread);
        for (std::size_t q = 0; q < lists.size(); ++q)
            floats[q].preselect<Q>(sample, k, cheap, queries[q], rows, dims, p);
    }
    for (long r0 = 0; r0 < n; r0 += block.capacity()) {
        attention();
        const long r1 = std::min(n, r0 + block.capacity());
        const long end = std::min(r1, std::max(packed, r0));
        if (end > r0) block.fill(rows, r0, end);
        for (std::size_t q = 0; q < lists.size(); ++q) {
            const double* a = queries[q];
            if (end > r0) offerFloatBlock<Q>(lists[q], floats[q], block, scale, r0, a, rows, dims, p);
            for (long i = end; i < r1; ++i) offerRow<Q, true>(lists[q], i, a, storedRow(data, i, dims), dims, p);
        }
    }
}
#endif

template <int P, bool Wide, class List>
[[gnu::always_inline]] inline void scanPacked(const PackedRows& rows,
                                              const tqClassifierDataProviderMemory& data, long n, long dims,
                                              double p, long k, const SkipBound& cheap,
                                              const double* const* queries, std::vector<List>& lists) {
    // Rows packed for another length are never read (the patterns' own errors apply).
    const long packed = rows.dimension() == dims ? std::min(rows.rows(), n) : 0;
#ifdef CLASTOOL_KNN_AVX2
    if constexpr (Wide && P > 0) {
        if (packed > 0 && dims > 0 && dims <= kMaxFloatMeasurements &&
            static_cast<long>(lists.size()) >= kMinFloatQueries) {
            scanPackedFloat<P>(rows, data, n, packed, dims, p, k, cheap, queries, lists);
            return;
        }
    }
#endif
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
        scanPacked<P, Wide>(rows, data, n, dims, p, std::min(k, n), cheap, queries, lists);
        for (long q = 0; q < count; ++q) lists[static_cast<std::size_t>(q)].finish(indices[q], distances[q]);
        return;
    }
    std::vector<NearestList> lists;
    lists.reserve(static_cast<std::size_t>(count));
    for (long q = 0; q < count; ++q) lists.emplace_back(std::min(k, n), indices[q], distances[q], cheap);
    scanPacked<P, Wide>(rows, data, n, dims, p, std::min(k, n), cheap, queries, lists);
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

// Run-time dispatch. The library is built for any x86-64 host; where the processor has AVX2 and
// FMA the wide copy runs, with the cheap sums four differences per instruction (cheapSumReachesWide,
// offerRowsWide) and, for batches, the float bound pass (scanPackedFloat). Each copy skips only
// rows the proof covers, and both share the exact path (the file is compiled with
// -ffp-contract=off; the only fused operations are the float pass's intrinsics), hence the same
// bits. CLASTOOL_NO_SIMD forces the baseline copy (tq_simd::useAvx2Fma), which is how the tests
// cover it.
void searchBaseline(const PackedRows& rows, const tqClassifierDataProviderMemory& data, double p,
                    const double* const* queries, long count, long dims, long k, std::vector<long>* indices,
                    std::vector<double>* distances) {
    searchByOrder<false>(rows, data, p, queries, count, dims, k, indices, distances);
}

#ifdef CLASTOOL_KNN_AVX2
[[gnu::target(CLASTOOL_KNN_TARGET)]] void searchAvx2(const PackedRows& rows, const tqClassifierDataProviderMemory& data,
                                        double p, const double* const* queries, long count, long dims, long k,
                                        std::vector<long>* indices, std::vector<double>* distances) {
    searchByOrder<true>(rows, data, p, queries, count, dims, k, indices, distances);
}
#endif

bool wideScan() {
#ifdef CLASTOOL_KNN_AVX2
    return tq_simd::useAvx2Fma();
#else
    return false;
#endif
}

template <int P, bool Wide, class List>
[[gnu::always_inline]] inline void offerRun(List& list, long begin, long end, const double* a,
                                            const PackedRows& rows, long dims, double p) {
    long i = begin;
#ifdef CLASTOOL_KNN_AVX2
    if constexpr (Wide) i = offerRowsWide<P>(list, i, end, a, rows, dims, p);
#endif
    for (; i < end; ++i) offerRow<P, Wide>(list, i, a, rows.row(i), dims, p);
}

template <bool Wide, class List>
[[gnu::always_inline]] inline void offerRunByOrder(int q, List& list, long begin, long end, const double* a,
                                                   const PackedRows& rows, long dims, double p) {
    if (q == 1)
        offerRun<1, Wide>(list, begin, end, a, rows, dims, p);
    else if (q == 2)
        offerRun<2, Wide>(list, begin, end, a, rows, dims, p);
    else
        offerRun<3, Wide>(list, begin, end, a, rows, dims, p);
}

template <class List>
void offerRunBaseline(int q, List& list, long begin, long end, const double* a, const PackedRows& rows,
                      long dims, double p) {
    offerRunByOrder<false>(q, list, begin, end, a, rows, dims, p);
}

#ifdef CLASTOOL_KNN_AVX2
template <class List>
[[gnu::target(CLASTOOL_KNN_TARGET)]] void offerRunAvx2(int q, List& list, long begin, long end,
                                                       const double* a, const PackedRows& rows, long dims,
                                                       double p) {
    offerRunByOrder<true>(q, list, begin, end, a, rows, dims, p);
}
#endif

template <class List>
void offerRowsTo(int q, List& list, long begin, long end, const double* a, const PackedRows& rows, long dims,
                 double p) {
#ifdef CLASTOOL_KNN_AVX2
    if (wideScan()) {
        offerRunAvx2(q, list, begin, end, a, rows, dims, p);
        return;
    }
#endif
    offerRunBaseline(q, list, begin, end, a, rows, dims, p);
}

}  // namespace

bool wideSearch() { return wideScan(); }

void offerRows(int q, ReplayList& list, long begin, long end, const double* a, const PackedRows& rows,
               long dims, double p) {
    offerRowsTo(q, list, begin, end, a, rows, dims, p);
}

void offerRows(int q, DeferredList& list, long begin, long end, const double* a, const PackedRows& rows,
               long dims, double p) {
    offerRowsTo(q, list, begin, end, a, rows, dims, p);
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
