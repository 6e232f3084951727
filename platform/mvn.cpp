// The multivariate-normal estimation kernel (see platform/mvn.h and docs/numerics.md).
#include "platform/mvn.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <type_traits>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

// The factorisation a log value needs, built from the estimate on first use and published
// through the state's atomic pointer. Immutable once published.
//
// The factorisation works in units: measurement i is divided by a power of two w_i near its
// standard deviation (or its floor), which is exact, so that covariances from 1e-300 to
// 1e300 factor alike and no pivot or floor is subnormal.
struct tqMVNFactor {
    long dim = 0;
    long kept = 0;       // measurements that carry information (see `keep`)
    double mean0 = 0.0;  // mean and 1 / (w_0 L_00) again, for the one-measurement path
    double invScale0 = 0.0;
    double logNorm = 0.0;            // -0.5 * (k log(2 pi) + log det(floored covariance))
    std::vector<double> mean;        // copy of the mean, so that one record touches one object
    std::vector<double> invUnit;     // 1 / w_i
    std::vector<double> scaled;      // Sigma_ij / (w_i w_j), lower triangle, row-major d x d
    std::vector<double> pivotFloor;  // (floor_i / w_i)^2
    std::vector<long> keep;          // the measurements factored, ascending
    std::vector<double> chol;        // Cholesky factor L over `keep`, lower triangle, row-major
    std::vector<double> invDiag;     // 1 / L_jj
};

