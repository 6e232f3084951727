#include "clss/clastool/classifier.h"

#include <algorithm>
#include <string>

#include "clss/clastool/errors.h"
#include "clss/clastool/pattern.h"
#include "clss/clastool/result.h"
#include "platform/attention.h"
#include "platform/diag.h"
#include "platform/exception.h"

tq_Classifier::tq_Classifier() = default;

tq_Classifier::tq_Classifier(const tq_Classifier& other)
    : tqPersistent(other), tqRepBase(), trainParams_(other.trainParams_) {}

tq_Classifier& tq_Classifier::operator=(const tq_Classifier& other) {
    mutating_();
    trainParams_ = other.trainParams_;
    return *this;
}

tq_Classifier::~tq_Classifier() { mutating_(); }

void tq_Classifier::train(const tqClassifierDataProvider& data, const tqClassifierTrainParams& params,
                          tqDiagObject* diag, unsigned long flags) {
    // `params` may be the parameters this classifier keeps: hold them while untraining.
    const tqPtrHandle_const<tqClassifierTrainParams> kept = trainParams_;
    if (isTrained_()) untrain();
    tqDiagObject* dest = tqDiagObject::getRecordingDestination(diag, flags);
    recordTrainInputs_(dest, flags);
    train_(data, params);
    trainParams_ = params.clone();
    // The details hook is the one place where the caller's own diagnostics object is handed on.
    recordTrainDetails_(diag, flags);
    recordTrainResults_(dest, flags);
}

void tq_Classifier::trainStart(const tqClassifierTrainParams& params) {
    const tqPtrHandle_const<tqClassifierTrainParams> kept = trainParams_;  // as in train()
    if (isTrained_()) untrain();
    trainStart_(params);
    trainParams_ = params.clone();
}

void tq_Classifier::trainIncremental(const tqFeaturePattern& pattern, long label, tqDiagObject*,
                                     unsigned long) {
    if (!isTrained_())
        throw tqClassifierDefs::NotTrained("Classifier tool must be trained before incremental training.");
    trainIncremental_(pattern, label);
}

void tq_Classifier::retrain(const tqClassifierTrainParams& params, tqDiagObject*, unsigned long) {
    if (!isTrained_())
        throw tqClassifierDefs::NotTrained("Classifier tool must be trained before retraining.");
    if (!trainParams_ || !params.isSameTechnique_(*trainParams_))
        throw tqClassifierDefs::BadMethod("Cannot retrain with a different classification technique.");
    retrain_(params);
    trainParams_ = params.clone();
}

void tq_Classifier::run(const tqFeaturePattern& pattern, tqClassifierResult& result, tqDiagObject* diag,
                        unsigned long flags) const {
    if (!isTrained_()) throw tqClassifierDefs::NotTrained("Classifier tool must be trained before running.");
    tqDiagObject* dest = tqDiagObject::getRecordingDestination(diag, flags);
    recordRunInputs_(dest, flags, pattern);
    run_(pattern, result);
    recordRunDetails_(dest, flags);
    recordRunResults_(dest, flags, pattern, result);
}

namespace {

// The checks of a batch call, in their order; false when there are no rows to classify.
// `room` says whether the caller gave somewhere to write, `output` what goes there.
bool batchToRun(bool trained, const tqPatternRows& rows, bool room, const char* output) {
    if (!trained) throw tqClassifierDefs::NotTrained("Classifier tool must be trained before running.");
    if (rows.rows == 0) return false;
    // Rows without measurements need no values (an empty vector's data() may be null).
    if ((rows.values == nullptr && rows.dimension > 0) || !room)
        throw tqClassifierDefs::BadParams(std::string("Batch classification needs pattern rows and room for their ") +
                                          output + ".");
    if (rows.rowStride < rows.dimension)
        throw tqClassifierDefs::BadParams("Pattern rows must be at least as long as their dimension.");
    return true;
}

}  // namespace

void tq_Classifier::runBatch(const tqPatternRows& rows, tqClassifierResult* results) const {
    if (batchToRun(isTrained_(), rows, results != nullptr, "results")) runBatch_(rows, results);
}

