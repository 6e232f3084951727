// Decision trees: defaults, category labels in their unsorted order, cloning and sharing,
// structural equality, empty handles from archives, archives (sharing kept), and a
// 10,000-level tree surviving every operation on a small stack.
#include <pthread.h>

#include <functional>
#include <limits>
#include <string>
#include <vector>

#include "clss/clastool/clastool.h"
#include "test_support.h"

namespace {

using TreeHandle = tqPtrHandle<tqDecisionTree>;
using ConstTree = tqPtrHandle_const<tqDecisionTree>;

const double kInf = std::numeric_limits<double>::infinity();

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

TEST(DecisionTree, CategoryLabelsFalseSideFirstThenNewTrueLabels) {
    const tqDecisionTreeNode node(tqComparisonPredicate(), leaf({5, 1, 2}), leaf({2, 5}));
    EXPECT_EQ(node.categoryLabels(), (std::vector<long>{2, 5, 1}));
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
}

TEST(DecisionTree, NodesCloneWhatTheyAreGivenAndCopiesShare) {
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

TEST(DecisionTree, EqualityIsStructural) {
    const tqDecisionTreeNode a(tqComparisonPredicate(0, 1), leaf({1}), leaf({2}));
    const tqDecisionTreeNode b(tqComparisonPredicate(0, 1), leaf({1}), leaf({2}));
    EXPECT_TRUE(a == b);  // distinct but equal subtrees
    EXPECT_TRUE(a != tqDecisionTreeNode(tqComparisonPredicate(0, 1), leaf({2}), leaf({1})));
    EXPECT_TRUE(a != tqDecisionTreeNode(tqValidityPredicate({0, 1}), leaf({1}), leaf({2})));
    EXPECT_FALSE(leaf({1}).isEqual(a));
    EXPECT_TRUE(tqDecisionTreeLeaf(tqClassifierResult({tqClassifierCategoryResult(1, 0.5, 1, 0)}, 0.5)) !=
                tqDecisionTreeLeaf(tqClassifierResult({tqClassifierCategoryResult(1, 0.5, 1, 0)}, 0.25)));
    // Sharing inside one tree does not matter, only the structure; a difference deep down is found.
    const tqDecisionTreeNode shared(tqComparisonPredicate(), a, a), separate(tqComparisonPredicate(), a, b);
    EXPECT_TRUE(shared == separate);
    const tqDecisionTreeNode deeper(tqComparisonPredicate(), a,
                                    tqDecisionTreeNode(tqComparisonPredicate(0, 1), leaf({1}), leaf({3})));
    EXPECT_TRUE(tqDecisionTreeNode(tqComparisonPredicate(), shared, leaf({})) !=
                tqDecisionTreeNode(tqComparisonPredicate(), deeper, leaf({})));
}

TEST(DecisionTree, SharedSubtreesAreWalkedOnce) {
    // Each level takes the level below as both of its subtrees: 2^200 paths through 400
    // objects. Labels and comparison must not follow every path.
    TreeHandle a = leaf({1}).clone(), b = leaf({1}).clone(), c = leaf({2}).clone();
    for (long i = 0; i < 200; ++i) {
        a = TreeHandle(new tqDecisionTreeNode(tqComparisonPredicate(), *a, *a));
        b = TreeHandle(new tqDecisionTreeNode(tqComparisonPredicate(), *b, *b));
        c = TreeHandle(new tqDecisionTreeNode(tqComparisonPredicate(), *c, *c));
    }
    EXPECT_EQ(a->categoryLabels(), std::vector<long>{1});
    EXPECT_TRUE(a->isEqual(*b));
    EXPECT_FALSE(a->isEqual(*c));
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
    EXPECT_TRUE(loaded->isEqual(*tree));
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

// Hand-made archives. A node passed by pointer is its header (pointer tag, class name, version
// bytes) followed by its three pointers, each a null pointer or an object written inline. The
// pieces are taken from what the archive itself writes, so only that layout is assumed.
struct Pieces {
    std::string nodeHeader;
    std::string leaf;       // a leaf, by pointer
    std::string predicate;  // a comparison predicate, by pointer
    std::string null;       // a null pointer
};

template <class T>
std::string stored(T x) {
    return tqtest::storeBytes(x);
}

Pieces pieces() {
    const TreeHandle leafOnly = tqDecisionTreeLeaf().clone();
    Pieces p{"", stored(leafOnly), stored(tqComparisonPredicate().clone()), stored(TreeHandle())};
    const std::string whole = stored(
        tqDecisionTreeNode(tqComparisonPredicate(), tqDecisionTreeLeaf(), tqDecisionTreeLeaf()).clone());
    const std::string tail = p.leaf + p.leaf + p.predicate;
    EXPECT_EQ(whole.substr(whole.size() - tail.size()), tail);
    p.nodeHeader = whole.substr(0, whole.size() - tail.size());
    return p;
}

TreeHandle loadTree(const std::string& bytes) {
    TreeHandle t;
    tqtest::loadBytes(bytes, t);
    return t;
}

TEST(DecisionTreeArchive, NullHandlesInALoadedNode) {
    const Pieces p = pieces();
    const TreeHandle sound = loadTree(p.nodeHeader + p.leaf + p.leaf + p.predicate);
    EXPECT_TRUE(sound->isEqual(
        tqDecisionTreeNode(tqComparisonPredicate(), tqDecisionTreeLeaf(), tqDecisionTreeLeaf())));
    const TreeHandle noFalse = loadTree(p.nodeHeader + p.leaf + p.null + p.predicate);
    const TreeHandle noTrue = loadTree(p.nodeHeader + p.null + p.leaf + p.predicate);
    const TreeHandle noPredicate = loadTree(p.nodeHeader + p.leaf + p.leaf + p.null);
    // An object of another type in a handle loads as an empty handle.
    const TreeHandle leafAsPredicate = loadTree(p.nodeHeader + p.leaf + p.leaf + p.leaf);
    const TreeHandle predicateAsTree = loadTree(p.nodeHeader + p.predicate + p.leaf + p.predicate);
    EXPECT_TRUE(static_cast<const tqDecisionTreeNode&>(*leafAsPredicate).predicateFunction().isNull());
    EXPECT_TRUE(static_cast<const tqDecisionTreeNode&>(*predicateAsTree).trueTree().isNull());

    EXPECT_THROW(noFalse->categoryLabels(), tqBadPointer);
    EXPECT_THROW(noTrue->categoryLabels(), tqBadPointer);
    EXPECT_EQ(noPredicate->numCategories(), 0);  // labels do not need the predicate
    EXPECT_THROW(noPredicate->isEqual(*sound), tqBadPointer);
    EXPECT_THROW(sound->isEqual(*noTrue), tqBadPointer);
    // The comparison stops at the first difference before it reaches an empty handle.
    const TreeHandle otherTrue = loadTree(p.nodeHeader + stored(leaf({1}).clone()) + p.null + p.predicate);
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
        const std::vector<long> labels = tree->categoryLabels();
        ASSERT_EQ(labels.size(), static_cast<std::size_t>(kLevels + 1));
        for (long i = 0; i <= kLevels; ++i) ASSERT_EQ(labels[static_cast<std::size_t>(i)], i);
        EXPECT_EQ(tree->numCategories(), kLevels + 1);

        EXPECT_TRUE(tree->isEqual(*chain(0)));
        EXPECT_FALSE(tree->isEqual(*chain(kLevels + 1)));  // only the bottom leaf differs
        const TreeHandle copy = tree->clone();
        EXPECT_TRUE(copy->isEqual(*tree));

        const std::string bytes = tqtest::storeBytes(tree);
        TreeHandle loaded;
        tqtest::loadBytes(bytes, loaded);
        ASSERT_FALSE(loaded.isNull());
        EXPECT_TRUE(loaded->isEqual(*tree));
        EXPECT_EQ(tqtest::storeBytes(loaded), bytes);

        tqClassifierTool tool;
        tool.train(*tree);
        tqClassifierResult result;
        tool.run(tqFeaturePattern({-1.0}), result);
        EXPECT_EQ(result, resultOf({0}));  // all the way down
        tool.run(tqFeaturePattern({5000.5}), result);
        EXPECT_EQ(result, resultOf({5000}));
        tool.run(tqFeaturePattern({1.0}, {0}), result);
        EXPECT_EQ(result, resultOf({0}));
        tqClassifierTool toolCopy(tool);
        EXPECT_TRUE(toolCopy == tool);
        tqClassifierTool reloaded;
        tqtest::loadBytes(tqtest::storeBytes(tool), reloaded);
        EXPECT_TRUE(reloaded == tool);
        reloaded.run(tqFeaturePattern({kInf}), result);
        EXPECT_EQ(result, resultOf({kLevels}));

        // Destruction: each of these is the last holder of a whole chain.
        loaded.reset();
        tree = TreeHandle();
        tool.untrain();
        toolCopy.train(tqDecisionTreeLeaf());
    });
}

}  // namespace
