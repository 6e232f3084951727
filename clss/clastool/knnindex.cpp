#include "clss/clastool/knnindex.h"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <utility>

#include "clss/clastool/knnfloat.h"
#include "clss/clastool/knnsearch.h"
#include "clss/clastool/knnstore.h"
#include "clss/clastool/provider.h"
#include "platform/attention.h"
#include "platform/exception.h"

#if defined(__x86_64__) && defined(__GNUC__)
#define CLASTOOL_KNN_CODES 1
#define CLASTOOL_KNN_CODES_TARGET "avx2,fma"
#include <immintrin.h>
#endif

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
// a_j > hi_j, else 0, over a box [lo, hi] of floats (exact as doubles) that holds the node's rows:
// the root's is their extremes rounded outward; every other node's is decoded from 8-bit codes
// within its parent's box, by operations each rounded once (the same floats at build and at
// search), and the build picks each code by that very decoding so that the box holds the rows.
// For a row b in the box the scan's
// |fl(a_j - b_j)| is at least g_j, as rounding is monotone and b_j lies in [lo_j, hi_j]. The proof
// of the skip test bounds the cheap terms of a row only from above by the exact powers of its
// differences (c_j <= x_j^q (1 + u)^m + tiny), and the gap terms obey the same bound for every row
// of the box, whatever the order of addition. So every row of a pruned node is strictly farther
// than T >= T* and not needed. A row farther than T when examined is dropped for the same reason;
// every other row gets the exact sum and root of the scan (normPowerSum, normRoot) and is kept as
// a candidate while its distance is <= T. For orders 1, 2 and 3 (the cheap order the order
// itself) the list is a DeferredList instead: such a row is kept with its cheap sum, T is bounded
// by the cheap sums' upper bounds, and only the rows that no k others prove farther by the end
// get the exact sum and root (knnsearch.cpp, step (8) of the proof).
//
// What needs finite values. The proof of the skip test requires that no difference is NaN, and
// NaN distances enter the scan's list in front of everything, which no bound follows. So the tree
// holds only rows of finite values, and a query (or a row after the indexed ones) with a value
// that is not finite takes the scan. Finite values can still overflow to an infinite difference,
// sum or distance; the skip test's proof covers that, and an infinite T gives no bound (NaN).
//
// The leaves' float pass. Where the processor has AVX2 and FMA, each leaf also holds its rows as
// 8-bit codes: measurement j of a row decodes to bf_j = fma(c_j, s_j, lo_j) in float (the code
// c_j, the leaf's step s_j and lower corner lo_j; a fused operation is rounded once, so every
// decoding of a code gives the same float, at build and at search, up to flushing tiny results
// to zero, below 2^-126), and the build measures e = max |b_j - bf_j| over the leaf, stored as
// e (1 + 2^-50) + 2^-110 (covering the rounding of that difference and any flushing). The float
// bound pass of the scan (step (6) of the proof in knnsearch.cpp) needs of its float rows only
// that |b_j - bf_j| <= eB and that no bf_j nor b_j exceeds 2^64 in magnitude; the decoded rows
// are such float rows with eB the stored bound, so a row whose float sum reaches that pass's
// threshold is strictly farther than T, as above. A leaf with a value above 2^64 in magnitude
// gets no codes (NaN bound) and is read through the double rows only.
//
// Blocks skipped whole. A leaf's rows lie in blocks of 32, and the record holds per block and
// measurement the smallest and largest code of its rows, cL_j and cH_j. With the list full, the
// search decodes them as it decodes a row's codes, Lf_j = fma(cL_j, s_j, lo_j) and Hf_j =
// fma(cH_j, s_j, lo_j), and forms the block's float sum G of the terms of order Q of
// gf_j = max(fl(Lf_j - xf_j), fl(xf_j - Hf_j), 0), xf the float query, with the very term
// function of the rows' float sums (floatTerm) and the same order of addition over j, from 0. A
// block whose G reaches the float pass's threshold Ft is skipped, its codes unread. Sound, because
// G is at most the float sum F of every row of the block, whose F then reaches Ft too and which
// the float pass would skip (step (6) of knnsearch.cpp's proof: strictly farther than T):
// - the decoding is one rounding of c s_j + lo_j with s_j >= 0, a non-decreasing function of the
//   code (flushing a tiny result to zero is non-decreasing too, and build and search decode alike
//   within one pass), so a row's decoded value bf_j lies in [Lf_j, Hf_j];
// - the row's term takes dj = fl(xf_j - bf_j). If xf_j < Lf_j, then xf_j - bf_j <= xf_j - Lf_j
//   < 0, and rounding is monotone and symmetric, so |dj| >= |fl(xf_j - Lf_j)| = fl(Lf_j - xf_j)
//   = gf_j; likewise above Hf_j; otherwise gf_j = 0 <= |dj| (the max of the two differences is
//   then not positive, and the max with 0 makes it +0);
// - each term function is a non-decreasing function of |d| and of the sum it adds to, with every
//   operation rounded once (|d|, then an addition; fma(d, d, acc); fma(fl(d d), |d|, acc)), so
//   by induction over j, added in the same order, every partial sum of G is at most the row's.
// Overflow to infinity keeps these inequalities, and no value is NaN in a coded leaf (all within
// 2^64). A leaf entered with the list not yet full is summed whole, with no block bound tested.
//
// The table of leaves. Where the float pass can be taken and the root's box lies within 2^64 in
// magnitude (so every leaf's box does), the index also keeps every leaf's box as the descent
// decodes it, and per group of eight consecutive leaves the box that holds their boxes (the
// smallest lower and the largest upper corners, exact). After the query's first leaf, the search
// forms for every group, and then for every leaf of a group not left out, the float sum G of the
// terms of order Q of gf_j = max(fl(L_j - xf_j), fl(xf_j - H_j), 0) over the box [L, H], and
// leaves out what reaches the float pass's threshold computed with no row error (eB = 0). Sound:
// with p_j the float xf_j clamped into [L_j, H_j], fl(xf_j - p_j) is 0 or -+gf_j (rounding is
// symmetric), so G is the float pass's sum for the float row p, which has no decoding error; for
// a row b of the box |xf_j - b_j| >= |xf_j - p_j| (p_j is the point of the side nearest xf_j), so
// |a_j - b_j| >= |xf_j - p_j| - |a_j - xf_j|, and Minkowski's inequality gives |a - b|_q >= Z -
// d^(1/q) eA for Z the q-norm of xf - p, which is all that step (6) of knnsearch.cpp's proof uses
// (there with eB = 0): every row of the box is strictly farther than T. A group's box holds its
// leaves' boxes, so each of its gaps is at most the leaf's (rounding is monotone) and, the terms
// and additions being monotone and taken in the same order, its G is at most each leaf's: a
// group left out holds only leaves that would be. The leaves left are read bucket by bucket,
// bucket floor(G x B / t) for the threshold t of the pass (B buckets, each step rounded once: a
// non-decreasing function of G, so every G of a later bucket is above every G of an earlier one),
// within a bucket in table order. The bound only falls, and the threshold with it, so once one
// reaches the threshold of its turn, every leaf of a later bucket does.

