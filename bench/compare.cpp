// Side by side with OpenCV's ml module on the same generated data, in one run:
//  - k-nearest neighbours against KNearest (brute force): single-pattern classification latency
//    (tqClassifierTool::run against findNearest on one row) and one batch of all queries
//    (tqClassifierTool::runBatch against findNearest on all rows at once), for stored patterns
//    allocated one after another and for stored patterns allocated among other allocations of
//    varied size (where the heap puts each pattern object);
//  - Bayesian: training time and single-pattern run time against NormalBayesClassifier.
// OpenCV's normal Bayes classifier models each class by one full-covariance normal density; our
// Bayesian classifier does the same when all measurements form one dependency set, and by default
// models every measurement on its own. Both of ours are shown.
//
// Prints a Markdown table of median CPU times over repetitions, with the ratio ours / OpenCV (above 1:
// we take longer), and how often the two libraries decide alike. Each repetition times our side and
// then OpenCV's, so that a change of load on a shared machine reaches both alike.
//
//   bench/compare [--n STORED] [--d MEASUREMENTS] [--k NEIGHBOURS] [--queries QUERIES] [--reps R]
//                 [--no-bayes] [--index]
//   (defaults: 9000 stored patterns of 8 measurements, k = 5, 1000 queries, 7 repetitions)
//
// --index instead times k-nearest neighbours with the exact index forced (CLASTOOL_KNN_INDEX=tree),
// with the scan forced and with the automatic choice, beside scikit-learn's
// KNeighborsClassifier(algorithm="kd_tree") on the same data (bench/knn_sklearn.py under
// /usr/bin/python3, python3-sklearn from tools/install-deps.sh), and the index's memory. The three
// sides are timed in turns, after a warm-up run of each.
#include <malloc.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <functional>
#include <memory>
#include <opencv2/core.hpp>
#include <opencv2/ml.hpp>
#include <random>
#include <string>
#include <vector>

#include "clss/clastool/clastool.h"

namespace {

constexpr int kClasses = 3;

struct Options {
    long n = 9000;
    long d = 8;
    long k = 5;
    long queries = 1000;
    long repetitions = 7;
    bool bayes = true;
    bool index = false;
};

[[noreturn]] void usage(const char* why) {
    std::fprintf(stderr,
                 "compare: %s\nusage: compare [--n STORED] [--d MEASUREMENTS] [--k NEIGHBOURS] "
                 "[--queries QUERIES] [--reps R] [--no-bayes] [--index]\n",
                 why);
    std::exit(2);
}

Options parseOptions(int argc, char** argv) {
    Options o;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--no-bayes" || arg == "--index") {
            (arg == "--index" ? o.index : o.bayes) = arg == "--index";
            continue;
        }
        long* target = arg == "--n"         ? &o.n
                       : arg == "--d"       ? &o.d
                       : arg == "--k"       ? &o.k
                       : arg == "--queries" ? &o.queries
                       : arg == "--reps"    ? &o.repetitions
                                            : nullptr;
        if (!target) usage(("unknown option " + arg).c_str());
        if (i + 1 >= argc) usage(("missing value after " + arg).c_str());
        char* end = nullptr;
        *target = std::strtol(argv[++i], &end, 10);
        if (end == argv[i] || *end != '\0' || *target < 1)
            usage(("not a positive number after " + arg).c_str());
    }
    if (o.k > o.n) usage("--k must not exceed --n");
    return o;
}

// CPU time of this process in seconds. Both sides run on one thread, and CPU time is what the
// other users of a shared machine disturb least.
double cpuSeconds() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + 1e-9 * static_cast<double>(t.tv_nsec);
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

struct Row {
    std::string what;
    double ours, theirs;  // seconds
    std::string unit;     // how the figures are shown
};