namespace {

// Default floor of a state without floors of its own: tqMVNRelativeFloor times the
// measurement's own standard deviation, large enough that an exactly singular covariance (a
// perfectly correlated pair, fewer records than measurements) factors with pivots far above
// rounding noise.
// For a state alone whose measurement never varied there is no spread to be had: 16 ulps of
// its value (what double precision resolves there), and for a measurement that is 0
// throughout an absolute last resort.
constexpr double kResolution = 16.0 * std::numeric_limits<double>::epsilon();
constexpr double kAbsoluteFloor = 1e-150;
// Guard against overflow (tqMVNLogLimit): a quadratic form beyond the double range (a record
// some 1e150 floors from the mean) or a NaN handed to the kernel gives -1e300; sums of many
// such values stay finite.
constexpr double kLog2Pi = 1.8378770664093454835606594728112;  // ln(2 pi)

// Small buffers on the stack, larger ones on the heap (may throw std::bad_alloc).
template <class T, std::size_t N>
class Scratch {
public:
    explicit Scratch(std::size_t n) : p_(local_) {
        if (n > N) {
            heap_.reset(new T[n]);
            p_ = heap_.get();
        }
    }
    T* get() { return p_; }

private:
    T local_[N];
    std::unique_ptr<T[]> heap_;
    T* p_;
};

inline const double* elements(const tqMVNDoubleList& l) { return l.heap ? l.heap : l.local; }
inline const std::int32_t* elements(const tqMVNIntList& l) { return l.heap ? l.heap : l.local; }
inline const tqMVNRecord* elements(const tqMVNRecordList& l) { return l.heap ? l.heap : l.local; }
inline tqMVNRecord* elements(tqMVNRecordList& l) { return l.heap ? l.heap : l.local; }

void initDoubleList(tqMVNDoubleList& l) {
    l.size = 0;
    l.capacity = tqMVNInlineSize;
    l.heap = nullptr;
}
void initIntList(tqMVNIntList& l) {
    l.size = 0;
    l.capacity = tqMVNInlineSize;
    l.heap = nullptr;
}
void initRecord(tqMVNRecord& r) {
    initDoubleList(r.measurements);
    initIntList(r.invalid);
}
void freeRecord(tqMVNRecord& r) {
    if (r.measurements.heap) delete[] r.measurements.heap;
    if (r.invalid.heap) delete[] r.invalid.heap;
    initRecord(r);
}

// Moves src into the raw record dst; src is left empty.
template <class List>
void moveList(List& dst, List& src) {
    dst.size = src.size;
    dst.capacity = src.capacity;
    dst.heap = src.heap;
    if (!src.heap)
        std::memcpy(dst.local, src.local, sizeof(src.local[0]) * static_cast<std::size_t>(src.size));
    src.heap = nullptr;
    src.size = 0;
    src.capacity = tqMVNInlineSize;
}

template <class List, class T>
long growList(List* list, long size) {
    if (!list || size < 0) return tqMVNBadArgument;
    const long capacity = std::max(size, 2 * list->capacity);
    T* fresh = new (std::nothrow) T[static_cast<std::size_t>(capacity)];
    if (!fresh) return tqMVNOutOfMemory;
    const T* old = list->heap ? list->heap : list->local;
    std::copy(old, old + list->size, fresh);
    std::fill(fresh + list->size, fresh + size, T(0));
    delete[] list->heap;
    list->heap = fresh;
    list->capacity = capacity;
    list->size = size;
    return tqMVNSuccess;
}

// ---- State storage ------------------------------------------------------------------------

void setEmpty(tqMVNState& s) {
    s.dim = -1;
    s.count = 0;
    s.mean = s.unit = s.floor = s.scatter = s.covariance = nullptr;
    s.factor.store(nullptr, std::memory_order_relaxed);
}

// Changes need exclusive use of the state, so the plain load cannot race; it spares training
// a locked exchange per record while there is no factorisation to drop.
void dropFactor(tqMVNState& s) {
    if (s.factor.load(std::memory_order_relaxed)) delete s.factor.exchange(nullptr, std::memory_order_acq_rel);
}

// One block holds mean, unit and floor (d each), scatter and covariance (d*d each); null for
// d == 0.
inline std::size_t blockSize(long d) { return static_cast<std::size_t>(3 * d + 2 * d * d); }

double* allocateBlock(long d) {
    if (d == 0) return nullptr;
    return new (std::nothrow) double[blockSize(d)]();
}

void attachBlock(tqMVNState& s, long d, double* block) {
    s.dim = d;
    s.mean = block;
    s.unit = block ? block + d : nullptr;
    s.floor = block ? block + 2 * d : nullptr;
    s.scatter = block ? block + 3 * d : nullptr;
    s.covariance = block ? block + 3 * d + d * d : nullptr;
}

// A fresh block: no unit fixed, no floors set.
void attachFreshBlock(tqMVNState& s, long d, double* block) {
    attachBlock(s, d, block);
    if (block) std::fill(s.floor, s.floor + d, -1.0);
}

// A state that has not taken a record yet gets a fresh block of d measurements; false when the
// block cannot be had (the state is then as it was).
bool ensureBlock(tqMVNState& s, long d) {
    if (s.dim >= 0) return true;
    double* block = allocateBlock(d);
    if (d > 0 && !block) return false;
    attachFreshBlock(s, d, block);
    return true;
}

// The power of two nearest below x > 0 (finite); 0 for anything else.
inline double unitOf(double x) {
    if (!(x > 0.0) || !std::isfinite(x)) return 0.0;
    return std::ldexp(1.0, std::ilogb(x));
}

void freeStorage(tqMVNState& s) {
    dropFactor(s);
    delete[] s.mean;
    setEmpty(s);
}

// Copies the estimate of `src` into a new block; null (and *ok false) when memory fails.
double* copyBlock(const tqMVNState& src, bool* ok) {
    *ok = true;
    if (src.dim <= 0) return nullptr;
    double* block = allocateBlock(src.dim);
    if (!block) {
        *ok = false;
        return nullptr;
    }
    std::memcpy(block, src.mean, sizeof(double) * blockSize(src.dim));
    return block;
}

// ---- Factorisation ------------------------------------------------------------------------

// Factors the symmetric n x n matrix whose lower triangle is in `a` (row-major, stride n) in
// place into its Cholesky factor, raising a pivot below floor[j] (rounding, or a stored
// matrix that is not positive semi-definite) to floor[j]. Writes 1/L_jj to invDiag and
// returns the sum of log L_jj.
double cholesky(double* a, long n, const double* floor, double* invDiag) {
    // The log of the pivots' product, taking one logarithm per call rather than one per
    // pivot: the product is folded into the sum only before it could leave the range where
    // another factor (between 1e-150 and 1e154) is safe.
    double logDet = 0.0;
    double product = 1.0;
    for (long j = 0; j < n; ++j) {
        double* rowJ = a + j * n;
        double p = rowJ[j];
        for (long k = 0; k < j; ++k) p -= rowJ[k] * rowJ[k];
        if (!(p >= floor[j])) p = floor[j];
        const double l = std::sqrt(p);
        rowJ[j] = l;
        invDiag[j] = 1.0 / l;
        product *= l;
        if (!(product > 1e-100 && product < 1e100)) {
            logDet += std::log(product);
            product = 1.0;
        }
        for (long i = j + 1; i < n; ++i) {
            double* rowI = a + i * n;
            double v = rowI[j];
            for (long k = 0; k < j; ++k) v -= rowI[k] * rowJ[k];
            rowI[j] = v * invDiag[j];
        }
    }
    return logDet + std::log(product);
}

// The squared norm of L^-1 r (forward substitution, r overwritten).
double quadraticForm(const double* l, const double* invDiag, long n, double* r) {
    double q = 0.0;
    for (long j = 0; j < n; ++j) {
        const double* row = l + j * n;
        double v = r[j];
        for (long k = 0; k < j; ++k) v -= row[k] * r[k];
        v *= invDiag[j];
        r[j] = v;
        q += v * v;
    }
    return q;
}

// The floor of measurement i: the standard deviation below which no pivot of it may fall.
// 0 means the measurement carries no information (set to 0 and never varied): it is left out.
double floorOf(const tqMVNState& s, long i) {
    const double variance = s.covariance[i * s.dim + i];
    const double set = s.floor[i];
    if (set > 0.0) return set;
    if (set == 0.0 && !(variance > 0.0)) return 0.0;
    const double own = variance > 0.0 ? tqMVNRelativeFloor * std::sqrt(variance) : 0.0;
    return std::max({own, kResolution * std::fabs(s.mean[i]), kAbsoluteFloor});
}

tqMVNFactor* buildFactor(const tqMVNState& s) {
    const long d = s.dim;
    auto f = std::make_unique<tqMVNFactor>();
    f->dim = d;
    f->mean.assign(s.mean, s.mean + d);
    f->invUnit.resize(static_cast<std::size_t>(d));
    f->pivotFloor.resize(static_cast<std::size_t>(d));
    f->scaled.assign(static_cast<std::size_t>(d * d), 0.0);
    double logUnits = 0.0;
    for (long i = 0; i < d; ++i) {
        const double floor = floorOf(s, i);
        const double variance = s.covariance[i * d + i];
        double unit = unitOf(std::max(variance > 0.0 ? std::sqrt(variance) : 0.0, floor));
        if (unit == 0.0) unit = 1.0;
        f->invUnit[i] = 1.0 / unit;
        const double scaledFloor = floor * f->invUnit[i];
        f->pivotFloor[i] = scaledFloor * scaledFloor;
        if (floor > 0.0) {
            f->keep.push_back(i);
            logUnits += std::log(unit);
        }
    }
    for (long i = 0; i < d; ++i)
        for (long j = 0; j <= i; ++j)
            f->scaled[i * d + j] = s.covariance[i * d + j] * f->invUnit[i] * f->invUnit[j];
    const long k = f->kept = static_cast<long>(f->keep.size());
    f->chol.assign(static_cast<std::size_t>(k * k), 0.0);
    f->invDiag.resize(static_cast<std::size_t>(k));
    std::vector<double> floors(static_cast<std::size_t>(k));
    for (long a = 0; a < k; ++a) {
        const long i = f->keep[a];
        floors[a] = f->pivotFloor[i];
        for (long b = 0; b <= a; ++b) f->chol[a * k + b] = f->scaled[i * d + f->keep[b]];
    }
    const double logDet = k ? cholesky(f->chol.data(), k, floors.data(), f->invDiag.data()) : 0.0;
    f->logNorm = -0.5 * static_cast<double>(k) * kLog2Pi - (logDet + logUnits);
    if (d == 1 && k == 1) {
        f->mean0 = f->mean[0];
        f->invScale0 = f->invDiag[0] * f->invUnit[0];
    }
    return f.release();
}

// The one-measurement terms of a factorisation of dimension 1.
inline tqMVNTerms1 termsOf(const tqMVNFactor& f) { return {f.mean0, f.invScale0, f.logNorm, f.kept == 1}; }

// Returns the published factorisation, building and publishing it when there is none yet.
// Several threads may race here: each builds its own, one wins the exchange, and the others
// free theirs and use the winner's.
const tqMVNFactor* factorOf(const tqMVNState& s) {
    tqMVNFactor* f = s.factor.load(std::memory_order_acquire);
    if (f) return f;
    tqMVNFactor* mine = buildFactor(s);
    tqMVNFactor* expected = nullptr;
    if (s.factor.compare_exchange_strong(expected, mine, std::memory_order_acq_rel,
                                         std::memory_order_acquire))
        return mine;
    delete mine;
    return expected;
}

// The log density of the measurements listed in `valid` (k of them, ascending, all kept),
// from the sub-block of the scaled covariance.
double marginalLogValue(const tqMVNFactor& f, const double* x, const long* valid, long k) {
    const long d = f.dim;
    Scratch<double, 16 * 16 + 3 * 16> buffer(static_cast<std::size_t>(k * k + 3 * k));
    double* a = buffer.get();
    double* floor = a + k * k;
    double* invDiag = floor + k;
    double* r = invDiag + k;
    double logUnits = 0.0;
    for (long i = 0; i < k; ++i) {
        const long vi = valid[i];
        for (long j = 0; j <= i; ++j) a[i * k + j] = f.scaled[vi * d + valid[j]];
        floor[i] = f.pivotFloor[vi];
        r[i] = (x[vi] - f.mean[vi]) * f.invUnit[vi];
        logUnits -= std::log(f.invUnit[vi]);
    }
    const double logDet = cholesky(a, k, floor, invDiag) + logUnits;
    const double q = quadraticForm(a, invDiag, k, r);
    return (-0.5 * static_cast<double>(k) * kLog2Pi - logDet) - 0.5 * q;
}

long logValue(const tqMVNState& s, const tqMVNRecord& record, double* value) {
    const long d = s.dim;
    const double* x = elements(record.measurements);
    const long nInvalid = record.invalid.size;
    if (d == 0) {
        if (nInvalid != 0) return tqMVNBadArgument;  // any index is outside a record of length 0
        *value = 0.0;
        return tqMVNSuccess;
    }
    const tqMVNFactor& f = *factorOf(s);
    if (nInvalid == 0) {
        if (f.kept == 0) {
            *value = 0.0;
            return tqMVNSuccess;
        }
        if (d == 1) {
            // The common case of a single-measurement group.
            *value = tfMVNLogValue1(termsOf(f), x[0]);
            return tqMVNSuccess;
        }
        const long k = f.kept;
        Scratch<double, 64> r(static_cast<std::size_t>(k));
        for (long a = 0; a < k; ++a) {
            const long i = f.keep[a];
            r.get()[a] = (x[i] - f.mean[i]) * f.invUnit[i];
        }
        *value = tfMVNClampLog(f.logNorm - 0.5 * quadraticForm(f.chol.data(), f.invDiag.data(), k, r.get()));
        return tqMVNSuccess;
    }

    // Marginal density: mark the invalid measurements and those left out, rate the others.
    Scratch<long, 64> valid(static_cast<std::size_t>(d));
    long* v = valid.get();
    std::fill(v, v + d, 0L);
    for (long i : f.keep) v[i] = 1;
    const std::int32_t* bad = elements(record.invalid);
    for (long i = 0; i < nInvalid; ++i) {
        if (bad[i] < 0 || bad[i] >= d) return tqMVNBadArgument;
        v[bad[i]] = 0;
    }
    long k = 0;
    for (long i = 0; i < d; ++i)
        if (v[i]) v[k++] = i;
    if (k == 0) {
        *value = 0.0;
        return tqMVNSuccess;
    }
    *value = tfMVNClampLog(marginalLogValue(f, x, v, k));
    return tqMVNSuccess;
}

// One Welford step with the complete record x (already normalised); delta is scratch of 3d
// whose last d hold 1 / unit_i (1 while the unit is 0): set by inversesOf before the first
// step and kept by the steps, so that a record costs no division for them.
// The scatter is kept in units: entry (i, j) is the sum of outer products divided by
// unit_i unit_j, where unit_i is the power of two below measurement i's first non-zero
// deviation (until then row and column i are 0 and the unit is 0). Deviations are divided
// by their unit before they are multiplied, so the products stay near 1 whatever the scale
// of the data, and since the units are powers of two every value is the same as without
// them wherever that would neither overflow nor underflow.
void addRecord(tqMVNState& s, const double* x, double* delta) {
    const long d = s.dim;
    double* after = delta + d;
    double* inverse = after + d;
    if (s.count == 0) {
        // Start afresh rather than from whatever mean a rebuilt empty state carried.
        std::copy(x, x + d, s.mean);
        std::fill(s.scatter, s.scatter + d * d, 0.0);
        std::fill(s.unit, s.unit + d, 0.0);
        std::fill(inverse, inverse + d, 1.0);
        s.count = 1;
        return;
    }
    const double n = static_cast<double>(s.count) + 1.0;
    for (long i = 0; i < d; ++i) {
        const double deviation = x[i] - s.mean[i];
        s.mean[i] += deviation / n;
        if (s.unit[i] == 0.0) {
            s.unit[i] = unitOf(std::fabs(deviation));
            inverse[i] = s.unit[i] == 0.0 ? 1.0 : 1.0 / s.unit[i];
        }
        delta[i] = deviation * inverse[i];
        after[i] = (x[i] - s.mean[i]) * inverse[i];
    }
    // (x - old mean)(x - new mean)^T is the exact increment of the scatter; only the lower
    // triangle is kept, so the covariance comes out exactly symmetric.
    for (long i = 0; i < d; ++i) {
        double* row = s.scatter + i * d;
        for (long j = 0; j <= i; ++j) row[j] += delta[i] * after[j];
    }
    ++s.count;
}

// addRecord once the state has a record and every unit is fixed, step for step: no branch,
// and what it reads and writes declared apart, so that a compiler may pack the steps of
// several measurements into vector instructions (the same rounding lane by lane).
void addRecordAlike(tqMVNState& s, const double* __restrict x, double* __restrict delta) {
    const long d = s.dim;
    double* __restrict mean = s.mean;
    double* __restrict scatter = s.scatter;
    double* __restrict after = delta + d;
    const double* __restrict inverse = after + d;
    const double n = static_cast<double>(s.count) + 1.0;
    for (long i = 0; i < d; ++i) {
        const double deviation = x[i] - mean[i];
        mean[i] += deviation / n;
        delta[i] = deviation * inverse[i];
        after[i] = (x[i] - mean[i]) * inverse[i];
    }
    for (long i = 0; i < d; ++i) {
        double* __restrict row = scatter + i * d;
        const double own = delta[i];
        for (long j = 0; j <= i; ++j) row[j] += own * after[j];
    }
    ++s.count;
}

#if defined(__SSE2__)
// The lower triangle of a D x D matrix in pairs of entries, row by row: row i holds entries
// (i, 2q) and (i, 2q + 1) for q <= i / 2, the second of the last pair one past the diagonal
// where i is even (work that is never written back).
template <long D>
struct PairTriangle {
    long offset[D] = {};  // row i's first pair
    long size = 0;
    constexpr PairTriangle() {
        for (long i = 0; i < D; ++i) {
            offset[i] = size;
            size += i / 2 + 1;
        }
    }
};

// addRecordAlike over the complete rows r in [begin, n) of a block (complete(r) says which),
// for a dimension D known at compile time, two measurements to a vector register: mean and
// scatter stay in registers and on the stack for the whole block, written back once. Each
// lane does the scalar steps in their order (SSE2 rounds every lane as the scalar
// instruction does), so every value keeps its bits. An odd D has a last lane of padding (mean,
// record and inverse 0, so its deviations are 0), never written back. Each record still waits
// on its divisions (the mean's update), now half as many.
template <long D, class Complete>
void addBlockAlikeFixed(tqMVNState& s, long begin, long n, const long* indices, const double* x,
                        std::size_t xStride, Complete&& complete, double normalization, const double* inverse) {
    constexpr long kPairs = (D + 1) / 2;
    static constexpr PairTriangle<D> kTriangle{};
    constexpr long kSize = PairTriangle<D>().size;
    const auto pairOf = [](const double* v, long q) {
        return _mm_set_pd(2 * q + 1 < D ? v[2 * q + 1] : 0.0, v[2 * q]);
    };
    __m128d mean[kPairs], inv[kPairs], scatter[kSize];
    for (long q = 0; q < kPairs; ++q) {
        mean[q] = pairOf(s.mean, q);
        inv[q] = pairOf(inverse, q);
    }
    for (long i = 0; i < D; ++i)
        for (long q = 0; q <= i / 2; ++q)
            scatter[kTriangle.offset[i] + q] =
                _mm_set_pd(2 * q + 1 <= i ? s.scatter[i * D + 2 * q + 1] : 0.0, s.scatter[i * D + 2 * q]);
    const __m128d norm = _mm_set1_pd(normalization);
    const bool divide = normalization != 1.0;
    std::int32_t count = s.count;
    for (long r = begin; r < n; ++r) {
        if (!complete(r)) continue;
        const double* row = x + static_cast<std::size_t>(r) * xStride;
        const __m128d next = _mm_set1_pd(static_cast<double>(count) + 1.0);
        __m128d delta[kPairs], after[kPairs];
#pragma GCC unroll 8
        for (long q = 0; q < kPairs; ++q) {
            __m128d record = _mm_set_pd(2 * q + 1 < D ? row[indices[2 * q + 1]] : 0.0, row[indices[2 * q]]);
            // x / 1.0 is x: the division is spared where it changes nothing.
            if (divide) record = _mm_div_pd(record, norm);
            const __m128d deviation = _mm_sub_pd(record, mean[q]);
            mean[q] = _mm_add_pd(mean[q], _mm_div_pd(deviation, next));
            delta[q] = _mm_mul_pd(deviation, inv[q]);
            after[q] = _mm_mul_pd(_mm_sub_pd(record, mean[q]), inv[q]);
        }
        // Unrolled whole, so that the triangle's products are independent straight-line work.
#pragma GCC unroll 8
        for (long i = 0; i < D; ++i) {
            const __m128d own = i % 2 == 0 ? _mm_unpacklo_pd(delta[i / 2], delta[i / 2])
                                           : _mm_unpackhi_pd(delta[i / 2], delta[i / 2]);
            __m128d* part = scatter + kTriangle.offset[i];
            for (long q = 0; q <= i / 2; ++q) part[q] = _mm_add_pd(part[q], _mm_mul_pd(own, after[q]));
        }
        ++count;
    }
    for (long i = 0; i < D; ++i) {
        double lanes[2];
        if (i % 2 == 0) {
            _mm_storeu_pd(lanes, mean[i / 2]);
            s.mean[i] = lanes[0];
            if (i + 1 < D) s.mean[i + 1] = lanes[1];
        }
        for (long q = 0; q <= i / 2; ++q) {
            _mm_storeu_pd(lanes, scatter[kTriangle.offset[i] + q]);
            s.scatter[i * D + 2 * q] = lanes[0];
            if (2 * q + 1 <= i) s.scatter[i * D + 2 * q + 1] = lanes[1];
        }
    }
    s.count = count;
}
#else
// The row and column of each entry of a D x D lower triangle, row by row.
template <long D>
struct Triangle {
    long row[D * (D + 1) / 2] = {};
    long column[D * (D + 1) / 2] = {};
    constexpr Triangle() {
        for (long i = 0, t = 0; i < D; ++i)
            for (long j = 0; j <= i; ++j, ++t) {
                row[t] = i;
                column[t] = j;
            }
    }
};

// addRecordAlike over the complete rows r in [begin, n) of a block (complete(r) says which),
// for a dimension D known at compile time: the record loops and the triangle unroll, and mean
// and scatter stay in registers and on the stack for the whole block, written back once. The
// steps, their order and their rounding are addRecordAlike's; each record still waits on its
// divisions (the mean's update), the triangle no longer on loop control and memory.
template <long D, class Complete>
void addBlockAlikeFixed(tqMVNState& s, long begin, long n, const long* indices, const double* x,
                        std::size_t xStride, Complete&& complete, double normalization, const double* inverse) {
    constexpr long kTriangle = D * (D + 1) / 2;
    static constexpr Triangle<D> kIndex{};
    constexpr const long* kRow = kIndex.row;
    constexpr const long* kColumn = kIndex.column;
    double mean[D], inv[D], scatter[kTriangle];
    for (long i = 0, t = 0; i < D; ++i) {
        mean[i] = s.mean[i];
        inv[i] = inverse[i];
        for (long j = 0; j <= i; ++j) scatter[t++] = s.scatter[i * D + j];
    }
    std::int32_t count = s.count;
    for (long r = begin; r < n; ++r) {
        if (!complete(r)) continue;
        const double* row = x + static_cast<std::size_t>(r) * xStride;
        double record[D], delta[D], after[D];
        // x / 1.0 is x: the division is spared where it changes nothing.
        if (normalization == 1.0)
            for (long k = 0; k < D; ++k) record[k] = row[indices[k]];
        else
            for (long k = 0; k < D; ++k) record[k] = row[indices[k]] / normalization;
        const double next = static_cast<double>(count) + 1.0;
        for (long i = 0; i < D; ++i) {
            const double deviation = record[i] - mean[i];
            mean[i] += deviation / next;
            delta[i] = deviation * inv[i];
            after[i] = (record[i] - mean[i]) * inv[i];
        }
        // Unrolled whole, so that the triangle's products are independent straight-line work.
#pragma GCC unroll 64
        for (long t = 0; t < kTriangle; ++t) scatter[t] += delta[kRow[t]] * after[kColumn[t]];
        ++count;
    }
    for (long i = 0, t = 0; i < D; ++i) {
        s.mean[i] = mean[i];
        for (long j = 0; j <= i; ++j) s.scatter[i * D + j] = scatter[t++];
    }
    s.count = count;
}
#endif

// addBlockAlikeFixed for the state's dimension; false (nothing done) for one it does not cover.
template <class Complete>
bool addBlockAlike(tqMVNState& s, long begin, long n, const long* indices, const double* x, std::size_t xStride,
                   Complete&& complete, double normalization, const double* inverse) {
    const auto rows = [&](auto dimension) {
        addBlockAlikeFixed<decltype(dimension)::value>(s, begin, n, indices, x, xStride, complete, normalization,
                                                       inverse);
        return true;
    };
    switch (s.dim) {
        case 2: return rows(std::integral_constant<long, 2>());
        case 3: return rows(std::integral_constant<long, 3>());
        case 4: return rows(std::integral_constant<long, 4>());
        case 5: return rows(std::integral_constant<long, 5>());
        case 6: return rows(std::integral_constant<long, 6>());
        case 7: return rows(std::integral_constant<long, 7>());
        case 8: return rows(std::integral_constant<long, 8>());
        default:
            return false;
    }
}

// Whether addRecordAlike may take the state's next record.
bool isAlike(const tqMVNState& s) {
    if (s.count == 0) return false;
    for (long i = 0; i < s.dim; ++i)
        if (s.unit[i] == 0.0) return false;
    return true;
}

// The inverses addRecord keeps, for the state's units as they are.
void inversesOf(const tqMVNState& s, double* delta) {
    double* inverse = delta + 2 * s.dim;
    for (long i = 0; i < s.dim; ++i) inverse[i] = s.unit[i] == 0.0 ? 1.0 : 1.0 / s.unit[i];
}

inline double unitOrOne(const tqMVNState& s, long i) { return s.unit[i] == 0.0 ? 1.0 : s.unit[i]; }

void publishCovariance(tqMVNState& s) {
    const long d = s.dim;
    const double n = static_cast<double>(s.count);
    for (long i = 0; i < d; ++i)
        for (long j = 0; j <= i; ++j)
            s.covariance[i * d + j] = s.covariance[j * d + i] =
                s.scatter[i * d + j] / n * unitOrOne(s, i) * unitOrOne(s, j);
}

}  // namespace