namespace tq_knn {
// The index's table of leaves (knnindex.h); no leaves: none, the search descends the tree.
struct LeafTable {
    const float* groups = nullptr;
    const float* pass = nullptr;
    const float* boxes = nullptr;
    const std::uint32_t* begins = nullptr;
    long leaves = 0;
};

namespace {

constexpr long kMaxIndexedMeasurements = 1L << 20;
// Automatic rule: the tree is built from this many rows and up to this many measurements; the
// cost model below then decides. With leaves of 512 the tree answers 1,000 queries at 1,024 x 8
// 1.35 to 1.4 times as fast as the scan, at 2,048 to 9,000 x 8 about 1.5 times, at 20,000 x 8
// 1.8 times, at 100,000 x 8 about 4 times, at 1,000,000 x 8 about 16 times as fast, and at
// 2,048 x 2 and x 4 1.35 to 1.4 times (docs/performance.md, "Exact index"). Below 2,048 rows no
// index is built: a tree of two leaves gains least, and the scan over reordered rows replays
// stored order.
constexpr long kMinAutomaticRows = 2048;
constexpr long kMaxAutomaticMeasurements = 8;
constexpr long kProbeQueries = 16;
constexpr long kProbeK = 5;
constexpr long kCodePass = 32;                // rows summed together: four vectors of eight floats
constexpr long kMaxCodedMeasurements = 256;   // the float pass's proof assumes at most this many
constexpr double kCodeSteps = 255.0;
// Cost model, in nanoseconds, fitted to batches of 1,000 queries on the machine of
// docs/performance.md by least relative squares: per query, per measurement of a row the tree's
// probe examines and per node it visits (leaves of 512 rows, thirteen sizes from 16,384 x 8 to
// 1,000,000 x 8, d from 2 to 16); per query, per row and per measurement the scan reads with its
// float bound pass (fitted before, from 2,000 x 8 to 1,000,000 x 8 and 100,000 x 16). They take
// the tree at every size measured from 2,048 rows, the faster side there, and the scan at
// 100,000 x 16, where the tree takes 1.1 to 1.3 times as long.
constexpr double kTreeQueryCost = 2170.0;
constexpr double kTreeValueCost = 0.044;
constexpr double kTreeNodeCost = 100.0;
constexpr double kScanQueryCost = 5570.0;
constexpr double kScanRowCost = 0.194;
constexpr double kScanValueCost = 0.0296;

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

// Node boxes are kept as 8-bit codes within the parent's box: per measurement a step of 1/255 of
// the parent's side, the lower corner fma(c, step, lo) and the upper one fma(-c, step, hi), each
// rounded once, so that every decoding of a code gives the same float at build and at search, and
// code 0 gives the parent's corner itself. A step that is not a normal float (a side of zero or
// beyond the float range) is taken as 0: the child then keeps the parent's side.
float boxStep(float lo, float hi) {
    const float step = (hi - lo) * (1.0f / 255.0f);
    return step >= 0x1p-100f && step <= FLT_MAX ? step : 0.0f;
}

// The boxes of a node's two children (4 x dims floats: the first child's lower and upper corners,
// then the second's) from the node's box `parent` and its children's codes (in the same order),
// measurements from `from` on.
void decodeChildren(const float* parent, const std::uint8_t* codes, long dims, float* children, long from = 0) {
    for (long j = from; j < dims; ++j) {
        const float lo = parent[j], hi = parent[dims + j], step = boxStep(lo, hi);
        for (long c = 0; c < 2; ++c) {
            children[2 * c * dims + j] = std::fmaf(static_cast<float>(codes[2 * c * dims + j]), step, lo);
            children[(2 * c + 1) * dims + j] = std::fmaf(-static_cast<float>(codes[(2 * c + 1) * dims + j]), step, hi);
        }
    }
}

// Calls f(node, begin, end, box) for every leaf of the tree over rows [begin, end), left to
// right, with the leaf's box as the search decodes it.
template <class F>
void forEachLeaf(const std::uint8_t* codes, long dims, long node, long begin, long end, const float* box, F f) {
    if (end - begin <= RowIndex::kLeafRows) {
        f(node, begin, end, box);
        return;
    }
    std::vector<float> children(static_cast<std::size_t>(4 * dims));
    decodeChildren(box, codes + static_cast<std::size_t>(node) * 4 * static_cast<std::size_t>(dims), dims,
                   children.data());
    const long mid = begin + (end - begin) / 2;
    forEachLeaf(codes, dims, 2 * node + 1, begin, mid, children.data(), f);
    forEachLeaf(codes, dims, 2 * node + 2, mid, end, children.data() + 2 * dims, f);
}

// Every leaf of a tree over more than kLeafRows rows holds at least half as many (a node split
// holds more), so the first rows of two leaves lie at least this far apart, in different slots of
// kSlotRows rows. A leaf's record (its error bound, its steps, then its codes) starts at a place
// found from its first row and slot alone, with no table of leaves to look up (a lookup would be
// one more cache miss before the record can be read), and is one sequential read.
constexpr long kSlotRows = RowIndex::kLeafRows / 2;
// The codes of a leaf's rows are read in blocks of 32, up to 31 beyond its last row.
constexpr long kCodePadding = kCodePass - 1;

// A leaf's rows are ordered into blocks of kCodePass rows (the last one may hold fewer), each
// with its smallest and largest code per measurement.
constexpr long kLeafBlocks = RowIndex::kLeafRows / kCodePass;
static_assert(kLeafBlocks % 8 == 0, "the block bounds fill whole vectors of eight floats");

// Where in a record the blocks' codes start: after the error bound and the steps, at a multiple
// of 8 bytes. Measurement by measurement, the kLeafBlocks blocks' smallest codes, then their
// largest codes.
std::size_t blockCodesAt(long dims) { return (sizeof(double) + static_cast<std::size_t>(dims) * sizeof(float) + 7) / 8 * 8; }

// The bytes of a record before its rows' codes: the error bound, the steps and the blocks' codes.
std::size_t recordHead(long dims) {
    return blockCodesAt(dims) + 2 * static_cast<std::size_t>(kLeafBlocks) * static_cast<std::size_t>(dims);
}

// Where the record of the leaf from row `begin` starts: a multiple of 8 bytes, and far enough
// from every other leaf's (each slot adds a head and 8 bytes more than the rounding can take).
std::size_t recordAt(long begin, long dims) {
    const std::size_t slot = static_cast<std::size_t>(begin / kSlotRows);
    return (static_cast<std::size_t>(begin) * static_cast<std::size_t>(dims) + 7) / 8 * 8 + slot * (recordHead(dims) + 8);
}

// The node boxes of an index: the root's, and the children's codes of every inner node.
struct NodeBoxes {
    const float* root = nullptr;
    const std::uint8_t* codes = nullptr;
    long levels = 0;
};

// The leaves' records of an index (knnindex.h); null: none.
struct LeafCodes {
    const std::uint8_t* records = nullptr;
};

#ifdef CLASTOOL_KNN_CODES
// Step j of a leaf's record (floats stored at a multiple of 4 bytes), broadcast.
[[gnu::target(CLASTOOL_KNN_CODES_TARGET), gnu::always_inline]] inline __m256 stepAt(const std::uint8_t* steps, long j) {
    float step;
    std::memcpy(&step, steps + j * static_cast<long>(sizeof(float)), sizeof step);
    return _mm256_set1_ps(step);
}

// Eight codes from `codes` decoded to fma(code, step, low) in float: a row's values and a
// block's corners alike.
[[gnu::target(CLASTOOL_KNN_CODES_TARGET), gnu::always_inline]] inline __m256 decodeEight(const std::uint8_t* codes,
                                                                                         __m256 step, __m256 low) {
    const __m128i c = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(codes));
    return _mm256_fmadd_ps(_mm256_cvtepi32_ps(_mm256_cvtepu8_epi32(c)), step, low);
}

// The float sums of order Q of a leaf's decoded rows [start, start + kCodePass) into each + start
// (query x; `codes` the leaf's, block by block, each block's measurement by measurement, as
// many codes apart as the block has rows: kCodePass but in the last block).
template <int Q>
[[gnu::target(CLASTOOL_KNN_CODES_TARGET), gnu::always_inline]] inline void codeSums(
    const float* x, const std::uint8_t* codes, long size, const float* lo, const std::uint8_t* steps, long dims, long start,
    float* each) {
    const long stride = std::min(kCodePass, size - start);
    codes += start * dims;
    __m256 sums[4];
    for (int v = 0; v < 4; ++v) sums[v] = _mm256_setzero_ps();
    for (long j = 0; j < dims; ++j) {
        const __m256 value = _mm256_set1_ps(x[j]);
        const __m256 low = _mm256_set1_ps(lo[j]), step = stepAt(steps, j);
        const std::uint8_t* column = codes + j * stride;
        for (int v = 0; v < 4; ++v)
            sums[v] = floatTerm<Q>(_mm256_sub_ps(value, decodeEight(column + 8 * v, step, low)), sums[v]);
    }
    for (int v = 0; v < 4; ++v) _mm256_store_ps(each + start + 8 * v, sums[v]);
}

// Per block of a leaf, the float sum of order Q of the gaps from x to the block's corners, each
// corner decoded as codeSums decodes a row and the terms added in codeSums' order, so that it is
// at most the float sum of every row of the block (see the proof above): kLeafBlocks floats
// into bounds.
template <int Q>
[[gnu::target(CLASTOOL_KNN_CODES_TARGET), gnu::always_inline]] inline void blockBounds(
    const float* x, const std::uint8_t* blocks, const float* lo, const std::uint8_t* steps, long dims, float* bounds) {
    constexpr int kVectors = kLeafBlocks / 8;
    const __m256 zero = _mm256_setzero_ps();
    __m256 sums[kVectors];
    for (int v = 0; v < kVectors; ++v) sums[v] = zero;
    for (long j = 0; j < dims; ++j) {
        const __m256 value = _mm256_set1_ps(x[j]);
        const __m256 low = _mm256_set1_ps(lo[j]), step = stepAt(steps, j);
        const std::uint8_t* codes = blocks + 2 * kLeafBlocks * j;
        for (int v = 0; v < kVectors; ++v) {
            const __m256 smallest = decodeEight(codes + 8 * v, step, low),
                         largest = decodeEight(codes + kLeafBlocks + 8 * v, step, low);
            const __m256 gap = _mm256_max_ps(_mm256_sub_ps(smallest, value), _mm256_sub_ps(value, largest));
            sums[v] = floatTerm<Q>(_mm256_max_ps(gap, zero), sums[v]);
        }
    }
    for (int v = 0; v < kVectors; ++v) _mm256_storeu_ps(bounds + 8 * v, sums[v]);
}

// Asks memory for stored row i and its stored number, whose exact test and offer come next: the
// rows a leaf's float pass leaves open are few and far apart, each a miss, and asked together
// their misses overlap.
inline void prefetchRow(const PackedRows& packed, long i, long dims) {
    const char* row = reinterpret_cast<const char*>(packed.row(i));
    _mm_prefetch(row, _MM_HINT_T0);
    _mm_prefetch(row + (dims * static_cast<long>(sizeof(double)) - 1), _MM_HINT_T0);
    if (i < packed.reordered())
        _mm_prefetch(reinterpret_cast<const char*>(packed.storedNumbers() + i), _MM_HINT_T0);
}

// The lines of a record still to be asked of memory, a few at a time. Asked all at once, a whole
// record filled the queue of misses, and the prefetches waited for room in it (perf: a third of
// the candidate loop on the instruction after them); a few lines per block of the leaf being read
// overlap their misses with its arithmetic.
class Drip {
public:
    // Asks what is left of the record before, then holds the lines of [from, to).
    void set(const char* from, const char* to) {
        all();
        at_ = reinterpret_cast<const char*>(reinterpret_cast<std::uintptr_t>(from) & ~std::uintptr_t{63});
        end_ = to;
    }
    void ask(long lines) {
        for (; lines > 0 && at_ < end_; --lines, at_ += 64) _mm_prefetch(at_, _MM_HINT_T0);
    }
    void all() { ask(std::numeric_limits<long>::max()); }

