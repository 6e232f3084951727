// Internal to the k-nearest-neighbour classifier: the norm sums and the neighbour search.
// Not part of the public API (not included by clastool.h); exported for the tests.
#ifndef CLASTOOL_KNNSEARCH_H
#define CLASTOOL_KNNSEARCH_H

#include <vector>

class tqClassifierDataProviderMemory;
class tqFeaturePattern;
class tqPatternDistanceMetric;

namespace tq_knn {

// sum over i < n, in order, of pow(|a[i] - b[i]|, p). Out of line on purpose: every caller gets
// the same compiled code, so that the compiler can never specialise pow for a known order in
// one place and not in another.
double normPowerSum(const double* a, const double* b, long n, double p);
// pow(sum, 1 / p), out of line for the same reason.
double normRoot(double sum, double p);

// The k nearest stored patterns of `data` to `query` under `metric`, as the classifier ranks
// them: a list sorted by ascending distance, built in stored order; a pattern exactly as far as
// the last kept one does not enter when the list is full, and a new pattern goes in front of
// kept patterns at the same distance. On return indices and distances hold min(k, number of
// stored patterns) entries.
//
// Consults the attention check once per stored pattern. Throws tqBadPointer for a null stored
// pattern or a null metric (at the first stored pattern), the metric's errors, and
// tqClassifierDefs::BadParams "K must be >= 1" for k < 1 (possible only for parameters read
// from an archive). Allocates only the result lists and one list of k sums, never per pattern.
//
// For the norm metric of order 1, 2 or 3 most patterns are decided by a cheap bound without pow,
// and the sum of other orders stops early; the result is the same bits as computing every
// distance with the metric (see the proof in the source).
//
// The first `knownValid` stored patterns are known to hold only valid measurements (the classifier
// checked them when it stored them), so that their validity flags need not be read again; the
// results are the same for any value from 0 up to the true count.
void findNearestNeighbors(const tqClassifierDataProviderMemory& data, const tqPatternDistanceMetric* metric,
                          const tqFeaturePattern& query, long k, std::vector<long>& indices,
                          std::vector<double>& distances, long knownValid = 0);

}  // namespace tq_knn

#endif
