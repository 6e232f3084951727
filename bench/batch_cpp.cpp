// The batch classification that the Python estimators call, timed from C++ on rows that
// bench/python_batch.py writes, so that both sides classify the same data:
//
//   build/bench/batch_cpp bayes|knn TRAIN LABELS QUERIES DIMENSION [K]
//
// TRAIN and QUERIES hold float64 rows of DIMENSION measurements, LABELS one int64 category
// number per training row (raw native-endian files, as numpy's tofile writes them). The tool is
// trained (Bayes: independent normal measurements; KNN: k nearest under the Euclidean norm),
// then every query is classified on one thread twice over: by runBatchScores, the scores-only
// call behind predict_proba, into a fresh array of class scores, and by runBatch into a fresh
// result vector (each made and freed inside the timing). The C library is told to keep freed memory rather than hand the top of
// the heap back to the system after every repetition: in this small process nothing sits above
// the results, and the page faults of getting that memory again would double the Bayesian
// figure, while in the Python process (as in most programs) the interpreter's objects above
// them keep it. Prints the best of five process CPU times in milliseconds of each,
// runBatchScores first.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <malloc.h>
#include <stdexcept>
#include <string>
#include <time.h>
#include <vector>

#include "clss/clastool/clastool.h"

namespace {

template <typename T>
std::vector<T> readAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    if (!in) throw std::runtime_error("cannot open " + path);
    const auto bytes = static_cast<std::size_t>(in.tellg());
    if (bytes % sizeof(T) != 0) throw std::runtime_error(path + " is not a whole number of values");
    std::vector<T> values(bytes / sizeof(T));
    in.seekg(0);
    in.read(reinterpret_cast<char*>(values.data()), static_cast<std::streamsize>(bytes));
    if (!in) throw std::runtime_error("cannot read " + path);
    return values;
}

double cpuMilliseconds() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) * 1e3 + static_cast<double>(t.tv_nsec) * 1e-6;
}

int run(int argc, char** argv) {
#ifdef __GLIBC__
    mallopt(M_TRIM_THRESHOLD, 1 << 30);
    mallopt(M_MMAP_THRESHOLD, 1 << 30);
#endif
    if (argc < 6 || argc > 7) {
        std::fprintf(stderr, "usage: %s bayes|knn TRAIN LABELS QUERIES DIMENSION [K]\n", argv[0]);
        return 2;
    }
    const std::string method = argv[1];
    const auto train = readAll<double>(argv[2]);
    const auto labels = readAll<std::int64_t>(argv[3]);
    const auto queries = readAll<double>(argv[4]);
    const auto dimension = static_cast<std::size_t>(std::strtoul(argv[5], nullptr, 10));
    const long k = argc == 7 ? std::strtol(argv[6], nullptr, 10) : 5;
    if (dimension == 0 || train.size() != labels.size() * dimension || queries.size() % dimension != 0)
        throw std::runtime_error("the files do not hold rows of the given dimension");

    tqClassifierDataProviderMemory data;
    for (std::size_t i = 0; i < labels.size(); ++i) {
        const std::vector<double> row(train.begin() + static_cast<long>(i * dimension),
                                      train.begin() + static_cast<long>((i + 1) * dimension));
        data.addData(tqPtrHandle_const<tqFeaturePattern>(new tqFeaturePattern(row)), static_cast<long>(labels[i]));
    }
    tqClassifierTool tool;
    if (method == "bayes")
        tool.train(data, tqClassifierTrainParamsBayesian(tqClassifierDistributionTypes()));
    else if (method == "knn")
        tool.train(data, tqClassifierTrainParamsKNN(k, tqPatternDistanceMetricNorm(2.0), tqClassifierCosts(1.0)));
    else
        throw std::runtime_error("unknown method " + method);

    tqPatternRows rows;
    rows.values = queries.data();
    rows.rows = queries.size() / dimension;
    rows.dimension = rows.rowStride = dimension;
    std::vector<long> columns(labels.begin(), labels.end());
    std::sort(columns.begin(), columns.end());
    columns.erase(std::unique(columns.begin(), columns.end()), columns.end());
    double bestScores = 0.0, bestResults = 0.0;
    std::size_t scored = 0, decided = 0;
    for (int repeat = 0; repeat < 5; ++repeat) {
        // Made and freed inside the timing, as the binding's call makes and frees its own.
        double start = cpuMilliseconds();
        {
            std::vector<double> scores(rows.rows * columns.size());
            tool.runBatchScores(rows, columns.data(), columns.size(), scores.data());
            for (std::size_t i = 0; i < rows.rows; ++i)
                scored += std::any_of(&scores[i * columns.size()], &scores[(i + 1) * columns.size()],
                                      [](double s) { return s > 0.0; });
        }
        const double scoresTime = cpuMilliseconds() - start;
        start = cpuMilliseconds();
        {
            std::vector<tqClassifierResult> results(rows.rows);
            tool.runBatch(rows, results.data());
            decided += static_cast<std::size_t>(std::count_if(results.begin(), results.end(), [](const tqClassifierResult& r) {
                return !r.categoryResults().empty();
            }));
        }
        const double resultsTime = cpuMilliseconds() - start;
        bestScores = repeat == 0 ? scoresTime : std::min(bestScores, scoresTime);
        bestResults = repeat == 0 ? resultsTime : std::min(bestResults, resultsTime);
    }
    if (scored != 5 * rows.rows || decided != 5 * rows.rows) throw std::runtime_error("a query was left without a score");
    std::printf("%.3f %.3f\n", bestScores, bestResults);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    try {
        return run(argc, argv);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "batch_cpp: %s\n", e.what());
        return 1;
    }
}
