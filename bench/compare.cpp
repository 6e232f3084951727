// Side by side with OpenCV's ml module on the same generated data, in one run:
//  - k-nearest neighbours: single-pattern classification latency against KNearest (brute force);
//  - Bayesian: training time and single-pattern run time against NormalBayesClassifier.
// OpenCV's normal Bayes classifier models each class by one full-covariance normal density; our
// Bayesian classifier does the same when all measurements form one dependency set, and by default
// models every measurement on its own. Both of ours are shown.
//
// Prints a Markdown table of median CPU times over repetitions, with the ratio ours / OpenCV (above 1:
// we take longer), and how often the two libraries decide alike.
//
//   bench/compare [patterns-per-class] [queries]      (defaults 3000 and 300)
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <functional>
#include <opencv2/core.hpp>
#include <opencv2/ml.hpp>
#include <string>
#include <vector>

#include "clss/clastool/clastool.h"

namespace {

constexpr int kMeasurements = 8;
constexpr int kClasses = 3;
constexpr int kRepetitions = 7;

// CPU time of this process in seconds. Both sides run on one thread, and CPU time is what the
// other users of a shared machine disturb least.
double cpuSeconds() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + 1e-9 * static_cast<double>(t.tv_nsec);
}

// Median CPU time of `fn` in seconds over kRepetitions runs (after one warm-up run).
double medianSeconds(const std::function<void()>& fn) {
    fn();
    std::vector<double> times;
    for (int r = 0; r < kRepetitions; ++r) {
        const double start = cpuSeconds();
        fn();
        times.push_back(cpuSeconds() - start);
    }
    std::sort(times.begin(), times.end());
    return times[times.size() / 2];
}

struct Row {
    std::string what;
    double ours, theirs;  // seconds
    std::string unit;     // how the figures are shown
};

void printTable(const std::vector<Row>& rows) {
    std::printf("| measurement | clastool | OpenCV | ratio clastool / OpenCV |\n");
    std::printf("|---|---:|---:|---:|\n");
    for (const Row& r : rows) {
        const double scale = r.unit == "us" ? 1e6 : 1e3;
        std::printf("| %s | %.3g %s | %.3g %s | %.2f |\n", r.what.c_str(), r.ours * scale, r.unit.c_str(),
                    r.theirs * scale, r.unit.c_str(), r.ours / r.theirs);
    }
}

}  // namespace

