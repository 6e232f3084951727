// Internal to the k-nearest-neighbour classifier: the stored measurements packed into rows.
// Not part of the public API (not included by clastool.h); exported for the tests.
#ifndef CLASTOOL_KNNSTORE_H
#define CLASTOOL_KNNSTORE_H

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "clss/clastool/knnindex.h"

class tqClassifierDataProviderMemory;
class tqFeaturePattern;

namespace tq_knn {

// The measurements of the leading stored patterns, row after row in one 64-byte aligned block, so
// that a search reads them in address order instead of following a handle and a pattern object
// per stored pattern. Only the usable prefix is packed: patterns up to (not including) the first
// null one, one of another length than the first, or one with an invalid measurement. A search
// reaches such a pattern only to throw its error, and takes it and everything after it from the
// pattern objects.
//
// An index (knnindex.h) reorders a prefix of the rows in place, so that each of its leaves is one
// sequential read; the rows then sit at positions that are not their stored numbers, and
// storedIndex gives each position's number. The block stays the only copy of the measurements.
class PackedRows {
public:
    PackedRows() = default;
    // The usable prefix of the data's patterns.
    explicit PackedRows(const tqClassifierDataProviderMemory& data);
    PackedRows(const PackedRows&) = delete;
    PackedRows& operator=(const PackedRows&) = delete;
    ~PackedRows();

    // Appends the pattern as the next stored one: a row while the prefix is still usable, else
    // nothing. Growth is geometric (factor 1.5), so n appends copy O(n) rows in all.
    void append(const tqFeaturePattern* pattern);

    long rows() const { return rows_; }
    long dimension() const { return dims_; }
    // Whether a pattern that cannot be packed was appended: nothing after it is packed either.
    bool closed() const { return closed_; }
    // Whether every packed value is finite (no row can then give a NaN distance).
    bool finite() const { return finite_; }
    // The row at position i: stored pattern storedIndex(i).
    const double* row(long i) const { return block_ + static_cast<std::size_t>(i) * static_cast<std::size_t>(dims_); }
    // The bytes of the measurements, capacity included.
    std::size_t bytes() const { return capacity_ * static_cast<std::size_t>(dims_) * sizeof(double); }

    // The rows at positions [0, reordered()) are a permutation of the stored patterns [0,
    // reordered()); every later position holds the stored pattern of its own number.
    long reordered() const { return static_cast<long>(stored_.size()); }
    long storedIndex(long i) const { return i < reordered() ? static_cast<long>(stored_[static_cast<std::size_t>(i)]) : i; }
    // The stored numbers of the reordered positions (reordered() of them), for asking memory ahead.
    const std::uint32_t* storedNumbers() const { return stored_.data(); }
    // The bytes of the stored numbers of the reordered rows.
    std::size_t orderBytes() const { return stored_.capacity() * sizeof(std::uint32_t); }
    // Moves the row at position order[t] to position t, for t < order.size() (a permutation of
    // [0, order.size()), order.size() <= rows(), fewer than 2^32 rows), in place; order is used up.
    void reorder(std::vector<std::uint32_t>& order);

private:
    void reserve_(std::size_t rows);

    double* block_ = nullptr;
    std::size_t capacity_ = 0;
    long rows_ = 0;
    long dims_ = 0;
    bool closed_ = false;
    bool finite_ = true;
    std::vector<std::uint32_t> stored_;  // stored number per reordered position
};

// The packed rows of a classifier's data object and the index over them (knnindex.h), shared by
// the copies that share that object and appended to with it. A loaded classifier may not look
// into its patterns while it is being loaded, so its rows are packed (and indexed) by the first
// search: racing searches may each pack them, the first to publish wins and the others discard
// theirs (no lock). The index is built where RowIndex::worthBuilding says so, and rebuilt by an
// append once RowIndex::worthRebuilding says so; rows after the indexed ones are scanned.
class PackedStore {
public:
    PackedStore() = default;
    explicit PackedStore(const tqClassifierDataProviderMemory& data) : packed_(new Packed(data)) {}
    PackedStore(const PackedStore&) = delete;
    PackedStore& operator=(const PackedStore&) = delete;
    ~PackedStore();

    // The rows of `data`, the object this store belongs to; packs them on first use.
    const PackedRows& rows(const tqClassifierDataProviderMemory& data) const { return packedFor_(data).rows; }
    // The index over a prefix of those rows, or null.
    const RowIndex* index(const tqClassifierDataProviderMemory& data) const { return packedFor_(data).index.get(); }
    // After `pattern` was added to the data object (training only, never during a search).
    void append(const tqFeaturePattern& pattern);

private:
    struct Packed {
        explicit Packed(const tqClassifierDataProviderMemory& data);
        // Builds the index when it is worth building over the rows not yet tried.
        void reindex();

        PackedRows rows;
        std::unique_ptr<const RowIndex> index;
        long tried = 0;  // the rows the last build covered or refused
    };

    const Packed& packedFor_(const tqClassifierDataProviderMemory& data) const;

    mutable std::atomic<Packed*> packed_{nullptr};
};

}  // namespace tq_knn

#endif