    // Lines asked per block of 32 rows read (3 measured best: 2, 4, 5 and 8 were 2 to 4 % slower).
    static constexpr long kPerBlock = 3;

private:
    const char* at_ = nullptr;
    const char* end_ = nullptr;
};

// Into nearest[0, room), the positions of `room` of the `size` sums in `each` (aligned to 32
// bytes) that no sum left out is below (ties any way). For a few, one pass keeping them in a
// sorted run, eight sums at a time against its last: most sums fail that comparison, where
// selecting among all positions costs several passes.
[[gnu::target(CLASTOOL_KNN_CODES_TARGET), gnu::always_inline]] inline void smallestFirst(const float* each,
                                                                                         long size, long room,
                                                                                         long* nearest) {
    constexpr long kFew = 16;
    if (room > kFew) {
        for (long t = 0; t < size; ++t) nearest[t] = t;
        std::nth_element(nearest, nearest + room - 1, nearest + size,
                         [&](long x, long y) { return each[x] < each[y]; });
        return;
    }
    long count = 0;
    const auto offer = [&](long t) {
        if (count == room && !(each[t] < each[nearest[room - 1]])) return;
        long at = count < room ? count++ : room - 1;
        for (; at > 0 && each[t] < each[nearest[at - 1]]; --at) nearest[at] = nearest[at - 1];
        nearest[at] = t;
    };
    long t = 0;
    for (; t < size && (count < room || t % 8 != 0); ++t) offer(t);
    // The run's last only falls, so a sum not below it at the start of eight is not below it later.
    for (; t + 8 <= size; t += 8)
        for (unsigned below = static_cast<unsigned>(_mm256_movemask_ps(_mm256_cmp_ps(
                 _mm256_load_ps(each + t), _mm256_set1_ps(each[nearest[room - 1]]), _CMP_LT_OQ)));
             below != 0; below &= below - 1u)
            offer(t + __builtin_ctz(below));
    for (; t < size; ++t) offer(t);
}

// Row position `at` (measurements b) offered to a list with room: with its exact distance, or
// with its cheap sum alone to a list that computes distances at the end.
template <int Q>
inline void offerUntested(ReplayList& list, long at, const double* a, const double* b, long dims, double p) {
    const double sum = normPowerSum(a, b, dims, p);
    list.offer(at, normRoot(sum, p), sum);
}
template <int Q>
inline void offerUntested(DeferredList& list, long at, const double* a, const double* b, long dims, double) {
    list.offerCheap(at, cheapSum<Q>(a, b, dims));
}

// The same unless the row's cheap sum reaches the list's bound.
template <int Q>
inline void offerTested(ReplayList& list, long at, const double* a, const double* b, long dims, double p) {
    if (!cheapSumReaches<Q>(a, b, dims, list.bound())) offerUntested<Q>(list, at, a, b, dims, p);
}
template <int Q>
inline void offerTested(DeferredList& list, long at, const double* a, const double* b, long dims, double) {
    const double sum = cheapSum<Q>(a, b, dims);
    if (!(sum >= list.bound())) list.offerCheap(at, sum);
}

// The rows [begin, end) of one leaf: the float sums of order Q of the decoded rows, 32 rows per
// pass, against the threshold of the leaf's entry; the rows whose sum is below it are left open
// and their stored rows asked of memory at once, so that their misses overlap each other and the
// rest of the pass. Then the open rows in order: against the threshold of their turn, the double
// cheap test and, if not skipped, the list (offerTested). A list not yet full (the first leaf, as
// a rule) is first offered the rows nearest by float sum, as many as it takes, so that the others
// meet a tight bound instead of entering the list. With the list full, a block of 32 rows whose
// bound reaches the threshold is skipped unread. Each block's turn asks a few more lines of the
// record in `drip` (a later leaf's), the rest before the open rows.
template <int Q, class List>
[[gnu::target(CLASTOOL_KNN_CODES_TARGET)]] void offerCodedLeaf(
    List& list, FloatValues& query, const FloatScale& margins, const std::uint8_t* blocks,
    const std::uint8_t* codes, const float* lo, const std::uint8_t* steps, double error, long begin, long end,
    const double* a, const PackedRows& packed, long dims, double p, Drip& drip) {
    const long size = end - begin;
    alignas(32) float each[kLeafBlocks * kCodePass];
    unsigned taken[kLeafBlocks] = {};
    const bool summed = !list.full();
    if (summed) {
        for (long start = 0; start < size; start += kCodePass)
            codeSums<Q>(query.values(), codes, size, lo, steps, dims, start, each);
        long nearest[RowIndex::kLeafRows];
        const long room = std::min(size, list.room());
        smallestFirst(each, size, room, nearest);
        for (long t = 0; t < room; ++t) prefetchRow(packed, begin + nearest[t], dims);
        for (long t = 0; t < room; ++t) {
            offerUntested<Q>(list, begin + nearest[t], a, packed.row(begin + nearest[t]), dims, p);
            taken[nearest[t] / kCodePass] |= 1u << (nearest[t] % kCodePass);
        }
    }
    float threshold = query.threshold<Q>(list.bound(), error, margins);
    alignas(32) float bounds[kLeafBlocks];
    unsigned open[kLeafBlocks] = {};
    if (!summed) blockBounds<Q>(query.values(), blocks, lo, steps, dims, bounds);
    for (long start = 0, block = 0; start < size; start += kCodePass, ++block) {
        drip.ask(Drip::kPerBlock);
        if (!summed) {
            if (bounds[block] >= threshold) continue;
            codeSums<Q>(query.values(), codes, size, lo, steps, dims, start, each);
        }
        const long left = std::min(size - start, kCodePass);
        const unsigned rows = (left >= kCodePass ? ~0u : (1u << left) - 1u) & ~taken[block];
        const __m256 t = _mm256_set1_ps(threshold);
        unsigned skipped = 0;
        for (int v = 0; v < 4; ++v)
            skipped |= static_cast<unsigned>(_mm256_movemask_ps(_mm256_cmp_ps(_mm256_load_ps(each + start + 8 * v), t,
                                                                                _CMP_GE_OQ)))
                       << (8 * v);
        open[block] = rows & ~skipped;
        for (unsigned ahead = open[block]; ahead != 0; ahead &= ahead - 1u)
            prefetchRow(packed, begin + start + __builtin_ctz(ahead), dims);
    }
    drip.all();
    // The rows left open, their stored rows asked for above, against the bound of their turn.
    for (long start = 0, block = 0; start < size; start += kCodePass, ++block)
        for (unsigned rows = open[block]; rows != 0; rows &= rows - 1u) {
            const long t = start + __builtin_ctz(rows);
            if (each[t] >= threshold) continue;
            const double before = list.bound();
            offerTested<Q>(list, begin + t, a, packed.row(begin + t), dims, p);
            if (!sameValue(list.bound(), before))
                threshold = query.threshold<Q>(list.bound(), error, margins);
        }
}

// Measurement j's gaps from x to eight boxes stored as eightGapSums reads them.
[[gnu::target(CLASTOOL_KNN_CODES_TARGET), gnu::always_inline]] inline __m256 eightGaps(const float* x,
                                                                                       const float* corners,
                                                                                       long j) {
    const __m256 value = _mm256_set1_ps(x[j]);
    return _mm256_max_ps(_mm256_max_ps(_mm256_sub_ps(_mm256_loadu_ps(corners + 16 * j), value),
                                       _mm256_sub_ps(value, _mm256_loadu_ps(corners + 16 * j + 8))),
                         _mm256_setzero_ps());
}

// The float sums of order Q of the gaps from x (the float query) to eight boxes stored
// measurement by measurement, eight lower corners then eight upper ones: per box the float pass's
// sum of the clamp of x into the box (see the proof above), in two chains, the even and the odd
// measurements, to halve the wait on the additions (the float pass may add in any order; groups
// and leaves are summed alike).
template <int Q>
[[gnu::target(CLASTOOL_KNN_CODES_TARGET), gnu::always_inline]] inline __m256 eightGapSums(
    const float* x, const float* corners, long dims) {
    __m256 even = _mm256_setzero_ps(), odd = even;
    long j = 0;
    for (; j + 2 <= dims; j += 2) {
        even = floatTerm<Q>(eightGaps(x, corners, j), even);
        odd = floatTerm<Q>(eightGaps(x, corners, j + 1), odd);
    }
    if (j < dims) even = floatTerm<Q>(eightGaps(x, corners, j), even);
    return _mm256_add_ps(even, odd);
}

// Which of eight sums are below `threshold` (all where it is NaN), of the first `valid`.
[[gnu::target(CLASTOOL_KNN_CODES_TARGET), gnu::always_inline]] inline unsigned below(__m256 sums,
                                                                                     __m256 threshold,
                                                                                     long valid) {
    unsigned open =
        ~static_cast<unsigned>(_mm256_movemask_ps(_mm256_cmp_ps(sums, threshold, _CMP_GE_OQ))) & 0xffu;
    return valid < 8 ? open & ((1u << valid) - 1u) : open;
}

// The leaves of the table whose float gap sum from x is below `threshold` (every leaf where it is
// NaN): per leaf a key, its sum's bits above its number, into keys; returns how many. The groups
// of eight leaves are tested first, by the boxes that hold their leaves' boxes, and the leaves of
// a group only where its sum is below the threshold: a box's sum is at most that of every box
// within it, so no leaf below the threshold is left out.
template <int Q>
[[gnu::target(CLASTOOL_KNN_CODES_TARGET)]] long leafCandidates(const float* x, const LeafTable& table,
                                                               long dims, float threshold,
                                                               std::uint64_t* keys) {
    const __m256 limit = _mm256_set1_ps(threshold);
    const long groups = (table.leaves + 7) / 8;
    long count = 0;
    for (long firstGroup = 0; firstGroup < groups; firstGroup += 8) {
        unsigned openGroups = below(eightGapSums<Q>(x, table.groups + firstGroup / 8 * 16 * dims, dims),
                                    limit, groups - firstGroup);
        while (openGroups != 0) {
            const long group = firstGroup + __builtin_ctz(openGroups);
            openGroups &= openGroups - 1u;
            const __m256 sums = eightGapSums<Q>(x, table.pass + group * 16 * dims, dims);
            unsigned open = below(sums, limit, table.leaves - 8 * group);
            if (open == 0) continue;
            alignas(32) float each[8];
            _mm256_store_ps(each, sums);
            while (open != 0) {
                const int r = __builtin_ctz(open);
                open &= open - 1u;
                std::uint32_t bits;
                std::memcpy(&bits, each + r, sizeof bits);
                keys[count++] =
                    static_cast<std::uint64_t>(bits) << 32 | static_cast<std::uint64_t>(8 * group + r);
            }
        }
    }
    return count;
}

// The table's candidates in buckets of their float sums: bucket floor(G x kCount / limit) for
// sums G below `limit`, a non-decreasing function of G (each step rounded once), so that every
// sum of a later bucket is above every sum of an earlier one. Within a bucket the candidates
// keep their order. A limit that is not finite (NaN: no bound yet) puts all in bucket 0.
class Buckets {
public:
    static constexpr long kCount = 128;