// ---- Lists ----------------------------------------------------------------------------------

long tfMVNDoubleListGrow_(tqMVNDoubleList* list, long size) {
    return growList<tqMVNDoubleList, double>(list, size);
}

long tfMVNIntListGrow_(tqMVNIntList* list, long size) {
    return growList<tqMVNIntList, std::int32_t>(list, size);
}

long tfMVNRecordFree_(tqMVNRecord* record) {
    if (!record) return tqMVNBadArgument;
    freeRecord(*record);
    return tqMVNSuccess;
}

long tfMVNRecordListConstruct(tqMVNRecordList* list) {
    if (!list) return tqMVNBadArgument;
    list->size = 0;
    list->capacity = 1;
    list->heap = nullptr;
    return tqMVNSuccess;
}

long tfMVNRecordListResize(tqMVNRecordList* list, long size) {
    if (!list || size < 0) return tqMVNBadArgument;
    if (size > list->capacity) {
        const long capacity = std::max(size, 2 * list->capacity);
        tqMVNRecord* fresh = new (std::nothrow) tqMVNRecord[static_cast<std::size_t>(capacity)];
        if (!fresh) return tqMVNOutOfMemory;
        tqMVNRecord* old = elements(*list);
        for (long i = 0; i < list->size; ++i) {
            moveList(fresh[i].measurements, old[i].measurements);
            moveList(fresh[i].invalid, old[i].invalid);
        }
        delete[] list->heap;
        list->heap = fresh;
        list->capacity = capacity;
    }
    tqMVNRecord* records = elements(*list);
    for (long i = size; i < list->size; ++i) freeRecord(records[i]);
    for (long i = list->size; i < size; ++i) initRecord(records[i]);
    list->size = size;
    return tqMVNSuccess;
}

