// Several threads running one trained Bayesian classifier at once (built for
// ThreadSanitizer by tests/run.sh): runs are const and must neither race nor disagree.
#include <gtest/gtest.h>

#include <sstream>
#include <thread>
#include <vector>

#include "clss/clastool/clastool.h"
#include "platform/random.h"

namespace {

void trainBoth(tqClassifierTool& a, tqClassifierTool& b, bool throwIfNotReady) {
    std::vector<tq_ClassDataGenerator> classes;
    for (int k = 0; k < 4; ++k) {
        std::vector<tqPair<double>> parameters;
        for (int j = 0; j < 5; ++j) parameters.emplace_back(0.5 * ((k + 2 * j) % 5), 1.0 + 0.2 * j);
        classes.emplace_back(parameters, 50);
    }
    const tqClassifierDataProviderMemory data = tq_TotalDataGenerator(classes).generateData();
    tqClassifierDistributionTypes types;
    types.setDependent(1, {3, 1});
    types.setDependent(2, {0, 1, 2, 3, 4});
    tqClassifierTrainParamsBayesian params(types);
    params.throwIfNotReady(throwIfNotReady);  // the ready check would run the tool
    a.train(data, params);
    b.train(data, params);
}

// Each thread rates every probe, alternately on the shared tool and on its own copy (copies
// share counted handles with the original); results must equal those of an identically
// trained tool that only this thread of control has used. The shared tool is not run before
// the threads start, so whatever the densities prepare on first use is prepared under contention.
void expectConcurrentRunsAgree(const tqClassifierTool& shared, const tqClassifierTool& reference) {
    std::vector<tqFeaturePattern> patterns;
    tqRandomGaussian g(11);
    for (int i = 0; i < 200; ++i)
        patterns.emplace_back(
            std::vector<double>{g.next(1, 2), g.next(1, 2), g.next(1, 2), g.next(1, 2), g.next(1, 2)},
            i % 4 == 1 ? std::vector<long>{i % 5} : std::vector<long>{});
    std::vector<tqClassifierResult> expected(patterns.size());
    for (std::size_t i = 0; i < patterns.size(); ++i) reference.run(patterns[i], expected[i]);

    constexpr int kThreads = 4;
    std::vector<int> mismatches(kThreads, 0);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] {
            const tqClassifierTool copy(shared);
            tqClassifierResult result;
            for (int round = 0; round < 4; ++round)
                for (std::size_t i = 0; i < patterns.size(); ++i) {
                    const std::size_t at = (i + 37 * static_cast<std::size_t>(t)) % patterns.size();
                    (round % 2 ? copy : shared).run(patterns[at], result);
                    if (!(result == expected[at])) ++mismatches[t];
                }
        });
    for (auto& thread : threads) thread.join();
    for (int t = 0; t < kThreads; ++t) EXPECT_EQ(mismatches[t], 0) << "thread " << t;
}

// The trained tool, and one loaded from the archive of another (whose densities start
// without their factorisations again).
TEST(BayesConcurrency, TrainedAndLoadedToolsAndTheirCopiesRunOnSeveralThreads) {
    tqClassifierTool shared, reference, trained, loaded;
    trainBoth(shared, reference, false);
    expectConcurrentRunsAgree(shared, reference);
    trainBoth(trained, reference, true);
    std::ostringstream stored;
    {
        tqArchive out(stored);
        out || trained;
    }
    std::istringstream bytes(stored.str());
    tqArchive in(bytes);
    in || loaded;
    expectConcurrentRunsAgree(loaded, reference);
}

}  // namespace
