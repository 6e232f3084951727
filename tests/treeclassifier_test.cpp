// The decision-tree classifier and the tool's decision-tree operations: the refusing training
// hooks, the attention check, equality, archives, handing out the tree and retraining from
// what the tool holds.
#include <string>
#include <vector>

#include "clss/clastool/clastool.h"
#include "platform/attention.h"
#include "test_support.h"

namespace {

using BadMethod = tqClassifierDefs::BadMethod;
using NotImplemented = tqClassifierDefs::NotImplemented;
using NotTrained = tqClassifierDefs::NotTrained;

tqClassifierResult resultOf(long label) {
    return tqClassifierResult({tqClassifierCategoryResult(label, 1.0, 1.0, 0.0)}, 0.0);
}

// Measurement 0 > measurement 1: label 1, otherwise label 2.
tqDecisionTreeNode comparisonTree() {
    return tqDecisionTreeNode(tqComparisonPredicate(0, 1), tqDecisionTreeLeaf(resultOf(1)),
                              tqDecisionTreeLeaf(resultOf(2)));
}

tqClassifierDataProviderMemory twoPatterns() {
    tqClassifierDataProviderMemory data;
    data.addData(tqPtrHandle_const<tqFeaturePattern>(new tqFeaturePattern({1.0, 2.0})), 0);
    data.addData(tqPtrHandle_const<tqFeaturePattern>(new tqFeaturePattern({2.0, 1.0})), 1);
    return data;
}

tqClassifierResult runOn(const tq_Classifier& c, const tqFeaturePattern& p) {
    tqClassifierResult r;
    c.run(p, r, nullptr, 0);
    return r;
}

TEST(DecisionTreeClassifier, AutomaticAndIncrementalTrainingAreRefused) {
    const tqClassifierTrainParamsKNN params(1);
    const tqClassifierDataProviderMemory data = twoPatterns();
    tq_ClassifierDecisionTree c;
    c.trainManual(comparisonTree(), nullptr, 0);
    EXPECT_THROW_MSG(c.train(data, params, nullptr, 0), NotImplemented,
                     "Automatic decision tree training is not implemented.");
    EXPECT_FALSE(c.isTrained());  // the base untrained it first

    c.trainManual(comparisonTree(), nullptr, 0);
    EXPECT_THROW_MSG(c.trainIncremental(tqFeaturePattern({1, 2}), 0, nullptr, 0), NotImplemented,
                     "Incremental decision tree training is not implemented.");
    EXPECT_TRUE(c.isTrained());  // keeps its tree
    EXPECT_THROW_MSG(c.retrain(params, nullptr, 0), BadMethod,
                     "Cannot retrain with a different classification technique.");
    EXPECT_TRUE(c.isTrained());
    EXPECT_THROW_MSG(c.trainStart(params), NotImplemented,
                     "Incremental decision tree training is not implemented.");
    EXPECT_FALSE(c.isTrained());
}

// Checked once per level, so that a host can abandon a run in a very deep tree.
TEST(DecisionTreeClassifier, AbortRequestStopsTheDescentAndLeavesTheResult) {
    tq_ClassifierDecisionTree c;
    c.trainManual(comparisonTree(), nullptr, 0);
    tqClassifierResult result = resultOf(9);
    tfRequestAbort();
    EXPECT_THROW(c.run(tqFeaturePattern({5, 3}), result, nullptr, 0), tqAborted);
    tfClearAbortRequest();
    EXPECT_EQ(result, resultOf(9));
    c.run(tqFeaturePattern({5, 3}), result, nullptr, 0);
    EXPECT_EQ(result, resultOf(1));
}

TEST(DecisionTreeClassifier, ArchiveGoldenFileVersionAndEquality) {
    tqPtrHandle<tq_Classifier> trained(new tq_ClassifierDecisionTree), golden;
    static_cast<tq_ClassifierDecisionTree&>(*trained).trainManual(comparisonTree(), nullptr, 0);
    EXPECT_TRUE(tqtest::archiveHolds("treeclassifier.bin", trained, golden));
    ASSERT_FALSE(golden.isNull());
    EXPECT_TRUE(golden->isEquivalent(*trained));
    EXPECT_EQ(runOn(*golden, tqFeaturePattern({5, 3}, {0})), resultOf(2));
    tq_ClassifierDecisionTree target, other;
    EXPECT_TRUE(tqtest::refusesVersions(
        tqtest::storeBytes(static_cast<tqPersistent&>(*trained)), {0},
        [&](const std::string& bytes) { tqtest::loadBytes(bytes, static_cast<tqPersistent&>(target)); }));
    // Equal needs the same state, technique and tree.
    EXPECT_FALSE(target.isEquivalent(*trained));
    other.trainManual(tqDecisionTreeLeaf(resultOf(1)), nullptr, 0);
    EXPECT_FALSE(other.isEquivalent(*trained));
    EXPECT_FALSE(target.isEquivalent(tq_ClassifierKNN()));
    EXPECT_FALSE(tq_ClassifierKNN().isEquivalent(target));
}

// --- through the tool ---------------------------------------------------------------------

TEST(DecisionTreeTool, HandsBackTheSharedTreeOnlyWhenTrainedWithOne) {
    tqClassifierTool tool;
    EXPECT_THROW_MSG(tool.decisionTree(), NotTrained,
                     "Classifier tool must be trained before requesting the decision tree.");
    const tqClassifierDataProviderMemory data = twoPatterns();
    tool.train(data, tqClassifierTrainParamsKNN(1));
    EXPECT_THROW_MSG(tool.decisionTree(), BadMethod,
                     "Classifier tool was not trained using a decision tree.");

    tool.train(comparisonTree());  // a tree replaces the KNN classifier
    const tqPtrHandle_const<tqDecisionTree> tree = tool.decisionTree();
    EXPECT_TRUE(tree->isEqual(comparisonTree()));
    EXPECT_EQ(tool.decisionTree().get(), tree.get());  // shared, not copied
}

// Retraining from what the classifier itself holds: each case once untrained first and then
// read the released object (ASan reports it); now the object is copied before anything goes.
TEST(DecisionTreeTool, RetrainingFromItsOwnTreeOrParametersIsSafe) {
    const tqClassifierDataProviderMemory data = twoPatterns();

    tq_ClassifierDecisionTree c;
    c.trainManual(comparisonTree(), nullptr, 0);
    c.trainManual(*c.decisionTree(), nullptr, 0);
    EXPECT_TRUE(c.decisionTree()->isEqual(comparisonTree()));

    tqClassifierTool tool;
    tool.train(comparisonTree());
    const tqDecisionTree* ownTree = tool.decisionTree().get();  // held by the tool alone
    tool.train(*ownTree);
    EXPECT_TRUE(tool.decisionTree()->isEqual(comparisonTree()));

    tool.train(data, tqClassifierTrainParamsKNN(1));
    const tqClassifierTrainParams* ownParams = tool.trainParams().get();
    tool.train(data, *ownParams);
    EXPECT_TRUE(tool.isTrained());
    tq_ClassifierKNN knn;
    knn.train(data, tqClassifierTrainParamsKNN(1), nullptr, 0);
    const tqClassifierTrainParams* kept = knn.trainParams().get();
    knn.train(data, *kept, nullptr, 0);
    kept = knn.trainParams().get();
    knn.trainStart(*kept);  // under ASan: no read of the released parameters
}

}  // namespace
