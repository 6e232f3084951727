#include "clss/clastool/knnstore.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "clss/clastool/knnsearch.h"
#include "clss/clastool/pattern.h"
#include "clss/clastool/provider.h"

namespace tq_knn {

namespace {
constexpr std::align_val_t kAlignment{64};
}

PackedRows::PackedRows(const tqClassifierDataProviderMemory& data) {
    const auto& patterns = data.patterns();
    // Sized for the whole data up front: training packs without any growth.
    if (!patterns.empty() && patterns.front()) {
        dims_ = patterns.front()->numMeasurements();
        reserve_(patterns.size());
    }
    for (const auto& pattern : patterns) {
        append(pattern.get());
        if (closed_) break;
    }
}

PackedRows::~PackedRows() { ::operator delete(block_, kAlignment); }

void PackedRows::reserve_(std::size_t rows) {
    const std::size_t dims = static_cast<std::size_t>(dims_);
    // A zero-sized block still gets an address, so that row() is defined for zero measurements.
    auto* block = static_cast<double*>(::operator new(std::max<std::size_t>(rows * dims, 1) * sizeof(double), kAlignment));
    if (rows_ > 0) std::memcpy(block, block_, static_cast<std::size_t>(rows_) * dims * sizeof(double));
    ::operator delete(block_, kAlignment);
    block_ = block;
    capacity_ = rows;
}

void PackedRows::append(const tqFeaturePattern* pattern) {
    if (closed_) return;
    if (rows_ == 0 && pattern) dims_ = pattern->numMeasurements();
    if (!pattern || pattern->numMeasurements() != dims_ || pattern->numInvalid() != 0) {
        closed_ = true;
        return;
    }
    if (static_cast<std::size_t>(rows_) == capacity_ || !block_)
        reserve_(std::max<std::size_t>(capacity_ + capacity_ / 2, 16));
    if (dims_ > 0) {
        const double* values = pattern->featureMeasurements(false).data();
        std::memcpy(block_ + static_cast<std::size_t>(rows_) * static_cast<std::size_t>(dims_), values,
                    static_cast<std::size_t>(dims_) * sizeof(double));
        finite_ = finite_ && finiteValues(values, dims_);
    }
    ++rows_;
}

void PackedRows::reorder(std::vector<std::uint32_t>& order) {
    const std::size_t count = order.size();
    const std::size_t dims = static_cast<std::size_t>(dims_);
    for (std::size_t t = stored_.size(); t < count; ++t) stored_.push_back(static_cast<std::uint32_t>(t));
    // Cycle by cycle, with one row held aside; a placed position is marked by order[t] == t.
    std::vector<double> held(dims);
    for (std::size_t t = 0; t < count; ++t) {
        if (order[t] == t) continue;
        std::memcpy(held.data(), row(static_cast<long>(t)), dims * sizeof(double));
        const std::uint32_t heldStored = stored_[t];
        std::size_t at = t;
        for (;;) {
            const std::size_t from = order[at];
            order[at] = static_cast<std::uint32_t>(at);
            if (from == t) {
                std::memcpy(block_ + at * dims, held.data(), dims * sizeof(double));
                stored_[at] = heldStored;
                break;
            }
            std::memcpy(block_ + at * dims, block_ + from * dims, dims * sizeof(double));
            stored_[at] = stored_[from];
            at = from;
        }
    }
}

PackedStore::Packed::Packed(const tqClassifierDataProviderMemory& data) : rows(data) { reindex(); }

void PackedStore::Packed::reindex() {
    const long n = rows.rows();
    if (rows.closed() || !RowIndex::worthRebuilding(tried, n) || !RowIndex::worthBuilding(n, rows.dimension()))
        return;
    tried = n;
    // A build reorders the rows only once it can no longer refuse, and then replaces the old
    // index; no search runs meanwhile (training, or the first search before it publishes).
    std::unique_ptr<const RowIndex> built = RowIndex::build(rows, n);
    // A refused build (a value that is not finite) leaves the old index, still exact for its rows.
    if (built) index = std::move(built);
}

PackedStore::~PackedStore() { delete packed_.load(std::memory_order_relaxed); }

const PackedStore::Packed& PackedStore::packedFor_(const tqClassifierDataProviderMemory& data) const {
    Packed* packed = packed_.load(std::memory_order_acquire);
    if (packed) return *packed;
    auto* mine = new Packed(data);
    if (packed_.compare_exchange_strong(packed, mine, std::memory_order_acq_rel, std::memory_order_acquire))
        return *mine;
    delete mine;
    return *packed;
}

void PackedStore::append(const tqFeaturePattern& pattern) {
    Packed* packed = packed_.load(std::memory_order_relaxed);
    // Not packed yet: the first search packs everything, this pattern included.
    if (!packed) return;
    packed->rows.append(&pattern);
    packed->reindex();
}

}  // namespace tq_knn