    explicit Buckets(float limit) : scale_(limit <= FLT_MAX ? static_cast<float>(kCount) / limit : 0.0f) {}

    static float sumOf(std::uint64_t key) {
        const std::uint32_t bits = static_cast<std::uint32_t>(key >> 32);
        float sum;
        std::memcpy(&sum, &bits, sizeof sum);
        return sum;
    }

    long of(float sum) const {
        return scale_ > 0.0f ? static_cast<long>(std::min(sum * scale_, static_cast<float>(kCount - 1))) : 0;
    }

    // keys[0, count) into `into`, bucket by bucket (a counting sort over kCount + 1 counts).
    void order(const std::uint64_t* keys, long count, std::uint32_t* counts, std::uint64_t* into) const {
        std::fill(counts, counts + kCount + 1, 0u);
        for (long c = 0; c < count; ++c) ++counts[of(sumOf(keys[c])) + 1];
        for (long b = 1; b <= kCount; ++b) counts[b] += counts[b - 1];
        for (long c = 0; c < count; ++c) into[counts[of(sumOf(keys[c]))]++] = keys[c];
    }

private:
    float scale_;
};

// decodeChildren with eight measurements per instruction: the same operations, the same floats.
[[gnu::target(CLASTOOL_KNN_CODES_TARGET)]] void decodeChildrenWide(const float* parent, const std::uint8_t* codes,
                                                                    long dims, float* children) {
    long j = 0;
    const __m256 fraction = _mm256_set1_ps(1.0f / 255.0f), smallest = _mm256_set1_ps(0x1p-100f),
                 largest = _mm256_set1_ps(FLT_MAX);
    for (; j + 8 <= dims; j += 8) {
        const __m256 lo = _mm256_loadu_ps(parent + j), hi = _mm256_loadu_ps(parent + dims + j);
        __m256 step = _mm256_mul_ps(_mm256_sub_ps(hi, lo), fraction);
        step = _mm256_and_ps(step, _mm256_and_ps(_mm256_cmp_ps(step, smallest, _CMP_GE_OQ),
                                                 _mm256_cmp_ps(step, largest, _CMP_LE_OQ)));
        for (long corner = 0; corner < 4; ++corner) {
            const __m256 code = _mm256_cvtepi32_ps(
                _mm256_cvtepu8_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(codes + corner * dims + j))));
            _mm256_storeu_ps(children + corner * dims + j,
                             corner % 2 ? _mm256_fnmadd_ps(code, step, hi) : _mm256_fmadd_ps(code, step, lo));
        }
    }
    decodeChildren(parent, codes, dims, children, j);
}