void tq_Classifier::runBatch_(const tqPatternRows& rows, tqClassifierResult* results) const {
    for (std::size_t i = 0; i < rows.rows; ++i) {
        if (i % kBatchBlock == 0) tfThrowExceptionOnFailure(tfAttentionCheck());
        run_(rows.pattern(i), results[i]);
    }
}

void tq_Classifier::runBatchScores(const tqPatternRows& rows, const long* columns, std::size_t numColumns,
                                   double* scores) const {
    const bool room = numColumns == 0 || (columns != nullptr && scores != nullptr);
    if (batchToRun(isTrained_(), rows, room, "scores")) runBatchScores_(rows, ScoreColumns(columns, numColumns), scores);
}

void tq_Classifier::runBatchScores_(const tqPatternRows& rows, const ScoreColumns& columns, double* scores) const {
    std::vector<tqClassifierResult> results(std::min(rows.rows, kBatchBlock));
    for (std::size_t begin = 0; begin < rows.rows; begin += kBatchBlock) {
        const std::size_t end = std::min(rows.rows, begin + kBatchBlock);
        try {
            runBatch_(rows.slice(begin, end), results.data());
        } catch (...) {
            // Which row failed is not known here: the block's rows one by one give the scores
            // before it and then its own error.
            for (std::size_t i = begin; i < end; ++i) {
                run_(rows.pattern(i), results[0]);
                columns.scatter(results[0], scores + i * columns.size());
            }
            throw;
        }
        for (std::size_t i = begin; i < end; ++i) columns.scatter(results[i - begin], scores + i * columns.size());
    }
}

tq_Classifier::ScoreColumns::ScoreColumns(const long* labels, std::size_t n) {
    for (std::size_t c = 0; c < n; ++c) byLabel_.emplace_back(labels[c], c);
    std::sort(byLabel_.begin(), byLabel_.end());
    for (std::size_t c = 1; c < n; ++c)
        if (byLabel_[c].first == byLabel_[c - 1].first)
            throw tqClassifierDefs::BadParams("The category labels of the score columns must be unique.");
}

std::size_t tq_Classifier::ScoreColumns::column(long label) const {
    const auto at = std::lower_bound(byLabel_.begin(), byLabel_.end(), std::make_pair(label, std::size_t{0}));
    return at != byLabel_.end() && at->first == label ? at->second : byLabel_.size();
}

void tq_Classifier::ScoreColumns::scatter(const tqClassifierResult& result, double* row) const {
    std::fill(row, row + size(), 0.0);
    for (const tqClassifierCategoryResult& entry : result.categoryResults()) {
        const std::size_t c = column(entry.categoryLabel());
        if (c < size()) row[c] = entry.classScore();
    }
}

void tq_Classifier::untrain() {
    if (!isTrained_()) return;
    untrain_();
    trainParams_.reset();
}

tqPtrHandle_const<tqClassifierTrainParams> tq_Classifier::trainParams() const {
    if (!isTrained_())
        throw tqClassifierDefs::NotTrained(
            "Classifier tool must be trained before requesting the training parameters.");
    if (!trainParams_) throw tqClassifierDefs::BadMethod("Classifier tool was not automatically trained.");
    return trainParams_;
}

bool tq_Classifier::isEquivalent(const tq_Classifier& other) const {
    if (isTrained_() != other.isTrained_()) return false;
    if (trainParams_ && other.trainParams_) return trainParams_->isEqual_(*other.trainParams_);
    return trainParams_.get() == other.trainParams_.get();
}

void tq_Classifier::dispatchSerialize(tqArchive& ar) {
    serializeLevel_(ar, static_cast<const tq_Classifier*>(this), sizeof(tq_Classifier),
                    [&](unsigned char v) { serialize_(ar, v); });
}

void tq_Classifier::serialize_(tqArchive& ar, unsigned char version) {
    tqArchive::checkVersion(version);
    tqPersistent::dispatchSerialize(ar);
    // The handle operator lets go of the old object first and keeps null for an object of
    // another type. The loaded object may still be filled later in this pass: nothing here
    // looks into it.
    ar || trainParams_;
}