// Median CPU times of `ours` and `theirs` over the repetitions (after one warm-up run of each),
// the two timed one after the other in every repetition.
Row timePaired(const std::string& what, const std::string& unit, int repetitions, double scale,
               const std::function<void()>& ours, const std::function<void()>& theirs) {
    ours();
    theirs();
    std::vector<double> a, b;
    for (int r = 0; r < repetitions; ++r) {
        double start = cpuSeconds();
        ours();
        a.push_back((cpuSeconds() - start) * scale);
        start = cpuSeconds();
        theirs();
        b.push_back((cpuSeconds() - start) * scale);
    }
    return {what, median(a), median(b), unit};
}

void printTable(const std::vector<Row>& rows) {
    std::printf("| measurement | clastool | OpenCV | ratio clastool / OpenCV |\n");
    std::printf("|---|---:|---:|---:|\n");
    for (const Row& r : rows) {
        const double scale = r.unit == "us" ? 1e6 : 1e3;
        std::printf("| %s | %.3g %s | %.3g %s | %.2f |\n", r.what.c_str(), r.ours * scale, r.unit.c_str(),
                    r.theirs * scale, r.unit.c_str(), r.ours / r.theirs);
    }
}

// Bytes in use on the heap (small blocks and mapped large ones): before and after training, the
// memory a trained classifier holds.
std::size_t heapInUse() {
    const struct mallinfo2 info = mallinfo2();
    return info.uordblks + info.hblkhd;
}

long agree(const std::vector<long>& a, const std::vector<long>& b) {
    long n = 0;
    for (std::size_t q = 0; q < a.size(); ++q) n += a[q] == b[q];
    return n;
}

// The stored patterns as new pattern objects, in order. `interleaved`: before each pattern, an
// allocation of 16 to 4096 bytes that stays alive, so that the pattern objects and their
// measurement blocks land wherever a busy heap puts them rather than one after another.
struct StoredPatterns {
    tqClassifierDataProviderMemory data;
    std::vector<std::unique_ptr<char[]>> others;
};

void allocateStored(const std::vector<std::vector<double>>& values, const std::vector<long>& labels,
                    bool interleaved, StoredPatterns& out) {
    std::mt19937 random(7);
    std::uniform_int_distribution<std::size_t> size(16, 4096);
    for (std::size_t i = 0; i < values.size(); ++i) {
        if (interleaved) {
            const std::size_t bytes = size(random);
            out.others.emplace_back(new char[bytes]);
            std::memset(out.others.back().get(), static_cast<int>(i), bytes);
        }
        out.data.addData(tqPtrHandle_const<tqFeaturePattern>(new tqFeaturePattern(values[i])), labels[i]);
    }
}

template <class T>
std::string writeRaw(const std::string& dir, const char* name, const std::vector<T>& v) {
    const std::string path = dir + "/" + name;
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (!f || std::fwrite(v.data(), sizeof(T), v.size(), f) != v.size() || std::fclose(f) != 0) {
        std::fprintf(stderr, "compare: cannot write %s\n", path.c_str());
        std::exit(1);
    }
    return path;
}

// scikit-learn's kd-tree classifier on the same rows: fit and predict milliseconds and its labels,
// or false where the script fails.
bool sklearnKdTree(const Options& opt, const std::vector<std::vector<double>>& stored, const std::vector<long>& labels,
                   const std::vector<double>& queries, double& fitMs, double& predictMs, std::vector<long>& decided) {
    char dir[] = "/tmp/compare-knn-XXXXXX";
    if (!mkdtemp(dir)) return false;
    std::vector<double> rows;
    for (const auto& r : stored) rows.insert(rows.end(), r.begin(), r.end());
    const std::vector<long long> y(labels.begin(), labels.end());
    const std::string out = std::string(dir) + "/labels.txt";
    const std::string command = "/usr/bin/python3 " CLASTOOL_KNN_SKLEARN_SCRIPT " " + writeRaw(dir, "x.f64", rows) +
                                " " + writeRaw(dir, "y.i64", y) + " " + writeRaw(dir, "q.f64", queries) + " " +
                                std::to_string(opt.d) + " " + std::to_string(opt.k) + " " +
                                std::to_string(opt.repetitions) + " " + out;
    std::FILE* pipe = popen(command.c_str(), "r");
    bool ok = pipe && std::fscanf(pipe, "%lf %lf", &fitMs, &predictMs) == 2;
    if (pipe) ok = pclose(pipe) == 0 && ok;
    std::FILE* in = ok ? std::fopen(out.c_str(), "r") : nullptr;
    decided.clear();
    long label = 0;
    while (in && std::fscanf(in, "%ld", &label) == 1) decided.push_back(label);
    if (in) std::fclose(in);
    std::system(("rm -rf " + std::string(dir)).c_str());
    if (!ok) std::fprintf(stderr, "compare: '%s' failed (is python3-sklearn installed?)\n", command.c_str());
    return ok;
}

