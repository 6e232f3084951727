#include "clss/clastool/tool.h"

#include <algorithm>
#include <utility>

#include "clss/clastool/errors.h"
#include "clss/clastool/pattern.h"
#include "clss/clastool/provider.h"
#include "clss/clastool/result.h"

tqClassifierTool::tqClassifierTool() : classifier_(new tqPtrHandle<tq_Classifier>()) {}

tqClassifierTool::tqClassifierTool(const tqClassifierTool& other) : tqClassifierTool() { *this = other; }

tqClassifierTool::~tqClassifierTool() {
    // untrain() may call into a technique; a destructor must not let anything escape.
    try {
        untrain();
    } catch (...) {
    }
    delete classifier_;
}

tqClassifierTool& tqClassifierTool::operator=(const tqClassifierTool& other) {
    if (this == &other) return *this;
    // The copy is made before the old classifier goes, so that a failing clone leaves this tool as
    // it was.
    tqPtrHandle<tq_Classifier> copy;
    if (other.isTrained()) copy = (*other.classifier_)->clone();
    *classifier_ = std::move(copy);
    return *this;
}

void tqClassifierTool::train(const tqClassifierDataProvider& data, const tqClassifierTrainParams& params,
                             tqDiagObject* diag, unsigned long flags) {
    // `params` may be the current classifier's: hold them while it goes.
    const tqPtrHandle_const<tqClassifierTrainParams> kept =
        *classifier_ ? (*classifier_)->keptParams_() : tqPtrHandle_const<tqClassifierTrainParams>();
    if (isTrained()) untrain();
    try {
        classifier_->reset();
        tq_Classifier* made = params.newClassifier_();
        if (!made) throw tqClassifierDefs::NotImplemented();
        classifier_->reset(made);
    } catch (...) {
        classifier_->reset();
        throw tqClassifierDefs::NotImplemented(
            "The classification method specified by the training parameters is not implemented.");
    }
    (*classifier_)->train(data, params, diag, flags);
    checkReady_(params);
}

void tqClassifierTool::retrain(const tqClassifierTrainParams& params, tqDiagObject* diag,
                               unsigned long flags) {
    if (!*classifier_)
        throw tqClassifierDefs::NotTrained("Classifier tool must be trained before retraining.");
    (*classifier_)->retrain(params, diag, flags);
    checkReady_(params);
}

void tqClassifierTool::checkReady_(const tqClassifierTrainParams& params) {
    if (!params.throwIfNotReady()) return;
    try {
        (*classifier_)->checkRunnable_();
    } catch (const tqClassifierDefs::Errors&) {
        untrain();
        throw;
    }
}

void tqClassifierTool::run(const tqFeaturePattern& pattern, tqClassifierResult& result, tqDiagObject* diag,
                           unsigned long flags) const {
    if (!*classifier_) throw tqClassifierDefs::NotTrained("Classifier tool must be trained before running.");
    (*classifier_)->run(pattern, result, diag, flags);
}

void tqClassifierTool::runBatch(const tqPatternRows& rows, tqClassifierResult* results) const {
    if (!*classifier_) throw tqClassifierDefs::NotTrained("Classifier tool must be trained before running.");
    (*classifier_)->runBatch(rows, results);
}

void tqClassifierTool::runBatchScores(const tqPatternRows& rows, const long* columns, std::size_t numColumns,
                                      double* scores) const {
    if (!*classifier_) throw tqClassifierDefs::NotTrained("Classifier tool must be trained before running.");
    (*classifier_)->runBatchScores(rows, columns, numColumns, scores);
}

namespace {

// Packs patterns [begin, end) of data into rows of width dim; false if one has another length.
bool packRows(const tqClassifierDataProvider& data, long begin, long end, std::size_t dim,
              std::vector<double>& values, std::vector<unsigned char>& validity) {
    values.assign(static_cast<std::size_t>(end - begin) * dim, 0.0);
    validity.assign(values.size(), 1);
    for (long i = begin; i < end; ++i) {
        const tqPtrHandle_const<tqFeaturePattern> pattern = data.featurePattern(i);
        if (static_cast<std::size_t>(pattern->numMeasurements()) != dim) return false;
        const std::vector<double>& m = pattern->featureMeasurements(false);
        const std::size_t at = static_cast<std::size_t>(i - begin) * dim;
        for (std::size_t j = 0; j < dim; ++j) {
            values[at + j] = m[j];
            validity[at + j] = pattern->isValid(static_cast<long>(j)) ? 1 : 0;
        }
    }
    return true;
}

}  // namespace

std::vector<tqClassifierResult> tqClassifierTool::runBatch(const tqClassifierDataProvider& data) const {
    if (!*classifier_) throw tqClassifierDefs::NotTrained("Classifier tool must be trained before running.");
    constexpr long kPackedRows = 4096;  // bounds the packed copy, whatever the data's size
    const long n = data.numPatterns();
    const std::size_t dim = static_cast<std::size_t>(n > 0 ? data.numMeasurements() : 0);
    std::vector<tqClassifierResult> results(static_cast<std::size_t>(n));
    std::vector<double> values;
    std::vector<unsigned char> validity;
    for (long begin = 0; begin < n; begin += kPackedRows) {
        const long end = std::min(n, begin + kPackedRows);
        if (packRows(data, begin, end, dim, values, validity)) {
            const tqPatternRows rows{values.data(), validity.data(), static_cast<std::size_t>(end - begin), dim, dim};
            (*classifier_)->runBatch(rows, &results[static_cast<std::size_t>(begin)]);
        } else {
            for (long i = begin; i < end; ++i) run(*data.featurePattern(i), results[static_cast<std::size_t>(i)]);
        }
    }
    return results;
}

void tqClassifierTool::untrain() {
    if (*classifier_) (*classifier_)->untrain();
}

bool tqClassifierTool::isTrained() const { return *classifier_ && (*classifier_)->isTrained(); }

tqPtrHandle_const<tqClassifierTrainParams> tqClassifierTool::trainParams() const {
    if (!*classifier_)
        throw tqClassifierDefs::NotTrained(
            "Classifier tool must be trained before requesting the training parameters.");
    return (*classifier_)->trainParams();
}

bool tqClassifierTool::operator==(const tqClassifierTool& other) const {
    const bool trained = isTrained();
    if (trained != other.isTrained()) return false;
    if (!trained) return true;
    return (*classifier_)->isEquivalent(**other.classifier_);
}

tqArchive& operator||(tqArchive& ar, tqClassifierTool& tool) {
    unsigned char version = 0;
    ar || version;
    tqArchive::checkVersion(version, "clss/clastool/clastool", 897);
    ar || *tool.classifier_;
    return ar;
}
