// Several threads running one tool trained with a deep decision tree: runs share the tree
// and change nothing, so every thread sees what a single thread sees.
#include <gtest/gtest.h>

#include <atomic>
#include <limits>
#include <thread>
#include <vector>

#include "clss/clastool/clastool.h"

namespace {

const double kInf = std::numeric_limits<double>::infinity();

tqClassifierResult resultOf(long label) {
    return tqClassifierResult({tqClassifierCategoryResult(label, 1.0, 1.0, 0.0)}, 0.0);
}

// A chain: level i sends measurement 0 >= i to a leaf labelled i; the bottom is labelled 0.
tqPtrHandle<tqDecisionTree> chainOf(long levels) {
    tqPtrHandle<tqDecisionTree> tree(new tqDecisionTreeLeaf(resultOf(0)));
    for (long i = 1; i <= levels; ++i)
        tree = tqDecisionTreeNode(tqRangePredicate(tqRange(static_cast<double>(i), kInf), {0}),
                                  tqDecisionTreeLeaf(resultOf(i)), *tree)
                   .clone();
    return tree;
}

TEST(TreeConcurrency, ThreadsRunningOneTreeMatchASingleThread) {
    tqClassifierTool tool;
    tool.train(*chainOf(2000));

    std::vector<tqFeaturePattern> queries;
    for (long q = 0; q < 64; ++q) queries.emplace_back(std::vector<double>{q * 37.5 - 100.0, 1.0});
    queries.emplace_back(std::vector<double>{5.0}, std::vector<long>{0});
    std::vector<tqClassifierResult> expected(queries.size());
    for (std::size_t q = 0; q < queries.size(); ++q) tool.run(queries[q], expected[q]);

    const tqClassifierTool& shared = tool;
    std::atomic<int> mismatches{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int round = 0; round < 5; ++round)
                for (std::size_t i = 0; i < queries.size(); ++i) {
                    const std::size_t q = (i + static_cast<std::size_t>(t) * 11) % queries.size();
                    tqClassifierResult result;
                    shared.run(queries[q], result);
                    if (!(result == expected[q])) ++mismatches;
                }
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(mismatches.load(), 0);
    EXPECT_EQ(expected.back(), resultOf(0));
}

TEST(TreeConcurrency, TreesSharingSubtreesDroppedInTurnWhileOthersStillReadThem) {
    // Every thread owns a tree over one shared chain of 200 levels and drops it at its own
    // moment while the others still walk the chain. Taking a subtree apart that another
    // thread still holds (or doing so without seeing its last writes) breaks their walks.
    const tqPtrHandle<tqDecisionTree> chain = chainOf(200);
    const std::size_t expectedLabels = chain->categoryLabels().size();

    for (int round = 0; round < 10; ++round) {
        constexpr int kThreads = 4;
        std::vector<tqPtrHandle<tqDecisionTree>> owned;
        for (int t = 0; t < kThreads; ++t)
            owned.push_back(tqDecisionTreeNode(tqRangePredicate(tqRange(-1.0, kInf), {0}),
                                               tqDecisionTreeLeaf(resultOf(1000 + t)), *chain)
                                .clone());
        std::atomic<int> wrong{0};
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t) {
            threads.emplace_back([&, t] {
                for (int i = 0; i < 3 * (t + 1); ++i)
                    if (owned[t]->categoryLabels().size() != expectedLabels + 1) ++wrong;
                owned[t].reset();
            });
        }
        for (auto& thread : threads) thread.join();
        ASSERT_EQ(wrong.load(), 0) << "round " << round;
    }
    EXPECT_EQ(chain->categoryLabels().size(), expectedLabels);
}

}  // namespace
