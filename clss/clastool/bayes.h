// The Bayesian classifier: one density model per category, a Bayes decision with priors
// and misclassification costs.
#ifndef CLASTOOL_BAYES_H
#define CLASTOOL_BAYES_H

#include <cstdint>
#include <memory>
#include <vector>

#include "clss/clastool/categorymodel.h"
#include "clss/clastool/classifier.h"
#include "platform/handle.h"

class tqClassifierTrainParamsBayesian;
struct tq_BayesRunTable;

// The technique behind tqClassifierTrainParamsBayesian (normally driven through
// tqClassifierTool). Training reads the labelled patterns once, in provider order: the
// first pattern of each label (-1 is skipped) creates that label's category model, whose
// measurement groups are the label's dependency sets that reach below the provider's
// measurement count plus singletons for the other measurements (ordered by their smallest
// index below that count), each with its distribution type; every pattern then teaches its
// model. Running rates the pattern under every model (log-likelihood s_k), gives match
// scores e^(s_k - max s), and weighs them with the kept parameters' frequencies and costs
// into a result whose match-score factor logarithm is -max s.
//
// retrain accepts parameters that differ only in frequencies and costs; the models stay.
//   BadParams "Cannot retrain a Bayesian classifier with different distribution types."
//   BadParams "Cannot retrain a Bayesian classifier with different maximum measurements values."
// Incremental training is not supported: trainStart leaves the classifier untrained, and
// trainIncremental does nothing.
//
// checkRunnable_ throws InsufficientTrainData "No valid data was provided for training."
// without models, and otherwise runs an all-zero trial pattern, letting its errors through
// (an untrained binomial: "Insufficient data has been used to train the distribution for
// category <label>").
//
// Copies share the category models, which are not changed after training. run is const
// and may be called from several threads at once.
//
// Archive form: version byte 0, the tq_Classifier level, the category labels (list of
// long), the category models (list of handles).
class tq_ClassifierBayesian : public tq_Classifier {
public:
    tq_ClassifierBayesian();
    tq_ClassifierBayesian(const tq_ClassifierBayesian& other);
    tq_ClassifierBayesian& operator=(const tq_ClassifierBayesian& other);
    ~tq_ClassifierBayesian() override;

    tqPtrHandle<tq_Classifier> clone() const override;

    // Equivalent base parts and equal models position by position (labels not compared).
    bool operator==(const tq_ClassifierBayesian& other) const;
    bool operator!=(const tq_ClassifierBayesian& other) const { return !(*this == other); }
    bool isEquivalent(const tq_Classifier& other) const override;

    // The labels in the order training first met them, and their models.
    const std::vector<long>& categoryLabels() const { return labels_; }
    const std::vector<tqPtrHandle<tq_CategoryModel>>& categoryModels() const { return models_; }

    void dispatchSerialize(tqArchive& ar) override;
    static tq_Instantiator sExemplar;

protected:
    void serialize_(tqArchive& ar, unsigned char version);

