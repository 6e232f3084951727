// The math library's multivariate-normal estimation kernel.
//
// A kernel state holds a running maximum-likelihood estimate of a normal distribution over
// d measurements (mean, covariance, count) and rates records by the natural logarithm of
// their density. The interface is C-like: plain structs that are created, copied, assigned
// and destroyed only through the tf... operations below, each returning a status (0 on
// success, a failure status of group 91 otherwise). No operation throws.
//
// Records: a record is a list of d measurements and a list of the indices of the invalid
// ones. Both lists keep up to tqMVNInlineSize elements inside the record, so records of
// short patterns never touch the heap.
//
// Estimate: only complete records (no invalid index) enter it; the count is the number of
// complete records incorporated since the state was created or rebuilt. The covariance
// divides by the count. A record with invalid measurements is rated by the marginal density
// of its valid ones; a record with no valid measurement rates 0.0. Degenerate estimates are
// regularised by a floor under each measurement's spread, so that a log value is finite
// (docs/numerics.md).
//
// Threads: tfMVNLogValue and the accessors read the state only (the factorisation the log
// value needs is built on first use and published atomically), so any number of threads
// may call them at once. Every other operation on a state needs exclusive use of it.
#ifndef TQ_PLATFORM_MVN_H
#define TQ_PLATFORM_MVN_H

#include <atomic>
#include <cstddef>
#include <cstdint>

// Statuses.
constexpr long tqMVNSuccess = 0;
// A log value was asked of a state without usable data (count 0).
constexpr long tqMVNNoData = 0x80000B61L;
// A record's length differs from that of earlier records (without a reset in between).
constexpr long tqMVNSizeMismatch = 0x80000B62L;
// A null pointer, a negative size, an invalid index outside the record, a zero or
// non-finite normalization, inconsistent matrix shapes, a count outside 0 .. 2^31 - 1.
constexpr long tqMVNBadArgument = 0x80000B63L;
// Memory could not be allocated; the object is left as it was.
constexpr long tqMVNOutOfMemory = 0x80000B64L;

// sqrt(1e-9): a state's default floor is this times the measurement's standard deviation
// (tfMVNSetScaleFloors), the standard deviation of a billionth of its variance.
constexpr double tqMVNRelativeFloor = 3.1622776601683794e-5;

// Elements a list keeps inside itself before it moves to the heap.
constexpr long tqMVNInlineSize = 16;

// A list of doubles. Fields are the kernel's own: use the operations below.
struct tqMVNDoubleList {
    tqMVNDoubleList() = default;
    tqMVNDoubleList(const tqMVNDoubleList&) = delete;
    tqMVNDoubleList& operator=(const tqMVNDoubleList&) = delete;

    long size;
    long capacity;
    double* heap;  // null while the elements live in `local`
    double local[tqMVNInlineSize];
};

// A list of 32-bit signed integers. Fields are the kernel's own.
struct tqMVNIntList {
    tqMVNIntList() = default;
    tqMVNIntList(const tqMVNIntList&) = delete;
    tqMVNIntList& operator=(const tqMVNIntList&) = delete;

    long size;
    long capacity;
    std::int32_t* heap;
    std::int32_t local[tqMVNInlineSize];
};

// A pattern record: all measurements in order (invalid ones included, their values are
// ignored) and the indices of the invalid ones (any order; duplicates allowed).
struct tqMVNRecord {
    tqMVNDoubleList measurements;
    tqMVNIntList invalid;
};

// A list of records; holds one record inside itself.
struct tqMVNRecordList {
    tqMVNRecordList() = default;
    tqMVNRecordList(const tqMVNRecordList&) = delete;
    tqMVNRecordList& operator=(const tqMVNRecordList&) = delete;

    long size;
    long capacity;
    tqMVNRecord* heap;
    tqMVNRecord local[1];
};

// The cached factorisation (defined by the kernel).
struct tqMVNFactor;

// A kernel state. Fields are the kernel's own: use the accessors.
struct tqMVNState {
    tqMVNState() = default;
    tqMVNState(const tqMVNState&) = delete;
    tqMVNState& operator=(const tqMVNState&) = delete;

    long dim;            // record length, -1 until the first record (or a rebuild) fixes it
    std::int32_t count;  // complete records in the estimate
    double* mean;        // dim elements
    double* unit;        // dim elements: power of two the deviations are divided by, 0 until one is not 0
    double* floor;       // dim elements: the floors set for the factorisation, -1 while none is set
    double* scatter;     // dim x dim, lower triangle: sum of outer products of deviations, in units
    double* covariance;  // dim x dim, full: scatter / count (or as rebuilt)
    mutable std::atomic<tqMVNFactor*> factor;  // null until a log value needs it
};

// ---- Lists --------------------------------------------------------------------------------
// Resize keeps the first min(old, new) elements and sets new ones to 0; it allocates only
// beyond tqMVNInlineSize (and never shrinks the storage). Data hands out the storage, valid
// until the next resize or destroy. Null pointers and negative sizes give tqMVNBadArgument.

long tfMVNDoubleListGrow_(tqMVNDoubleList* list, long size);
long tfMVNIntListGrow_(tqMVNIntList* list, long size);

