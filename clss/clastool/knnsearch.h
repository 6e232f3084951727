// Internal to the k-nearest-neighbour classifier: the norm sums and the neighbour search.
// Not part of the public API (not included by clastool.h); exported for the tests.
#ifndef CLASTOOL_KNNSEARCH_H
#define CLASTOOL_KNNSEARCH_H

#include <cstddef>
#include <utility>
#include <vector>

class tqClassifierDataProviderMemory;
class tqFeaturePattern;
class tqPatternDistanceMetric;
class tqPatternDistanceMetricNorm;

namespace tq_knn {
class PackedRows;
}

namespace tq_knn {

// sum over i < n, in order, of pow(|a[i] - b[i]|, p). Out of line on purpose: every caller gets
// the same compiled code, so that the compiler can never specialise pow for a known order in
// one place and not in another.
double normPowerSum(const double* a, const double* b, long n, double p);
// pow(sum, 1 / p), out of line for the same reason.
double normRoot(double sum, double p);

// The skip test's threshold (see the proof in the source): a row whose cheap sum of order q
// (terms |a_i - b_i|^q rounded as x, x * x, (x * x) * x, added in any order) reaches
// bound(S_k) is strictly farther under order p than a row whose power sum is S_k. NaN: no test.
// The default bound is the one for q = p.
class SkipBound {
public:
    SkipBound() = default;
    SkipBound(double q, double p, long terms);
    double operator()(double kthSum) const;

private:
    bool convert_ = false;
    double exponent_ = 1.0;
    double scale_ = 1.0;
};

// A row's stored number and distance, as the lists below replay them.
struct ReplayRow {
    long index;
    double distance;
};

// The k nearest of one query for rows offered in any order (positions of reordered packed rows):
// the k nearest distances so far, for the skip bound, and every row offered within the k-th of
// them. finish replays the classifier's insertion rules over those rows in stored order, which
// gives the list the scan builds in stored order (see the proof in knnindex.cpp). Rows of a
// value that is not finite (NaN distances follow no bound) need `keepAll`: every row is kept
// and the replay is the stored-order scan itself.
class ReplayList {
public:
    ReplayList(long capacity, const PackedRows& rows, SkipBound cheap, bool keepAll);

    bool full() const { return !keepAll_ && static_cast<long>(heap_.size()) == cap_; }
    // How many more rows the list takes before it is full.
    long room() const { return cap_ - static_cast<long>(heap_.size()); }
    // Skip threshold on cheap sums while full; NaN disables skipping.
    double bound() const { return bound_; }
    // Row position `at`, at distance d with power sum `sum`.
    void offer(long at, double d, double sum);
    void finish(std::vector<long>& indices, std::vector<double>& distances);
    // Empty again, for the next query (of the same kind: keepAll unchanged), its memory kept.
    void restart(const double* query);

private:
    void dropFarther();

    long cap_;
    const PackedRows* rows_;
    SkipBound cheap_;
    bool keepAll_;
    double bound_;
    std::vector<std::pair<double, double>> heap_;  // (distance, sum), farthest in front
    std::vector<ReplayRow> candidates_;
};

// ReplayList's search with exact distances left for the end: for a cheap order equal to p (1, 2
// or 3; `cheap` without conversion) and finite values only. A row may enter with its cheap sum
// alone, which bounds its power sum from above as well as from below; the bound is then that of
// the k smallest upper bounds, and finish computes exact distances only for the rows no k others
// have proven farther by then (see the proof in knnsearch.cpp, step (8)). Most rows that enter
// a list on the way are pushed out later, and never reach pow.
class DeferredList {
public:
    DeferredList(long capacity, const PackedRows& rows, SkipBound cheap, const double* query, long dims,
                 double p);