// The exact index against the scan and scikit-learn's kd-tree, one thread, the same data.
void compareIndex(const Options& opt, const std::vector<std::vector<double>>& storedValues,
                  const std::vector<long>& storedLabels, const std::vector<tqPtrHandle_const<tqFeaturePattern>>& queries,
                  const std::vector<double>& queryValues) {
    const std::size_t nq = queries.size();
    const int reps = static_cast<int>(opt.repetitions);
    const tqPatternRows block{queryValues.data(), nullptr, nq, static_cast<std::size_t>(opt.d),
                              static_cast<std::size_t>(opt.d)};
    StoredPatterns stored;
    allocateStored(storedValues, storedLabels, false, stored);
    struct Side {
        Side(const char* n, const char* e) : name(n), env(e) {}
        const char* name;
        const char* env;
        double train = 0, batch = 0, single = 0;
        std::size_t heap = 0;
        std::vector<long> decided;
        tqClassifierTool knn;
        std::vector<tqClassifierResult> results;
        std::vector<double> batches, singles;
    } sides[] = {{"scan", "scan"}, {"tree", "tree"}, {"automatic", ""}};
    for (Side& side : sides) {
        setenv("CLASTOOL_KNN_INDEX", side.env, 1);
        const std::size_t before = heapInUse();
        const double start = cpuSeconds();
        side.knn.train(stored.data, tqClassifierTrainParamsKNN(static_cast<long>(opt.k)), nullptr, 0);
        side.train = cpuSeconds() - start;
        side.heap = heapInUse() - before;
        side.results.resize(nq);
    }
    // The sides are timed in turns, each repetition starting with the next side, after a warm-up
    // run of each: whichever side runs first after another's run finds the caches holding the
    // other's data, and a fixed order showed the same code a third slower when timed second.
    tqClassifierResult result;
    const auto batch = [&](Side& side) { side.knn.runBatch(block, side.results.data()); };
    const auto singles = [&](Side& side) {
        for (std::size_t q = 0; q < nq; ++q) side.knn.run(*queries[q], result, nullptr, 0);
    };
    const auto timed = [](const std::function<void()>& f) {
        const double start = cpuSeconds();
        f();
        return cpuSeconds() - start;
    };
    for (Side& side : sides) {
        setenv("CLASTOOL_KNN_INDEX", side.env, 1);
        batch(side);
        singles(side);
    }
    for (int r = 0; r < reps; ++r)
        for (int turn = 0; turn < 3; ++turn) {
            Side& side = sides[(r + turn) % 3];
            setenv("CLASTOOL_KNN_INDEX", side.env, 1);
            side.batches.push_back(timed([&] { batch(side); }));
            side.singles.push_back(timed([&] { singles(side); }) / static_cast<double>(nq));
        }
    for (Side& side : sides) {
        side.batch = median(side.batches);
        side.single = median(side.singles);
        for (const auto& r : side.results) side.decided.push_back(r.categoryResults().front().categoryLabel());
    }
    unsetenv("CLASTOOL_KNN_INDEX");
    double fitMs = 0, predictMs = 0;
    std::vector<long> theirs;
    const bool sk = sklearnKdTree(opt, storedValues, storedLabels, queryValues, fitMs, predictMs, theirs);
    std::printf("| measurement | scan | tree | automatic | scikit-learn kd_tree | scan / tree | tree / scikit-learn |\n");
    std::printf("|---|---:|---:|---:|---:|---:|---:|\n");
    const auto line = [&](const char* what, double scan, double tree, double automatic, double theirsMs,
                          double scale, const char* unit) {
        std::printf("| %s | %.4g %s | %.4g %s | %.4g %s | ", what, scan * scale, unit, tree * scale, unit,
                    automatic * scale, unit);
        if (sk && theirsMs > 0) std::printf("%.4g ms | ", theirsMs);
        else std::printf("- | ");
        std::printf("%.2f | ", scan / tree);
        if (sk && theirsMs > 0) std::printf("%.2f |\n", tree * 1e3 / theirsMs);
        else std::printf("- |\n");
    };
    line("train (index built under tree)", sides[0].train, sides[1].train, sides[2].train, fitMs, 1e3, "ms");
    line(("batch of " + std::to_string(nq) + " patterns").c_str(), sides[0].batch, sides[1].batch, sides[2].batch,
         predictMs, 1e3, "ms");
    line("classify one pattern", sides[0].single, sides[1].single, sides[2].single, 0, 1e6, "us");
    const double nd8 = static_cast<double>(opt.n) * static_cast<double>(opt.d) * 8.0;
    std::printf("\nheap kept by training: scan %zu, tree %zu bytes: the index takes %.3f x n x d x 8\n",
                sides[0].heap, sides[1].heap,
                (static_cast<double>(sides[1].heap) - static_cast<double>(sides[0].heap)) / nd8);
    std::printf("decisions: tree alike scan %ld of %zu, automatic alike scan %ld of %zu", agree(sides[1].decided, sides[0].decided),
                nq, agree(sides[2].decided, sides[0].decided), nq);
    if (sk && theirs.size() == nq) std::printf(", scikit-learn alike scan %ld of %zu", agree(theirs, sides[0].decided), nq);
    std::printf("\n");
}

}  // namespace

