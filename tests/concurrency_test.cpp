// Several threads running one trained tool (nearest neighbours, a deep decision tree, Bayesian
// models trained and loaded), trees sharing subtrees dropped while others walk them, and
// abandoning a long run from outside.
#include <gtest/gtest.h>

#include <atomic>
#include <limits>
#include <thread>
#include <vector>

#include "clss/clastool/clastool.h"
#include "platform/attention.h"
#include "tests/test_support.h"

namespace {

const double kInf = std::numeric_limits<double>::infinity();

tqClassifierDataProviderMemory generated(long perClass, int dims) {
    std::vector<tq_ClassDataGenerator> classes;
    for (int c = 0; c < 4; ++c) {
        std::vector<tqPair<double>> parameters;
        for (int j = 0; j < dims; ++j) parameters.emplace_back(c + 0.3 * j, 1.5);
        classes.emplace_back(parameters, perClass);
    }
    return tq_TotalDataGenerator(classes).generateData();
}

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

// Runs share the tool's model and change nothing, so every thread, on the tool and on its own
// copy (which shares counted handles with it), sees what an identically trained tool sees on one
// thread. The Bayesian tools are not run before the threads start (one trained without the ready
// check, one loaded from an archive), so what their densities prepare on first use is prepared
// under contention.
TEST(Concurrency, ThreadsRunningOneToolMatchASingleThread) {
    tqClassifierTool knn, tree, bayes, stored, loaded, reference;
    knn.train(generated(100, 6), tqClassifierTrainParamsKNN(5, tqPatternDistanceMetricNorm(3.0), tqClassifierCosts()));
    tree.train(*chainOf(2000));
    tqClassifierDistributionTypes types;
    types.setDependent(1, {3, 1});
    types.setDependent(2, {0, 1, 2, 3, 4});
    tqClassifierTrainParamsBayesian params(types);
    params.throwIfNotReady(false);  // the ready check would run the tool
    for (tqClassifierTool* tool : {&bayes, &stored, &reference}) tool->train(generated(50, 6), params);
    tqtest::loadBytes(tqtest::storeBytes(stored), loaded);
    const tqClassifierDataProviderMemory patterns = generated(15, 6);  // same seed: also stored patterns
    std::vector<tqFeaturePattern> queries, partly;
    for (long i = 0; i < patterns.numPatterns(); ++i) queries.push_back(*patterns.featurePattern(i));
    for (long q = 0; q < 64; ++q) queries.emplace_back(std::vector<double>(6, q * 37.5 - 100.0));
    partly = queries;  // and with a measurement missing, for the techniques that take it
    for (long q = 0; q < 60; ++q)
        partly.emplace_back(queries[q].featureMeasurements(false), std::vector<long>{q % 6});
    const struct {
        const tqClassifierTool& tool;
        const tqClassifierTool& reference;
        const std::vector<tqFeaturePattern>& queries;
    } cases[] = {{knn, knn, queries}, {tree, tree, partly}, {bayes, reference, partly},
                 {loaded, reference, partly}};
    for (const auto& c : cases) {
        std::vector<tqClassifierResult> expected(c.queries.size());
        for (std::size_t q = 0; q < c.queries.size(); ++q) c.reference.run(c.queries[q], expected[q]);
        std::atomic<int> mismatches{0};
        std::vector<std::thread> threads;
        for (std::size_t t = 0; t < 4; ++t)
            threads.emplace_back([&, t] {
                const tqClassifierTool copy(c.tool);
                for (int round = 0; round < 4; ++round)
                    for (std::size_t i = 0; i < c.queries.size(); ++i) {
                        const std::size_t q = (i + t * 37) % c.queries.size();
                        tqClassifierResult result;
                        (round % 2 ? copy : c.tool).run(c.queries[q], result);
                        if (!(result == expected[q])) ++mismatches;
                    }
            });
        for (auto& thread : threads) thread.join();
        EXPECT_EQ(mismatches.load(), 0);
    }
}

TEST(Concurrency, TreesSharingSubtreesDroppedInTurnWhileOthersStillReadThem) {
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
        for (int t = 0; t < kThreads; ++t)
            threads.emplace_back([&, t] {
                for (int i = 0; i < 3 * (t + 1); ++i)
                    if (owned[t]->categoryLabels().size() != expectedLabels + 1) ++wrong;
                owned[t].reset();
            });
        for (auto& thread : threads) thread.join();
        ASSERT_EQ(wrong.load(), 0) << "round " << round;
    }
    EXPECT_EQ(chain->categoryLabels().size(), expectedLabels);
}

TEST(Concurrency, AbortEndsALongRunAndTheToolStaysUsable) {
    const tqClassifierDataProviderMemory data = generated(20000, 16);
    tqClassifierTool tool;
    tool.train(data, tqClassifierTrainParamsKNN(5));
    const tqFeaturePattern query(std::vector<double>(16, 1.0));
    tqClassifierResult before;
    tool.run(query, before);

    // Requested from another thread while runs are going on.
    std::atomic<bool> aborted{false};
    std::thread runner([&] {
        try {
            for (int i = 0; i < 100000; ++i) {
                tqClassifierResult result;
                tool.run(query, result);
            }
        } catch (const tqAborted&) {
            aborted = true;
        }
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    tfRequestAbort();
    runner.join();
    EXPECT_TRUE(aborted.load());

    // Once the request is cleared the tool runs as before.
    tfClearAbortRequest();
    tqClassifierResult result;
    tool.run(query, result);
    EXPECT_EQ(result, before);
}

}  // namespace
