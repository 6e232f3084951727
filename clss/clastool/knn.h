// k-nearest-neighbour classification: the metric, the parameters and the classifier.
#ifndef CLASTOOL_KNN_H
#define CLASTOOL_KNN_H

#include <memory>
#include <vector>

#include "clss/clastool/classifier.h"
#include "clss/clastool/knnparams.h"
#include "clss/clastool/metric.h"

class tqClassifierCategoryResult;
class tqClassifierDataProviderMemory;
namespace tq_knn {
class PackedStore;
}

// The k-nearest-neighbour technique behind tqClassifierTool. Training stores the labelled
// patterns (sharing the provider's pattern objects; unlabelled ones are skipped); a run measures
// the distance to every stored pattern, keeps the k nearest, and turns their votes into match
// scores, weighed with equal category frequencies and the configured costs.
//
// Trained exactly while it holds a data object; runnable when that holds a pattern. Copies share
// the data object, so patterns added incrementally through one copy are seen by the others. Beside
// it the classifier keeps the stored measurements packed into one block of rows, which the norm
// metric's search reads instead of the pattern objects; copies share that block exactly as they
// share the data object, and incremental training appends to both.
//
// Archive layout: the tq_Classifier level (with the kept parameters), then the data object as a
// shared pointer. A loaded classifier classifies with its kept parameters.
class tq_ClassifierKNN : public tq_Classifier {
public:
    // Untrained; working parameters k = 1, norm of order 2.0, default cost 1.0.
    tq_ClassifierKNN();
    tq_ClassifierKNN(const tq_ClassifierKNN& other);
    tq_ClassifierKNN& operator=(const tq_ClassifierKNN& other);
    ~tq_ClassifierKNN() override;

    tqPtrHandle<tq_Classifier> clone() const override;
    // False for another class; otherwise operator==.
    bool isEquivalent(const tq_Classifier& other) const override;
    // The base equivalence (trained state, kept parameters), then equal data objects when trained.
    bool operator==(const tq_ClassifierKNN& other) const;
    bool operator!=(const tq_ClassifierKNN& other) const { return !(*this == other); }

    void dispatchSerialize(tqArchive& ar) override;

    static tq_Instantiator sExemplar;

protected:
    void serialize_(tqArchive& ar, unsigned char version);

    // Throws tqClassifierDefs::BadFeatures "K-nearest neighbor classification does not support
    // invalid measurements" for any training pattern with an invalid measurement; tqBadPointer
    // for a null one; the data object's own checks. The new data object is in place before the
    // first pattern is read, so a failure leaves the classifier trained but not runnable.
    void train_(const tqClassifierDataProvider& data, const tqClassifierTrainParams& params) override;
    // Adopts new parameters; the stored data stay.
    void retrain_(const tqClassifierTrainParams& params) override;
    // Nothing: incremental training needs a preceding train.
    void trainStart_(const tqClassifierTrainParams& params) override;
    // Stores a copy of the pattern (no validity check; the unknown label is kept).
    void trainIncremental_(const tqFeaturePattern& pattern, long label) override;
    void untrain_() override;
    bool isTrained_() const override { return static_cast<bool>(data_); }
    // tqClassifierDefs::InsufficientTrainData "No valid data was provided for training." without
    // a stored pattern.
    void checkRunnable_() const override;
    void run_(const tqFeaturePattern& pattern, tqClassifierResult& result) const override;
    // For the norm metric: blocks of queries against blocks of stored rows, with run_'s results,
    // errors and check order; other metrics (and k < 1) take the base loop over run_.
    void runBatch_(const tqPatternRows& rows, tqClassifierResult* results) const override;

private:
    static tqPersistent* make();

    // The parameters runs use: the kept ones when they are KNN parameters (after loading, the
    // only place that holds them), else the working ones. Everywhere else the two are equal.
    const tqClassifierTrainParamsKNN& runParams_() const;

    void findNearestNeighbors_(const tqFeaturePattern& pattern, long k, std::vector<long>& indices,
                               std::vector<double>& distances) const;
    void fillMatchResults_(const std::vector<long>& indices,
                           std::vector<tqClassifierCategoryResult>& results) const;
    void resultOf_(const std::vector<long>& indices, const tqClassifierTrainParamsKNN& params,
                   tqClassifierResult& result) const;
    // Whether batch row i is a query run_ would accept (else run_ throws BadFeatures).
    bool rowFits_(const tqPatternRows& rows, std::size_t i) const;

    void recordTrainInputs_(tqDiagObject*, unsigned long) const override {}
    void recordTrainDetails_(tqDiagObject*, unsigned long) const override {}
    void recordTrainResults_(tqDiagObject*, unsigned long) const override {}
    void recordRunInputs_(tqDiagObject*, unsigned long, const tqFeaturePattern&) const override {}
    void recordRunDetails_(tqDiagObject*, unsigned long) const override {}
    void recordRunResults_(tqDiagObject*, unsigned long, const tqFeaturePattern&,
                           const tqClassifierResult&) const override {}

    tqPtrHandle<tqClassifierDataProviderMemory> data_;
    tqClassifierTrainParamsKNN params_;
    // Null exactly while data_ is; not archived and not compared (it follows from data_).
    std::shared_ptr<tq_knn::PackedStore> packed_;
};

#endif