inline long tfMVNDoubleListResize(tqMVNDoubleList* list, long size) {
    if (!list || size > list->capacity || size < 0) return tfMVNDoubleListGrow_(list, size);
    double* d = list->heap ? list->heap : list->local;
    for (long i = list->size; i < size; ++i) d[i] = 0.0;
    list->size = size;
    return tqMVNSuccess;
}

inline long tfMVNDoubleListData(tqMVNDoubleList* list, double** data) {
    if (!list || !data) return tqMVNBadArgument;
    *data = list->heap ? list->heap : list->local;
    return tqMVNSuccess;
}

inline long tfMVNIntListResize(tqMVNIntList* list, long size) {
    if (!list || size > list->capacity || size < 0) return tfMVNIntListGrow_(list, size);
    std::int32_t* d = list->heap ? list->heap : list->local;
    for (long i = list->size; i < size; ++i) d[i] = 0;
    list->size = size;
    return tqMVNSuccess;
}

inline long tfMVNIntListData(tqMVNIntList* list, std::int32_t** data) {
    if (!list || !data) return tqMVNBadArgument;
    *data = list->heap ? list->heap : list->local;
    return tqMVNSuccess;
}

// A record starts with both lists empty; constructing never allocates. Destroy frees what
// the lists allocated and leaves an empty record (destroying twice is harmless).
long tfMVNRecordFree_(tqMVNRecord* record);

inline long tfMVNRecordConstruct(tqMVNRecord* record) {
    if (!record) return tqMVNBadArgument;
    record->measurements.size = record->invalid.size = 0;
    record->measurements.capacity = record->invalid.capacity = tqMVNInlineSize;
    record->measurements.heap = nullptr;
    record->invalid.heap = nullptr;
    return tqMVNSuccess;
}

inline long tfMVNRecordDestroy(tqMVNRecord* record) {
    if (!record) return tqMVNBadArgument;
    if (record->measurements.heap || record->invalid.heap) return tfMVNRecordFree_(record);
    record->measurements.size = record->invalid.size = 0;
    return tqMVNSuccess;
}

// A record list starts empty. Resize constructs new (empty) records and destroys dropped
// ones; one record fits without allocation. Data hands out the records, valid until the next
// resize or destroy.
long tfMVNRecordListConstruct(tqMVNRecordList* list);
long tfMVNRecordListResize(tqMVNRecordList* list, long size);
long tfMVNRecordListData(tqMVNRecordList* list, tqMVNRecord** data);
long tfMVNRecordListDestroy(tqMVNRecordList* list);

// ---- States -------------------------------------------------------------------------------
// A tqMVNState's own constructor leaves it raw: an owner holding one by value calls
// tfMVNConstruct (or tfMVNCopyConstruct) in its constructors, tfMVNAssign in its assignment and
// tfMVNDestroy in its destructor. Resetting is assigning a freshly constructed state.

// Constructs an empty state (no dimension, count 0) in raw storage; never allocates.
long tfMVNConstruct(tqMVNState* state);
// Constructs `state` as a copy of `source` (which may be in concurrent log-value use). On
// tqMVNOutOfMemory `state` is an empty state; it must be destroyed in either case.
long tfMVNCopyConstruct(tqMVNState* state, const tqMVNState* source);
// Makes `state` a copy of `source`; on failure `state` is unchanged. Self-assignment is a no-op.
long tfMVNAssign(tqMVNState* state, const tqMVNState* source);
// Frees everything the state holds and leaves an empty state.
long tfMVNDestroy(tqMVNState* state);

// Adds the complete records of `records`, every measurement divided by `normalization`, to
// the estimate (Welford updates, O(d^2) per record). Every record must have the length of
// earlier ones (tqMVNSizeMismatch otherwise) and only indices inside the record in its
// invalid list; all checks happen before any change, so a failed update changes nothing.
// The first record ever fixes the dimension, even an incomplete one. Records with invalid
// measurements are skipped, so an update of incomplete records succeeds and leaves count and
// estimate as they were. tqMVNBadArgument: an invalid index outside its record, or a
// normalization that is 0 or not finite.
long tfMVNUpdateWithNormalization(tqMVNState* state, const tqMVNRecordList* records, double normalization);

// Many one-measurement records at once: the same as one update per record x[r * xStride]
// (r < n) in order, each marked invalid where valid is not null and valid[r * validStride]
// is 0, bit for bit, with the covariance published once. The first record fixes the
// dimension 1 of a state without one; tqMVNSizeMismatch when it is not 1. Other failures as
// tfMVNUpdateWithNormalization, all checked before any change.
long tfMVNUpdateColumn1(tqMVNState* state, long n, const double* x, std::size_t xStride,
                        const unsigned char* valid, std::size_t validStride, double normalization);

// Records gathered from the rows of a matrix: the same as tfMVNUpdateWithNormalization with one
// record per row r < n, whose measurement k < d is x[r * xStride + indices[k]], invalid where
// valid is not null and valid[r * validStride + indices[k]] is 0, bit for bit, without records
// built. tqMVNBadArgument also for a negative d or index.
long tfMVNUpdateRows(tqMVNState* state, long n, long d, const long* indices, const double* x, std::size_t xStride,
                     const unsigned char* valid, std::size_t validStride, double normalization);

