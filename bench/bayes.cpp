// Speed of the Bayesian technique: training on a million patterns (one pass, per-pattern
// work independent of the data size) and running single-threaded.
//
//   build/bench/bayes --benchmark_counters_tabular=true
//
// Data: five categories of eight Gaussian measurements from tq_TotalDataGenerator.
#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdlib>
#include <new>
#include <vector>

#include "clss/clastool/clastool.h"

// Counts heap allocations, so that the run benchmark can show how many a run makes.
namespace {
std::atomic<long> gAllocations{0};
}

// The replacements pair malloc with free; the compiler cannot see that they match.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void* operator new(std::size_t size) {
    gAllocations.fetch_add(1, std::memory_order_relaxed);
    if (void* p = std::malloc(size ? size : 1)) return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
#pragma GCC diagnostic pop

namespace {

constexpr long kCategories = 5;
constexpr long kMeasurements = 8;

const tqClassifierDataProviderMemory& data(long patternsPerCategory) {
    static std::vector<std::pair<long, tqClassifierDataProviderMemory>> cache;
    for (const auto& entry : cache)
        if (entry.first == patternsPerCategory) return entry.second;
    std::vector<tq_ClassDataGenerator> classes;
    for (long k = 0; k < kCategories; ++k) {
        std::vector<tqPair<double>> parameters;
        for (long j = 0; j < kMeasurements; ++j)
            parameters.emplace_back(static_cast<double>((k * 3 + j * 7) % 11) * 0.5,
                                    1.0 + 0.25 * static_cast<double>((k + j) % 4));
        classes.emplace_back(parameters, patternsPerCategory);
    }
    cache.emplace_back(patternsPerCategory, tq_TotalDataGenerator(classes).generateData());
    return cache.back().second;
}

tqClassifierTrainParamsBayesian params(bool oneSetOfAll) {
    tqClassifierDistributionTypes types;
    if (oneSetOfAll)
        for (long k = 0; k < kCategories; ++k) types.setDependent(k, {0, 1, 2, 3, 4, 5, 6, 7});
    return tqClassifierTrainParamsBayesian(types);
}

// Training on 1,000,000 patterns: default parameters (eight single-measurement groups per
// category), then one dependency set of all eight measurements.
void BM_Train(benchmark::State& state) {
    const tqClassifierDataProviderMemory& d = data(200000);
    const tqClassifierTrainParamsBayesian p = params(state.range(0) != 0);
    for (auto _ : state) {
        tqClassifierTool tool;
        tool.train(d, p);
        benchmark::DoNotOptimize(tool);
    }
    state.counters["patterns"] = static_cast<double>(d.numPatterns());
    state.counters["patterns/s"] = benchmark::Counter(static_cast<double>(d.numPatterns()),
                                                      benchmark::Counter::kIsIterationInvariantRate);
}
BENCHMARK(BM_Train)->Arg(0)->Arg(1)->ArgName("oneSetOfAll")->Unit(benchmark::kMillisecond)->MinTime(2.0);

// Running, single-threaded, over 1,000 patterns in turn (training patterns: their values
// do not matter to the cost of a run).
void BM_Run(benchmark::State& state) {
    const tqClassifierDataProviderMemory& train = data(2000);
    tqClassifierTool tool;
    tool.train(train, params(state.range(0) != 0));
    std::vector<tqPtrHandle_const<tqFeaturePattern>> patterns;
    for (long i = 0; i < 1000; ++i) patterns.push_back(train.featurePattern(i));
    tqClassifierResult result;
    std::size_t i = 0;
    const long allocationsBefore = gAllocations.load();
    for (auto _ : state) {
        tool.run(*patterns[i], result);
        benchmark::DoNotOptimize(result);
        if (++i == patterns.size()) i = 0;
    }
    state.counters["patterns/s"] = benchmark::Counter(1.0, benchmark::Counter::kIsIterationInvariantRate);
    // Per run, whatever the number of groups: the result's own vectors only.
    state.counters["allocs/run"] = static_cast<double>(gAllocations.load() - allocationsBefore) /
                                   static_cast<double>(state.iterations());
}
BENCHMARK(BM_Run)->Arg(0)->Arg(1)->ArgName("oneSetOfAll");

// The densities' share of a run: the five category models rate the pattern (what a run
// does before it builds the result).
void BM_RateCategories(benchmark::State& state) {
    const tqClassifierDataProviderMemory& train = data(2000);
    tq_ClassifierBayesian classifier;
    classifier.train(train, params(state.range(0) != 0), nullptr, 0);
    std::vector<tqPtrHandle_const<tqFeaturePattern>> patterns;
    for (long i = 0; i < 1000; ++i) patterns.push_back(train.featurePattern(i));
    std::size_t i = 0;
    for (auto _ : state) {
        double sum = 0.0;
        for (const auto& model : classifier.categoryModels())
            sum += model->matchScore(*patterns[i], nullptr, 0);
        benchmark::DoNotOptimize(sum);
        if (++i == patterns.size()) i = 0;
    }
    state.counters["patterns/s"] = benchmark::Counter(1.0, benchmark::Counter::kIsIterationInvariantRate);
}
BENCHMARK(BM_RateCategories)->Arg(0)->Arg(1)->ArgName("oneSetOfAll");

}  // namespace

BENCHMARK_MAIN();