long tfMVNRecordListData(tqMVNRecordList* list, tqMVNRecord** data) {
    if (!list || !data) return tqMVNBadArgument;
    *data = elements(*list);
    return tqMVNSuccess;
}

long tfMVNRecordListDestroy(tqMVNRecordList* list) {
    if (!list) return tqMVNBadArgument;
    tqMVNRecord* records = elements(*list);
    for (long i = 0; i < list->size; ++i) freeRecord(records[i]);
    delete[] list->heap;
    return tfMVNRecordListConstruct(list);
}

// ---- States ---------------------------------------------------------------------------------

long tfMVNConstruct(tqMVNState* state) {
    if (!state) return tqMVNBadArgument;
    setEmpty(*state);
    return tqMVNSuccess;
}

long tfMVNCopyConstruct(tqMVNState* state, const tqMVNState* source) {
    if (!state || !source) return tqMVNBadArgument;
    setEmpty(*state);
    bool ok = true;
    double* block = copyBlock(*source, &ok);
    if (!ok) return tqMVNOutOfMemory;
    attachBlock(*state, source->dim, block);
    state->count = source->count;
    return tqMVNSuccess;
}

long tfMVNAssign(tqMVNState* state, const tqMVNState* source) {
    if (!state || !source) return tqMVNBadArgument;
    if (state == source) return tqMVNSuccess;
    bool ok = true;
    double* block = copyBlock(*source, &ok);
    if (!ok) return tqMVNOutOfMemory;
    freeStorage(*state);
    attachBlock(*state, source->dim, block);
    state->count = source->count;
    return tqMVNSuccess;
}

