// The classifier base: the train / trainStart / trainIncremental / retrain / run / untrain
// lifecycle shared by every technique.
#ifndef CLASTOOL_CLASSIFIER_H
#define CLASTOOL_CLASSIFIER_H

#include <cstddef>
#include <utility>
#include <vector>

#include "clss/clastool/trainparams.h"
#include "platform/archive.h"
#include "platform/handle.h"
#include "platform/persistent.h"

class tqClassifierDataProvider;
class tqClassifierResult;
class tqDiagObject;
class tqFeaturePattern;
struct tqPatternRows;

// Abstract base of the technique classifiers. It performs the state checks of the lifecycle,
// keeps its own clone of the parameters of the last train, trainStart or retrain, and calls the
// technique hooks and the recording hooks in a fixed order:
//
//   train:  [untrain] dest = getRecordingDestination(diag, flags); recordTrainInputs_(dest);
//           train_; keep params.clone(); recordTrainDetails_(diag - the caller's object);
//           recordTrainResults_(dest)
//   run:    recordRunInputs_(dest); run_; recordRunDetails_(dest); recordRunResults_(dest)
//
// Hooks receive the flags as rewritten by getRecordingDestination. If a technique hook throws,
// the exception passes unchanged and the kept parameters are not updated.
//
// States: untrained (isTrained_() false, no kept parameters), trained automatically (kept
// parameters set), trained manually (trained, no kept parameters: a decision tree handed over).
//
// run is const and changes nothing; everything else needs exclusive use of the object.
class tq_Classifier : public tqPersistent, public tqRepBase {
public:
    tq_Classifier();
    // Shares the source's kept parameters; the technique part is copied by the derived class.
    tq_Classifier(const tq_Classifier& other);
    tq_Classifier& operator=(const tq_Classifier& other);
    ~tq_Classifier() override;

    // Untrains if trained, then trains from scratch (hook order above).
    void train(const tqClassifierDataProvider& data, const tqClassifierTrainParams& params,
               tqDiagObject* diag, unsigned long flags);
    // Untrains if trained, calls trainStart_ and keeps a clone of params; records nothing.
    void trainStart(const tqClassifierTrainParams& params);
    // Requires a trained classifier (NotTrained); diag and flags are not used.
    void trainIncremental(const tqFeaturePattern& pattern, long label, tqDiagObject* diag,
                          unsigned long flags);
    // Requires a trained classifier (NotTrained) trained automatically with parameters of the
    // same technique (BadMethod); keeps what was learned. diag and flags are not used.
    void retrain(const tqClassifierTrainParams& params, tqDiagObject* diag, unsigned long flags);
    // Requires a trained classifier (NotTrained). Does not check that it can run (the tool does).
    void run(const tqFeaturePattern& pattern, tqClassifierResult& result, tqDiagObject* diag,
             unsigned long flags) const;
    // Classifies every row of `rows` into results[0, rows.rows): the same results as run on
    // each row, bit for bit. Requires a trained classifier (NotTrained) and a well-formed view
    // (BadParams). The abort request is checked once per block of rows; when a row fails or an
    // abort stops the call, the exception passes unchanged and the results of the rows before
    // are already written. Records no diagnostics (no technique records any per run).
    void runBatch(const tqPatternRows& rows, tqClassifierResult* results) const;
    // Class scores only, for callers that want no decisions or costs: row i of `rows` gives
    // scores[i * numColumns + c], the class score runBatch's result for row i gives the
    // category labelled columns[c], bit for bit, or 0.0 where that result has no such
    // category (a category of the classifier that no column names is left out). Requires a
    // trained classifier (NotTrained), a well-formed view and, for rows, room for the scores
    // and distinct column labels (BadParams); rows fail and aborts stop as in runBatch, with
    // the rows before already written.
    void runBatchScores(const tqPatternRows& rows, const long* columns, std::size_t numColumns,
                        double* scores) const;
    // If trained: untrain_ and drop the kept parameters. Otherwise nothing.
    void untrain();

    bool isTrained() const { return isTrained_(); }
    // The kept parameters. NotTrained when untrained, BadMethod when trained manually.
    tqPtrHandle_const<tqClassifierTrainParams> trainParams() const;

    // An independent copy of the most-derived classifier, trained state included.
    virtual tqPtrHandle<tq_Classifier> clone() const = 0;
    // Base version: same trained state, and equal kept parameters (both set) or the same kept
    // parameters object (in particular both empty). Techniques call it first.
    virtual bool isEquivalent(const tq_Classifier& other) const;

protected:
    // Version byte 0, the persistence base, then the kept parameters as a shared pointer.
    void dispatchSerialize(tqArchive& ar) override;
    void serialize_(tqArchive& ar, unsigned char version);

    virtual void train_(const tqClassifierDataProvider& data, const tqClassifierTrainParams& params) = 0;
    virtual void retrain_(const tqClassifierTrainParams& params) = 0;
    virtual void trainStart_(const tqClassifierTrainParams& params) = 0;
    virtual void trainIncremental_(const tqFeaturePattern& pattern, long label) = 0;
    virtual void untrain_() = 0;
    virtual bool isTrained_() const = 0;
    // Throws a tqClassifierDefs error if the trained state cannot classify.
    virtual void checkRunnable_() const = 0;
    virtual void run_(const tqFeaturePattern& pattern, tqClassifierResult& result) const = 0;
    // Techniques with a faster path for many patterns override this; the default runs each row
    // as a pattern object, checking the abort request once per kBatchBlock rows.
    virtual void runBatch_(const tqPatternRows& rows, tqClassifierResult* results) const;
    static constexpr std::size_t kBatchBlock = 256;

    // The score columns of runBatchScores: the column of each label, found by bisection.
    class ScoreColumns {
    public:
        // BadParams for a repeated label.
        ScoreColumns(const long* labels, std::size_t n);
        std::size_t size() const { return byLabel_.size(); }
        // The column of label, or size() when no column names it.
        std::size_t column(long label) const;
        // result's class scores into row[0, size()), 0.0 for a category it does not have.
        void scatter(const tqClassifierResult& result, double* row) const;

    private:
        std::vector<std::pair<long, std::size_t>> byLabel_;  // ascending labels
    };
    // Scores of rows into scores (runBatchScores after its checks). The default takes them
    // from runBatch_'s results, a block of rows at a time.
    virtual void runBatchScores_(const tqPatternRows& rows, const ScoreColumns& columns, double* scores) const;

    // For techniques that compare or use kept parameters without the checks of trainParams().
    const tqPtrHandle_const<tqClassifierTrainParams>& keptParams_() const { return trainParams_; }

private:
    friend class tqClassifierTool;

    // Recording hooks: extension points for diagnostics. No technique records anything.
    virtual void recordTrainInputs_(tqDiagObject* dest, unsigned long flags) const = 0;
    virtual void recordTrainDetails_(tqDiagObject* diag, unsigned long flags) const = 0;
    virtual void recordTrainResults_(tqDiagObject* dest, unsigned long flags) const = 0;
    virtual void recordRunInputs_(tqDiagObject* dest, unsigned long flags,
                                  const tqFeaturePattern& pattern) const = 0;
    virtual void recordRunDetails_(tqDiagObject* dest, unsigned long flags) const = 0;
    virtual void recordRunResults_(tqDiagObject* dest, unsigned long flags, const tqFeaturePattern& pattern,
                                   const tqClassifierResult& result) const = 0;

    tqPtrHandle_const<tqClassifierTrainParams> trainParams_;
};

#endif
