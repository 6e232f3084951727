#include "clss/clastool/knnindex.h"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <utility>

#include "clss/clastool/knnsearch.h"
#include "clss/clastool/knnstore.h"
#include "clss/clastool/provider.h"
#include "platform/attention.h"
#include "platform/exception.h"

// Why the tree gives the scan's results, bit for bit
// ---------------------------------------------------
//
// Which rows may be left out. Let T* be the k-th smallest distance of all n stored rows (k here
// min(k, n)). The scan's list, restricted to its entries at distance <= T*, is at every step the
// list the same insertion rules build from the rows at distance <= T* alone, taken in stored
// order: such a row meets, in front of the entries farther than T*, the same entries in both lists
// and enters both (in the full list it may push out an entry farther than T*, never one at most
// T*, since the full list holds at most as many of those as the other), and a row farther than
// T* enters behind every entry at most T* and leaves them alone. Both lists end with k entries at
// distance <= T*. So the scan's result is the insertion rules applied, in stored order, to any set
// of rows that contains every row at distance <= T*; the tree collects such a set, replays the
// rules over it, and never needs to visit rows in stored order.
//
// Which rows the tree may skip. The search keeps the k nearest distances seen so far; their
// largest, T, is never below T*, and has a power sum S_k. The scan's skip test (its proof is in
// knnsearch.cpp) says that a row whose cheap sum reaches SkipBound(S_k) lies strictly farther
// than T, so it is not needed. A node is pruned when the cheap sum of its box gaps reaches the
// same bound, the gaps being g_j = fl(lo_j - a_j) when a_j < lo_j, fl(a_j - hi_j) when
// a_j > hi_j, else 0, over a box [lo, hi] that holds the node's rows (their extremes rounded
// outward to floats, lo_j and hi_j then exact as doubles). For a row b in the box the scan's
// |fl(a_j - b_j)| is at least g_j, as rounding is monotone and b_j lies in [lo_j, hi_j]. The proof
// of the skip test bounds the cheap terms of a row only from above by the exact powers of its
// differences (c_j <= x_j^q (1 + u)^m + tiny), and the gap terms obey the same bound for every row
// of the box, whatever the order of addition. So every row of a pruned node is strictly farther
// than T >= T* and not needed. A row farther than T when examined is dropped for the same reason;
// every other row gets the exact sum and root of the scan (normPowerSum, normRoot) and is kept as
// a candidate while its distance is <= T.
//
// What needs finite values. The proof of the skip test requires that no difference is NaN, and
// NaN distances enter the scan's list in front of everything, which no bound follows. So the tree
// holds only rows of finite values, and a query (or a row after the indexed ones) with a value
// that is not finite takes the scan. Finite values can still overflow to an infinite difference,
// sum or distance; the skip test's proof covers that, and an infinite T gives no bound (NaN).

namespace tq_knn {

namespace {

constexpr long kMaxIndexedMeasurements = 1L << 20;
// Automatic rule: the tree is built from this many rows and up to this many measurements. At
// 9,000 x 8 it answers 1,000 queries 1.45 times as fast as the scan, at 1,000,000 x 8 about 20
// times; at 10,000 and 100,000 x 16 it is 2 times slower (docs/performance.md, "Exact index").
constexpr long kMinAutomaticRows = 4096;
constexpr long kMaxAutomaticMeasurements = 8;
constexpr long kProbeQueries = 16;
constexpr long kProbeK = 5;
// Cost model, in nanoseconds, fitted to batches of 1,000 queries on the machine of
// docs/performance.md: per query, per measurement of a row the tree examines and per node it
// visits (leaves of 64 rows, queries in leaf order; n x d from 4,096 x 8 to 100,000 x 16); per
// query and per measurement of a row the scan reads.
constexpr double kTreeQueryCost = 2500.0;
constexpr double kTreeValueCost = 0.27;
constexpr double kTreeNodeCost = 48.0;
constexpr double kScanQueryCost = 8900.0;
constexpr double kScanValueCost = 0.148;

// The largest float at most x, and the smallest at least x (x finite): boxes in floats, rounded
// outward, still hold their rows, in half the memory and cache lines of doubles.
float floatBelow(double x) {
    if (x > FLT_MAX) return FLT_MAX;
    if (x < -FLT_MAX) return -std::numeric_limits<float>::infinity();
    const float f = static_cast<float>(x);
    return static_cast<double>(f) > x ? std::nextafter(f, -std::numeric_limits<float>::infinity()) : f;
}

float floatAbove(double x) {
    if (x > FLT_MAX) return std::numeric_limits<float>::infinity();
    if (x < -FLT_MAX) return -FLT_MAX;
    const float f = static_cast<float>(x);
    return static_cast<double>(f) < x ? std::nextafter(f, std::numeric_limits<float>::infinity()) : f;
}

long levels(long rows) {
    long depth = 0;
    for (long size = rows; size > RowIndex::kLeafRows; size = size - size / 2) ++depth;
    return depth;
}

template <int Q>
inline double cheapTerm(double diff) {
    const double x = std::fabs(diff);
    if constexpr (Q == 1) return x;
    if constexpr (Q == 2) return x * x;
    if constexpr (Q == 3) return x * x * x;
}

// The k nearest of one query over the tree, each leaf one run of consecutive rows.
template <int Q>
class TreeSearch {
public:
    TreeSearch(const PackedRows& packed, const float* boxes, long dims, double p)
        : packed_(packed), boxes_(boxes), dims_(dims), p_(p), skip_(Q, p, dims) {}

