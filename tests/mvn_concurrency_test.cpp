// Several threads rate records with one kernel state whose factorisation is not built yet:
// they race to build and publish it, and every one must see the same values. Another thread
// copies the state meanwhile.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "tests/mvn_support.h"

using namespace mvntest;

namespace {

constexpr int kThreads = 4;

// Runs `kThreads` threads that start together and each rate every probe `rounds` times, and
// one that copies the state until they are done.
std::vector<std::vector<double>> rateConcurrently(const State& s, const std::vector<Row>& probes,
                                                  const std::vector<Indices>& invalid, int rounds) {
    std::vector<std::vector<double>> seen(kThreads);
    std::atomic<int> ready{0};
    std::atomic<bool> stop{false};
    std::thread copier([&] {
        while (!stop.load()) EXPECT_EQ(State(s).count(), s.count());
    });
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            ready.fetch_add(1);
            while (ready.load() < kThreads) std::this_thread::yield();
            for (int k = 0; k < rounds; ++k) {
                for (std::size_t p = 0; p < probes.size(); ++p) {
                    const auto rated = logValue(s, probes[p], invalid[p]);
                    seen[t].push_back(rated.first == tqMVNSuccess ? rated.second : -1.0);
                }
            }
        });
    }
    for (auto& th : threads) th.join();
    stop.store(true);
    copier.join();
    return seen;
}

}  // namespace

TEST(MvnConcurrency, RacingFirstLogValuesAgreeWhileAnotherThreadCopies) {
    for (long d : {1L, 3L, 6L}) {
        Random rnd(static_cast<std::uint64_t>(100 + d));
        State s;
        ASSERT_EQ(update(s, correlatedRows(rnd, d, 40)), tqMVNSuccess);
        const auto probes = correlatedRows(rnd, d, 8);
        std::vector<Indices> invalid(probes.size());
        invalid[1] = {0};
        for (int attempt = 0; attempt < 20; ++attempt) {
            // Every attempt starts from a state without cache: an update drops it.
            ASSERT_EQ(update(s, {probes[attempt % probes.size()]}), tqMVNSuccess);
            const State reference(s);
            std::vector<double> want;
            for (std::size_t p = 0; p < probes.size(); ++p)
                want.push_back(lv(reference, probes[p], invalid[p]));
            const auto seen = rateConcurrently(s, probes, invalid, 3);
            for (const auto& values : seen)
                for (std::size_t i = 0; i < values.size(); ++i) ASSERT_EQ(values[i], want[i % want.size()]);
        }
    }
}
