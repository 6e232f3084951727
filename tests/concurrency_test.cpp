// Several threads running one trained tool, and abandoning a long run from outside.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "clss/clastool/clastool.h"
#include "platform/attention.h"
#include "tests/test_support.h"

namespace {

tqClassifierDataProviderMemory generated(long perClass, int dims) {
    std::vector<tq_ClassDataGenerator> classes;
    for (int c = 0; c < 4; ++c) {
        std::vector<tqPair<double>> parameters;
        for (int j = 0; j < dims; ++j) parameters.emplace_back(c + 0.3 * j, 1.5);
        classes.emplace_back(parameters, perClass);
    }
    return tq_TotalDataGenerator(classes).generateData();
}

TEST(Concurrency, ThreadsRunningOneToolMatchASingleThread) {
    const tqClassifierDataProviderMemory data = generated(100, 6);
    const tqClassifierDataProviderMemory queries = generated(15, 6);  // same seed: also stored patterns
    tqClassifierTool tool;
    tool.train(data, tqClassifierTrainParamsKNN(5, tqPatternDistanceMetricNorm(3.0), tqClassifierCosts()));

    std::vector<tqClassifierResult> expected(static_cast<std::size_t>(queries.numPatterns()));
    for (long i = 0; i < queries.numPatterns(); ++i)
        tool.run(*queries.featurePattern(i), expected[static_cast<std::size_t>(i)]);

    const tqClassifierTool& shared = tool;
    std::atomic<int> mismatches{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int round = 0; round < 3; ++round) {
                for (long i = 0; i < queries.numPatterns(); ++i) {
                    const long q = (i + t * 7) % queries.numPatterns();
                    tqClassifierResult result;
                    shared.run(*queries.featurePattern(q), result);
                    if (!(result == expected[static_cast<std::size_t>(q)])) ++mismatches;
                }
            }
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(mismatches.load(), 0);
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

    // While the request stands every run ends at once with the abort exception.
    tqClassifierResult result;
    EXPECT_THROW(tool.run(query, result), tqAborted);
    tfClearAbortRequest();
    EXPECT_TRUE(tool.isTrained());
    tool.run(query, result);
    EXPECT_EQ(result, before);
}

}  // namespace