int main(int argc, char** argv) {
    const Options opt = parseOptions(argc, argv);
    const int d = static_cast<int>(opt.d);
    const int k = static_cast<int>(opt.k);
    const int reps = static_cast<int>(opt.repetitions);
    cv::setNumThreads(1);  // one core each: the library runs single-threaded

    // Three overlapping classes, shuffled with a fixed seed; the first `queries` patterns are the
    // queries, the next n the stored patterns.
    const long total = opt.n + opt.queries;
    std::vector<tq_ClassDataGenerator> classes;
    for (int c = 0; c < kClasses; ++c) {
        std::vector<tqPair<double>> params;
        for (int m = 0; m < d; ++m) params.emplace_back(c * 0.8 + 0.1 * (m % 8), 1.0 + 0.1 * c);
        classes.emplace_back(params, (total + kClasses - 1) / kClasses);
    }
    const tqClassifierDataProviderMemory all = tq_TotalDataGenerator(classes).generateData();
    std::vector<long> order(static_cast<std::size_t>(all.numPatterns()));
    for (std::size_t i = 0; i < order.size(); ++i) order[i] = static_cast<long>(i);
    std::shuffle(order.begin(), order.end(), std::mt19937(3));

    std::vector<std::vector<double>> storedValues;
    std::vector<long> storedLabels;
    cv::Mat trainX(static_cast<int>(opt.n), d, CV_32F), trainY(static_cast<int>(opt.n), 1, CV_32S);
    for (long i = 0; i < opt.n; ++i) {
        const long from = order[static_cast<std::size_t>(opt.queries + i)];
        storedValues.push_back(all.featurePattern(from)->featureMeasurements(true));
        storedLabels.push_back(all.categoryLabel(from));
        for (int m = 0; m < d; ++m)
            trainX.at<float>(static_cast<int>(i), m) = static_cast<float>(storedValues.back()[m]);
        trainY.at<int>(static_cast<int>(i), 0) = static_cast<int>(storedLabels.back());
    }
    std::vector<tqPtrHandle_const<tqFeaturePattern>> queryPatterns;
    std::vector<double> queryValues;  // the queries as rows, for the batch
    cv::Mat queryX(static_cast<int>(opt.queries), d, CV_32F);
    std::vector<cv::Mat> queryRows;
    for (long q = 0; q < opt.queries; ++q) {
        queryPatterns.push_back(all.featurePattern(order[static_cast<std::size_t>(q)]));
        const std::vector<double>& v = queryPatterns.back()->featureMeasurements(true);
        queryValues.insert(queryValues.end(), v.begin(), v.end());
        for (int m = 0; m < d; ++m) queryX.at<float>(static_cast<int>(q), m) = static_cast<float>(v[m]);
        queryRows.push_back(queryX.row(static_cast<int>(q)).clone());
    }
    const std::size_t nq = queryPatterns.size();
    std::printf(
        "data: %d classes, %d measurements, %ld stored patterns, %ld queries, k = %d; median CPU times "
        "of %d runs\n\n",
        kClasses, d, opt.n, opt.queries, k, reps);

    if (opt.index) {
        compareIndex(opt, storedValues, storedLabels, queryPatterns, queryValues);
        return 0;
    }
    std::vector<Row> rows;
    const double perQuery = 1.0 / static_cast<double>(nq);

    // k-nearest neighbours, Euclidean distance, brute force on both sides.
    cv::Ptr<cv::ml::KNearest> cvKnn = cv::ml::KNearest::create();
    cvKnn->setAlgorithmType(cv::ml::KNearest::BRUTE_FORCE);
    cvKnn->setDefaultK(k);
    cvKnn->setIsClassifier(true);
    cvKnn->train(trainX, cv::ml::ROW_SAMPLE, trainY);
    std::vector<long> theirsSingle(nq), theirsBatch(nq);
    cv::Mat cvResult;
    const auto theirsOne = [&] {
        for (std::size_t q = 0; q < nq; ++q)
            theirsSingle[q] = static_cast<long>(cvKnn->findNearest(queryRows[q], k, cvResult));
    };
    const auto theirsAll = [&] {
        cvKnn->findNearest(queryX, k, cvResult);
        for (std::size_t q = 0; q < nq; ++q)
            theirsBatch[q] = static_cast<long>(cvResult.at<float>(static_cast<int>(q), 0));
    };
    const tqPatternRows queryBlock{queryValues.data(), nullptr, nq, static_cast<std::size_t>(d),
                                   static_cast<std::size_t>(d)};

    std::vector<long> oursSingle(nq), oursBatch(nq);
    std::string decisions;
    for (const bool interleaved : {false, true}) {
        const std::string layout = interleaved ? "interleaved" : "one after another";
        StoredPatterns stored;
        allocateStored(storedValues, storedLabels, interleaved, stored);
        tqClassifierTool knn;
        const std::size_t heapBefore = heapInUse();
        knn.train(stored.data, tqClassifierTrainParamsKNN(k), nullptr, 0);
        const std::size_t heapTrained = heapInUse() - heapBefore;
        tqClassifierResult result;
        std::vector<tqClassifierResult> results(nq);
        const auto oursOne = [&] {
            for (std::size_t q = 0; q < nq; ++q) {
                knn.run(*queryPatterns[q], result, nullptr, 0);
                oursSingle[q] = result.categoryResults().front().categoryLabel();
            }
        };
        const auto oursAll = [&] {
            knn.runBatch(queryBlock, results.data());
            for (std::size_t q = 0; q < nq; ++q)
                oursBatch[q] = results[q].categoryResults().front().categoryLabel();
        };
        rows.push_back(timePaired("knn (k = " + std::to_string(k) + "), " + layout + ": classify one pattern",
                                  "us", reps, perQuery, oursOne, theirsOne));
        rows.push_back(timePaired("knn (k = " + std::to_string(k) + "), " + layout + ": batch of " +
                                      std::to_string(nq) + " patterns",
                                  "ms", reps, 1.0, oursAll, theirsAll));
        char line[300];
        std::snprintf(line, sizeof line,
                      "knn, %s: ours alike OpenCV %ld of %zu (single) and %ld of %zu (batch); our batch "
                      "alike our single runs %ld of %zu\n",
                      layout.c_str(), agree(oursSingle, theirsSingle), nq, agree(oursBatch, theirsBatch), nq,
                      agree(oursBatch, oursSingle), nq);
        decisions += line;
        // Training shares the pattern objects; it keeps a handle and a label per stored pattern,
        // and everything beyond those is the classifier's extra memory (the packed rows above all).
        const std::size_t handles =
            static_cast<std::size_t>(opt.n) * (sizeof(tqPtrHandle_const<tqFeaturePattern>) + sizeof(long));
        const double bound = 1.6 * static_cast<double>(opt.n) * static_cast<double>(d) * 8.0;
        std::snprintf(line, sizeof line,
                      "knn, %s: training kept %zu heap bytes: %zu for the handles and labels, %zu beyond "
                      "them = %.3f x n x d x 8 (bound 1.6)\n",
                      layout.c_str(), heapTrained, handles, heapTrained - handles,
                      static_cast<double>(heapTrained - handles) / (bound / 1.6));
        decisions += line;
    }

    // Bayesian: training, then one pattern at a time.
    std::vector<long> theirsBayes(nq), oursJoint(nq), oursIndependent(nq);
    if (opt.bayes) {
        tqClassifierDataProviderMemory train;
        for (std::size_t i = 0; i < storedValues.size(); ++i)
            train.addData(tqPtrHandle_const<tqFeaturePattern>(new tqFeaturePattern(storedValues[i])),
                          storedLabels[i]);
        tqClassifierDistributionTypes jointTypes;
        std::vector<long> allMeasurements;
        for (long m = 0; m < d; ++m) allMeasurements.push_back(m);
        for (long c = 0; c < kClasses; ++c) jointTypes.setDependent(c, allMeasurements);
        const tqClassifierTrainParamsBayesian independent, joint(jointTypes);

        cv::Ptr<cv::ml::NormalBayesClassifier> cvBayes;
        const auto trainTheirs = [&] {
            cvBayes = cv::ml::NormalBayesClassifier::create();
            cvBayes->train(trainX, cv::ml::ROW_SAMPLE, trainY);
        };
        trainTheirs();
        const auto runTheirs = [&] {
            for (std::size_t q = 0; q < nq; ++q)
                theirsBayes[q] = static_cast<long>(cvBayes->predict(queryRows[q]));
        };
        tqClassifierResult result;
        for (const auto* variant : {&joint, &independent}) {
            const bool isJoint = variant == &joint;
            tqClassifierTool bayes;
            std::vector<long>& decided = isJoint ? oursJoint : oursIndependent;
            const std::string name =
                isJoint ? "bayes, one joint normal per class" : "bayes, independent measurements";
            rows.push_back(timePaired(
                name + ": train", "ms", reps, 1.0, [&] { bayes.train(train, *variant, nullptr, 0); },
                trainTheirs));
            rows.push_back(timePaired(
                name + ": classify one pattern", "us", reps, perQuery,
                [&] {
                    for (std::size_t q = 0; q < nq; ++q) {
                        bayes.run(*queryPatterns[q], result, nullptr, 0);
                        decided[q] = result.categoryResults().front().categoryLabel();
                    }
                },
                runTheirs));
        }
    }
    printTable(rows);
    std::printf("\n%s", decisions.c_str());
    if (opt.bayes)
        std::printf("bayes: joint alike OpenCV %ld of %zu; independent alike OpenCV %ld of %zu\n",
                    agree(oursJoint, theirsBayes), nq, agree(oursIndependent, theirsBayes), nq);
    return 0;
}