    void train_(const tqClassifierDataProvider& data, const tqClassifierTrainParams& params) override;
    void retrain_(const tqClassifierTrainParams& params) override;
    void trainStart_(const tqClassifierTrainParams& params) override;
    void trainIncremental_(const tqFeaturePattern& pattern, long label) override;
    void untrain_() override;
    bool isTrained_() const override;
    void checkRunnable_() const override;
    void run_(const tqFeaturePattern& pattern, tqClassifierResult& result) const override;
    // Rates a block of rows at a time (complete rows from the run table, others each category
    // model a column at a time where it can), with the results of run_ bit for bit; a block
    // with a row that fails is run row by row.
    void runBatch_(const tqPatternRows& rows, tqClassifierResult* results) const override;
    // Class scores a block of rows at a time as runBatch_, without building results.
    void runBatchScores_(const tqPatternRows& rows, const ScoreColumns& columns, double* scores) const override;

private:
    static tqPersistent* make();
    // The groups of a label's category model and their types: its dependency sets, placed at
    // their smallest index below m and kept in their own order (indices at or beyond m stay
    // and read as invalid), and singletons for every other measurement below m.
    static void categoryGroups_(const tqClassifierDistributionTypes& types, long label, long m,
                                std::vector<std::vector<long>>& groups,
                                std::vector<tqClassifierDistributionTypes::DistributionType>& groupTypes);
    // Builds the category models from the labelled patterns (train_ without its cleanup).
    void learn_(const tqClassifierDataProvider& data, const tqClassifierTrainParamsBayesian& bayes);
    // The kept parameters; refuses a classifier trained without them (trainParams()).
    const tqClassifierTrainParamsBayesian& runParams_() const;
    // Every model as one that rates rows, appended to models; false if one cannot.
    bool rowRaters_(std::vector<const tq_CategoryModelBayesian*>& models) const;
    // The log-likelihoods of block's rows under models into scores (row by row, one per model);
    // false when a row is not finite or a model fails (the rows are then run one by one).
    bool rateBlock_(const std::vector<const tq_CategoryModelBayesian*>& models, const tqPatternRows& block,
                    double* scores) const;
    // The match scores e^(s_k - max s) of log-likelihoods scores[k] into match; returns -max s.
    double matchScoresOf_(const double* scores, double* match) const;
    // Makes the run table of the trained or loaded models (none where a model is not made of
    // one-measurement normal densities with data).
    void buildRunTable_();
    // Sets labelsChecked_ for the trained or loaded labels.
    void checkLabels_();
    // The log-likelihoods of a complete pattern of at least the table's reach under every
    // model into scores, from the run table, bit for bit as the models rate it.
    void rateFromTable_(const tq_BayesRunTable& table, const double* values, double* scores) const;
    // A complete block of finite rows (at most kBatchBlock, of at least the table's reach) rated
    // from the table and its match scores formed, each row as a single run forms them: false,
    // with nothing formed, where a value is not finite. columns and scores take kBatchBlock
    // rows per measurement and per category, match the block's match scores category by
    // category (kBatchBlock rows each) and shift their factors' logarithms; calls is room for
    // kBatchBlock places per category.
    bool rateAndMatch_(const tqPatternRows& block, double* columns, double* scores, double* match,
                       double* shift, std::uint32_t* calls) const;
    // rateFromTable_ for every row of block (complete rows, at most kBatchBlock of them, of at
    // least the table's reach), row by row into scores, a term at a time over the rows.
    void rateBlockFromTable_(const tq_BayesRunTable& table, const tqPatternRows& block, double* scores) const;
    // The result of a pattern with log-likelihoods scores[k] under models_[k], written into
    // result (its storage reused).
    void resultOf_(const double* scores, const tqClassifierTrainParamsBayesian& kept,
                   tqClassifierResult& result) const;

    void recordTrainInputs_(tqDiagObject*, unsigned long) const override {}
    void recordTrainDetails_(tqDiagObject*, unsigned long) const override {}
    void recordTrainResults_(tqDiagObject*, unsigned long) const override {}
    void recordRunInputs_(tqDiagObject*, unsigned long, const tqFeaturePattern&) const override {}
    void recordRunDetails_(tqDiagObject*, unsigned long) const override {}
    void recordRunResults_(tqDiagObject*, unsigned long, const tqFeaturePattern&,
                           const tqClassifierResult&) const override {}

    std::vector<long> labels_;
    std::vector<tqPtrHandle<tq_CategoryModel>> models_;
    // Built once the models are final and shared by copies, as the models are; read only.
    std::shared_ptr<const tq_BayesRunTable> table_;
    // Whether the labels pass the decision's checks of labels (at most
    // tqClassifierResult::kRowCategories of them, distinct and >= 0), made once for all runs.
    bool labelsChecked_ = false;
};

#endif
