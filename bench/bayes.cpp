// Speed of the Bayesian technique: training on a million patterns (one pass, per-pattern
// work independent of the data size) and running single-threaded.
//
//   build/bench/bayes [--compare-only] --benchmark_counters_tabular=true
//
// First, side by side with scikit-learn's GaussianNB on the same data (written to temporary
// CSV files and timed by bench/bayes_sklearn.py under /usr/bin/python3): fit against our
// training, one predict_proba of 100,000 patterns against 100,000 single runs (of new pattern
// objects, then of the training set's own) and against one batch run of the same rows;
// process CPU time, best of three each (the new-object single runs and the batch: best of seven,
// timed in turns). --compare-only stops after that; without
// python3-sklearn the comparison prints why and the benchmarks still run.
//
// Data: five categories of eight Gaussian measurements from tq_TotalDataGenerator.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <time.h>
#include <unistd.h>
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
    // Per run, whatever the number of groups: none once the result has held a run.
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

constexpr int kRepeats = 3;
constexpr int kTurns = 7;  // single runs and batch, in turns
constexpr long kQueries = 100000;

// Process CPU time, as the script takes it: on a shared, loaded machine the wall clock
// mostly measures the other work.
double cpuMilliseconds() {
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) * 1e3 + static_cast<double>(now.tv_nsec) * 1e-6;
}

template <class F>
double bestMilliseconds(F&& f) {
    double best = 1e300;
    for (int r = 0; r < kRepeats; ++r) {
        const double start = cpuMilliseconds();
        f();
        best = std::min(best, cpuMilliseconds() - start);
    }
    return best;
}

// Writes patterns [0, count) of d as CSV rows, the label first when withLabel.
bool writeCsv(const std::string& path, const tqClassifierDataProviderMemory& d, long count, bool withLabel) {
    std::FILE* file = std::fopen(path.c_str(), "w");
    if (!file) return false;
    for (long i = 0; i < count; ++i) {
        if (withLabel) std::fprintf(file, "%ld,", d.categoryLabel(i));
        const std::vector<double>& values = d.featurePattern(i)->featureMeasurements(false);
        for (std::size_t j = 0; j < values.size(); ++j)
            std::fprintf(file, j + 1 < values.size() ? "%.17g," : "%.17g\n", values[j]);
    }
    return std::fclose(file) == 0;
}

// GaussianNB's fit and predict_proba in milliseconds, or false with the reason printed.
bool timeGaussianNB(const tqClassifierDataProviderMemory& d, double& fit, double& predict) {
    char directory[] = "/tmp/bench_bayes_XXXXXX";
    if (!mkdtemp(directory)) {
        std::perror("bench/bayes: temporary directory");
        return false;
    }
    const std::string train = std::string(directory) + "/train.csv";
    const std::string queries = std::string(directory) + "/queries.csv";
    bool ok = writeCsv(train, d, d.numPatterns(), true) && writeCsv(queries, d, kQueries, false);
    if (ok) {
        const std::string command = "/usr/bin/python3 " CLASTOOL_BAYES_SKLEARN_SCRIPT " " + train + " " + queries +
                                    " " + std::to_string(kRepeats);
        std::FILE* pipe = popen(command.c_str(), "r");
        ok = pipe && std::fscanf(pipe, "%lf %lf", &fit, &predict) == 2;
        if (pipe) ok = pclose(pipe) == 0 && ok;
        if (!ok) std::fprintf(stderr, "bench/bayes: '%s' failed (is python3-sklearn installed?)\n", command.c_str());
    }
    std::remove(train.c_str());
    std::remove(queries.c_str());
    rmdir(directory);
    return ok;
}

