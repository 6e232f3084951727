#include "clss/clastool/knn.h"

#include <algorithm>
#include <map>

#include "clss/clastool/costs.h"
#include "clss/clastool/errors.h"
#include "clss/clastool/knnindex.h"
#include "clss/clastool/knnsearch.h"
#include "clss/clastool/knnstore.h"
#include "clss/clastool/pattern.h"
#include "clss/clastool/provider.h"
#include "clss/clastool/result.h"
#include "platform/attention.h"
#include "platform/exception.h"

namespace {
const char* const kInvalidMeasurements =
    "K-nearest neighbor classification does not support invalid measurements";

// Queries per batch block: each block of stored rows is read once per this many queries, and the
// index answers a block in the order of its leaves. The search itself checks for an abort per
// block of rows or per query, so a large block does not delay one.
constexpr std::size_t kQueryBlock = 1024;
}  // namespace

tq_ClassifierKNN::tq_ClassifierKNN() : params_(1) {}

tq_ClassifierKNN::tq_ClassifierKNN(const tq_ClassifierKNN& other)
    : tq_Classifier(other), data_(other.data_), params_(other.params_), packed_(other.packed_) {}

tq_ClassifierKNN& tq_ClassifierKNN::operator=(const tq_ClassifierKNN& other) {
    tq_Classifier::operator=(other);
    data_ = other.data_;
    params_ = other.params_;
    packed_ = other.packed_;
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
    data_ = tqPtrHandle<tqClassifierDataProviderMemory>(new tqClassifierDataProviderMemory());
    packed_ = std::make_shared<tq_knn::PackedStore>();
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
    packed_ = std::make_shared<tq_knn::PackedStore>(*data_);
}

void tq_ClassifierKNN::retrain_(const tqClassifierTrainParams& params) {
    const tqPtrHandle_const<tqClassifierTrainParams> kept = trainParams();
    if (!kept) tq_throwBadPointer();
    params_ = dynamic_cast<const tqClassifierTrainParamsKNN&>(params);
}

void tq_ClassifierKNN::trainStart_(const tqClassifierTrainParams&) {}

void tq_ClassifierKNN::trainIncremental_(const tqFeaturePattern& pattern, long label) {
    // A copy of this classifier shares the stored patterns until one of the two adds to them; the
    // one that adds takes a list of its own first, so that the other, which may be running on
    // another thread, never sees the change.
    if (data_->refCount() > 1 || packed_.use_count() > 1) {
        const tqPtrHandle<tqClassifierDataProviderMemory> own(new tqClassifierDataProviderMemory(*data_));
        packed_ = std::make_shared<tq_knn::PackedStore>();  // packs on its first search
        data_ = own;
    }
    const tqPtrHandle_const<tqFeaturePattern> copy(new tqFeaturePattern(pattern));
    data_->addData(copy, label);
    packed_->append(*copy);
}

void tq_ClassifierKNN::untrain_() {
    data_.reset();
    packed_.reset();
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
    resultOf_(indices, params, result);
}

void tq_ClassifierKNN::resultOf_(const std::vector<long>& indices, const tqClassifierTrainParamsKNN& params,
                                 tqClassifierResult& result) const {
    std::vector<tqClassifierCategoryResult> categoryResults;
    fillMatchResults_(indices, categoryResults);
    result = tqClassifierResult(categoryResults, tqClassifierFrequencies(1.0),
                                params.misclassificationCosts(), 0.0);
}

bool tq_ClassifierKNN::rowFits_(const tqPatternRows& rows, std::size_t i) const {
    for (std::size_t j = 0; j < rows.dimension; ++j)
        if (!rows.isValid(i, j)) return false;
    return static_cast<long>(rows.dimension) == data_->numMeasurements();
}

void tq_ClassifierKNN::runBatch_(const tqPatternRows& rows, tqClassifierResult* results) const {
    const tqClassifierTrainParamsKNN& params = runParams_();
    const tqPtrHandle_const<tqPatternDistanceMetric> metric = params.distanceMetric();
    const tqPatternDistanceMetricNorm* norm = tq_knn::exactNorm(metric.get());
    if (!norm || params.k() < 1) {
        tq_Classifier::runBatch_(rows, results);
        return;
    }
    std::vector<std::vector<long>> indices(kQueryBlock);
    std::vector<std::vector<double>> distances(kQueryBlock);
    std::vector<const double*> queries(kQueryBlock);
    for (std::size_t begin = 0; begin < rows.rows; begin += kQueryBlock) {
        tfThrowExceptionOnFailure(tfAttentionCheck());
        checkRunnable_();
        const std::size_t end = std::min(rows.rows, begin + kQueryBlock);
        // The queries run_ would accept, up to the first it would refuse: their results go in
        // before that one's error, as with one run after another.
        std::size_t fit = begin;
        for (; fit < end && rowFits_(rows, fit); ++fit) queries[fit - begin] = rows.row(fit);
        const auto count = static_cast<long>(fit - begin);
        tq_knn::findNearest(packed_->rows(*data_), packed_->index(*data_), *data_, norm->order(), queries.data(),
                            count, data_->numMeasurements(), params.k(), indices.data(), distances.data());
        for (std::size_t q = begin; q < fit; ++q) resultOf_(indices[q - begin], params, results[q]);
        if (fit < end) throw tqClassifierDefs::BadFeatures(kInvalidMeasurements);
    }
}

void tq_ClassifierKNN::findNearestNeighbors_(const tqFeaturePattern& pattern, long k,
                                             std::vector<long>& indices,
                                             std::vector<double>& distances) const {
    const tqPtrHandle_const<tqPatternDistanceMetric> metric = runParams_().distanceMetric();
    const tqPatternDistanceMetricNorm* norm = tq_knn::exactNorm(metric.get());
    if (!norm) {
        tq_knn::findNearestNeighbors(*data_, metric.get(), pattern, k, indices, distances);
        return;
    }
    // run_ checked the query: valid, and as long as the stored patterns.
    const double* query = pattern.featureMeasurements(false).data();
    tq_knn::findNearest(packed_->rows(*data_), packed_->index(*data_), *data_, norm->order(), &query, 1,
                        pattern.numMeasurements(), k, &indices, &distances);
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
    // A loader must not look into the patterns here: the first search packs them.
    if (ar.isLoading()) packed_ = data_ ? std::make_shared<tq_knn::PackedStore>() : nullptr;
}

tqPersistent* tq_ClassifierKNN::make() { return new tq_ClassifierKNN(); }