// The cheap sums of the gaps from a to the boxes of two sibling nodes (stored one after the
// other: lower and upper corners of the first, then of the second), four measurements per
// instruction. The same gaps and terms as gapTerm below, added in another order (see the proof).
template <int Q>
[[gnu::target(CLASTOOL_KNN_CODES_TARGET)]] void siblingSumsWide(const double* a, const float* boxes, long dims,
                                                                 double* sums) {
    const float* lo[2] = {boxes, boxes + 2 * dims};
    __m256d acc[2] = {_mm256_setzero_pd(), _mm256_setzero_pd()};
    const __m256d zero = _mm256_setzero_pd();
    long j = 0;
    for (; j + 4 <= dims; j += 4) {
        const __m256d x = _mm256_loadu_pd(a + j);
        for (int c = 0; c < 2; ++c) {
            const __m256d low = _mm256_cvtps_pd(_mm_loadu_ps(lo[c] + j));
            const __m256d high = _mm256_cvtps_pd(_mm_loadu_ps(lo[c] + dims + j));
            const __m256d g = _mm256_add_pd(_mm256_max_pd(_mm256_sub_pd(low, x), zero),
                                            _mm256_max_pd(_mm256_sub_pd(x, high), zero));
            __m256d t = g;
            if constexpr (Q >= 2) t = _mm256_mul_pd(g, g);
            if constexpr (Q == 3) t = _mm256_mul_pd(t, g);
            acc[c] = _mm256_add_pd(acc[c], t);
        }
    }
    for (int c = 0; c < 2; ++c) {
        alignas(32) double part[4];
        _mm256_store_pd(part, acc[c]);
        double rest = 0.0;
        for (long t = j; t < dims; ++t)
            rest += cheapTerm<Q>(std::max(static_cast<double>(lo[c][t]) - a[t], 0.0) +
                                 std::max(a[t] - static_cast<double>(lo[c][dims + t]), 0.0));
        sums[c] = ((part[0] + part[1]) + (part[2] + part[3])) + rest;
    }
}
#endif

// The k nearest of one query over the tree, each leaf one run of consecutive rows.
template <int Q, class List>
class TreeSearch {
public:
    TreeSearch(const PackedRows& packed, const NodeBoxes& boxes, const LeafCodes& codes,
               const LeafTable& table, long dims, double p)
        : packed_(packed),
          boxes_(boxes),
          codes_(codes),
          table_(table),
          dims_(dims),
          p_(p),
          skip_(Q, p, dims),
          queryFloats_(static_cast<std::size_t>(dims)),
          query_(queryFloats_.data(), dims),
          margins_(Q, dims),
          wide_(wideSearch()),
          children_(static_cast<std::size_t>(boxes.levels + 1) * 4 * static_cast<std::size_t>(dims)),
          keys_(static_cast<std::size_t>(table.leaves)),
          byBucket_(static_cast<std::size_t>(table.leaves)) {}
    TreeSearch(const TreeSearch&) = delete;  // query_ holds queryFloats_' address
    TreeSearch& operator=(const TreeSearch&) = delete;

    long examined = 0;
    long nodes = 0;

    void setQuery(const double* a) {
        if (codes_.records || table_.leaves > 0) query_.set(a);
    }

    // The search of the query last set over row positions [0, indexed), `first` the first row of
    // the leaf firstLeaf found: through the table of leaves where it may be taken, else from the
    // root down.
    void search(List& list, const double* a, long indexed, long first) {
#ifdef CLASTOOL_KNN_CODES
        if (table_.leaves > 0 && query_.usable()) {
            const std::uint32_t* begins = table_.begins;
            const long leaf =
                std::upper_bound(begins, begins + table_.leaves, static_cast<std::uint32_t>(first)) - begins -
                1;
            searchTable(list, a, leaf);
            return;
        }
#endif
        visit(list, a, 0, 0, indexed, boxes_.root, 0);
    }

    // Node `node` at depth `level` over row positions [begin, end), its box already found not to
    // be pruned.
    void visit(List& list, const double* a, long node, long begin, long end, const float* box, long level) {
        if (end - begin <= RowIndex::kLeafRows) {
            offerLeaf(list, a, begin, end, box);
            return;
        }
        ++nodes;
        const long mid = begin + (end - begin) / 2;
        const long left = 2 * node + 1, right = left + 1;
        const float* children = decode(node, box, level);
        const float* leftBox = children;
        const float* rightBox = children + 2 * dims_;
        double to[2];
        siblingSums(a, children, to);
        const double toLeft = to[0], toRight = to[1];
        if (toLeft <= toRight) {
            if (!(toLeft >= list.bound())) visit(list, a, left, begin, mid, leftBox, level + 1);
            if (!(toRight >= list.bound())) visit(list, a, right, mid, end, rightBox, level + 1);
        } else {
            if (!(toRight >= list.bound())) visit(list, a, right, mid, end, rightBox, level + 1);
            if (!(toLeft >= list.bound())) visit(list, a, left, begin, mid, leftBox, level + 1);
        }
    }

    // The first row of the leaf the search of `a` reaches first (the nearer box at every level).
    long firstLeaf(const double* a, long indexed) {
        long node = 0, begin = 0, end = indexed, level = 0;
        const float* box = boxes_.root;
        while (end - begin > RowIndex::kLeafRows) {
            const long mid = begin + (end - begin) / 2;
            const float* children = decode(node, box, level++);
            double to[2];
            siblingSums(a, children, to);
            if (to[0] <= to[1]) {
                node = 2 * node + 1;
                end = mid;
                box = children;
            } else {
                node = 2 * node + 2;
                begin = mid;
                box = children + 2 * dims_;
            }
        }
        return begin;
    }

