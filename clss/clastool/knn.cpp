#include "clss/clastool/knn.h"

#include <map>

#include "clss/clastool/costs.h"
#include "clss/clastool/errors.h"
#include "clss/clastool/knnsearch.h"
#include "clss/clastool/pattern.h"
#include "clss/clastool/provider.h"
#include "clss/clastool/result.h"
#include "platform/attention.h"
#include "platform/exception.h"

namespace {
const char* const kInvalidMeasurements =
    "K-nearest neighbor classification does not support invalid measurements";
}

tq_ClassifierKNN::tq_ClassifierKNN() : params_(1) {}

tq_ClassifierKNN::tq_ClassifierKNN(const tq_ClassifierKNN& other)
    : tq_Classifier(other), data_(other.data_), params_(other.params_), knownValid_(other.knownValid_) {}

tq_ClassifierKNN& tq_ClassifierKNN::operator=(const tq_ClassifierKNN& other) {
    tq_Classifier::operator=(other);
    data_ = other.data_;
    params_ = other.params_;
    knownValid_ = other.knownValid_;
    return *this;
}

tq_ClassifierKNN::~tq_ClassifierKNN() = default;

tqPtrHandle<tq_Classifier> tq_ClassifierKNN::clone() const {
    return tqPtrHandle<tq_Classifier>(new tq_ClassifierKNN(*this));
}

bool tq_ClassifierKNN::isEquivalent(const tq_Classifier& other) const {
    const auto* knn = dynamic_cast<const tq_ClassifierKNN*>(&other);
    return knn && *this == *knn;
}

bool tq_ClassifierKNN::operator==(const tq_ClassifierKNN& other) const {
    if (!tq_Classifier::isEquivalent(other)) return false;
    if (!other.isTrained_()) return true;
    return *data_ == *other.data_;
}

void tq_ClassifierKNN::train_(const tqClassifierDataProvider& data, const tqClassifierTrainParams& params) {
    params_ = dynamic_cast<const tqClassifierTrainParamsKNN&>(params);
    knownValid_ = 0;
    data_ = tqPtrHandle<tqClassifierDataProviderMemory>(new tqClassifierDataProviderMemory());
    data_->setName(data.name());
    data_->setDescription(data.description());

    const long n = data.numPatterns();
    std::vector<tqPtrHandle_const<tqFeaturePattern>> patterns;
    std::vector<long> labels;
    for (long i = 0; i < n; ++i) {
        tfThrowExceptionOnFailure(tfAttentionCheck());
        tqPtrHandle_const<tqFeaturePattern> pattern = data.featurePattern(i);
        // Checked before the label is read: an unlabelled pattern must be valid too.
        if (pattern->numInvalid() != 0) throw tqClassifierDefs::BadFeatures(kInvalidMeasurements);
        const long label = data.categoryLabel(i);
        if (label == -1) continue;
        patterns.push_back(pattern);
        labels.push_back(label);
    }
    data_->data(patterns, labels);
    knownValid_ = data_->numPatterns();
}

void tq_ClassifierKNN::retrain_(const tqClassifierTrainParams& params) {
    const tqPtrHandle_const<tqClassifierTrainParams> kept = trainParams();
    if (!kept) tq_throwBadPointer();
    params_ = dynamic_cast<const tqClassifierTrainParamsKNN&>(params);
}

void tq_ClassifierKNN::trainStart_(const tqClassifierTrainParams&) {}

void tq_ClassifierKNN::trainIncremental_(const tqFeaturePattern& pattern, long label) {
    const tqPtrHandle_const<tqFeaturePattern> copy(new tqFeaturePattern(pattern));
    const bool extendsValidPrefix = knownValid_ == data_->numPatterns() && copy->numInvalid() == 0;
    data_->addData(copy, label);
    if (extendsValidPrefix) ++knownValid_;
}

void tq_ClassifierKNN::untrain_() {
    data_.reset();
    knownValid_ = 0;
}

void tq_ClassifierKNN::checkRunnable_() const {
    if (data_->numPatterns() == 0)
        throw tqClassifierDefs::InsufficientTrainData("No valid data was provided for training.");
}

const tqClassifierTrainParamsKNN& tq_ClassifierKNN::runParams_() const {
    // A loader must not look into the objects it loads (they may be filled later in the same
    // pass), so a loaded classifier cannot copy its kept parameters into the working ones; it
    // reads them here instead, which gives the same answers as the classifier it was stored from.
    const auto* kept = dynamic_cast<const tqClassifierTrainParamsKNN*>(keptParams_().get());
    return kept ? *kept : params_;
}

void tq_ClassifierKNN::run_(const tqFeaturePattern& pattern, tqClassifierResult& result) const {
    checkRunnable_();
    if (pattern.numInvalid() != 0 || pattern.numMeasurements() != data_->numMeasurements())
        throw tqClassifierDefs::BadFeatures(kInvalidMeasurements);
    const tqClassifierTrainParamsKNN& params = runParams_();
    std::vector<long> indices;
    std::vector<double> distances;
    findNearestNeighbors_(pattern, params.k(), indices, distances);
    std::vector<tqClassifierCategoryResult> categoryResults;
    fillMatchResults_(indices, categoryResults);
    result = tqClassifierResult(categoryResults, tqClassifierFrequencies(1.0),
                                params.misclassificationCosts(), 0.0);
}

void tq_ClassifierKNN::findNearestNeighbors_(const tqFeaturePattern& pattern, long k,
                                             std::vector<long>& indices,
                                             std::vector<double>& distances) const {
    const tqPtrHandle_const<tqPatternDistanceMetric> metric = runParams_().distanceMetric();
    tq_knn::findNearestNeighbors(*data_, metric.get(), pattern, k, indices, distances, knownValid_);
}

void tq_ClassifierKNN::fillMatchResults_(const std::vector<long>& indices,
                                         std::vector<tqClassifierCategoryResult>& results) const {
    const double n = static_cast<double>(indices.size());
    std::map<long, long> votes;
    for (long index : indices) ++votes[data_->categoryLabel(index)];
    for (const auto& [label, count] : votes)
        results.push_back(tqClassifierCategoryResult(label, static_cast<double>(count) / n, 0.0, 0.0));
}

void tq_ClassifierKNN::dispatchSerialize(tqArchive& ar) {
    serializeLevel_(ar, static_cast<const tq_ClassifierKNN*>(this), sizeof(tq_ClassifierKNN),
                    [&](unsigned char v) { serialize_(ar, v); });
}

void tq_ClassifierKNN::serialize_(tqArchive& ar, unsigned char version) {
    tqArchive::checkVersion(version);
    tq_Classifier::dispatchSerialize(ar);
    ar || data_;
    // Nothing is known about loaded patterns (and a loader must not look at them here).
    if (ar.isLoading()) knownValid_ = 0;
}

tqPersistent* tq_ClassifierKNN::make() { return new tq_ClassifierKNN(); }