long tfMVNDestroy(tqMVNState* state) {
    if (!state) return tqMVNBadArgument;
    freeStorage(*state);
    return tqMVNSuccess;
}

long tfMVNUpdateWithNormalization(tqMVNState* state, const tqMVNRecordList* records, double normalization) {
    if (!state || !records) return tqMVNBadArgument;
    if (normalization == 0.0 || !std::isfinite(normalization)) return tqMVNBadArgument;

    // Every check before any change.
    const tqMVNRecord* list = elements(*records);
    long d = state->dim;
    long complete = 0;
    for (long r = 0; r < records->size; ++r) {
        const tqMVNRecord& rec = list[r];
        if (d < 0) d = rec.measurements.size;
        if (rec.measurements.size != d) return tqMVNSizeMismatch;
        const std::int32_t* bad = elements(rec.invalid);
        for (long i = 0; i < rec.invalid.size; ++i)
            if (bad[i] < 0 || bad[i] >= d) return tqMVNBadArgument;
        if (rec.invalid.size == 0 && d > 0) ++complete;
    }
    if (complete > std::numeric_limits<std::int32_t>::max() - static_cast<long>(state->count))
        return tqMVNBadArgument;
    if (records->size == 0) return tqMVNSuccess;

    try {
        Scratch<double, 4 * tqMVNInlineSize> scratch(static_cast<std::size_t>(complete ? 4 * d : 0));
        if (!ensureBlock(*state, d)) return tqMVNOutOfMemory;
        if (complete == 0) return tqMVNSuccess;

        dropFactor(*state);
        double* x = scratch.get();
        double* delta = x + d;
        inversesOf(*state, delta);
        for (long r = 0; r < records->size; ++r) {
            const tqMVNRecord& rec = list[r];
            if (rec.invalid.size != 0) continue;
            const double* m = elements(rec.measurements);
            for (long i = 0; i < d; ++i) x[i] = m[i] / normalization;
            addRecord(*state, x, delta);
        }
        publishCovariance(*state);
        return tqMVNSuccess;
    } catch (const std::bad_alloc&) {
        return tqMVNOutOfMemory;
    }
}

