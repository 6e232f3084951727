// The decision-tree classifier and the tool's decision-tree operations: the descent (true,
// false and missing measurements), independence from the caller's tree, the refusing
// training hooks, equality, the attention check, and archives.
#include <string>
#include <vector>

#include "clss/clastool/clastool.h"
#include "platform/attention.h"
#include "test_support.h"

namespace {

using BadMethod = tqClassifierDefs::BadMethod;
using NotImplemented = tqClassifierDefs::NotImplemented;
using NotTrained = tqClassifierDefs::NotTrained;

tqClassifierResult resultOf(long label, double factorLog = 0.0) {
    return tqClassifierResult({tqClassifierCategoryResult(label, 1.0, 1.0, 0.0)}, factorLog);
}

// Measurement 0 > measurement 1: label 1, otherwise label 2.
tqDecisionTreeNode comparisonTree() {
    return tqDecisionTreeNode(tqComparisonPredicate(0, 1), tqDecisionTreeLeaf(resultOf(1)),
                              tqDecisionTreeLeaf(resultOf(2)));
}

tqClassifierResult runOn(const tq_Classifier& c, const tqFeaturePattern& p) {
    tqClassifierResult r;
    c.run(p, r, nullptr, 0);
    return r;
}

tqClassifierDataProviderMemory someData() {
    tqClassifierDataProviderMemory data;
    data.addData(tqPtrHandle_const<tqFeaturePattern>(new tqFeaturePattern({1.0, 2.0})), 0);
    return data;
}

// --- the classifier -----------------------------------------------------------------------

TEST(DecisionTreeClassifier, SingleLeafAnswersEveryPattern) {
    tq_ClassifierDecisionTree c;
    EXPECT_FALSE(c.isTrained());
    EXPECT_TRUE(c.decisionTree().isNull());
    const tqClassifierResult stored(
        {tqClassifierCategoryResult(3, 0.25, 0.5, 0.0), tqClassifierCategoryResult(1, 1, 0.5, 2.0)}, -1.5);
    c.trainManual(tqDecisionTreeLeaf(stored), nullptr, 0);
    EXPECT_TRUE(c.isTrained());
    for (const tqFeaturePattern& p : {tqFeaturePattern(), tqFeaturePattern({1, 2, 3}, {0, 2})})
        EXPECT_EQ(runOn(c, p), stored);  // handed out exactly as stored
    EXPECT_THROW_MSG(c.trainParams(), BadMethod, "Classifier tool was not automatically trained.");
}

TEST(DecisionTreeClassifier, TrueAndFalseBranchesAndMissingMeasurements) {
    tq_ClassifierDecisionTree c;
    c.trainManual(comparisonTree(), nullptr, 0);
    EXPECT_EQ(runOn(c, tqFeaturePattern({5, 3})), resultOf(1));
    EXPECT_EQ(runOn(c, tqFeaturePattern({3, 5})), resultOf(2));
    EXPECT_EQ(runOn(c, tqFeaturePattern({5, 5})), resultOf(2));
    EXPECT_EQ(runOn(c, tqFeaturePattern({5, 3}, {1})), resultOf(2));
    EXPECT_EQ(runOn(c, tqFeaturePattern({5})), resultOf(2));
}

TEST(DecisionTreeClassifier, KeepsItsOwnCloneOfTheTree) {
    tqDecisionTreeNode tree = comparisonTree();
    tq_ClassifierDecisionTree c;
    c.trainManual(tree, nullptr, 0);
    EXPECT_NE(c.decisionTree().get(), &tree);
    tree.trueTree(tqDecisionTreeLeaf(resultOf(7)));
    tree.predicateFunction(tqComparisonPredicate(1, 0));
    EXPECT_EQ(runOn(c, tqFeaturePattern({5, 3})), resultOf(1));
    // A second trainManual replaces the tree.
    c.trainManual(tree, nullptr, 0);
    EXPECT_EQ(runOn(c, tqFeaturePattern({3, 5})), resultOf(7));
    EXPECT_TRUE(c.decisionTree()->isEqual(tree));
}

TEST(DecisionTreeClassifier, AutomaticAndIncrementalTrainingAreRefused) {
    const tqClassifierTrainParamsKNN params(1);
    tq_ClassifierDecisionTree c;
    c.trainManual(comparisonTree(), nullptr, 0);
    EXPECT_THROW_MSG(c.train(someData(), params, nullptr, 0), NotImplemented,
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
    EXPECT_THROW_MSG(c.trainIncremental(tqFeaturePattern({1, 2}), 0, nullptr, 0), NotTrained,
                     "Classifier tool must be trained before incremental training.");
    EXPECT_THROW_MSG(runOn(c, tqFeaturePattern()), NotTrained,
                     "Classifier tool must be trained before running.");
}

TEST(DecisionTreeClassifier, EqualityAndCopies) {
    tq_ClassifierDecisionTree untrained, other, trained, same, different;
    trained.trainManual(comparisonTree(), nullptr, 0);
    same.trainManual(comparisonTree(), nullptr, 0);
    different.trainManual(tqDecisionTreeLeaf(resultOf(1)), nullptr, 0);
    EXPECT_TRUE(untrained == other);
    EXPECT_TRUE(trained == same);
    EXPECT_FALSE(trained == untrained);
    EXPECT_FALSE(untrained == trained);
    EXPECT_FALSE(trained == different);
    EXPECT_TRUE(trained.isEquivalent(same));
    EXPECT_FALSE(untrained.isEquivalent(tq_ClassifierKNN()));  // another technique
    EXPECT_FALSE(tq_ClassifierKNN().isEquivalent(untrained));

    const tqPtrHandle<tq_Classifier> clone = trained.clone();
    EXPECT_TRUE(clone->isEquivalent(trained));
    EXPECT_EQ(static_cast<const tq_ClassifierDecisionTree&>(*clone).decisionTree().get(),
              trained.decisionTree().get());
    tq_ClassifierDecisionTree assigned;
    assigned = trained;
    EXPECT_TRUE(assigned == trained);
    assigned.untrain();
    EXPECT_TRUE(trained.isTrained());
    EXPECT_TRUE(assigned.decisionTree().isNull());
}

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

TEST(DecisionTreeClassifier, ArchiveRoundTripClassifiesAsBefore) {
    tqPtrHandle<tq_Classifier> trained(new tq_ClassifierDecisionTree), loaded;
    static_cast<tq_ClassifierDecisionTree&>(*trained).trainManual(comparisonTree(), nullptr, 0);
    EXPECT_TRUE(tqtest::roundTrips(trained, loaded));
    ASSERT_FALSE(loaded.isNull());
    EXPECT_TRUE(loaded->isEquivalent(*trained));
    for (const tqFeaturePattern& p :
         {tqFeaturePattern({5, 3}), tqFeaturePattern({3, 5}), tqFeaturePattern({5, 3}, {0})})
        EXPECT_EQ(runOn(*loaded, p), runOn(*trained, p));
    EXPECT_TRUE(tqtest::matchesGolden("treeclassifier.bin", tqtest::storeBytes(trained)));
    tqPtrHandle<tq_Classifier> golden;
    tqtest::loadBytes(tqtest::readFile(tqtest::goldenPath("treeclassifier.bin")), golden);
    ASSERT_FALSE(golden.isNull());
    EXPECT_TRUE(golden->isEquivalent(*trained));

    // An untrained classifier stores a null tree and loads untrained.
    tqPtrHandle<tq_Classifier> untrained(new tq_ClassifierDecisionTree), loadedUntrained;
    EXPECT_TRUE(tqtest::roundTrips(untrained, loadedUntrained));
    EXPECT_FALSE(loadedUntrained->isTrained());

    std::string bytes = tqtest::storeBytes(static_cast<tqPersistent&>(*trained));
    bytes[0] = 1;
    tq_ClassifierDecisionTree target;
    EXPECT_THROW(tqtest::loadBytes(bytes, static_cast<tqPersistent&>(target)), tqArchive::UnknownVersion);
}

// --- through the tool ---------------------------------------------------------------------

TEST(DecisionTreeTool, TrainRunAndHandBackTheTree) {
    tqClassifierTool tool;
    EXPECT_THROW_MSG(tool.decisionTree(), NotTrained,
                     "Classifier tool must be trained before requesting the decision tree.");
    tool.train(comparisonTree());
    EXPECT_TRUE(tool.isTrained());
    tqClassifierResult result;
    tool.run(tqFeaturePattern({5, 3}), result);
    EXPECT_EQ(result, resultOf(1));
    tool.run(tqFeaturePattern({5, 3}, {0}), result);
    EXPECT_EQ(result, resultOf(2));
    const tqPtrHandle_const<tqDecisionTree> tree = tool.decisionTree();
    EXPECT_TRUE(tree->isEqual(comparisonTree()));
    EXPECT_EQ(tool.decisionTree().get(), tree.get());  // shared, not copied
    EXPECT_THROW_MSG(tool.trainParams(), BadMethod, "Classifier tool was not automatically trained.");
    EXPECT_THROW_MSG(tool.retrain(tqClassifierTrainParamsKNN(1)), BadMethod,
                     "Cannot retrain with a different classification technique.");

    // A second tree replaces the first; an untrained tool refuses to hand one out.
    tool.train(tqDecisionTreeLeaf(resultOf(4)));
    tool.run(tqFeaturePattern({5, 3}), result);
    EXPECT_EQ(result, resultOf(4));
    tool.untrain();
    EXPECT_THROW_MSG(tool.decisionTree(), NotTrained,
                     "Classifier tool must be trained before requesting the decision tree.");
}

TEST(DecisionTreeTool, OtherTechniquesHaveNoTree) {
    tqClassifierTool tool;
    tqClassifierDataProviderMemory data;
    data.addData(tqPtrHandle_const<tqFeaturePattern>(new tqFeaturePattern({1.0, 2.0})), 0);
    data.addData(tqPtrHandle_const<tqFeaturePattern>(new tqFeaturePattern({2.0, 1.0})), 1);
    tool.train(data, tqClassifierTrainParamsKNN(1));
    EXPECT_THROW_MSG(tool.decisionTree(), BadMethod,
                     "Classifier tool was not trained using a decision tree.");
    // A tree replaces the KNN classifier.
    tool.train(comparisonTree());
    EXPECT_NO_THROW(tool.decisionTree());
}

TEST(DecisionTreeTool, CopiesCompareAndArchive) {
    tqClassifierTool tool;
    tool.train(comparisonTree());
    tqClassifierTool copy(tool);
    EXPECT_TRUE(copy == tool);
    copy.untrain();
    EXPECT_TRUE(tool.isTrained());
    EXPECT_FALSE(copy == tool);

    tqClassifierTool loaded;
    EXPECT_TRUE(tqtest::roundTrips(tool, loaded));
    EXPECT_TRUE(loaded == tool);
    tqClassifierResult a, b;
    for (const tqFeaturePattern& p :
         {tqFeaturePattern({5, 3}), tqFeaturePattern({3, 5}), tqFeaturePattern()}) {
        tool.run(p, a);
        loaded.run(p, b);
        EXPECT_EQ(a, b);
    }
    tqClassifierTool other;
    other.train(tqDecisionTreeLeaf(resultOf(1)));
    EXPECT_FALSE(other == tool);
}

}  // namespace
