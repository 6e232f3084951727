#include "clss/clastool/metric.h"

#include "clss/clastool/errors.h"
#include "clss/clastool/knnsearch.h"
#include "clss/clastool/pattern.h"

tqPatternDistanceMetric::tqPatternDistanceMetric() = default;
tqPatternDistanceMetric::~tqPatternDistanceMetric() = default;
tqPatternDistanceMetric::tqPatternDistanceMetric(const tqPatternDistanceMetric& other)
    : tqPersistent(other), tqRepBase() {}
tqPatternDistanceMetric& tqPatternDistanceMetric::operator=(const tqPatternDistanceMetric&) {
    mutating_();
    return *this;
}

bool tqPatternDistanceMetric::isEquivalent(const tqPatternDistanceMetric&) const { return true; }

void tqPatternDistanceMetric::dispatchSerialize(tqArchive& ar) {
    serializeLevel_(ar, static_cast<const tqPatternDistanceMetric*>(this), sizeof(tqPatternDistanceMetric),
                    [&](unsigned char v) { serialize_(ar, v); });
}

void tqPatternDistanceMetric::serialize_(tqArchive& ar, unsigned char version) {
    tqArchive::checkVersion(version);
    tqPersistent::dispatchSerialize(ar);
}

tqPatternDistanceMetricNorm::tqPatternDistanceMetricNorm(double p) { order(p); }
tqPatternDistanceMetricNorm::tqPatternDistanceMetricNorm(const tqPatternDistanceMetricNorm& other)
    : tqPersistent(other), tqRepBase(), tqPatternDistanceMetric(other), order_(other.order_) {}
tqPatternDistanceMetricNorm& tqPatternDistanceMetricNorm::operator=(
    const tqPatternDistanceMetricNorm& other) {
    mutating_();
    order_ = other.order_;
    return *this;
}
tqPatternDistanceMetricNorm::~tqPatternDistanceMetricNorm() = default;

void tqPatternDistanceMetricNorm::order(double p) {
    if (!(p > 0.0)) throw tqClassifierDefs::BadParams("Order of norm distance must be > 0");
    order_ = p;
}

double tqPatternDistanceMetricNorm::distance(const tqFeaturePattern& a, const tqFeaturePattern& b) const {
    const long n = a.numMeasurements();
    if (b.numMeasurements() != n)
        throw tqClassifierDefs::BadFeatures(
            "Pattern distance function requires the number of measurementsin the two patterns to be equal");
    double sum = 0.0;
    if (n > 0) {
        const std::vector<double>& va = a.featureMeasurements(true);
        const std::vector<double>& vb = b.featureMeasurements(true);
        // The neighbour search computes the same sum with the same function, so that its
        // distances are these bits exactly.
        sum = tq_knn::normPowerSum(va.data(), vb.data(), n, order_);
    }
    return tq_knn::normRoot(sum, order_);
}

tqPtrHandle<tqPatternDistanceMetric> tqPatternDistanceMetricNorm::clone() const {
    return tqPtrHandle<tqPatternDistanceMetric>(new tqPatternDistanceMetricNorm(*this));
}

bool tqPatternDistanceMetricNorm::isEquivalent(const tqPatternDistanceMetric& other) const {
    const auto* norm = dynamic_cast<const tqPatternDistanceMetricNorm*>(&other);
    if (!norm) return false;
    return !(order_ < norm->order_) && !(order_ > norm->order_);
}

void tqPatternDistanceMetricNorm::dispatchSerialize(tqArchive& ar) {
    serializeLevel_(ar, static_cast<const tqPatternDistanceMetricNorm*>(this),
                    sizeof(tqPatternDistanceMetricNorm), [&](unsigned char v) { serialize_(ar, v); });
}

void tqPatternDistanceMetricNorm::serialize_(tqArchive& ar, unsigned char version) {
    tqArchive::checkVersion(version);
    tqPatternDistanceMetric::dispatchSerialize(ar);
    ar || order_;
}

tqPersistent* tqPatternDistanceMetricNorm::make() { return new tqPatternDistanceMetricNorm(2.0); }