long tfMVNUpdateRows(tqMVNState* state, long n, long d, const long* indices, const double* x, std::size_t xStride,
                     const unsigned char* valid, std::size_t validStride, double normalization) {
    if (!state || n < 0 || d < 0 || (d > 0 && !indices) || (n > 0 && d > 0 && !x)) return tqMVNBadArgument;
    if (normalization == 0.0 || !std::isfinite(normalization)) return tqMVNBadArgument;
    for (long k = 0; k < d; ++k)
        if (indices[k] < 0) return tqMVNBadArgument;
    if (n == 0) return tqMVNSuccess;
    if (state->dim >= 0 && state->dim != d) return tqMVNSizeMismatch;
    const auto complete = [&](long r) {
        if (!valid) return true;
        const unsigned char* flags = valid + static_cast<std::size_t>(r) * validStride;
        for (long k = 0; k < d; ++k)
            if (flags[indices[k]] == 0) return false;
        return true;
    };
    long numComplete = 0;
    for (long r = 0; r < n && d > 0; ++r)
        if (complete(r)) ++numComplete;
    if (numComplete > std::numeric_limits<std::int32_t>::max() - static_cast<long>(state->count))
        return tqMVNBadArgument;
    try {
        Scratch<double, 4 * tqMVNInlineSize> scratch(static_cast<std::size_t>(numComplete ? 4 * d : 0));
        if (!ensureBlock(*state, d)) return tqMVNOutOfMemory;
        if (numComplete == 0) return tqMVNSuccess;
        dropFactor(*state);
        double* record = scratch.get();
        double* delta = record + d;
        inversesOf(*state, delta);
        bool alike = isAlike(*state);
        for (long r = 0; r < n; ++r) {
            if (!complete(r)) continue;
            const double* row = x + static_cast<std::size_t>(r) * xStride;
            // x / 1.0 is x: the division is spared where it changes nothing.
            if (normalization == 1.0)
                for (long k = 0; k < d; ++k) record[k] = row[indices[k]];
            else
                for (long k = 0; k < d; ++k) record[k] = row[indices[k]] / normalization;
            if (alike) {
                // The rest of the block at once where the dimension allows it.
                if (addBlockAlike(*state, r, n, indices, x, xStride, complete, normalization, delta + 2 * d)) break;
                addRecordAlike(*state, record, delta);
            } else {
                addRecord(*state, record, delta);
                alike = isAlike(*state);
            }
        }
        publishCovariance(*state);
        return tqMVNSuccess;
    } catch (const std::bad_alloc&) {
        return tqMVNOutOfMemory;
    }
}

long tfMVNUpdateColumn1(tqMVNState* state, long n, const double* x, std::size_t xStride,
                        const unsigned char* valid, std::size_t validStride, double normalization) {
    if (!state || n < 0 || (n > 0 && !x)) return tqMVNBadArgument;
    if (normalization == 0.0 || !std::isfinite(normalization)) return tqMVNBadArgument;
    if (state->dim >= 0 && state->dim != 1 && n > 0) return tqMVNSizeMismatch;
    long complete = 0;
    for (long r = 0; r < n; ++r)
        if (!valid || valid[static_cast<std::size_t>(r) * validStride] != 0) ++complete;
    if (complete > std::numeric_limits<std::int32_t>::max() - static_cast<long>(state->count))
        return tqMVNBadArgument;
    if (n == 0) return tqMVNSuccess;
    if (!ensureBlock(*state, 1)) return tqMVNOutOfMemory;
    if (complete == 0) return tqMVNSuccess;
    dropFactor(*state);
    double delta[3];
    inversesOf(*state, delta);
    for (long r = 0; r < n; ++r) {
        const std::size_t i = static_cast<std::size_t>(r);
        if (valid && valid[i * validStride] == 0) continue;
        const double value = x[i * xStride] / normalization;
        addRecord(*state, &value, delta);
    }
    publishCovariance(*state);
    return tqMVNSuccess;
}

