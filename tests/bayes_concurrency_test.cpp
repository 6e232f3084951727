// Several threads running one trained Bayesian classifier at once (built for
// ThreadSanitizer by tests/run.sh): runs are const and must neither race nor disagree.
#include <gtest/gtest.h>

#include <sstream>
#include <thread>
#include <vector>

#include "clss/clastool/clastool.h"
#include "platform/random.h"

namespace {

tqClassifierDataProviderMemory trainingData() {
    std::vector<tq_ClassDataGenerator> classes;
    for (int k = 0; k < 4; ++k) {
        std::vector<tqPair<double>> parameters;
        for (int j = 0; j < 5; ++j) parameters.emplace_back(0.5 * ((k + 2 * j) % 5), 1.0 + 0.2 * j);
        classes.emplace_back(parameters, 50);
    }
    return tq_TotalDataGenerator(classes).generateData();
}

tqClassifierTrainParamsBayesian trainingParams() {
    tqClassifierDistributionTypes types;
    types.setDependent(1, {3, 1});
    types.setDependent(2, {0, 1, 2, 3, 4});
    return tqClassifierTrainParamsBayesian(types);
}

std::vector<tqFeaturePattern> probes() {
    std::vector<tqFeaturePattern> out;
    tqRandomGaussian g(11);
    for (int i = 0; i < 200; ++i) {
        std::vector<long> invalid;
        if (i % 4 == 1) invalid = {static_cast<long>(i % 5)};
        out.emplace_back(
            std::vector<double>{g.next(1, 2), g.next(1, 2), g.next(1, 2), g.next(1, 2), g.next(1, 2)},
            invalid);
    }
    return out;
}

// Each thread rates every probe; results must equal those of an identically trained tool
// that only this thread of control has used. The shared tool is not run before the threads
// start, so whatever the densities prepare on first use is prepared under contention.
void expectConcurrentRunsAgree(const tqClassifierTool& shared, const tqClassifierTool& reference) {
    const std::vector<tqFeaturePattern> patterns = probes();
    std::vector<tqClassifierResult> expected(patterns.size());
    for (std::size_t i = 0; i < patterns.size(); ++i) reference.run(patterns[i], expected[i]);

    constexpr int kThreads = 4;
    std::vector<int> mismatches(kThreads, 0);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] {
            tqClassifierResult result;
            for (int round = 0; round < 3; ++round)
                for (std::size_t i = 0; i < patterns.size(); ++i) {
                    const std::size_t at = (i + 37 * static_cast<std::size_t>(t)) % patterns.size();
                    shared.run(patterns[at], result);
                    if (!(result == expected[at])) ++mismatches[t];
                }
        });
    for (auto& thread : threads) thread.join();
    for (int t = 0; t < kThreads; ++t) EXPECT_EQ(mismatches[t], 0) << "thread " << t;
}

TEST(BayesConcurrency, TrainedToolRunsOnSeveralThreads) {
    const tqClassifierDataProviderMemory data = trainingData();
    tqClassifierTrainParamsBayesian params = trainingParams();
    params.throwIfNotReady(false);  // the ready check would run the tool before the threads do
    tqClassifierTool shared, reference;
    shared.train(data, params);
    reference.train(data, params);
    expectConcurrentRunsAgree(shared, reference);
}

TEST(BayesConcurrency, LoadedToolRunsOnSeveralThreads) {
    const tqClassifierDataProviderMemory data = trainingData();
    tqClassifierTool trained, reference;
    trained.train(data, trainingParams());
    reference.train(data, trainingParams());
    std::ostringstream stored;
    {
        tqArchive out(stored);
        out || trained;
    }
    tqClassifierTool loaded;
    {
        std::istringstream bytes(stored.str());
        tqArchive in(bytes);
        in || loaded;
    }
    expectConcurrentRunsAgree(loaded, reference);
}

// Copies of one tool share nothing but counted handles; runs on copies alongside runs on
// the original exercise the reference counts.
TEST(BayesConcurrency, CopiesRunAlongsideTheOriginal) {
    const tqClassifierDataProviderMemory data = trainingData();
    tqClassifierTool original, reference;
    original.train(data, trainingParams());
    reference.train(data, trainingParams());
    std::vector<std::thread> threads;
    std::vector<int> mismatches(4, 0);
    const std::vector<tqFeaturePattern> patterns = probes();
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&, t] {
            const tqClassifierTool copy(original);
            tqClassifierResult a, b;
            for (const tqFeaturePattern& x : patterns) {
                copy.run(x, a);
                original.run(x, b);
                if (!(a == b)) ++mismatches[t];
            }
        });
    for (auto& thread : threads) thread.join();
    for (int t = 0; t < 4; ++t) EXPECT_EQ(mismatches[t], 0);
    expectConcurrentRunsAgree(original, reference);
}

}  // namespace