    const SkipBound& skip() const { return skip_; }

private:
    // The rows [begin, end) of a leaf whose box is `box`, not pruned.
    void offerLeaf(List& list, const double* a, long begin, long end, const float* box) {
        ++nodes;
        examined += end - begin;
#ifdef CLASTOOL_KNN_CODES
        if (codes_.records && query_.usable()) {
            const std::uint8_t* record = codes_.records + recordAt(begin, dims_);
            double error;
            std::memcpy(&error, record, sizeof error);
            if (error == error) {
                offerCodedLeaf<Q, List>(list, query_, margins_, record + blockCodesAt(dims_),
                                        record + recordHead(dims_), box, record + sizeof error, error, begin,
                                        end, a, packed_, dims_, p_, drip_);
                return;
            }
        }
#endif
        if (list.full())
            offerRows(Q, list, begin, end, a, packed_, dims_, p_);
        else
            offerNearestFirst(list, a, begin, end);
    }

#ifdef CLASTOOL_KNN_CODES
    // The search through the table of leaves: leaf `first` read first; then one pass over every
    // leaf's box against the bound it leaves gives the candidates, which are read in ascending
    // order of their float gap sums, each tested again against the threshold of the list's bound
    // of its turn, with the records of the next ones asked of memory ahead. A leaf is left out
    // only when a lower bound of its rows reaches the bound then. (The double gap sum of the
    // box, tested as well before, left out no leaf the float sum had let through: 0.0 per query
    // at 1,000,000 x 8.)
    void searchTable(List& list, const double* a, long first) {
        const long boxFloats = 2 * dims_;
        const std::uint32_t* begins = table_.begins;
        offerLeaf(list, a, begins[first], begins[first + 1], table_.boxes + first * boxFloats);
        const float limit = query_.threshold<Q>(list.bound(), 0.0, margins_);
        const long count = leafCandidates<Q>(query_.values(), table_, dims_, limit, keys_.data());
        const Buckets buckets(limit);
        buckets.order(keys_.data(), count, counts_, byBucket_.data());

        // The bucket of the first candidate left out by its float sum: the later buckets' sums
        // are above its, so all of them would be too.
        long failed = Buckets::kCount;
        for (long c = 0; c < count; ++c) {
            if (codes_.records && c + kAhead < count) {
                const long ahead =
                    static_cast<long>(byBucket_[static_cast<std::size_t>(c + kAhead)] & 0xffffffffu);
                const char* record =
                    reinterpret_cast<const char*>(codes_.records + recordAt(begins[ahead], dims_));
                const std::size_t bytes = recordHead(dims_) + (begins[ahead + 1] - begins[ahead]) * dims_;
                drip_.set(record, record + bytes);
                // Its box, whose lower corner decodes the record: the records read in between
                // evict it.
                const char* box = reinterpret_cast<const char*>(table_.boxes + ahead * boxFloats);
                _mm_prefetch(box, _MM_HINT_T0);
                _mm_prefetch(box + (dims_ * static_cast<long>(sizeof(float)) - 1), _MM_HINT_T0);
            }
            const std::uint64_t key = byBucket_[static_cast<std::size_t>(c)];
            const long leaf = static_cast<long>(key & 0xffffffffu);
            if (leaf == first) continue;
            const float sum = Buckets::sumOf(key);
            const long bucket = buckets.of(sum);
            if (bucket > failed) break;
            // The bound only falls, and the threshold with it.
            if (sum >= query_.threshold<Q>(list.bound(), 0.0, margins_)) {
                failed = bucket;
                continue;
            }
            offerLeaf(list, a, begins[leaf], begins[leaf + 1], table_.boxes + leaf * boxFloats);
        }
    }

    // How many candidates ahead their records are asked for, dripped while the leaves before
    // them are read (2 slower than 3, 4 alike; asked whole, 1 to 8 had measured alike and the
    // heads alone gained less).
    static constexpr long kAhead = 3;
#endif

    // The boxes of the children of inner node `node` at depth `level`, whose box is `box`.
    const float* decode(long node, const float* box, long level) {
        float* children = children_.data() + static_cast<std::size_t>(level) * 4 * static_cast<std::size_t>(dims_);
        const std::uint8_t* codes = boxes_.codes + static_cast<std::size_t>(node) * 4 * static_cast<std::size_t>(dims_);
#ifdef CLASTOOL_KNN_CODES
        if (wide_) {
            decodeChildrenWide(box, codes, dims_, children);
            return children;
        }
#endif
        decodeChildren(box, codes, dims_, children);
        return children;
    }

    // A leaf reached before the list is full (the first one, as a rule): its rows nearest by
    // cheap sum offered first, so that the list fills with the nearest of them and the others
    // meet a tight bound, mostly failing the cheap test.
    void offerNearestFirst(List& list, const double* a, long begin, long end) {
        std::pair<double, long> byCheap[RowIndex::kLeafRows];
        const long size = end - begin;
        for (long t = 0; t < size; ++t) {
            const double* b = packed_.row(begin + t);
            double sum = 0.0;
            for (long j = 0; j < dims_; ++j) sum += cheapTerm<Q>(a[j] - b[j]);
            byCheap[t] = {sum, begin + t};
        }
        // The list is not full, so room >= 1: the nearest `room` go first, in any order, and the
        // rest meet the bound they leave.
        const long room = std::min(size, list.room());
        std::nth_element(byCheap, byCheap + room - 1, byCheap + size);
        for (long t = 0; t < size; ++t) {
            const long i = byCheap[t].second;
            offerTested<Q>(list, i, a, packed_.row(i), dims_, p_);
        }
    }

    // The cheap sums of the gaps of two sibling boxes (decode's layout).
    void siblingSums(const double* a, const float* boxes, double* sums) const {
#ifdef CLASTOOL_KNN_CODES
        if (wide_) {
            siblingSumsWide<Q>(a, boxes, dims_, sums);
            return;
        }
#endif
        sums[0] = boxSum(a, boxes);
        sums[1] = boxSum(a, boxes + 2 * dims_);
    }

    double boxSum(const double* a, const float* lo) const {
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
    NodeBoxes boxes_;
    LeafCodes codes_;
    LeafTable table_;
    long dims_;
    double p_;
    SkipBound skip_;
    std::vector<float> queryFloats_;
    FloatValues query_;  // the query for the coded leaves, in queryFloats_
    FloatScale margins_;
    bool wide_;
    std::vector<float> children_;  // per depth, the decoded boxes of the children of the node visited
    std::vector<std::uint64_t> keys_;      // the table's candidates
    std::vector<std::uint64_t> byBucket_;  // the same, bucket by bucket
    std::uint32_t counts_[Buckets::kCount + 1];
#ifdef CLASTOOL_KNN_CODES
    Drip drip_;
#endif
};

struct Counts {
    long examined = 0;
    long nodes = 0;
};

// The list of one query's search.
template <class List>
List listOf(long capacity, const PackedRows& packed, const SkipBound& skip, const double* query, long dims,
            double p);
template <>
ReplayList listOf<ReplayList>(long capacity, const PackedRows& packed, const SkipBound& skip, const double*,
                              long, double) {
    return ReplayList(capacity, packed, skip, false);
}
template <>
DeferredList listOf<DeferredList>(long capacity, const PackedRows& packed, const SkipBound& skip,
                                  const double* query, long dims, double p) {
    return DeferredList(capacity, packed, skip, query, dims, p);
}

template <int Q, class List>
Counts searchTree(const PackedRows& packed, const NodeBoxes& boxes, const LeafCodes& codes,
                  const LeafTable& table, long indexed, long n, double p, const double* const* queries,
                  long count, long dims, long k, std::vector<long>* indices, std::vector<double>* distances) {
    TreeSearch<Q, List> search(packed, boxes, codes, table, dims, p);
    // Queries in the order of the leaves they reach first: neighbouring queries read mostly the
    // same leaves, which are then still in the cache. Each is answered on its own, in any order.
    std::vector<std::pair<long, long>> byLeaf(static_cast<std::size_t>(count));
    for (long q = 0; q < count; ++q) byLeaf[static_cast<std::size_t>(q)] = {search.firstLeaf(queries[q], indexed), q};
    std::sort(byLeaf.begin(), byLeaf.end());
    List list = listOf<List>(std::min(k, n), packed, search.skip(), nullptr, dims, p);  // restarted per query
    for (const auto& leafQuery : byLeaf) {
        const long q = leafQuery.second;
        const long status = tfAttentionCheck();
        if (status != 0) tfThrowExceptionOnFailure(status);
        list.restart(queries[q]);
        search.setQuery(queries[q]);
        search.search(list, queries[q], indexed, leafQuery.first);
        offerRows(Q, list, indexed, n, queries[q], packed, dims, p);
        list.finish(indices[q], distances[q]);
    }
    return {search.examined, search.nodes};
}

Counts searchByOrder(int q, const PackedRows& packed, const NodeBoxes& boxes, const LeafCodes& codes,
                     const LeafTable& table, long indexed, long n, double p, const double* const* queries,
                     long count, long dims, long k, std::vector<long>* indices,
                     std::vector<double>* distances) {
    // Orders 1, 2 and 3 leave the exact distances to the end (DeferredList); the others convert
    // their cheap sums to another order, which gives no upper bound.
    const bool deferred = static_cast<double>(q) == p;
    if (q == 1)
        return deferred ? searchTree<1, DeferredList>(packed, boxes, codes, table, indexed, n, p, queries,
                                                      count, dims, k, indices, distances)
                        : searchTree<1, ReplayList>(packed, boxes, codes, table, indexed, n, p, queries,
                                                    count, dims, k, indices, distances);
    if (q == 2)
        return deferred ? searchTree<2, DeferredList>(packed, boxes, codes, table, indexed, n, p, queries,
                                                      count, dims, k, indices, distances)
                        : searchTree<2, ReplayList>(packed, boxes, codes, table, indexed, n, p, queries,
                                                    count, dims, k, indices, distances);
    return deferred ? searchTree<3, DeferredList>(packed, boxes, codes, table, indexed, n, p, queries, count,
                                                  dims, k, indices, distances)
                    : searchTree<3, ReplayList>(packed, boxes, codes, table, indexed, n, p, queries, count,
                                                dims, k, indices, distances);
}

}  // namespace