namespace {

// The running estimate of one one-measurement state while columns are learned, held apart
// from the state so that the interleaved updates touch one small contiguous array.
struct Column1 {
    double count, mean, unit, inverse, scatter;
};

// addRecord for one measurement, step for step.
inline void addValue(Column1& c, double x) {
    if (c.count == 0.0) {
        c.mean = x;
        c.scatter = c.unit = 0.0;
        c.inverse = 1.0;
        c.count = 1.0;
        return;
    }
    const double n = c.count + 1.0;
    const double deviation = x - c.mean;
    c.mean += deviation / n;
    if (c.unit == 0.0) {
        c.unit = unitOf(std::fabs(deviation));
        c.inverse = c.unit == 0.0 ? 1.0 : 1.0 / c.unit;
    }
    c.scatter += (deviation * c.inverse) * ((x - c.mean) * c.inverse);
    c.count = n;
}

// The common case of addValue over complete rows: every column with the same count and a
// unit already fixed, so that no step branches and each row's columns divide by the same
// count. The columns' steps are then independent lanes of the same operations (which a
// compiler may pack into vector instructions: the same rounding lane by lane). Returns false,
// having changed nothing, when the columns are not alike.
bool addRowsAlike(Column1* run, std::size_t count, const std::size_t* columns, long n, const double* x,
                  std::size_t xStride) {
    constexpr std::size_t kMax = 64;
    if (count == 0 || count > kMax) return false;
    for (std::size_t c = 0; c < count; ++c)
        if (run[c].count != run[0].count || run[c].count == 0.0 || run[c].unit == 0.0) return false;
    double mean[kMax], inverse[kMax], scatter[kMax], value[kMax];
    for (std::size_t c = 0; c < count; ++c) {
        mean[c] = run[c].mean;
        inverse[c] = run[c].inverse;
        scatter[c] = run[c].scatter;
    }
    double seen = run[0].count;
    for (long r = 0; r < n; ++r) {
        const double* row = x + static_cast<std::size_t>(r) * xStride;
        for (std::size_t c = 0; c < count; ++c) value[c] = row[columns[c]];
        const double next = seen + 1.0;
        for (std::size_t c = 0; c < count; ++c) {
            const double deviation = value[c] - mean[c];
            mean[c] += deviation / next;
            scatter[c] += (deviation * inverse[c]) * ((value[c] - mean[c]) * inverse[c]);
        }
        seen = next;
    }
    for (std::size_t c = 0; c < count; ++c) {
        run[c].count = seen;
        run[c].mean = mean[c];
        run[c].scatter = scatter[c];
    }
    return true;
}

// Whether tfMVNUpdateColumn1 would accept the column; adds the column's complete records to
// *complete.
long checkColumn1(const tqMVNState* state, long n, const unsigned char* valid, std::size_t validStride,
                  long* complete) {
    if (!state) return tqMVNBadArgument;
    if (state->dim >= 0 && state->dim != 1 && n > 0) return tqMVNSizeMismatch;
    long own = 0;
    for (long r = 0; r < n; ++r)
        if (!valid || valid[static_cast<std::size_t>(r) * validStride] != 0) ++own;
    if (own > std::numeric_limits<std::int32_t>::max() - static_cast<long>(state->count))
        return tqMVNBadArgument;
    *complete = own;
    return tqMVNSuccess;
}

}  // namespace

long tfMVNUpdateColumns1(tqMVNState* const* states, const std::size_t* columns, long numStates, long n,
                         const double* x, std::size_t xStride, const unsigned char* valid,
                         std::size_t validStride, double normalization) {
    if (numStates < 0 || (numStates > 0 && (!states || !columns)) || n < 0 || (n > 0 && numStates > 0 && !x))
        return tqMVNBadArgument;
    if (normalization == 0.0 || !std::isfinite(normalization)) return tqMVNBadArgument;
    const std::size_t count = static_cast<std::size_t>(numStates);
    try {
        std::vector<long> complete(count, 0);
        for (std::size_t c = 0; c < count; ++c) {
            const long status = checkColumn1(states[c], n, valid ? valid + columns[c] : nullptr, validStride,
                                             &complete[c]);
            if (status != tqMVNSuccess) return status;
        }
        if (n == 0) return tqMVNSuccess;
        // Storage first, for every state, so that a failure changes none of them.
        std::vector<double*> blocks(count, nullptr);
        for (std::size_t c = 0; c < count; ++c) {
            if (states[c]->dim >= 0) continue;
            blocks[c] = allocateBlock(1);
            if (!blocks[c]) {
                for (double* block : blocks) delete[] block;
                return tqMVNOutOfMemory;
            }
        }
        std::vector<Column1> running(count);
        for (std::size_t c = 0; c < count; ++c) {
            tqMVNState& s = *states[c];
            if (blocks[c]) attachFreshBlock(s, 1, blocks[c]);
            running[c] = {static_cast<double>(s.count), s.mean[0], s.unit[0],
                          s.unit[0] == 0.0 ? 1.0 : 1.0 / s.unit[0], s.scatter[0]};
        }
        Column1* run = running.data();
        const bool alike = !valid && normalization == 1.0 && addRowsAlike(run, count, columns, n, x, xStride);
        for (long r = 0; !alike && r < n; ++r) {
            const double* row = x + static_cast<std::size_t>(r) * xStride;
            const unsigned char* flags = valid ? valid + static_cast<std::size_t>(r) * validStride : nullptr;
            for (std::size_t c = 0; c < count; ++c) {
                if (flags && flags[columns[c]] == 0) continue;
                const double value = row[columns[c]];
                addValue(run[c], normalization == 1.0 ? value : value / normalization);
            }
        }
        for (std::size_t c = 0; c < count; ++c) {
            if (complete[c] == 0) continue;
            tqMVNState& s = *states[c];
            dropFactor(s);
            s.count = static_cast<std::int32_t>(run[c].count);
            s.mean[0] = run[c].mean;
            s.unit[0] = run[c].unit;
            s.scatter[0] = run[c].scatter;
            publishCovariance(s);
        }
        return tqMVNSuccess;
    } catch (const std::bad_alloc&) {
        return tqMVNOutOfMemory;
    }
}

