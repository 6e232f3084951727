#include "clss/clastool/pattern.h"

#include <cstddef>

#include "clss/clastool/errors.h"

namespace {

void checkNotNegative(long index) {
    if (index < 0) throw tqClassifierDefs::BadIndex("Feature measurement indices must be >= 0");
}

long countInvalid(const std::vector<bool>& validity) {
    long invalid = 0;
    for (bool valid : validity)
        if (!valid) ++invalid;
    return invalid;
}

}  // namespace

tqFeaturePattern::tqFeaturePattern(const std::vector<double>& measurements,
                                   const std::vector<long>& invalidIndices)
    : validity_(measurements.size(), true) {
    const long count = static_cast<long>(measurements.size());
    for (long index : invalidIndices) {
        checkNotNegative(index);
        if (index >= count)
            throw tqClassifierDefs::BadIndex("Feature measurement indices must be < number of features");
        validity_[static_cast<std::size_t>(index)] = false;
    }
    measurements_ = measurements;
    numInvalid_ = countInvalid(validity_);
}

tqFeaturePattern::tqFeaturePattern(const tqFeaturePattern& other)
    : tqPersistent(), tqRepBase(other), measurements_(other.measurements_), numInvalid_(other.numInvalid_),
      validity_(other.validity_) {}

tqFeaturePattern& tqFeaturePattern::operator=(const tqFeaturePattern& other) {
    mutating_();
    // Copy first, then swap in, so that a failed allocation leaves this pattern as it was.
    std::vector<double> measurements(other.measurements_);
    std::vector<bool> validity(other.validity_);
    measurements_.swap(measurements);
    validity_.swap(validity);
    numInvalid_ = other.numInvalid_;
    return *this;
}

tqFeaturePattern::~tqFeaturePattern() { mutating_(); }

tqPersistent* tqFeaturePattern::make() { return new tqFeaturePattern(); }

std::vector<long> tqFeaturePattern::invalidFeatureIndices() const {
    std::vector<long> indices;
    for (std::size_t i = 0; i < measurements_.size(); ++i)
        if (!validity_[i]) indices.push_back(static_cast<long>(i));
    return indices;
}

bool tqFeaturePattern::isValid(long index) const {
    checkNotNegative(index);
    if (index >= numMeasurements()) return false;
    return validity_[static_cast<std::size_t>(index)];
}

double tqFeaturePattern::featureMeasurement(long index, bool requireValid) const {
    checkNotNegative(index);
    if (!isValid(index)) {
        if (requireValid)
            throw tqClassifierDefs::BadFeatures(
                "The measurement for the specified measurement index is not valid.");
        if (index >= numMeasurements()) return 0.0;
    }
    return measurements_[static_cast<std::size_t>(index)];
}

void tqFeaturePattern::refuseIncomplete_() {
    throw tqClassifierDefs::BadFeatures("Access to full feature vector requires that all features are valid.");
}

bool tqFeaturePattern::operator==(const tqFeaturePattern& other) const {
    return measurements_ == other.measurements_ && validity_ == other.validity_;
}

bool tqFeaturePattern::operator!=(const tqFeaturePattern& other) const { return !(*this == other); }

void tqFeaturePattern::dispatchSerialize(tqArchive& ar) {
    serializeLevel_(ar, this, sizeof(*this), [&](unsigned char v) { serialize_(ar, v); });
}

void tqFeaturePattern::serialize_(tqArchive& ar, unsigned char version) {
    tqArchive::checkVersion(version);
    tqPersistent::dispatchSerialize(ar);
    if (ar.isStoring()) {
        ar || measurements_ || validity_;
        return;
    }
    // The accessors index the flags by measurement, so an input whose two vectors differ in
    // length is refused rather than loaded; nothing changes until both have been read.
    std::vector<double> measurements;
    std::vector<bool> validity;
    ar || measurements || validity;
    if (measurements.size() != validity.size())
        throw tqArchive::Malformed("tqFeaturePattern: the measurement and validity counts differ");
    numInvalid_ = countInvalid(validity);
    measurements_.swap(measurements);
    validity_.swap(validity);
}

tqPatternRows tqPatternRows::slice(std::size_t begin, std::size_t end) const {
    tqPatternRows part = *this;
    part.values = values + begin * rowStride;
    if (validity != nullptr) part.validity = validity + begin * rowStride;
    part.rows = end - begin;
    return part;
}

tqFeaturePattern tqPatternRows::pattern(std::size_t i) const {
    std::vector<long> invalid;
    if (validity != nullptr)
        for (std::size_t j = 0; j < dimension; ++j)
            if (!isValid(i, j)) invalid.push_back(static_cast<long>(j));
    return tqFeaturePattern(std::vector<double>(row(i), row(i) + dimension), invalid);
}