void compareWithGaussianNB() {
    const tqClassifierDataProviderMemory& d = data(200000);
    const tqClassifierTrainParamsBayesian p = params(false);
    tqClassifierTool tool;
    const double train = bestMilliseconds([&] {
        tqClassifierTool fresh;
        fresh.train(d, p);
        benchmark::DoNotOptimize(fresh);
        tool = fresh;
    });

    // The queries as a user holds patterns to classify: made from their values one after
    // another, in the order they are run. The training set's own objects are also run: the
    // generator shuffled them, so that consecutive queries lie far apart among a million
    // objects and each run first waits on memory for its pattern.
    std::vector<tqPtrHandle_const<tqFeaturePattern>> patterns, trainingObjects;
    std::vector<double> values;
    for (long i = 0; i < kQueries; ++i) {
        trainingObjects.push_back(d.featurePattern(i));
        const std::vector<double>& row = trainingObjects.back()->featureMeasurements(false);
        patterns.push_back(tqPtrHandle_const<tqFeaturePattern>(new tqFeaturePattern(row)));
        values.insert(values.end(), row.begin(), row.end());
    }
    std::vector<tqClassifierResult> results(static_cast<std::size_t>(kQueries));
    const auto runAll = [&](const std::vector<tqPtrHandle_const<tqFeaturePattern>>& queries) {
        for (std::size_t i = 0; i < queries.size(); ++i) tool.run(*queries[i], results[i]);
        benchmark::DoNotOptimize(results.data());
    };
    const double singleTraining = bestMilliseconds([&] { runAll(trainingObjects); });
    // Once every result has held a run, a run into it should take nothing from the heap.
    const long allocationsBefore = gAllocations.load();
    runAll(patterns);
    const double allocationsPerRun = static_cast<double>(gAllocations.load() - allocationsBefore) / kQueries;
    tqPatternRows rows;
    rows.values = values.data();
    rows.rows = static_cast<std::size_t>(kQueries);
    rows.dimension = rows.rowStride = static_cast<std::size_t>(kMeasurements);
    // The single runs and the batch are timed in turns, the best of kTurns each: on a shared
    // machine a burst of other work during one side's repetitions would otherwise decide their
    // ratio (the batch speed-up), where in turns both sides meet the same load.
    double single = 1e300, batch = 1e300;
    for (int turn = 0; turn < kTurns; ++turn) {
        double start = cpuMilliseconds();
        runAll(patterns);
        single = std::min(single, cpuMilliseconds() - start);
        start = cpuMilliseconds();
        tool.runBatch(rows, results.data());
        benchmark::DoNotOptimize(results.data());
        batch = std::min(batch, cpuMilliseconds() - start);
    }

    double fit = 0.0, predict = 0.0;
    const bool peer = timeGaussianNB(d, fit, predict);
    std::printf("Bayes, %ld training patterns x %ld measurements, %ld categories, %ld queries; best of %d"
                " (single runs and batch: of %d in turns)\n",
                d.numPatterns(), kMeasurements, kCategories, kQueries, kRepeats, kTurns);
    std::printf("%-34s %12s %14s %7s\n", "", "clastool", "GaussianNB", "ratio");
    const auto line = [&](const char* name, double ours, double theirs) {
        if (peer)
            std::printf("%-34s %10.1fms %12.1fms %7.2f\n", name, ours, theirs, ours / theirs);
        else
            std::printf("%-34s %10.1fms %14s %7s\n", name, ours, "-", "-");
    };
    line("fit", train, fit);
    line("100k single runs / predict_proba", single, predict);
    line("  the same, training objects", singleTraining, predict);
    line("100k batch run / predict_proba", batch, predict);
    std::printf("%-34s %12.2f\n", "batch speed-up over single runs", single / batch);
    std::printf("%-34s %12.2f\n\n", "heap allocations per single run", allocationsPerRun);
    std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
    bool compareOnly = false;
    int kept = 1;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--compare-only") == 0)
            compareOnly = true;
        else
            argv[kept++] = argv[i];
    }
    argc = kept;
    compareWithGaussianNB();
    if (compareOnly) return 0;
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