// The one-measurement states states[c] (c < numStates) learning columns[c] of the same n rows:
// the same as tfMVNUpdateColumn1(states[c], n, x + columns[c], xStride, valid + columns[c] (or
// null), validStride, normalization) for every c in turn, bit for bit, with the states' updates
// interleaved row by row (independent chains that the processor overlaps). The states must be
// distinct. Every check, of every state, happens before any change.
long tfMVNUpdateColumns1(tqMVNState* const* states, const std::size_t* columns, long numStates, long n,
                         const double* x, std::size_t xStride, const unsigned char* valid,
                         std::size_t validStride, double normalization);

// Writes the natural logarithm of the density of `record` (the marginal density of its valid
// measurements) to *value: 0.0 when none is valid. Status tqMVNNoData when the count is 0,
// then tqMVNSizeMismatch when the record's length is not the state's dimension. The value is
// always finite: a quadratic form beyond the double range (a record some 1e150 floors away
// from the mean) or a non-finite measurement gives -1e300.
long tfMVNLogValue(const tqMVNState* state, const tqMVNRecord* record, double* value);

// Many one-measurement records at once: for r < n, adds to sums[r * sumStride] the value
// tfMVNLogValue gives the record x[r * xStride], bit for bit, where valid is null or
// valid[r * validStride] is not 0 (an invalid record adds 0.0, as it rates). Status
// tqMVNNoData when the count is 0, tqMVNSizeMismatch when the dimension is not 1.
long tfMVNAddLogValues1(const tqMVNState* state, long n, const double* x, std::size_t xStride,
                        const unsigned char* valid, std::size_t validStride, double* sums,
                        std::size_t sumStride);

// What the log value of a complete record of a one-measurement state rests on, taken from its
// factorisation: tfMVNLogValue1 gives, for measurement x, the value tfMVNLogValue gives that
// record, bit for bit. A caller rating many records in its own loop takes these once.
struct tqMVNTerms1 {
    double mean;
    double invScale;  // 1 / the floored standard deviation
    double logNorm;   // the log of the density's normaliser
    bool informative; // false: the measurement is left out and rates 0.0
};

// The bound of a log value's magnitude (see tfMVNLogValue); NaN maps to its negative.
constexpr double tqMVNLogLimit = 1e300;

inline double tfMVNClampLog(double v) {
    if (!(v >= -tqMVNLogLimit)) return -tqMVNLogLimit;
    return v > tqMVNLogLimit ? tqMVNLogLimit : v;
}

inline double tfMVNLogValue1(const tqMVNTerms1& terms, double x) {
    if (!terms.informative) return 0.0;
    const double z = (x - terms.mean) * terms.invScale;
    return tfMVNClampLog(terms.logNorm - 0.5 * (z * z));
}

// Writes the terms of a one-measurement state (building its factorisation if there is none
// yet, as a log value does; safe beside concurrent log values). Status tqMVNNoData when the
// count is 0, tqMVNSizeMismatch when the dimension is not 1.
long tfMVNTerms1Of(const tqMVNState* state, tqMVNTerms1* terms);

// Sets, for each of the state's `size` measurements (size must be its dimension), the least
// standard deviation the factorisation gives it: a Cholesky pivot (the variance of a
// measurement given the ones before it) below floors[i]^2 is raised to it. A floor of 0
// leaves a measurement that never varied out of every log value (it carries no
// information); for one that varies, 0 means the default below. Without floors set, a
// state uses its own: sqrt(1e-9) times the measurement's standard deviation, or for one
// that never varied 16 ulps of its value (at least 1e-150). Floors stay through updates,
// copies and assignments, and a rebuild removes them. tqMVNBadArgument: a null pointer, a
// size other than the dimension, a floor that is negative or not finite.
long tfMVNSetScaleFloors(tqMVNState* state, long size, const double* floors);

// Accessors. Mean is 1 x d, covariance d x d (row-major), both 0 x 0 with null elements while
// no dimension is fixed. The element pointers stay valid until the next non-const operation.
long tfMVNDimension(const tqMVNState* state, long* dim);
long tfMVNCount(const tqMVNState* state, long* count);
long tfMVNMean(const tqMVNState* state, long* rows, long* cols, const double** elements);
long tfMVNCovariance(const tqMVNState* state, long* rows, long* cols, const double** elements);

// Replaces the state by the estimate (mean, covariance, count), as read back from storage:
// a 1 x d mean with a d x d covariance (d >= 0), or 0 x 0 and 0 x 0 with count 0 for a state
// without dimension. Mean and covariance are kept verbatim (the accessors return them bit for
// bit), the cache is dropped, and later updates continue from the rebuilt estimate. Shapes
// that do not fit, or a count outside 0 .. 2^31 - 1, give tqMVNBadArgument and change nothing.
long tfMVNRebuild(tqMVNState* state, long meanRows, long meanCols, const double* mean, long covRows,
                  long covCols, const double* covariance, long count);

#endif