    long examined = 0;
    long nodes = 0;

    // Node `node` over row positions [begin, end), its box already found not to be pruned.
    void visit(ReplayList& list, const double* a, long node, long begin, long end) {
        ++nodes;
        if (end - begin <= RowIndex::kLeafRows) {
            examined += end - begin;
            offerRows(Q, list, begin, end, a, packed_, dims_, p_);
            return;
        }
        const long mid = begin + (end - begin) / 2;
        const long left = 2 * node + 1, right = left + 1;
        const double toLeft = boxSum(a, left), toRight = boxSum(a, right);
        if (toLeft <= toRight) {
            if (!(toLeft >= list.bound())) visit(list, a, left, begin, mid);
            if (!(toRight >= list.bound())) visit(list, a, right, mid, end);
        } else {
            if (!(toRight >= list.bound())) visit(list, a, right, mid, end);
            if (!(toLeft >= list.bound())) visit(list, a, left, begin, mid);
        }
    }

    // The first row of the leaf the search of `a` reaches first (the nearer box at every level).
    long firstLeaf(const double* a, long indexed) const {
        long node = 0, begin = 0, end = indexed;
        while (end - begin > RowIndex::kLeafRows) {
            const long mid = begin + (end - begin) / 2;
            if (boxSum(a, 2 * node + 1) <= boxSum(a, 2 * node + 2)) {
                node = 2 * node + 1;
                end = mid;
            } else {
                node = 2 * node + 2;
                begin = mid;
            }
        }
        return begin;
    }

    const SkipBound& skip() const { return skip_; }

private:
    double boxSum(const double* a, long node) const {
        const float* lo = boxes_ + static_cast<std::size_t>(node) * 2 * static_cast<std::size_t>(dims_);
        const float* hi = lo + dims_;
        // Four sums side by side (any order of addition keeps the bound; see the proof).
        double s[4] = {0.0, 0.0, 0.0, 0.0};
        long j = 0;
        for (; j + 4 <= dims_; j += 4)
            for (long r = 0; r < 4; ++r) s[r] += gapTerm(lo[j + r], hi[j + r], a[j + r]);
        for (; j < dims_; ++j) s[0] += gapTerm(lo[j], hi[j], a[j]);
        return (s[0] + s[1]) + (s[2] + s[3]);
    }

    static double gapTerm(float lo, float hi, double a) {
        // lo <= hi: at most one of the two is positive, and adding 0 changes no bit.
        return cheapTerm<Q>(std::max(static_cast<double>(lo) - a, 0.0) + std::max(a - static_cast<double>(hi), 0.0));
    }