IndexChoice indexChoice() {
    const char* choice = std::getenv("CLASTOOL_KNN_INDEX");
    if (choice && std::strcmp(choice, "scan") == 0) return IndexChoice::scan;
    if (choice && std::strcmp(choice, "tree") == 0) return IndexChoice::tree;
    return IndexChoice::automatic;
}

RowIndex::RowIndex(long rows, long dims) : rows_(rows), dims_(dims) {}

namespace {

// The smallest and largest values per measurement of the rows order[begin, end).
void extremes(const PackedRows& packed, const std::vector<std::uint32_t>& order, long begin, long end,
              std::vector<double>& lo, std::vector<double>& hi) {
    const long dims = packed.dimension();
    const double* first = packed.row(order[static_cast<std::size_t>(begin)]);
    lo.assign(first, first + dims);
    hi = lo;
    for (long t = begin + 1; t < end; ++t) {
        const double* b = packed.row(order[static_cast<std::size_t>(t)]);
        for (long j = 0; j < dims; ++j) {
            lo[static_cast<std::size_t>(j)] = std::min(lo[static_cast<std::size_t>(j)], b[j]);
            hi[static_cast<std::size_t>(j)] = std::max(hi[static_cast<std::size_t>(j)], b[j]);
        }
    }
}

// The measurement of the widest side of the box [lo, hi] (extents computed in halves, so they
// stay finite).
long widestSide(const std::vector<double>& lo, const std::vector<double>& hi) {
    long axis = 0;
    double widest = -1.0;
    for (std::size_t j = 0; j < lo.size(); ++j) {
        const double extent = hi[j] / 2 - lo[j] / 2;
        if (extent > widest) {
            widest = extent;
            axis = static_cast<long>(j);
        }
    }
    return axis;
}

// The rows order[begin, end) split at mid by their value of measurement `axis`.
void splitAt(const PackedRows& packed, std::vector<std::uint32_t>& order, long begin, long mid, long end, long axis) {
    std::nth_element(order.begin() + begin, order.begin() + mid, order.begin() + end,
                     [&](std::uint32_t x, std::uint32_t y) { return packed.row(x)[axis] < packed.row(y)[axis]; });
}

// The rows order[begin, end) of a leaf (begin its first) ordered into blocks of kCodePass rows
// that are close together: the leaf is halved further along its widest side, each part a whole
// number of blocks but the last.
void orderBlocks(const PackedRows& packed, std::vector<std::uint32_t>& order, long begin, long end) {
    if (end - begin <= kCodePass) return;
    const long mid = begin + ((end - begin) / 2 + kCodePass - 1) / kCodePass * kCodePass;
    std::vector<double> lo, hi;
    extremes(packed, order, begin, end, lo, hi);
    splitAt(packed, order, begin, mid, end, widestSide(lo, hi));
    orderBlocks(packed, order, begin, mid);
    orderBlocks(packed, order, mid, end);
}

}  // namespace

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
    const std::size_t inner = (std::size_t{1} << levels(count)) - 1;
    index->boxCodes_.resize(inner * 4 * static_cast<std::size_t>(dims));
    std::vector<double> lo, hi;
    extremes(rows, order, 0, count, lo, hi);
    index->root_.resize(static_cast<std::size_t>(2 * dims));
    for (long j = 0; j < dims; ++j) {
        index->root_[static_cast<std::size_t>(j)] = floatBelow(lo[static_cast<std::size_t>(j)]);
        index->root_[static_cast<std::size_t>(dims + j)] = floatAbove(hi[static_cast<std::size_t>(j)]);
    }
    index->build_(rows, order, 0, 0, count, lo, hi, index->root_.data());
    rows.reorder(order);
    index->buildCodes_(rows);
    index->buildLeafTable_();
    index->probe_(rows);
    return index;
}

void RowIndex::build_(const PackedRows& packed, std::vector<std::uint32_t>& order, long node, long begin,
                      long end, const std::vector<double>& lo, const std::vector<double>& hi, const float* box) {
    if (end - begin <= kLeafRows) {
        orderBlocks(packed, order, begin, end);
        return;
    }
    // Split the widest side at the median row.
    const long mid = begin + (end - begin) / 2;
    splitAt(packed, order, begin, mid, end, widestSide(lo, hi));
    // The children's codes: per corner the largest code whose decoding still holds the child's
    // rows (code 0 decodes to the parent's corner, which holds them), found by the search's own
    // decoding, so that the search's boxes hold the rows whatever the rounding.
    std::vector<double> childLo[2], childHi[2];
    extremes(packed, order, begin, mid, childLo[0], childHi[0]);
    extremes(packed, order, mid, end, childLo[1], childHi[1]);
    std::uint8_t* codes = boxCodes_.data() + static_cast<std::size_t>(node) * 4 * static_cast<std::size_t>(dims_);
    for (long j = 0; j < dims_; ++j) {
        const std::size_t at = static_cast<std::size_t>(j);
        const float low = box[j], high = box[dims_ + j], step = boxStep(low, high);
        for (long c = 0; c < 2; ++c) {
            const auto code = [&](double gap) {
                const double steps = step > 0.0f ? std::floor(gap / step) : 0.0;
                return static_cast<int>(std::min(std::max(steps, 0.0), 255.0));
            };
            int down = code(childLo[c][at] - low), up = code(high - childHi[c][at]);
            while (down > 0 && static_cast<double>(std::fmaf(static_cast<float>(down), step, low)) > childLo[c][at])
                --down;
            while (up > 0 && static_cast<double>(std::fmaf(-static_cast<float>(up), step, high)) < childHi[c][at]) --up;
            codes[2 * c * dims_ + j] = static_cast<std::uint8_t>(down);
            codes[(2 * c + 1) * dims_ + j] = static_cast<std::uint8_t>(up);
        }
    }
    std::vector<float> children(static_cast<std::size_t>(4 * dims_));
    decodeChildren(box, codes, dims_, children.data());
    build_(packed, order, 2 * node + 1, begin, mid, childLo[0], childHi[0], children.data());
    build_(packed, order, 2 * node + 2, mid, end, childLo[1], childHi[1], children.data() + 2 * dims_);
}

// Whether `more` bytes beside what the index holds already (its boxes, records and the stored
// number of every reordered row) stay within the memory allowed to it, 0.5 x n x d x 8 bytes.
bool RowIndex::fits_(std::size_t more) const {
    const std::size_t bytes = boxCodes_.size() + root_.size() * sizeof(float) +
                              static_cast<std::size_t>(rows_) * 4 + records_.size() + more;
    return static_cast<double>(bytes) <= 0.5 * static_cast<double>(rows_) * static_cast<double>(dims_) * 8.0;
}

// Codes for every leaf, where the float pass can be taken and they fit in the memory allowed to
// the index (at most 0.5 x n x d x 8 bytes with the boxes and the stored numbers).
void RowIndex::buildCodes_(const PackedRows& packed) {
    if (!wideSearch() || dims_ > kMaxCodedMeasurements) return;
    const std::size_t records = recordAt(rows_, dims_) + recordHead(dims_) + kCodePadding;
    if (!fits_(records)) return;
    records_.assign(records, 0);
    forEachLeaf(boxCodes_.data(), dims_, 0, 0, rows_, root_.data(),
                [&](long, long begin, long end, const float* box) { codeLeaf_(packed, box, begin, end); });
}

