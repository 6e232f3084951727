// The decision-tree classifier: classifies a pattern by walking a caller-built tree
// (tree.h) from the root to a leaf and handing out that leaf's result.
//
// It does not learn from data: it is trained only by being given a finished tree
// (trainManual, which the tool's decision-tree train overload calls). The automatic,
// restarted and incremental training hooks refuse with NotImplemented.
#ifndef CLASTOOL_TREECLASSIFIER_H
#define CLASTOOL_TREECLASSIFIER_H

#include "clss/clastool/classifier.h"
#include "clss/clastool/tree.h"
#include "platform/archive.h"
#include "platform/diag.h"
#include "platform/handle.h"

class tq_ClassifierDecisionTree : public tq_Classifier {
public:
    // Untrained: no tree.
    tq_ClassifierDecisionTree();
    // Copies share the (read-only) tree of the source.
    tq_ClassifierDecisionTree(const tq_ClassifierDecisionTree& other);
    tq_ClassifierDecisionTree& operator=(const tq_ClassifierDecisionTree& other);
    ~tq_ClassifierDecisionTree() override;

    // Untrains a trained classifier (the base's untrain), stores a clone of `tree`, then calls
    // the training recording hooks as the base's train does. No training parameters are kept,
    // so such a classifier cannot be retrained.
    void trainManual(const tqDecisionTree& tree, tqDiagObject* diag, unsigned long flags);

    // The tree handle; empty while untrained.
    const tqPtrHandle_const<tqDecisionTree>& decisionTree() const { return decisionTree_; }

    // The base comparison (same trained state, equal or identical parameters) must hold; then
    // two untrained classifiers are equal and two trained ones compare their trees (isEqual).
    bool operator==(const tq_ClassifierDecisionTree& other) const;
    bool operator!=(const tq_ClassifierDecisionTree& other) const { return !(*this == other); }

    tqPtrHandle<tq_Classifier> clone() const override;
    // False for a classifier of another technique; otherwise operator==.
    bool isEquivalent(const tq_Classifier& other) const override;

protected:
    void dispatchSerialize(tqArchive& ar) override;
    void serialize_(tqArchive& ar, unsigned char version);

    // NotImplemented "Automatic decision tree training is not implemented.".
    void train_(const tqClassifierDataProvider& data, const tqClassifierTrainParams& params) override;
    void retrain_(const tqClassifierTrainParams& params) override;
    // NotImplemented "Incremental decision tree training is not implemented.".
    void trainStart_(const tqClassifierTrainParams& params) override;
    void trainIncremental_(const tqFeaturePattern& pattern, long label) override;
    void untrain_() override;
    bool isTrained_() const override;
    // Accepts every trained state: a measurement a predicate lacks makes it false.
    void checkRunnable_() const override;
    // Descends from the root, one attention check per level, and copies the leaf's result
    // into `result` (which is untouched if anything on the way throws). Throws tqBadPointer
    // for an empty tree, subtree or predicate handle, and NotImplemented for a tree object
    // that is neither a leaf nor a node.
    void run_(const tqFeaturePattern& pattern, tqClassifierResult& result) const override;

private:
    // This technique records nothing.
    void recordTrainInputs_(tqDiagObject*, unsigned long) const override {}
    void recordTrainDetails_(tqDiagObject*, unsigned long) const override {}
    void recordTrainResults_(tqDiagObject*, unsigned long) const override {}
    void recordRunInputs_(tqDiagObject*, unsigned long, const tqFeaturePattern&) const override {}
    void recordRunDetails_(tqDiagObject*, unsigned long) const override {}
    void recordRunResults_(tqDiagObject*, unsigned long, const tqFeaturePattern&,
                           const tqClassifierResult&) const override {}

    static tqPersistent* make();
    static tq_Instantiator sExemplar;

    tqPtrHandle_const<tqDecisionTree> decisionTree_;
};

// Archive layout: version byte 0 (another value throws tqArchive::UnknownVersion), the
// classifier base part, then the tree as a pointer (null: untrained).

#endif
