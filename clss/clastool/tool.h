// The classifier tool: the facade through which callers train, run, copy and archive classifiers.
#ifndef CLASTOOL_TOOL_H
#define CLASTOOL_TOOL_H

#include <vector>

#include "clss/clastool/classifier.h"
#include "clss/clastool/trainparams.h"
#include "platform/archive.h"
#include "platform/handle.h"

class tqClassifierDataProvider;
class tqClassifierResult;
class tqDecisionTree;
class tqDiagObject;
class tqFeaturePattern;
struct tqPatternRows;

// Owns at most one classifier, made by the training parameters (their concrete type chooses the
// technique), and forwards to it. Copies get their own classifier (clone), never a shared one.
//
// Holding a classifier and being trained differ: after untrain(), or after a training that failed
// inside the classifier, the tool still holds a classifier object.
//
// run is const and changes nothing; training, untraining, assignment and archiving need exclusive
// use. There is no strong exception guarantee: a failed train has already released the previous
// classifier.
class tqClassifierTool {
public:
    tqClassifierTool();
    tqClassifierTool(const tqClassifierTool& other);
    ~tqClassifierTool();
    // Self-assignment changes nothing; otherwise the tool lets go of its classifier and takes a
    // clone of the source's if the source is trained (an untrained source leaves this tool empty).
    tqClassifierTool& operator=(const tqClassifierTool& other);

    // Untrains, makes a new classifier from params (any failure there: NotImplemented), trains it
    // (its exceptions pass unchanged), then, if params.throwIfNotReady(), checks that it can run:
    // a tqClassifierDefs error from that check untrains the tool and is rethrown.
    void train(const tqClassifierDataProvider& data, const tqClassifierTrainParams& params,
               tqDiagObject* diag = nullptr, unsigned long flags = 0);
    // NotTrained without a classifier; then the classifier's retrain and the ready check as above.
    void retrain(const tqClassifierTrainParams& params, tqDiagObject* diag = nullptr,
                 unsigned long flags = 0);
    // NotTrained without a classifier (and from the classifier when it is untrained).
    void run(const tqFeaturePattern& pattern, tqClassifierResult& result, tqDiagObject* diag = nullptr,
             unsigned long flags = 0) const;
    // Batch classification, results as run gives them (tq_Classifier::runBatch). NotTrained
    // without a classifier. One trained tool may serve several threads, each its own rows.
    void runBatch(const tqPatternRows& rows, tqClassifierResult* results) const;
    // Every pattern of `data` in order, classified in blocks of packed rows; a pattern of
    // another length than data.numMeasurements() is run on its own, with run's errors.
    std::vector<tqClassifierResult> runBatch(const tqClassifierDataProvider& data) const;
    // Class scores only, one row of numColumns per pattern row, columns[c] naming the
    // category of column c (tq_Classifier::runBatchScores). NotTrained without a classifier.
    void runBatchScores(const tqPatternRows& rows, const long* columns, std::size_t numColumns,
                        double* scores) const;
    // Untrains the classifier, which stays in the tool. Nothing without one.
    void untrain();

    bool isTrained() const;
    // NotTrained without a classifier; otherwise the classifier's trainParams().
    tqPtrHandle_const<tqClassifierTrainParams> trainParams() const;

    // Decision trees are handed over whole; declared here, defined with the decision-tree
    // classifier.
    // Untrains, puts a new decision-tree classifier into the tool (releasing the previous one)
    // and hands it a clone of `tree`. No ready-to-run check follows.
    void train(const tqDecisionTree& tree, tqDiagObject* diag = nullptr, unsigned long flags = 0);
    // A handle sharing the tree of a tool trained from one. NotTrained "Classifier tool must be
    // trained before requesting the decision tree." when the tool is not trained; BadMethod
    // "Classifier tool was not trained using a decision tree." for another technique.
    tqPtrHandle_const<tqDecisionTree> decisionTree() const;

    // Equal when both are untrained, or both trained with equivalent classifiers.
    bool operator==(const tqClassifierTool& other) const;
    bool operator!=(const tqClassifierTool& other) const { return !(*this == other); }

    friend tqArchive& operator||(tqArchive& ar, tqClassifierTool& tool);

private:
    // Untrain the tool and rethrow if the classifier cannot run (only errors of the
    // tqClassifierDefs family untrain; other exceptions pass as they are).
    void checkReady_(const tqClassifierTrainParams& params);

    // A separately allocated handle keeps the tool's own layout a single pointer.
    tqPtrHandle<tq_Classifier>* classifier_;
};

// Version byte 0, then the classifier as a shared pointer (null when the tool holds none).
tqArchive& operator||(tqArchive& ar, tqClassifierTool& tool);

#endif
