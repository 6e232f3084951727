// Single-pattern k-nearest-neighbour runs through the tool (k = 5, orders 1, 2, 3 and 2.5) on generated
// data of 5 categories and 16 measurements, and, as the baseline, a plain loop over the same
// stored patterns that sums squared differences (no pow) and keeps the smallest sum.
//
//   build/bench/knn --benchmark_repetitions=9 --benchmark_report_aggregates_only=true
#include <benchmark/benchmark.h>

#include <map>
#include <vector>

#include "clss/clastool/clastool.h"
#include "platform/random.h"

namespace {

constexpr int kDims = 16;
constexpr int kCategories = 5;
constexpr int kQueries = 64;

// Stored data for n patterns, generated once per n.
const tqClassifierDataProviderMemory& storedData(long n) {
    static std::map<long, tqClassifierDataProviderMemory> cache;
    auto it = cache.find(n);
    if (it == cache.end()) {
        std::vector<tq_ClassDataGenerator> classes;
        for (int c = 0; c < kCategories; ++c) {
            std::vector<tqPair<double>> parameters;
            for (int j = 0; j < kDims; ++j) parameters.emplace_back(c * 0.8 + (j % 4) * 0.25, 1.0 + 0.1 * c);
            classes.emplace_back(parameters, n / kCategories);
        }
        it = cache.emplace(n, tq_TotalDataGenerator(classes).generateData()).first;
    }
    return it->second;
}

// Held-out queries, drawn around the category centres with another seed.
const std::vector<tqFeaturePattern>& queries() {
    static const std::vector<tqFeaturePattern> all = [] {
        std::vector<tqFeaturePattern> out;
        tqRandomGaussian gaussian(2);
        for (int q = 0; q < kQueries; ++q) {
            const int c = q % kCategories;
            std::vector<double> values;
            for (int j = 0; j < kDims; ++j)
                values.push_back(gaussian.next(c * 0.8 + (j % 4) * 0.25, 1.0 + 0.1 * c));
            out.emplace_back(values);
        }
        return out;
    }();
    return all;
}

// The norm metric under another class name: the search then calls distance() for every stored
// pattern (pow per term and per pattern), which shows what the bound saves.
class DirectNorm : public tqPatternDistanceMetricNorm {
public:
    explicit DirectNorm(double order) : tqPatternDistanceMetricNorm(order) {}
    tqPtrHandle<tqPatternDistanceMetric> clone() const override {
        return tqPtrHandle<tqPatternDistanceMetric>(new DirectNorm(*this));
    }
};

void runKnn(benchmark::State& state, const tqPatternDistanceMetric& metric) {
    const long n = state.range(0);
    tqClassifierTool tool;
    tool.train(storedData(n), tqClassifierTrainParamsKNN(5, metric, tqClassifierCosts()));
    const auto& qs = queries();
    tqClassifierResult result;
    std::size_t q = 0;
    for (auto _ : state) {
        tool.run(qs[q], result);
        benchmark::DoNotOptimize(result);
        q = (q + 1) % qs.size();
    }
    state.SetItemsProcessed(state.iterations() * n);
}

void BM_KnnRun(benchmark::State& state) {
    runKnn(state, tqPatternDistanceMetricNorm(static_cast<double>(state.range(1))));
}

// An order without a cheap form of its terms.
void BM_KnnRunOrder(benchmark::State& state, double order) {
    runKnn(state, tqPatternDistanceMetricNorm(order));
}

void BM_KnnRunDirectDistances(benchmark::State& state) {
    runKnn(state, DirectNorm(static_cast<double>(state.range(1))));
}

// The same stored patterns, reached the same way (through the provider's stored handles).
void BM_SquaredDifferenceBaseline(benchmark::State& state) {
    const long n = state.range(0);
    const tqClassifierDataProviderMemory& data = storedData(n);
    const auto& patterns = data.patterns();
    const auto& qs = queries();
    std::size_t q = 0;
    for (auto _ : state) {
        const double* a = qs[q].featureMeasurements(true).data();
        double best = 1e308;
        for (long i = 0; i < data.numPatterns(); ++i) {
            const double* b = patterns[static_cast<std::size_t>(i)]->featureMeasurements(false).data();
            double sum = 0.0;
            for (int j = 0; j < kDims; ++j) {
                const double diff = a[j] - b[j];
                sum += diff * diff;
            }
            if (sum < best) best = sum;
        }
        benchmark::DoNotOptimize(best);
        q = (q + 1) % qs.size();
    }
    state.SetItemsProcessed(state.iterations() * n);
}

}  // namespace

BENCHMARK(BM_SquaredDifferenceBaseline)->Arg(10000)->Arg(100000)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_KnnRun)
    ->ArgsProduct({{10000, 100000}, {1, 2, 3}})
    ->ArgNames({"n", "p"})
    ->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_KnnRunOrder, p2_5, 2.5)->Arg(10000)->Arg(100000)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_KnnRunDirectDistances)
    ->ArgsProduct({{10000, 100000}, {1, 2, 3}})
    ->ArgNames({"n", "p"})
    ->Unit(benchmark::kMicrosecond);

BENCHMARK_MAIN();
