#include "clss/clastool/knnparams.h"

#include "clss/clastool/errors.h"
#include "clss/clastool/knn.h"

tqClassifierTrainParamsKNN::tqClassifierTrainParamsKNN(long k) : costs_(1.0) {
    this->k(k);
    metric_ = tqPtrHandle_const<tqPatternDistanceMetric>(new tqPatternDistanceMetricNorm(2.0));
}

tqClassifierTrainParamsKNN::tqClassifierTrainParamsKNN(long k, const tqPatternDistanceMetric& metric,
                                                       const tqClassifierCosts& costs)
    : costs_(costs) {
    this->k(k);
    distanceMetric(metric);
}

tqClassifierTrainParamsKNN::tqClassifierTrainParamsKNN(const tqClassifierTrainParamsKNN& other)
    : tqPersistent(other),
      tqRepBase(),
      tqClassifierTrainParams(other),
      k_(other.k_),
      metric_(other.metric_),
      costs_(other.costs_) {}

tqClassifierTrainParamsKNN& tqClassifierTrainParamsKNN::operator=(const tqClassifierTrainParamsKNN& other) {
    tqClassifierTrainParams::operator=(other);
    k_ = other.k_;
    metric_ = other.metric_;
    costs_ = other.costs_;
    return *this;
}

tqClassifierTrainParamsKNN::~tqClassifierTrainParamsKNN() = default;

void tqClassifierTrainParamsKNN::k(long k) {
    if (k < 1) throw tqClassifierDefs::BadParams("K must be >= 1");
    k_ = k;
}

void tqClassifierTrainParamsKNN::distanceMetric(const tqPatternDistanceMetric& metric) {
    tqPtrHandle<tqPatternDistanceMetric> copy = metric.clone();
    metric_ = copy;
}

void tqClassifierTrainParamsKNN::misclassificationCosts(const tqClassifierCosts& costs) { costs_ = costs; }

tqPtrHandle<tqClassifierTrainParams> tqClassifierTrainParamsKNN::clone() const {
    return tqPtrHandle<tqClassifierTrainParams>(new tqClassifierTrainParamsKNN(*this));
}

bool tqClassifierTrainParamsKNN::isEqual_(const tqClassifierTrainParams& other) const {
    const auto* knn = dynamic_cast<const tqClassifierTrainParamsKNN*>(&other);
    if (!knn) return false;
    if (k_ != knn->k_) return false;
    // Both handles are set except after loading a hostile archive; a missing metric equals
    // only a missing one.
    if (!metric_ || !knn->metric_) {
        if (metric_.get() != knn->metric_.get()) return false;
    } else if (!metric_->isEquivalent(*knn->metric_)) {
        return false;
    }
    return costs_ == knn->costs_;
}

bool tqClassifierTrainParamsKNN::isSameTechnique_(const tqClassifierTrainParams& other) const {
    return dynamic_cast<const tqClassifierTrainParamsKNN*>(&other) != nullptr;
}

tq_Classifier* tqClassifierTrainParamsKNN::newClassifier_() const { return new tq_ClassifierKNN(); }

void tqClassifierTrainParamsKNN::dispatchSerialize(tqArchive& ar) {
    serializeLevel_(ar, static_cast<const tqClassifierTrainParamsKNN*>(this),
                    sizeof(tqClassifierTrainParamsKNN), [&](unsigned char v) { serialize_(ar, v); });
}

void tqClassifierTrainParamsKNN::serialize_(tqArchive& ar, unsigned char version) {
    tqArchive::checkVersion(version);
    tqClassifierTrainParams::dispatchSerialize(ar);
    ar || k_;
    ar || metric_;
    ar || costs_;
}

tqPersistent* tqClassifierTrainParamsKNN::make() { return new tqClassifierTrainParamsKNN(1); }