    bool full() const { return static_cast<long>(highs_.size()) == cap_; }
    long room() const { return cap_ - static_cast<long>(highs_.size()); }
    // Skip threshold on cheap sums while full; NaN disables skipping.
    double bound() const { return bound_; }
    // Row position `at`, at distance d with power sum `sum`, as ReplayList::offer.
    void offer(long at, double d, double sum);
    // Row position `at` with the cheap sum `cheapSum` of its differences from the query, which
    // does not reach bound(); its distance is computed by finish, if needed.
    void offerCheap(long at, double cheapSum);
    void finish(std::vector<long>& indices, std::vector<double>& distances);
    // Empty again, for the next query, its memory kept.
    void restart(const double* query);

private:
    struct Entry {
        long at;
        double low;       // at most the row's power sum, as the skip test reads a cheap sum
        double distance;  // NaN: not computed yet
    };
    void add(long at, double low, double high, double distance);
    void dropFarther();

    long cap_;
    const PackedRows* rows_;
    SkipBound cheap_;
    const double* query_;
    long dims_;
    double p_;
    double bound_;
    std::vector<double> highs_;  // the k smallest upper bounds of power sums, largest in front
    std::vector<Entry> entries_;
    std::vector<ReplayRow> kept_;  // finish's rows
};

// Offers packed rows at positions [begin, end) to the list for distances of order p, as the scan
// offers them (cheap sums of order q = cheapOrder(p, dims), 1 to 3, against the list's bound,
// four rows per instruction where the scan does so).
void offerRows(int q, ReplayList& list, long begin, long end, const double* a, const PackedRows& rows, long dims,
               double p);
void offerRows(int q, DeferredList& list, long begin, long end, const double* a, const PackedRows& rows,
               long dims, double p);

// Whether searches take the AVX2 and FMA code (the processor has both and CLASTOOL_NO_SIMD does
// not turn it off; read once per process).
bool wideSearch();

// Whether the n values are all finite.
bool finiteValues(const double* v, long n);

// The cheap order q the skip test uses for order p over `dims` measurements: the largest of 1,
// 2 and 3 not above p, or 0 where the proof does not hold (p outside [1, 64], dims above 2^20).
int cheapOrder(double p, long dims);

// The norm metric itself (not a derived class, which may compute distances its own way), or null.
const tqPatternDistanceMetricNorm* exactNorm(const tqPatternDistanceMetric* metric);

// The k nearest stored patterns of `data` to `query` under `metric`, as the classifier ranks
// them: a list sorted by ascending distance, built in stored order; a pattern exactly as far as
// the last kept one does not enter when the list is full, and a new pattern goes in front of
// kept patterns at the same distance. On return indices and distances hold min(k, number of
// stored patterns) entries.
//
// Throws tqClassifierDefs::BadParams "K must be >= 1" for k < 1 (possible only for parameters
// read from an archive), then tqBadPointer for a null stored pattern or a null metric (at the
// first stored pattern) and the metric's errors, in stored order.
//
// The norm metric with a valid query takes findNearestPacked over rows packed for this call (the
// classifier keeps its packed rows instead); any other metric is called once per stored pattern,
// with the attention check before each call.
void findNearestNeighbors(const tqClassifierDataProviderMemory& data, const tqPatternDistanceMetric* metric,
                          const tqFeaturePattern& query, long k, std::vector<long>& indices,
                          std::vector<double>& distances);

// The same search under the norm metric of order p for `count` queries at once, each `dims`
// valid measurements with dims the data's number of measurements (the classifier checks both
// before), with the same results, bit for bit, into indices[q] and distances[q]. `rows` must be
// the packed rows of `data`: its prefix is read from there, the patterns after it from the
// pattern objects (with their errors). The stored rows are scanned in blocks of about 32 KB (16 KB
// of floats for batches of three queries or more with AVX2), each block by every query in turn, so
// that a batch reads the stored measurements from memory once; the attention check is consulted
// once per block. Throws BadParams "K must be >= 1" for k < 1.
//
// For orders 1, 2 and 3 most rows are decided by a cheap bound without pow, and the sum of other
// orders from 1 to 64 stops early; the result is the same bits as computing every distance with
// the metric (see the proof in the source).
void findNearestPacked(const PackedRows& rows, const tqClassifierDataProviderMemory& data, double p,
                       const double* const* queries, long count, long dims, long k, std::vector<long>* indices,
                       std::vector<double>* distances);

}  // namespace tq_knn

#endif
