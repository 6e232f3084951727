// Predicate functions, decision trees and the decision-tree classifier: the predicates' checks
// and outcomes at the edges, equality across classes; trees' category labels in their unsorted
// order, cloning and sharing, structural equality, empty handles from archives, archives (sharing
// kept) and a 10,000-level tree surviving every operation on a small stack; the classifier's
// archive, handing out the tree and retraining from what the tool holds (its refusals and its
// attention check are rows of the lifecycle's tables).
#include <pthread.h>

#include <functional>
#include <limits>
#include <numeric>
#include <string>
#include <vector>

#include "clss/clastool/clastool.h"
#include "test_support.h"

namespace {

using TreeHandle = tqPtrHandle<tqDecisionTree>;
using ConstTree = tqPtrHandle_const<tqDecisionTree>;

const double kInf = std::numeric_limits<double>::infinity();

// --- predicates ---------------------------------------------------------------------------

using BadIndex = tqClassifierDefs::BadIndex;
using BadParams = tqClassifierDefs::BadParams;
using PredicateHandle = tqPtrHandle<tqPredicateFunction>;

const char* const kIndexMessage = "Measurement index must be >= 0 and < number of measurements.";
const double kNaN = std::numeric_limits<double>::quiet_NaN();

tqFeaturePattern pattern(const std::vector<double>& values, const std::vector<long>& invalid = {}) {
    return tqFeaturePattern(values, invalid);
}

// The constructors check equality before signs.
TEST(Predicate, ChecksAndOutcomesAtTheEdges) {
    EXPECT_THROW_MSG(tqComparisonPredicate(-1, -1), BadParams, "Measurement indices must be different.");
    EXPECT_THROW_MSG(tqComparisonPredicate(2, -1), BadIndex, kIndexMessage);
    EXPECT_THROW_MSG(tqRangePredicate(tqRange(0, 1), {0, 3, -1}), BadIndex, kIndexMessage);
    EXPECT_THROW_MSG(tqValidityPredicate({-5}), BadIndex, kIndexMessage);
    struct Case {
        PredicateHandle p;
        std::vector<tqFeaturePattern> holds, fails;
    };
    const Case cases[] = {
        // Comparison: strict, and false when either measurement is missing.
        {tqComparisonPredicate(0, 1).clone(),
         {pattern({5, 3}), pattern({kInf, 1e308})},
         {pattern({5, 5}), pattern({5, 3}, {0}), pattern({5, 3}, {1}), pattern({5}), pattern({kNaN, 3})}},
        // Range: both ends belong to it; every listed measurement must be valid and within.
        {tqRangePredicate(tqRange(1, 2), {0, 2}).clone(),
         {pattern({1, 99, 2})},
         {pattern({0.999, 99, 1.5}), pattern({1.5, 99, 2.001}), pattern({1.5, 99, 1.5}, {2}),
          pattern({1.5, 99}), pattern({1.5, 99, kNaN})}},
        {tqRangePredicate().clone(),
         {pattern({-kInf})},
         {pattern({}), pattern({1}, {0})}},  // full range, index 0
        // Validity: a NaN is a valid measurement.
        {tqValidityPredicate({2, 0, 2}).clone(),
         {pattern({0, 0, 0}, {1}), pattern({kNaN, 0, kNaN})},
         {pattern({0, 0, 0}, {2}), pattern({0, 0})}},
        // Empty lists hold for every pattern.
        {tqRangePredicate(tqRange(5, 6), {}).clone(), {pattern({}), pattern({1}, {0})}, {}},
        {tqValidityPredicate(std::vector<long>{}).clone(), {pattern({}), pattern({100, 200})}, {}},
    };
    int i = 0;
    for (const Case& c : cases) {
        for (const tqFeaturePattern& x : c.holds) EXPECT_TRUE(c.p->outcome(x)) << "case " << i;
        for (const tqFeaturePattern& x : c.fails) EXPECT_FALSE(c.p->outcome(x)) << "case " << i;
        ++i;
    }
}

TEST(PredicateArchive, GoldenFilesVersionsAndLoadedNegativeIndices) {
    // The stored bytes name the class, so loading them again and storing gives them back only
    // for an object of the same class and values.
    const std::pair<PredicateHandle, const char*> cases[] = {
        {tqComparisonPredicate(3, 1).clone(), "predicate_comparison.bin"},
        {tqRangePredicate(tqRange(-1.5, 2.5), {2, 0, 2}).clone(), "predicate_range.bin"},
        {tqValidityPredicate({4, 1}).clone(), "predicate_validity.bin"}};
    for (auto [p, golden] : cases) {
        PredicateHandle loaded;
        EXPECT_TRUE(tqtest::archiveHolds(golden, p, loaded));
        ASSERT_FALSE(loaded.isNull());
        // By value the object starts with its own version byte, then the predicate base's.
        EXPECT_TRUE(tqtest::refusesVersions(tqtest::storeBytes(static_cast<tqPersistent&>(*p)), {0, 1},
                                            [&](const std::string& bytes) {
                                                tqtest::loadBytes(bytes, static_cast<tqPersistent&>(*loaded));
                                            }));
    }
    // The index vector carries a version byte of its own, just before its count.
    tqValidityPredicate v({4, 1});
    const std::string bytes = tqtest::storeBytes(static_cast<tqPersistent&>(v));
    EXPECT_TRUE(tqtest::refusesVersions(bytes, {bytes.size() - 2 * 8 - 8 - 1}, [&](const std::string& b) {
        tqtest::loadBytes(b, static_cast<tqPersistent&>(v));
    }));
    // Loading does not repeat the constructors' checks; the pattern refuses the index later.
    PredicateHandle c = tqComparisonPredicate(7001, 7002).clone(), w = tqValidityPredicate({7003}).clone();
    for (const std::string& patched :
         {tqtest::patched(tqtest::storeBytes(c), tqtest::i64(7001), tqtest::i64(-1)),
          tqtest::patched(tqtest::storeBytes(w), tqtest::i64(7003), tqtest::i64(-4))}) {
        PredicateHandle loaded;
        tqtest::loadBytes(patched, loaded);
        ASSERT_FALSE(loaded.isNull());
        EXPECT_THROW_MSG(loaded->outcome(pattern({1, 2})), BadIndex,
                         "Feature measurement indices must be >= 0");
    }
}

// A result whose category results hold `labels` in this order (costs ascending).
tqClassifierResult resultOf(const std::vector<long>& labels) {
    if (labels.empty()) return tqClassifierResult();
    std::vector<tqClassifierCategoryResult> entries;
    for (std::size_t i = 0; i < labels.size(); ++i)
        entries.emplace_back(labels[i], 0.5, 1.0, 0.1 * static_cast<double>(i));
    return tqClassifierResult(entries, 0.0);
}

tqDecisionTreeLeaf leaf(const std::vector<long>& labels) { return tqDecisionTreeLeaf(resultOf(labels)); }

// --- structure ----------------------------------------------------------------------------

// Category labels: the false side's first, then the true side's new ones.
TEST(DecisionTree, LabelsFalseSideFirstAndNodesCloneWhatTheyAreGiven) {
    const tqDecisionTreeNode unsorted(tqComparisonPredicate(), leaf({5, 1, 2}), leaf({2, 5}));
    EXPECT_EQ(unsorted.categoryLabels(), (std::vector<long>{2, 5, 1}));
    // A caller's own tree class may list a label twice: as the false subtree, its list passes
    // unchanged (it was once deduplicated); only what the true subtree adds is.
    struct Twice : tqDecisionTree {
        std::vector<long> categoryLabels() const override { return {4, 4, 2, 2}; }
        tqPtrHandle<tqDecisionTree> clone() const override { return tqPtrHandle<tqDecisionTree>(new Twice); }
    };
    const tqDecisionTreeNode twice(tqComparisonPredicate(), leaf({1, 4}), Twice());
    EXPECT_EQ(twice.categoryLabels(), (std::vector<long>{4, 4, 2, 2, 1}));
    EXPECT_EQ(tqDecisionTreeNode(tqComparisonPredicate(), Twice(), twice).categoryLabels(),
              (std::vector<long>{4, 4, 2, 2, 1}));
    // Nodes clone what they are given, and copies share.
    tqDecisionTreeLeaf trueLeaf = leaf({1});
    tqDecisionTreeNode node(tqComparisonPredicate(), trueLeaf, leaf({2}));
    trueLeaf.classifierResult(resultOf({9}));
    EXPECT_EQ(node.categoryLabels(), (std::vector<long>{2, 1}));
    // Setters clone too, and release what they replace.
    const ConstTree before = node.trueTree();
    node.trueTree(trueLeaf);
    EXPECT_EQ(before->refCount(), 1);  // only `before` holds the old subtree now
    node.falseTree(node);              // a clone of the node itself: no cycle
    EXPECT_EQ(node.categoryLabels(), (std::vector<long>{2, 9}));
    // Copies of a node share its parts.
    const TreeHandle clone = node.clone();
    const auto& copy = static_cast<const tqDecisionTreeNode&>(*clone);
    EXPECT_EQ(copy.falseTree().get(), node.falseTree().get());
    EXPECT_EQ(copy.predicateFunction().get(), node.predicateFunction().get());
}

// Trees that differ from each other in one part: a predicate's class, values or their order, a
// side, a leaf's result, a leaf further down.
std::vector<TreeHandle> distinctTrees() {
    const auto node = [](const tqPredicateFunction& p, const tqDecisionTree& t, const tqDecisionTree& f) {
        return TreeHandle(new tqDecisionTreeNode(p, t, f));
    };
    const tqDecisionTreeLeaf one = leaf({1}), two = leaf({2});
    const TreeHandle a = node(tqComparisonPredicate(0, 1), one, two);
    return {a,
            node(tqComparisonPredicate(1, 0), one, two),
            node(tqComparisonPredicate(0, 1), two, one),
            node(tqRangePredicate(tqRange(0, 1), {0, 1}), one, two),
            node(tqRangePredicate(tqRange(0, 1), {1, 0}), one, two),
            node(tqRangePredicate(tqRange(0, 2), {0, 1}), one, two),
            node(tqRangePredicate(tqRange(0, 1), {0, 1, 1}), one, two),
            node(tqValidityPredicate({0, 1}), one, two),
            node(tqValidityPredicate({0}), one, two),
            one.clone(),
            tqDecisionTreeLeaf(tqClassifierResult({tqClassifierCategoryResult(1, 0.5, 1, 0)}, 0.25)).clone(),
            node(tqComparisonPredicate(), *a, *a),
            node(tqComparisonPredicate(), *a, *node(tqComparisonPredicate(0, 1), one, leaf({3})))};
}

// Equality is structural: each tree equals only its twin from another call, in both directions,
// and sharing does not matter. Shared subtrees are walked once: 200 levels that each take the
// level below as both subtrees make 2^200 paths through 400 objects.
TEST(DecisionTree, EqualityIsStructuralAndWalksSharedSubtreesOnce) {
    const std::vector<TreeHandle> a = distinctTrees(), b = distinctTrees();
    for (std::size_t i = 0; i < a.size(); ++i)
        for (std::size_t j = 0; j < b.size(); ++j)
            EXPECT_EQ(a[i]->isEqual(*b[j]), i == j) << i << " vs " << j;
    EXPECT_TRUE(tqDecisionTreeNode(tqComparisonPredicate(), *a[0], *a[0]) ==
                tqDecisionTreeNode(tqComparisonPredicate(), *a[0], *b[0]));
    TreeHandle x = leaf({1}).clone(), y = leaf({1}).clone(), z = leaf({2}).clone();
    for (long i = 0; i < 200; ++i) {
        x = TreeHandle(new tqDecisionTreeNode(tqComparisonPredicate(), *x, *x));
        y = TreeHandle(new tqDecisionTreeNode(tqComparisonPredicate(), *y, *y));
        z = TreeHandle(new tqDecisionTreeNode(tqComparisonPredicate(), *z, *z));
    }
    EXPECT_EQ(x->categoryLabels(), std::vector<long>{1});
    EXPECT_TRUE(x->isEqual(*y));
    EXPECT_FALSE(x->isEqual(*z));
}

// --- archive ------------------------------------------------------------------------------

TEST(DecisionTreeArchive, GoldenFileSharingAndVersions) {
    const tqDecisionTreeNode inner(tqRangePredicate(tqRange(0, 1), {2, 0}), leaf({3, 1}), leaf({1}));
    TreeHandle tree = tqDecisionTreeNode(tqComparisonPredicate(0, 1), inner,
                                         tqDecisionTreeNode(tqValidityPredicate({1}), inner, leaf({4})))
                          .clone(),
               loaded;
    EXPECT_TRUE(tqtest::archiveHolds("tree.bin", tree, loaded));
    ASSERT_FALSE(loaded.isNull());
    // Both copies of `inner` share their subtrees and predicates after loading.
    const auto& root = static_cast<const tqDecisionTreeNode&>(*loaded);
    const auto& a = static_cast<const tqDecisionTreeNode&>(*root.trueTree());
    const auto& b = static_cast<const tqDecisionTreeNode&>(
        *static_cast<const tqDecisionTreeNode&>(*root.falseTree()).trueTree());
    EXPECT_NE(&a, &b);
    EXPECT_EQ(a.trueTree().get(), b.trueTree().get());
    EXPECT_EQ(a.predicateFunction().get(), b.predicateFunction().get());
    TreeHandle byDefault(new tqDecisionTreeNode), loadedDefault;  // one empty leaf on both sides
    tqtest::loadBytes(tqtest::storeBytes(byDefault), loadedDefault);
    const auto& node = static_cast<const tqDecisionTreeNode&>(*loadedDefault);
    EXPECT_EQ(node.trueTree().get(), node.falseTree().get());
    // By value an object starts with its own version byte, then the tree base's.
    for (TreeHandle t : {tree, leaf({1}).clone()}) {
        EXPECT_TRUE(tqtest::refusesVersions(
            tqtest::storeBytes(static_cast<tqPersistent&>(*t)), {0, 1}, [&](const std::string& bytes) {
                tqtest::loadBytes(bytes, static_cast<tqPersistent&>(*t->clone()));
            }));
    }
}

// Hand-made archives: a node passed by pointer holds its subtrees and its predicate inline, each
// as it would be stored alone by pointer, so that one of them can be swapped for a null pointer
// or an object of another type. Only that layout is assumed (patched checks that each part occurs).
TEST(DecisionTreeArchive, NullHandlesInALoadedNode) {
    using tqtest::patched;
    const auto stored = [](auto x) { return tqtest::storeBytes(x); };
    const tqDecisionTreeNode original(tqComparisonPredicate(), leaf({1}), leaf({2}));
    const std::string one = stored(leaf({1}).clone()), two = stored(leaf({2}).clone()),
                      predicate = stored(tqComparisonPredicate().clone()), null = stored(TreeHandle()),
                      node = stored(original.clone());
    const auto load = [](const std::string& bytes) {
        TreeHandle t;
        tqtest::loadBytes(bytes, t);
        return t;
    };
    const TreeHandle sound = load(node), noFalse = load(patched(node, two, null)),
                     noTrue = load(patched(node, one, null)),
                     noPredicate = load(patched(node, predicate, null));
    // An object of another type in a handle loads as an empty handle.
    const TreeHandle leafAsPredicate = load(patched(node, predicate, one)),
                     predicateAsTree = load(patched(node, one, predicate));
    EXPECT_TRUE(static_cast<const tqDecisionTreeNode&>(*leafAsPredicate).predicateFunction().isNull());
    EXPECT_TRUE(static_cast<const tqDecisionTreeNode&>(*predicateAsTree).trueTree().isNull());

    EXPECT_THROW(noFalse->categoryLabels(), tqBadPointer);
    EXPECT_THROW(noTrue->categoryLabels(), tqBadPointer);
    EXPECT_EQ(noPredicate->numCategories(), 2);  // labels do not need the predicate
    EXPECT_THROW(noPredicate->isEqual(*sound), tqBadPointer);
    EXPECT_THROW(sound->isEqual(*noTrue), tqBadPointer);
    // The comparison stops at the first difference before it reaches an empty handle.
    const TreeHandle otherTrue = load(patched(patched(node, two, null), one, stored(leaf({3}).clone())));
    EXPECT_FALSE(otherTrue->isEqual(*noFalse));
    EXPECT_FALSE(noFalse->isEqual(tqDecisionTreeLeaf()));
}

// --- a very deep tree ---------------------------------------------------------------------

// Runs `body` on a thread with a small stack, so that a walk that recursed once per level
// would overflow it instead of passing by luck on a large main stack.
void onSmallStack(const std::function<void()>& body) {
    // Measured: the walks need well under 64 KiB here (about 200 KiB under the sanitizers, for
    // the archive's 64 inline levels), while destroying the chain recursively needs more than
    // 256 KiB (and several times that under the sanitizers).
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    const std::size_t size = 512u << 10;
#else
    const std::size_t size = 256u << 10;
#endif
    pthread_attr_t attr;
    ASSERT_EQ(pthread_attr_init(&attr), 0);
    ASSERT_EQ(pthread_attr_setstacksize(&attr, size), 0);
    pthread_t thread;
    auto run = [](void* arg) -> void* {
        try {
            (*static_cast<const std::function<void()>*>(arg))();
        } catch (const std::exception& e) {
            ADD_FAILURE() << "threw " << e.what();
        }
        return nullptr;
    };
    ASSERT_EQ(pthread_create(&thread, &attr, run, const_cast<std::function<void()>*>(&body)), 0);
    pthread_join(thread, nullptr);
    pthread_attr_destroy(&attr);
}

const long kLevels = 10000;

// A chain: level i (root: kLevels) asks "measurement 0 >= i?"; its true side is a leaf
// labelled i, its false side the level below; the bottom is a leaf labelled `bottom`.
TreeHandle chain(long bottom) {
    TreeHandle tree = leaf({bottom}).clone();
    for (long i = 1; i <= kLevels; ++i)
        tree =
            tqDecisionTreeNode(tqRangePredicate(tqRange(static_cast<double>(i), kInf), {0}), leaf({i}), *tree)
                .clone();
    return tree;
}

TEST(DecisionTreeDeep, TenThousandLevelsSurviveEveryOperation) {
    onSmallStack([] {
        TreeHandle tree = chain(0);
        std::vector<long> labels(static_cast<std::size_t>(kLevels + 1));
        std::iota(labels.begin(), labels.end(), 0L);
        EXPECT_EQ(tree->categoryLabels(), labels);

        EXPECT_TRUE(tree->isEqual(*chain(0)));
        EXPECT_FALSE(tree->isEqual(*chain(kLevels + 1)));  // only the bottom leaf differs

        const std::string bytes = tqtest::storeBytes(tree);
        TreeHandle loaded;
        tqtest::loadBytes(bytes, loaded);
        ASSERT_FALSE(loaded.isNull());
        EXPECT_EQ(tqtest::storeBytes(loaded), bytes);

        tqClassifierTool tool;
        tool.train(*tree);
        tqClassifierResult result;
        tool.run(tqFeaturePattern({-1.0}), result);
        EXPECT_EQ(result, resultOf({0}));  // all the way down

        // Destruction: each of these is the last holder of a whole chain.
        loaded.reset();
        tree = TreeHandle();
        tool.train(tqDecisionTreeLeaf());
    });
}

// --- the decision-tree classifier ---------------------------------------------------------

// Measurement 0 > measurement 1: label 1, otherwise label 2.
tqDecisionTreeNode comparisonTree() {
    return tqDecisionTreeNode(tqComparisonPredicate(0, 1), leaf({1}), leaf({2}));
}

TEST(DecisionTreeClassifier, ArchiveEqualityAndRetrainingSafelyFromItsOwnTreeOrParameters) {
    tqPtrHandle<tq_Classifier> trained(new tq_ClassifierDecisionTree), golden;
    static_cast<tq_ClassifierDecisionTree&>(*trained).trainManual(comparisonTree(), nullptr, 0);
    EXPECT_TRUE(tqtest::archiveHolds("treeclassifier.bin", trained, golden));
    tq_ClassifierDecisionTree target, other;
    EXPECT_TRUE(tqtest::refusesVersions(
        tqtest::storeBytes(static_cast<tqPersistent&>(*trained)), {0},
        [&](const std::string& bytes) { tqtest::loadBytes(bytes, static_cast<tqPersistent&>(target)); }));
    // Equal needs the same state, technique and tree.
    EXPECT_FALSE(target.isEquivalent(*trained));
    other.trainManual(leaf({1}), nullptr, 0);
    EXPECT_FALSE(other.isEquivalent(*trained));
    EXPECT_FALSE(target.isEquivalent(tq_ClassifierKNN()));

    // The classifier and the tool hand out the tree they share. Retraining from what the
    // classifier itself holds: each case once untrained first and then read the released object
    // (ASan reports it); now the object is copied before anything goes.
    other.trainManual(*other.decisionTree(), nullptr, 0);
    EXPECT_TRUE(other.decisionTree()->isEqual(leaf({1})));
    const tqClassifierDataProviderMemory data =
        tq_TotalDataGenerator({2, tq_ClassDataGenerator({{0.0, 1.0}}, 10)}).generateData();

    tqClassifierTool tool;
    tool.train(data, tqClassifierTrainParamsKNN(1));
    tool.train(comparisonTree());                               // a tree replaces the KNN classifier
    const tqDecisionTree* ownTree = tool.decisionTree().get();  // held by the tool alone
    tool.train(*ownTree);
    EXPECT_TRUE(tool.decisionTree()->isEqual(comparisonTree()));
    EXPECT_EQ(tool.decisionTree().get(), tool.decisionTree().get());  // shared, not copied

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