int main(int argc, char** argv) {
    const long perClass = argc > 1 ? std::atol(argv[1]) : 3000;
    const long queries = argc > 2 ? std::atol(argv[2]) : 300;
    cv::setNumThreads(1);  // one core each: the library runs single-threaded

    // Three overlapping classes; one generated set, the last `queries` patterns kept for queries.
    std::vector<tq_ClassDataGenerator> classes;
    for (int c = 0; c < kClasses; ++c) {
        std::vector<tqPair<double>> params;
        for (int m = 0; m < kMeasurements; ++m) params.emplace_back(c * 0.8 + 0.1 * m, 1.0 + 0.1 * c);
        classes.emplace_back(params, perClass + queries / kClasses + 1);
    }
    const tqClassifierDataProviderMemory all = tq_TotalDataGenerator(classes).generateData();
    const long nTrain = all.numPatterns() - queries;

    tqClassifierDataProviderMemory train;
    cv::Mat trainX(static_cast<int>(nTrain), kMeasurements, CV_32F),
        trainY(static_cast<int>(nTrain), 1, CV_32S);
    for (long i = 0; i < nTrain; ++i) {
        train.addData(all.featurePattern(i), all.categoryLabel(i));
        const std::vector<double>& v = all.featurePattern(i)->featureMeasurements(true);
        for (int m = 0; m < kMeasurements; ++m)
            trainX.at<float>(static_cast<int>(i), m) = static_cast<float>(v[m]);
        trainY.at<int>(static_cast<int>(i), 0) = static_cast<int>(all.categoryLabel(i));
    }
    std::vector<tqPtrHandle_const<tqFeaturePattern>> queryPatterns;
    std::vector<cv::Mat> queryRows;
    for (long i = nTrain; i < all.numPatterns(); ++i) {
        queryPatterns.push_back(all.featurePattern(i));
        cv::Mat row(1, kMeasurements, CV_32F);
        const std::vector<double>& v = all.featurePattern(i)->featureMeasurements(true);
        for (int m = 0; m < kMeasurements; ++m) row.at<float>(0, m) = static_cast<float>(v[m]);
        queryRows.push_back(row);
    }
    std::printf(
        "data: %d classes, %d measurements, %ld training patterns, %ld queries; median CPU times of %d "
        "runs\n\n",
        kClasses, kMeasurements, nTrain, queries, kRepetitions);

    std::vector<Row> rows;
    const double perQuery = 1.0 / static_cast<double>(queries);

    // k-nearest neighbours, k = 5, Euclidean distance, brute force on both sides.
    const int k = 5;
    tqClassifierTool knn;
    knn.train(train, tqClassifierTrainParamsKNN(k), nullptr, 0);
    cv::Ptr<cv::ml::KNearest> cvKnn = cv::ml::KNearest::create();
    cvKnn->setAlgorithmType(cv::ml::KNearest::BRUTE_FORCE);
    cvKnn->setDefaultK(k);
    cvKnn->setIsClassifier(true);
    cvKnn->train(trainX, cv::ml::ROW_SAMPLE, trainY);
    std::vector<long> oursKnn(queryPatterns.size());
    std::vector<int> theirsKnn(queryPatterns.size());
    tqClassifierResult result;
    const double knnOurs = medianSeconds([&] {
        for (std::size_t q = 0; q < queryPatterns.size(); ++q) {
            knn.run(*queryPatterns[q], result, nullptr, 0);
            oursKnn[q] = result.categoryResults().front().categoryLabel();
        }
    });
    cv::Mat cvResult;
    const double knnTheirs = medianSeconds([&] {
        for (std::size_t q = 0; q < queryRows.size(); ++q)
            theirsKnn[q] = static_cast<int>(cvKnn->findNearest(queryRows[q], k, cvResult));
    });
    rows.push_back({"knn (k = 5): classify one pattern", knnOurs * perQuery, knnTheirs * perQuery, "us"});

    // Bayesian: training, then one pattern at a time.
    tqClassifierDistributionTypes jointTypes;
    std::vector<long> allMeasurements;
    for (long m = 0; m < kMeasurements; ++m) allMeasurements.push_back(m);
    for (long c = 0; c < kClasses; ++c) jointTypes.setDependent(c, allMeasurements);
    const tqClassifierTrainParamsBayesian independent, joint(jointTypes);

    cv::Ptr<cv::ml::NormalBayesClassifier> cvBayes;
    const double trainTheirs = medianSeconds([&] {
        cvBayes = cv::ml::NormalBayesClassifier::create();
        cvBayes->train(trainX, cv::ml::ROW_SAMPLE, trainY);
    });
    std::vector<int> theirsBayes(queryRows.size());
    const double runTheirs = medianSeconds([&] {
        for (std::size_t q = 0; q < queryRows.size(); ++q)
            theirsBayes[q] = static_cast<int>(cvBayes->predict(queryRows[q]));
    });

    std::vector<long> oursJoint(queryPatterns.size()), oursIndependent(queryPatterns.size());
    for (const auto* variant : {&joint, &independent}) {
        const bool isJoint = variant == &joint;
        tqClassifierTool bayes;
        const double trainOurs = medianSeconds([&] { bayes.train(train, *variant, nullptr, 0); });
        std::vector<long>& decided = isJoint ? oursJoint : oursIndependent;
        const double runOurs = medianSeconds([&] {
            for (std::size_t q = 0; q < queryPatterns.size(); ++q) {
                bayes.run(*queryPatterns[q], result, nullptr, 0);
                decided[q] = result.categoryResults().front().categoryLabel();
            }
        });
        const std::string name =
            isJoint ? "bayes, one joint normal per class" : "bayes, independent measurements";
        rows.push_back({name + ": train", trainOurs, trainTheirs, "ms"});
        rows.push_back({name + ": classify one pattern", runOurs * perQuery, runTheirs * perQuery, "us"});
    }
    printTable(rows);

    const auto agree = [&](const auto& a, const auto& b) {
        long n = 0;
        for (std::size_t q = 0; q < a.size(); ++q) n += a[q] == static_cast<long>(b[q]);
        return n;
    };
    std::printf(
        "\ndecisions alike: knn %ld of %ld; bayes (joint) %ld of %ld; bayes (independent) %ld of %ld\n",
        agree(oursKnn, theirsKnn), queries, agree(oursJoint, theirsBayes), queries,
        agree(oursIndependent, theirsBayes), queries);
    return 0;
}