// Steps of 1/255 of the leaf's box per measurement, codes rounded to the nearest step, and
// the largest distance of a decoded value from its row's value (see the proof above).
void RowIndex::codeLeaf_(const PackedRows& packed, const float* box, long begin, long end) {
    std::uint8_t* record = records_.data() + recordAt(begin, dims_);
    const float* lo = box;
    const float* hi = lo + dims_;
    std::vector<float> scale(static_cast<std::size_t>(dims_));
    std::uint8_t* codes = record + recordHead(dims_);
    bool bounded = true;
    for (long j = 0; j < dims_; ++j) {
        bounded = bounded && std::fabs(lo[j]) <= kFloatLimit && std::fabs(hi[j]) <= kFloatLimit;
        const float step = bounded ? floatAbove((static_cast<double>(hi[j]) - lo[j]) / kCodeSteps) : 0.0f;
        scale[static_cast<std::size_t>(j)] = step >= 0x1p-100f ? step : 0.0f;  // no subnormal step: flushing it would move codes far
    }
    double error = 0.0;
    for (long t = 0; t < end - begin; ++t) {
        const double* b = packed.row(begin + t);
        for (long j = 0; j < dims_; ++j) {
            const float step = scale[static_cast<std::size_t>(j)];
            const double steps = step > 0.0f ? std::nearbyint((b[j] - lo[j]) / step) : 0.0;
            const std::uint8_t code = static_cast<std::uint8_t>(std::min(std::max(steps, 0.0), kCodeSteps));
            const float decoded = std::fmaf(static_cast<float>(code), step, lo[j]);
            bounded = bounded && std::fabs(b[j]) <= kFloatLimit && std::fabs(decoded) <= kFloatLimit;
            error = std::max(error, std::fabs(b[j] - static_cast<double>(decoded)));
            const long start = t / kCodePass * kCodePass;
            codes[start * dims_ + j * std::min(kCodePass, end - begin - start) + t - start] = code;
        }
    }
    // Per block and measurement the smallest and largest code of its rows (a block past the
    // leaf's last row keeps zeros and is never read).
    std::uint8_t* blocks = record + blockCodesAt(dims_);
    for (long start = 0, block = 0; start < end - begin; start += kCodePass, ++block) {
        const long rows = std::min(kCodePass, end - begin - start);
        for (long j = 0; j < dims_; ++j) {
            const std::uint8_t* column = codes + start * dims_ + j * rows;
            const auto range = std::minmax_element(column, column + rows);
            blocks[2 * kLeafBlocks * j + block] = *range.first;
            blocks[2 * kLeafBlocks * j + kLeafBlocks + block] = *range.second;
        }
    }
    const double bound = bounded ? error * (1.0 + 0x1p-50) + 0x1p-110 : std::numeric_limits<double>::quiet_NaN();
    std::memcpy(record, &bound, sizeof bound);
    std::memcpy(record + sizeof bound, scale.data(), scale.size() * sizeof(float));
}

// The table of leaves, where the float pass can be taken, the tree has more than one leaf and
// the root's box lies within the float pass's range (so every leaf's box does), and it fits in the
// memory allowed to the index with the rest.
void RowIndex::buildLeafTable_() {
    if (!wideSearch() || dims_ > kMaxCodedMeasurements || levels(rows_) == 0) return;
    for (const float corner : root_)
        if (!(std::fabs(corner) <= kFloatLimit)) return;
    const std::size_t d = static_cast<std::size_t>(dims_);
    std::vector<std::uint32_t> begins;
    std::vector<float> boxes;
    forEachLeaf(boxCodes_.data(), dims_, 0, 0, rows_, root_.data(),
                [&](long, long begin, long, const float* box) {
                    begins.push_back(static_cast<std::uint32_t>(begin));
                    boxes.insert(boxes.end(), box, box + 2 * d);
                });
    const std::size_t leaves = begins.size(), groups = (leaves + 7) / 8;
    if (!fits_((leaves + 1) * sizeof(std::uint32_t) +
               (leaves + groups * 8 + (groups + 7) / 8 * 8) * 2 * d * sizeof(float)))
        return;
    begins.push_back(static_cast<std::uint32_t>(rows_));
    leafPass_.resize(groups * 16 * d);
    for (std::size_t leaf = 0; leaf < groups * 8; ++leaf) {
        const float* box = boxes.data() + std::min(leaf, leaves - 1) * 2 * d;
        float* group = leafPass_.data() + leaf / 8 * 16 * d + leaf % 8;
        for (std::size_t j = 0; j < d; ++j) {
            group[16 * j] = box[j];
            group[16 * j + 8] = box[d + j];
        }
    }
    // Per group of eight leaves the box that holds theirs, in the same layout per eight groups.
    const std::size_t blocks = (groups + 7) / 8;
    leafGroups_.resize(blocks * 16 * d);
    for (std::size_t group = 0; group < blocks * 8; ++group) {
        const float* leavesOf = leafPass_.data() + std::min(group, groups - 1) * 16 * d;
        float* block = leafGroups_.data() + group / 8 * 16 * d + group % 8;
        for (std::size_t j = 0; j < d; ++j) {
            block[16 * j] = *std::min_element(leavesOf + 16 * j, leavesOf + 16 * j + 8);
            block[16 * j + 8] = *std::max_element(leavesOf + 16 * j + 8, leavesOf + 16 * j + 16);
        }
    }
    leafBoxes_ = std::move(boxes);
    leafBegins_ = std::move(begins);
}

LeafTable RowIndex::leafTable() const {
    LeafTable table;
    if (leafBegins_.empty()) return table;
    table.groups = leafGroups_.data();
    table.pass = leafPass_.data();
    table.boxes = leafBoxes_.data();
    table.begins = leafBegins_.data();
    table.leaves = static_cast<long>(leafBegins_.size()) - 1;
    return table;
}

// The cost model's figure: the average work of a few queries at stored rows spread over the data.
void RowIndex::probe_(const PackedRows& packed) {
    const long count = std::min(kProbeQueries, rows_);
    std::vector<const double*> queries;
    for (long q = 0; q < count; ++q) queries.push_back(packed.row(q * rows_ / count));
    std::vector<std::vector<long>> indices(static_cast<std::size_t>(count));
    std::vector<std::vector<double>> distances(static_cast<std::size_t>(count));
    LeafCodes codes;
    if (!records_.empty()) codes.records = records_.data();
    // Through the descent, whose counts the constants were fitted to: the table of leaves answers
    // the same queries a little faster at 8 measurements and about as fast at 16
    // (docs/performance.md, "Exact index").
    const Counts c =
        searchByOrder(2, packed, {root_.data(), boxCodes_.data(), levels(rows_)}, codes, LeafTable(), rows_,
                      rows_, 2.0, queries.data(), count, dims_, kProbeK, indices.data(), distances.data());
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
    return boxCodes_.capacity() + root_.capacity() * sizeof(float) + records_.capacity() +
           (leafBoxes_.capacity() + leafPass_.capacity() + leafGroups_.capacity()) * sizeof(float) +
           leafBegins_.capacity() * sizeof(std::uint32_t) + sizeof(*this);
}

bool RowIndex::pays(long n, long k) const {
    // More neighbours mean more rows within the k-th distance, roughly one leaf per neighbour.
    const double kScale = std::max(1.0, static_cast<double>(k + kLeafRows) / static_cast<double>(kProbeK + kLeafRows));
    // The rows after the indexed ones are scanned by the tree too.
    const auto scanned = [this](long rows) {
        return kScanRowCost * static_cast<double>(rows) + kScanValueCost * static_cast<double>(rows * dims_);
    };
    const double tree = probeCost_ * kScale + scanned(n - rows_);
    const double scan = kScanQueryCost + scanned(n);
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
    LeafCodes codes;
    if (!records_.empty()) codes.records = records_.data();
    searchByOrder(q, packed, {root_.data(), boxCodes_.data(), levels(rows_)}, codes, leafTable(), rows_, n, p,
                  queries, count, dims, k, indices, distances);
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
