#include "clss/clastool/predicate.h"

#include <typeinfo>

#include "clss/clastool/errors.h"
#include "clss/clastool/pattern.h"

namespace {

constexpr const char* kBadIndexMessage = "Measurement index must be >= 0 and < number of measurements.";

// Only the lower bound can be checked here: a predicate does not know the patterns it will
// see, and an index beyond a pattern's end counts as a missing measurement.
void requireIndex(long index) {
    if (index < 0) throw tqClassifierDefs::BadIndex(kBadIndexMessage);
}

void requireIndices(const std::vector<long>& indices) {
    for (long index : indices) requireIndex(index);
}

bool allValid(const std::vector<long>& indices, const tqFeaturePattern& pattern) {
    for (long index : indices)
        if (!pattern.isValid(index)) return false;
    return true;
}

}  // namespace

// --- base ---------------------------------------------------------------------------------

bool tqPredicateFunction::isEqual(const tqPredicateFunction&) const { return true; }

void tqPredicateFunction::dispatchSerialize(tqArchive& ar) {
    serializeLevel_(ar, this, sizeof(*this), [&](unsigned char v) { serialize_(ar, v); });
}

void tqPredicateFunction::serialize_(tqArchive& ar, unsigned char version) {
    tqArchive::checkVersion(version);
    tqPersistent::dispatchSerialize(ar);
}

// --- comparison ---------------------------------------------------------------------------

tqComparisonPredicate::tqComparisonPredicate(long index1, long index2)
    : measurementIndex1_(index1), measurementIndex2_(index2) {
    // Equality is tested first, so (-1, -1) is reported as equal indices.
    if (index1 == index2) throw tqClassifierDefs::BadParams("Measurement indices must be different.");
    requireIndex(index1);
    requireIndex(index2);
}

bool tqComparisonPredicate::outcome(const tqFeaturePattern& pattern) const {
    if (!pattern.isValid(measurementIndex1_)) return false;
    if (!pattern.isValid(measurementIndex2_)) return false;
    return pattern.featureMeasurement(measurementIndex1_, true) >
           pattern.featureMeasurement(measurementIndex2_, true);
}

tqPtrHandle<tqPredicateFunction> tqComparisonPredicate::clone() const {
    return tqPtrHandle<tqPredicateFunction>(new tqComparisonPredicate(*this));
}

bool tqComparisonPredicate::isEqual(const tqPredicateFunction& other) const {
    const auto* o = dynamic_cast<const tqComparisonPredicate*>(&other);
    return o && measurementIndex1_ == o->measurementIndex1_ && measurementIndex2_ == o->measurementIndex2_;
}

void tqComparisonPredicate::dispatchSerialize(tqArchive& ar) {
    serializeLevel_(ar, this, sizeof(*this), [&](unsigned char v) { serialize_(ar, v); });
}

void tqComparisonPredicate::serialize_(tqArchive& ar, unsigned char version) {
    tqArchive::checkVersion(version);
    tqPredicateFunction::dispatchSerialize(ar);
    ar || measurementIndex1_ || measurementIndex2_;
}

tqPersistent* tqComparisonPredicate::make() { return new tqComparisonPredicate; }

// --- range --------------------------------------------------------------------------------

tqRangePredicate::tqRangePredicate() : measurementRange_(tqRange::FullRange()), measurementIndices_{0} {}

tqRangePredicate::tqRangePredicate(const tqRange& range, const std::vector<long>& indices)
    : measurementRange_(range), measurementIndices_(indices) {
    requireIndices(measurementIndices_);
}

bool tqRangePredicate::outcome(const tqFeaturePattern& pattern) const {
    for (long index : measurementIndices_) {
        if (!pattern.isValid(index)) return false;
        if (!measurementRange_.isWithin(pattern.featureMeasurement(index, true))) return false;
    }
    return true;
}

tqPtrHandle<tqPredicateFunction> tqRangePredicate::clone() const {
    return tqPtrHandle<tqPredicateFunction>(new tqRangePredicate(*this));
}

bool tqRangePredicate::isEqual(const tqPredicateFunction& other) const {
    const auto* o = dynamic_cast<const tqRangePredicate*>(&other);
    return o && measurementRange_ == o->measurementRange_ && measurementIndices_ == o->measurementIndices_;
}

void tqRangePredicate::dispatchSerialize(tqArchive& ar) {
    serializeLevel_(ar, this, sizeof(*this), [&](unsigned char v) { serialize_(ar, v); });
}

void tqRangePredicate::serialize_(tqArchive& ar, unsigned char version) {
    tqArchive::checkVersion(version);
    tqPredicateFunction::dispatchSerialize(ar);
    ar || measurementRange_ || measurementIndices_;
}

tqPersistent* tqRangePredicate::make() { return new tqRangePredicate; }

// --- validity -----------------------------------------------------------------------------

tqValidityPredicate::tqValidityPredicate() : measurementIndices_{0} {}

tqValidityPredicate::tqValidityPredicate(const std::vector<long>& indices) : measurementIndices_(indices) {
    requireIndices(measurementIndices_);
}

bool tqValidityPredicate::outcome(const tqFeaturePattern& pattern) const {
    return allValid(measurementIndices_, pattern);
}

tqPtrHandle<tqPredicateFunction> tqValidityPredicate::clone() const {
    return tqPtrHandle<tqPredicateFunction>(new tqValidityPredicate(*this));
}

bool tqValidityPredicate::isEqual(const tqPredicateFunction& other) const {
    const auto* o = dynamic_cast<const tqValidityPredicate*>(&other);
    return o && measurementIndices_ == o->measurementIndices_;
}

void tqValidityPredicate::dispatchSerialize(tqArchive& ar) {
    serializeLevel_(ar, this, sizeof(*this), [&](unsigned char v) { serialize_(ar, v); });
}

void tqValidityPredicate::serialize_(tqArchive& ar, unsigned char version) {
    tqArchive::checkVersion(version);
    tqPredicateFunction::dispatchSerialize(ar);
    ar || measurementIndices_;
}

tqPersistent* tqValidityPredicate::make() { return new tqValidityPredicate; }