long tfMVNLogValue(const tqMVNState* state, const tqMVNRecord* record, double* value) {
    if (!state || !record || !value) return tqMVNBadArgument;
    if (state->count <= 0) return tqMVNNoData;
    if (record->measurements.size != state->dim) return tqMVNSizeMismatch;
    // The common case first: a complete one-measurement record once the factorisation exists.
    const tqMVNFactor* f = state->factor.load(std::memory_order_acquire);
    if (f && f->dim == 1 && f->kept == 1 && record->invalid.size == 0) {
        *value = tfMVNLogValue1(termsOf(*f), elements(record->measurements)[0]);
        return tqMVNSuccess;
    }
    try {
        return logValue(*state, *record, value);
    } catch (const std::bad_alloc&) {
        return tqMVNOutOfMemory;
    }
}

long tfMVNAddLogValues1(const tqMVNState* state, long n, const double* x, std::size_t xStride,
                        const unsigned char* valid, std::size_t validStride, double* sums,
                        std::size_t sumStride) {
    if (!state || n < 0 || (n > 0 && (!x || !sums))) return tqMVNBadArgument;
    if (state->count <= 0) return tqMVNNoData;
    if (state->dim != 1) return tqMVNSizeMismatch;
    try {
        const tqMVNFactor& f = *factorOf(*state);
        // A measurement left out rates 0.0, valid or not; the sums do not change.
        if (f.kept == 0) return tqMVNSuccess;
        const tqMVNTerms1 terms = termsOf(f);
        for (long r = 0; r < n; ++r) {
            const std::size_t i = static_cast<std::size_t>(r);
            double value = 0.0;
            if (!valid || valid[i * validStride] != 0) value = tfMVNLogValue1(terms, x[i * xStride]);
            sums[i * sumStride] += value;
        }
        return tqMVNSuccess;
    } catch (const std::bad_alloc&) {
        return tqMVNOutOfMemory;
    }
}

long tfMVNTerms1Of(const tqMVNState* state, tqMVNTerms1* terms) {
    if (!state || !terms) return tqMVNBadArgument;
    if (state->count <= 0) return tqMVNNoData;
    if (state->dim != 1) return tqMVNSizeMismatch;
    try {
        *terms = termsOf(*factorOf(*state));
        return tqMVNSuccess;
    } catch (const std::bad_alloc&) {
        return tqMVNOutOfMemory;
    }
}

long tfMVNSetScaleFloors(tqMVNState* state, long size, const double* floors) {
    if (!state || size != state->dim || (size > 0 && !floors)) return tqMVNBadArgument;
    for (long i = 0; i < size; ++i)
        if (!(floors[i] >= 0.0) || !std::isfinite(floors[i])) return tqMVNBadArgument;
    dropFactor(*state);
    std::copy(floors, floors + size, state->floor);
    return tqMVNSuccess;
}

long tfMVNDimension(const tqMVNState* state, long* dim) {
    if (!state || !dim) return tqMVNBadArgument;
    *dim = state->dim;
    return tqMVNSuccess;
}

long tfMVNCount(const tqMVNState* state, long* count) {
    if (!state || !count) return tqMVNBadArgument;
    *count = state->count;
    return tqMVNSuccess;
}

long tfMVNMean(const tqMVNState* state, long* rows, long* cols, const double** elements) {
    if (!state || !rows || !cols || !elements) return tqMVNBadArgument;
    *rows = state->dim < 0 ? 0 : 1;
    *cols = state->dim < 0 ? 0 : state->dim;
    *elements = state->mean;
    return tqMVNSuccess;
}

long tfMVNCovariance(const tqMVNState* state, long* rows, long* cols, const double** elements) {
    if (!state || !rows || !cols || !elements) return tqMVNBadArgument;
    *rows = *cols = std::max(state->dim, 0L);
    *elements = state->covariance;
    return tqMVNSuccess;
}

long tfMVNRebuild(tqMVNState* state, long meanRows, long meanCols, const double* mean, long covRows,
                  long covCols, const double* covariance, long count) {
    if (!state) return tqMVNBadArgument;
    if (count < 0 || count > std::numeric_limits<std::int32_t>::max()) return tqMVNBadArgument;
    const bool noDimension = meanRows == 0 && meanCols == 0 && covRows == 0 && covCols == 0;
    if (noDimension) {
        if (count != 0) return tqMVNBadArgument;
        freeStorage(*state);
        return tqMVNSuccess;
    }
    const long d = meanCols;
    if (meanRows != 1 || d < 0 || covRows != d || covCols != d) return tqMVNBadArgument;
    if (d > 0 && (!mean || !covariance)) return tqMVNBadArgument;

    double* block = allocateBlock(d);
    if (d > 0 && !block) return tqMVNOutOfMemory;
    freeStorage(*state);
    attachFreshBlock(*state, d, block);
    state->count = static_cast<std::int32_t>(count);
    if (d == 0) return tqMVNSuccess;
    std::copy(mean, mean + d, state->mean);
    std::copy(covariance, covariance + d * d, state->covariance);
    // Later updates continue the running estimate from the scatter this covariance implies,
    // in units from its standard deviations (1 for a measurement that does not vary but is
    // stored as correlated with others: only a damaged estimate has that).
    for (long i = 0; i < d; ++i) {
        state->unit[i] = unitOf(std::sqrt(covariance[i * d + i]));
        for (long j = 0; state->unit[i] == 0.0 && j < d; ++j)
            if (covariance[i * d + j] != 0.0) state->unit[i] = 1.0;
    }
    const double n = static_cast<double>(count);
    for (long i = 0; i < d; ++i)
        for (long j = 0; j <= i; ++j)
            state->scatter[i * d + j] =
                covariance[i * d + j] / unitOrOne(*state, i) / unitOrOne(*state, j) * n;
    return tqMVNSuccess;
}
