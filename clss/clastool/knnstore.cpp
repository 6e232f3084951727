#include "clss/clastool/knnstore.h"

#include <algorithm>
#include <cstring>
#include <new>

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
    }
    ++rows_;
}

const PackedRows& PackedStore::rows(const tqClassifierDataProviderMemory& data) const {
    PackedRows* rows = rows_.load(std::memory_order_acquire);
    if (rows) return *rows;
    auto* mine = new PackedRows(data);
    if (rows_.compare_exchange_strong(rows, mine, std::memory_order_acq_rel, std::memory_order_acquire))
        return *mine;
    delete mine;
    return *rows;
}

void PackedStore::append(const tqFeaturePattern& pattern) {
    PackedRows* rows = rows_.load(std::memory_order_relaxed);
    // Not packed yet: the first search packs everything, this pattern included.
    if (!rows) return;
    rows->append(&pattern);
}

}  // namespace tq_knn