    const PackedRows& packed_;
    const float* boxes_;
    long dims_;
    double p_;
    SkipBound skip_;
};

struct Counts {
    long examined = 0;
    long nodes = 0;
};

template <int Q>
Counts searchTree(const PackedRows& packed, const float* boxes, long indexed, long n, double p,
                  const double* const* queries, long count, long dims, long k, std::vector<long>* indices,
                  std::vector<double>* distances) {
    TreeSearch<Q> search(packed, boxes, dims, p);
    // Queries in the order of the leaves they reach first: neighbouring queries read mostly the
    // same leaves, which are then still in the cache. Each is answered on its own, in any order.
    std::vector<std::pair<long, long>> byLeaf(static_cast<std::size_t>(count));
    for (long q = 0; q < count; ++q) byLeaf[static_cast<std::size_t>(q)] = {search.firstLeaf(queries[q], indexed), q};
    std::sort(byLeaf.begin(), byLeaf.end());
    for (const auto& leafQuery : byLeaf) {
        const long q = leafQuery.second;
        const long status = tfAttentionCheck();
        if (status != 0) tfThrowExceptionOnFailure(status);
        ReplayList list(std::min(k, n), packed, search.skip(), false);
        search.visit(list, queries[q], 0, 0, indexed);
        offerRows(Q, list, indexed, n, queries[q], packed, dims, p);
        list.finish(indices[q], distances[q]);
    }
    return {search.examined, search.nodes};
}

Counts searchByOrder(int q, const PackedRows& packed, const float* boxes, long indexed, long n, double p,
                     const double* const* queries, long count, long dims, long k, std::vector<long>* indices,
                     std::vector<double>* distances) {
    if (q == 1) return searchTree<1>(packed, boxes, indexed, n, p, queries, count, dims, k, indices, distances);
    if (q == 2) return searchTree<2>(packed, boxes, indexed, n, p, queries, count, dims, k, indices, distances);
    return searchTree<3>(packed, boxes, indexed, n, p, queries, count, dims, k, indices, distances);
}

}  // namespace

IndexChoice indexChoice() {
    const char* choice = std::getenv("CLASTOOL_KNN_INDEX");
    if (choice && std::strcmp(choice, "scan") == 0) return IndexChoice::scan;
    if (choice && std::strcmp(choice, "tree") == 0) return IndexChoice::tree;
    return IndexChoice::automatic;
}

RowIndex::RowIndex(long rows, long dims) : rows_(rows), dims_(dims) {}

std::unique_ptr<const RowIndex> RowIndex::build(PackedRows& rows, long count) {
    const long dims = rows.dimension();
    count = std::min(count, rows.rows());
    if (dims < 2 || dims > kMaxIndexedMeasurements || count < 1 ||
        count > static_cast<long>(std::numeric_limits<std::uint32_t>::max()) || count < rows.reordered())
        return nullptr;
    for (long i = 0; i < count; ++i)
        if (!finiteValues(rows.row(i), dims)) return nullptr;
    std::unique_ptr<RowIndex> index(new RowIndex(count, dims));
    std::vector<std::uint32_t> order(static_cast<std::size_t>(count));
    for (long i = 0; i < count; ++i) order[static_cast<std::size_t>(i)] = static_cast<std::uint32_t>(i);
    const std::size_t nodes = (std::size_t{2} << levels(count)) - 1;
    index->boxes_.resize(nodes * 2 * static_cast<std::size_t>(dims));
    index->build_(rows, order, 0, 0, count);
    rows.reorder(order);
    index->probe_(rows);
    return index;
}

void RowIndex::build_(const PackedRows& packed, std::vector<std::uint32_t>& order, long node, long begin,
                      long end) {
    const double* first = packed.row(order[static_cast<std::size_t>(begin)]);
    std::vector<double> lo(first, first + dims_), hi(lo);
    for (long t = begin + 1; t < end; ++t) {
        const double* b = packed.row(order[static_cast<std::size_t>(t)]);
        for (long j = 0; j < dims_; ++j) {
            lo[static_cast<std::size_t>(j)] = std::min(lo[static_cast<std::size_t>(j)], b[j]);
            hi[static_cast<std::size_t>(j)] = std::max(hi[static_cast<std::size_t>(j)], b[j]);
        }
    }
    float* box = boxes_.data() + static_cast<std::size_t>(node) * 2 * static_cast<std::size_t>(dims_);
    for (long j = 0; j < dims_; ++j) {
        box[j] = floatBelow(lo[static_cast<std::size_t>(j)]);
        box[dims_ + j] = floatAbove(hi[static_cast<std::size_t>(j)]);
    }
    if (end - begin <= kLeafRows) return;
    // Split the widest side at the median row (extents computed in halves, so they stay finite).
    long axis = 0;
    double widest = -1.0;
    for (long j = 0; j < dims_; ++j) {
        const double extent = hi[static_cast<std::size_t>(j)] / 2 - lo[static_cast<std::size_t>(j)] / 2;
        if (extent > widest) {
            widest = extent;
            axis = j;
        }
    }
    const long mid = begin + (end - begin) / 2;
    std::nth_element(order.begin() + begin, order.begin() + mid, order.begin() + end,
                     [&](std::uint32_t x, std::uint32_t y) { return packed.row(x)[axis] < packed.row(y)[axis]; });
    build_(packed, order, 2 * node + 1, begin, mid);
    build_(packed, order, 2 * node + 2, mid, end);
}

// The cost model's figure: the average work of a few queries at stored rows spread over the data.
void RowIndex::probe_(const PackedRows& packed) {
    const long count = std::min(kProbeQueries, rows_);
    std::vector<const double*> queries;
    for (long q = 0; q < count; ++q) queries.push_back(packed.row(q * rows_ / count));
    std::vector<std::vector<long>> indices(static_cast<std::size_t>(count));
    std::vector<std::vector<double>> distances(static_cast<std::size_t>(count));
    const Counts c = searchByOrder(2, packed, boxes_.data(), rows_, rows_, 2.0, queries.data(), count, dims_, kProbeK,
                                   indices.data(), distances.data());
    const double work = kTreeValueCost * static_cast<double>(c.examined * dims_) +
                        kTreeNodeCost * static_cast<double>(c.nodes);
    probeCost_ = kTreeQueryCost + work / static_cast<double>(count);
}

bool RowIndex::worthBuilding(long rows, long dims) {
    switch (indexChoice()) {
        case IndexChoice::scan:
            return false;
        case IndexChoice::tree:
            return dims >= 2 && rows >= 1;
        case IndexChoice::automatic:
            break;
    }
    return dims >= 2 && dims <= kMaxAutomaticMeasurements && rows >= kMinAutomaticRows;
}

bool RowIndex::worthRebuilding(long indexed, long rows) { return rows - indexed > std::max(indexed / 8, kLeafRows); }

std::size_t RowIndex::bytes() const {
    return boxes_.capacity() * sizeof(float) + sizeof(*this);
}

bool RowIndex::pays(long n, long k) const {
    // More neighbours mean more rows within the k-th distance, roughly one leaf per neighbour.
    const double kScale = std::max(1.0, static_cast<double>(k + kLeafRows) / static_cast<double>(kProbeK + kLeafRows));
    const double tree = probeCost_ * kScale + kTreeValueCost * static_cast<double>((n - rows_) * dims_);
    const double scan = kScanQueryCost + kScanValueCost * static_cast<double>(n * dims_);
    return tree < scan;
}

bool RowIndex::search(const PackedRows& packed, long n, double p, const double* const* queries, long count, long dims,
                      long k, std::vector<long>* indices, std::vector<double>* distances) const {
    const int q = cheapOrder(p, dims);
    if (q == 0 || dims != dims_ || n < rows_ || packed.rows() < n || packed.dimension() != dims ||
        packed.reordered() != rows_)
        return false;
    for (long i = rows_; i < n; ++i)
        if (!finiteValues(packed.row(i), dims)) return false;
    for (long c = 0; c < count; ++c)
        if (!finiteValues(queries[c], dims)) return false;
    searchByOrder(q, packed, boxes_.data(), rows_, n, p, queries, count, dims, k, indices, distances);
    return true;
}

void findNearest(const PackedRows& rows, const RowIndex* index, const tqClassifierDataProviderMemory& data, double p,
                 const double* const* queries, long count, long dims, long k, std::vector<long>* indices,
                 std::vector<double>* distances) {
    const long n = data.numPatterns();
    const IndexChoice choice = indexChoice();
    if (index && k >= 1 && choice != IndexChoice::scan && (choice == IndexChoice::tree || index->pays(n, k)) &&
        index->search(rows, n, p, queries, count, dims, k, indices, distances))
        return;
    findNearestPacked(rows, data, p, queries, count, dims, k, indices, distances);
}

}  // namespace tq_knn
