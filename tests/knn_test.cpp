// k-nearest-neighbour classification: the norm metric, the parameters, the classifier, and the
// optimised neighbour search against a direct implementation.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "clss/clastool/clastool.h"
#include "clss/clastool/knnsearch.h"
#include "clss/clastool/knnstore.h"
#include "platform/random.h"
#include "tests/test_support.h"

namespace {

using PatternHandle = tqPtrHandle_const<tqFeaturePattern>;

PatternHandle P(const std::vector<double>& values, const std::vector<long>& invalid = {}) {
    return PatternHandle(new tqFeaturePattern(values, invalid));
}

tqClassifierDataProviderMemory makeData(const std::vector<std::vector<double>>& patterns,
                                        const std::vector<long>& labels) {
    tqClassifierDataProviderMemory data;
    for (std::size_t i = 0; i < patterns.size(); ++i) data.addData(P(patterns[i]), labels[i]);
    return data;
}

// label -> match score, in result order.
std::vector<std::pair<long, double>> scores(const tqClassifierResult& result) {
    std::vector<std::pair<long, double>> out;
    for (const auto& entry : result.categoryResults())
        out.emplace_back(entry.categoryLabel(), entry.matchScore());
    return out;
}

tqClassifierResult classify(const tqClassifierTool& tool, const std::vector<double>& values) {
    tqClassifierResult result;
    tool.run(tqFeaturePattern(values), result, nullptr, 0);
    return result;
}

const char* const kInvalid = "K-nearest neighbor classification does not support invalid measurements";
const char* const kNoData = "No valid data was provided for training.";
const char* const kLengths =
    "Pattern distance function requires the number of measurementsin the two patterns to be equal";
const char* const kFullVector = "Access to full feature vector requires that all features are valid.";

// The KNN classes register right after the core types (another technique's may come between),
// in the order metric, parameters, classifier.
TEST(KnnRegistration, ClassesRegisterInOrder) {
    const std::vector<std::string> names = tfRegisteredTypeNames();
    const auto at = [&](const std::string& name) {
        return std::find(names.begin(), names.end(), name) - names.begin();
    };
    const auto provider = at("tqClassifierDataProviderMemory");
    const auto metric = at("tqPatternDistanceMetricNorm");
    ASSERT_LT(metric, static_cast<long>(names.size()));
    EXPECT_LT(provider, metric);
    EXPECT_EQ(at("tqClassifierTrainParamsKNN"), metric + 1);
    EXPECT_EQ(at("tq_ClassifierKNN"), metric + 2);
}

// ---- metric ----

TEST(NormMetric, MinkowskiDistances) {
    const tqFeaturePattern origin({0.0, 0.0}), point({3.0, 4.0});
    EXPECT_EQ(tqPatternDistanceMetricNorm(2.0).distance(origin, point), 5.0);
    EXPECT_EQ(tqPatternDistanceMetricNorm(1.0).distance(origin, point), 7.0);
    EXPECT_EQ(tqPatternDistanceMetricNorm(3.0).distance(origin, point), std::pow(91.0, 1.0 / 3.0));
    EXPECT_EQ(tqPatternDistanceMetricNorm(2.0).distance(tqFeaturePattern(), tqFeaturePattern()), 0.0);
    EXPECT_EQ(tqPatternDistanceMetricNorm().order(), 2.0);
}

TEST(NormMetric, RefusesUnequalLengthsAndInvalidMeasurements) {
    const tqPatternDistanceMetricNorm metric;
    EXPECT_THROW_MSG(metric.distance(tqFeaturePattern({1.0, 2.0}), tqFeaturePattern({1.0, 2.0, 3.0})),
                     tqClassifierDefs::BadFeatures, kLengths);
    EXPECT_THROW_MSG(metric.distance(tqFeaturePattern({1.0, 2.0}), tqFeaturePattern({1.0, 2.0}, {1})),
                     tqClassifierDefs::BadFeatures, kFullVector);
    EXPECT_THROW_MSG(metric.distance(tqFeaturePattern({1.0, 2.0}, {0}), tqFeaturePattern({1.0, 2.0})),
                     tqClassifierDefs::BadFeatures, kFullVector);
}

TEST(NormMetric, OrderMustBePositive) {
    tqPatternDistanceMetricNorm metric(3.0);
    for (double bad : {0.0, -1.0, std::nan("")}) {
        EXPECT_THROW_MSG(metric.order(bad), tqClassifierDefs::BadParams,
                         "Order of norm distance must be > 0");
        EXPECT_EQ(metric.order(), 3.0);
    }
    EXPECT_THROW_MSG(tqPatternDistanceMetricNorm(0.0), tqClassifierDefs::BadParams,
                     "Order of norm distance must be > 0");
}

TEST(NormMetric, GoldenArchive) {
    // Unequal orders compare unequal whichever side is smaller.
    EXPECT_TRUE(tqPatternDistanceMetricNorm(2.0) != tqPatternDistanceMetricNorm(1.0));
    EXPECT_TRUE(tqPatternDistanceMetricNorm(1.0) != tqPatternDistanceMetricNorm(2.0));
    tqPtrHandle<tqPatternDistanceMetric> stored(new tqPatternDistanceMetricNorm(3.0)), back;
    EXPECT_TRUE(tqtest::matchesGolden("knn_metric_norm3.bin", tqtest::storeBytes(stored)));
    tqtest::loadBytes(tqtest::readFile(tqtest::goldenPath("knn_metric_norm3.bin")), back);
    ASSERT_TRUE(back);
    EXPECT_TRUE(back->isEquivalent(*stored));
}

TEST(NormMetric, LoadingRefusesUnknownVersions) {
    tqPatternDistanceMetricNorm metric(1.0), loaded;
    const std::string bytes = tqtest::storeBytes(metric);
    // Two version bytes lead: the norm level's, then the base level's.
    for (std::size_t at : {std::size_t(0), std::size_t(1)}) {
        std::string wrong = bytes;
        wrong[at] = 1;
        EXPECT_THROW(tqtest::loadBytes(wrong, loaded), tqArchive::UnknownVersion) << "byte " << at;
    }
    EXPECT_EQ(loaded.order(), 2.0);
}

// ---- parameters ----

TEST(KnnParams, KMustBeAtLeastOne) {
    EXPECT_THROW_MSG(tqClassifierTrainParamsKNN(-3, tqPatternDistanceMetricNorm(), tqClassifierCosts()),
                     tqClassifierDefs::BadParams, "K must be >= 1");
    EXPECT_THROW(tqClassifierTrainParamsKNN{0}, tqClassifierDefs::BadParams);
    tqClassifierTrainParamsKNN params(1);
    EXPECT_THROW_MSG(params.k(0), tqClassifierDefs::BadParams, "K must be >= 1");
    EXPECT_EQ(params.k(), 1);
}

TEST(KnnParams, ArchiveKeepsEveryField) {
    tqClassifierCosts costs(0.25);
    costs.misclassificationCostOverride(1, 0, 4.0);
    tqPtrHandle<tqClassifierTrainParams> stored(
        new tqClassifierTrainParamsKNN(7, tqPatternDistanceMetricNorm(3.0), costs));
    tqPtrHandle<tqClassifierTrainParams> loaded;
    ASSERT_TRUE(tqtest::roundTrips(stored, loaded));
    const auto& knn = dynamic_cast<const tqClassifierTrainParamsKNN&>(*loaded);
    EXPECT_TRUE(knn == dynamic_cast<const tqClassifierTrainParamsKNN&>(*stored));
    EXPECT_TRUE(tqtest::matchesGolden("knn_params.bin", tqtest::storeBytes(stored)));
    tqPtrHandle<tqClassifierTrainParams> golden;
    tqtest::loadBytes(tqtest::readFile(tqtest::goldenPath("knn_params.bin")), golden);
    ASSERT_TRUE(golden);
    EXPECT_TRUE(dynamic_cast<const tqClassifierTrainParamsKNN&>(*golden) == knn);
}

// ---- the classifier through the tool ----

TEST(KnnClassifier, VotesBecomeMatchScores) {
    const auto data = makeData({{0, 0}, {1, 0}, {5, 5}}, {0, 0, 1});
    tqClassifierTool tool;
    tool.train(data, tqClassifierTrainParamsKNN(3));
    const tqClassifierResult result = classify(tool, {0.5, 0});
    ASSERT_EQ(result.categoryResults().size(), 2u);
    EXPECT_EQ(scores(result), (std::vector<std::pair<long, double>>{{0, 2.0 / 3.0}, {1, 1.0 / 3.0}}));
    EXPECT_EQ(result.matchScoreFactorLog(), 0.0);
    EXPECT_DOUBLE_EQ(result.categoryResults()[0].classScore(), 2.0 / 3.0);

    tool.train(data, tqClassifierTrainParamsKNN(1));
    EXPECT_EQ(scores(classify(tool, {4, 4})), (std::vector<std::pair<long, double>>{{1, 1.0}}));

    tool.train(data, tqClassifierTrainParamsKNN(10));  // more than stored: all vote, divided by 3
    EXPECT_EQ(scores(classify(tool, {9, 9})),
              (std::vector<std::pair<long, double>>{{0, 2.0 / 3.0}, {1, 1.0 / 3.0}}));
}

TEST(KnnClassifier, TiesKeepTheLaterPatternAndRejectEqualDistances) {
    tqClassifierTool tool;
    // k = 1: p1 then p2 at the same distance; p1 stays.
    tool.train(makeData({{-1, 0}, {1, 0}}, {0, 1}), tqClassifierTrainParamsKNN(1));
    EXPECT_EQ(scores(classify(tool, {0, 0})), (std::vector<std::pair<long, double>>{{0, 1.0}}));
    // k = 2: p1, p2 at distance 1, then p3 at 0.5: p3 and p2 remain.
    tool.train(makeData({{-1, 0}, {1, 0}, {0, 0.5}}, {0, 1, 2}), tqClassifierTrainParamsKNN(2));
    EXPECT_EQ(scores(classify(tool, {0, 0})), (std::vector<std::pair<long, double>>{{1, 0.5}, {2, 0.5}}));
}

TEST(KnnClassifier, EqualVotesFollowAscendingLabelsAndCostsReorder) {
    const auto data = makeData({{0}, {1}, {2}, {3}}, {3, 1, 2, 0});
    tqClassifierTool tool;
    tool.train(data, tqClassifierTrainParamsKNN(4));
    const auto equal = scores(classify(tool, {1.5}));
    EXPECT_EQ(equal, (std::vector<std::pair<long, double>>{{0, 0.25}, {1, 0.25}, {2, 0.25}, {3, 0.25}}));
    // Deciding 0 becomes expensive when the truth is 1: label 0 moves back.
    tqClassifierCosts costs;
    costs.misclassificationCostOverride(1, 0, 9.0);
    tool.train(data, tqClassifierTrainParamsKNN(4, tqPatternDistanceMetricNorm(), costs));
    EXPECT_EQ(classify(tool, {1.5}).categoryResults().back().categoryLabel(), 0);
}

TEST(KnnClassifier, TrainingSharesPatternsAndSkipsUnlabelled) {
    const PatternHandle a = P({0.0});
    tqClassifierDataProviderMemory data = makeData({{0.2}, {1.0}}, {-1, 1});
    data.addData(a, 0);
    const long before = a->refCount();
    tqClassifierTool tool;
    tool.train(data, tqClassifierTrainParamsKNN(1));
    EXPECT_EQ(a->refCount(), before + 1);  // shared, not copied
    EXPECT_EQ(scores(classify(tool, {0.25})), (std::vector<std::pair<long, double>>{{0, 1.0}}));
}

TEST(KnnClassifier, NoLabelledDataIsNotRunnable) {
    const auto data = makeData({{0}, {1}}, {-1, -1});
    tqClassifierTool tool;
    tqClassifierTrainParamsKNN params(1);
    EXPECT_THROW_MSG(tool.train(data, params), tqClassifierDefs::InsufficientTrainData, kNoData);
    EXPECT_FALSE(tool.isTrained());
    params.throwIfNotReady(false);
    tool.train(data, params);
    EXPECT_TRUE(tool.isTrained());
    EXPECT_THROW_MSG(classify(tool, {0}), tqClassifierDefs::InsufficientTrainData, kNoData);
}

TEST(KnnClassifier, RefusesInvalidMeasurements) {
    tqClassifierDataProviderMemory data;
    data.addData(P({0.0, 1.0}), 0);
    data.addData(P({0.0, 1.0}, {1}), -1);  // unlabelled, still refused
    tq_ClassifierKNN knn;
    EXPECT_THROW_MSG(knn.train(data, tqClassifierTrainParamsKNN(1), nullptr, 0),
                     tqClassifierDefs::BadFeatures, kInvalid);
    // Left trained with an empty data object: trained but not runnable.
    EXPECT_TRUE(knn.isTrained());
    tqClassifierResult result;
    EXPECT_THROW_MSG(knn.run(tqFeaturePattern({0.0, 1.0}), result, nullptr, 0),
                     tqClassifierDefs::InsufficientTrainData, kNoData);
    tqClassifierTool tool;
    tool.train(makeData({{0, 0, 0}}, {0}), tqClassifierTrainParamsKNN(1));
    EXPECT_THROW_MSG(tool.run(tqFeaturePattern({0, 0, 0}, {2}), result), tqClassifierDefs::BadFeatures,
                     kInvalid);
}

TEST(KnnClassifier, IncrementalTrainingStoresCopiesSeenByEveryCopy) {
    tq_ClassifierKNN knn;
    knn.trainStart(tqClassifierTrainParamsKNN(1));
    EXPECT_THROW(knn.trainIncremental(tqFeaturePattern({1.0}), 0, nullptr, 0), tqClassifierDefs::NotTrained);

    knn.train(makeData({{0.0}}, {0}), tqClassifierTrainParamsKNN(1), nullptr, 0);
    tq_ClassifierKNN copy(knn);
    knn.trainIncremental(tqFeaturePattern({10.0}), 4, nullptr, 0);
    tqClassifierResult result;
    copy.run(tqFeaturePattern({9.0}), result, nullptr, 0);
    EXPECT_EQ(scores(result), (std::vector<std::pair<long, double>>{{4, 1.0}}));
    EXPECT_TRUE(copy == knn);
    // A new training ends the sharing.
    knn.train(makeData({{0.0}}, {5}), tqClassifierTrainParamsKNN(1), nullptr, 0);
    knn.run(tqFeaturePattern({9.0}), result, nullptr, 0);
    EXPECT_EQ(scores(result), (std::vector<std::pair<long, double>>{{5, 1.0}}));
    copy.run(tqFeaturePattern({9.0}), result, nullptr, 0);
    EXPECT_EQ(scores(result), (std::vector<std::pair<long, double>>{{4, 1.0}}));

    // Neither the label nor the validity is checked when a pattern is added; a run meets them.
    copy.trainIncremental(tqFeaturePattern({20.0}), -1, nullptr, 0);
    EXPECT_THROW_MSG(copy.run(tqFeaturePattern({19.0}), result, nullptr, 0), tqClassifierDefs::BadLabel,
                     "Category labels must be >= 0");
    copy.trainIncremental(tqFeaturePattern({30.0}, {0}), 1, nullptr, 0);
    EXPECT_THROW_MSG(copy.run(tqFeaturePattern({0.0}), result, nullptr, 0), tqClassifierDefs::BadFeatures,
                     kFullVector);
}

// A loaded classifier classifies with the parameters it was trained with, although only the
// kept parameters are archived.
TEST(KnnClassifier, GoldenArchiveStillLoadsAndClassifies) {
    tqClassifierTool tool, golden;
    tool.train(makeData({{0, 0}, {1, 0}, {5, 5}, {6, 5}}, {0, 0, 1, 2}),
               tqClassifierTrainParamsKNN(3, tqPatternDistanceMetricNorm(1.0), tqClassifierCosts(2.0)));
    EXPECT_TRUE(tqtest::matchesGolden("knn_tool.bin", tqtest::storeBytes(tool)));
    tqtest::loadBytes(tqtest::readFile(tqtest::goldenPath("knn_tool.bin")), golden);
    EXPECT_TRUE(golden == tool);
    EXPECT_EQ(classify(golden, {4, 4}), classify(tool, {4, 4}));
}

TEST(KnnClassifier, LoadingRefusesWrongVersionsAndTruncation) {
    tqPtrHandle<tq_Classifier> stored(new tq_ClassifierKNN()), loaded;
    static_cast<tq_ClassifierKNN&>(*stored).train(makeData({{0}}, {0}), tqClassifierTrainParamsKNN(1),
                                                  nullptr, 0);
    const std::string bytes = tqtest::storeBytes(stored);
    for (std::size_t cut = 0; cut < bytes.size(); ++cut)
        EXPECT_THROW(tqtest::loadBytes(bytes.substr(0, cut), loaded), tqException) << "cut at " << cut;
    // Every single-byte change either loads or throws a tqException; none crashes.
    for (std::size_t at = 0; at < bytes.size(); ++at) {
        std::string changed = bytes;
        changed[at] = static_cast<char>(changed[at] ^ 0x41);
        try {
            tqtest::loadBytes(changed, loaded);
        } catch (const tqException&) {
        }
    }
}

// A hostile archive can hold k < 1; the search refuses it instead of indexing before the list.
TEST(KnnSearch, RefusesKBelowOne) {
    const auto data = makeData({{0}}, {0});
    std::vector<long> indices;
    std::vector<double> distances;
    const tqPatternDistanceMetricNorm metric;
    EXPECT_THROW_MSG(
        tq_knn::findNearestNeighbors(data, &metric, tqFeaturePattern({0.0}), 0, indices, distances),
        tqClassifierDefs::BadParams, "K must be >= 1");
}

// ---- the optimised search against a direct implementation ----

// The search exactly as the classifier defines it: every distance through the metric, a list of
// k entries, a new pattern in front of equal ones, an equal one at the end left out.
void referenceSearch(const tqClassifierDataProvider& data, const tqPatternDistanceMetric& metric,
                     const tqFeaturePattern& query, long k, std::vector<long>& indices,
                     std::vector<double>& distances) {
    indices.assign(static_cast<std::size_t>(k), 0);
    distances.assign(static_cast<std::size_t>(k), std::numeric_limits<double>::infinity());
    long count = 0;
    for (long i = 0; i < data.numPatterns(); ++i) {
        const double d = metric.distance(query, *data.featurePattern(i));
        if (count == k && d >= distances[static_cast<std::size_t>(k - 1)]) continue;
        long pos = 0;
        while (pos < count && distances[static_cast<std::size_t>(pos)] < d) ++pos;
        if (count < k) ++count;
        for (long j = count - 1; j > pos; --j) {
            indices[static_cast<std::size_t>(j)] = indices[static_cast<std::size_t>(j - 1)];
            distances[static_cast<std::size_t>(j)] = distances[static_cast<std::size_t>(j - 1)];
        }
        indices[static_cast<std::size_t>(pos)] = i;
        distances[static_cast<std::size_t>(pos)] = d;
    }
    indices.resize(static_cast<std::size_t>(count));
    distances.resize(static_cast<std::size_t>(count));
}

bool sameBits(const std::vector<double>& a, const std::vector<double>& b) {
    return a.size() == b.size() &&
           (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0);
}

// Measurements from a small set of values (so that exact ties are everywhere), optionally
// disturbed by a few ulps (so that sums land within the skip bound's margin of each other).
std::vector<double> draw(tqRandomUniform& random, long dims, const std::vector<double>& values, bool nudge) {
    std::vector<double> out;
    for (long j = 0; j < dims; ++j) {
        double v = values[static_cast<std::size_t>(random.next(0, static_cast<double>(values.size())))];
        if (nudge && random.next(0, 1) < 0.3) {
            const int steps = static_cast<int>(random.next(1, 4));
            for (int s = 0; s < steps; ++s) v = std::nextafter(v, random.next(0, 1) < 0.5 ? -1e300 : 1e300);
        }
        out.push_back(v);
    }
    return out;
}

struct SearchCase {
    const char* name;
    std::vector<double> values;
    bool nudge;
};

class SearchMatchesReference : public ::testing::TestWithParam<double> {};

TEST_P(SearchMatchesReference, OnDataFullOfTies) {
    const double order = GetParam();
    const std::vector<SearchCase> cases = {
        {"small integers", {0, 1, 2, 3}, false},
        {"small integers nudged", {0, 1, 2, 3}, true},
        {"fractions", {0.1, 0.2, 0.3, 1.0 / 3.0, 0.7}, true},
        {"wide range", {-1e150, -1e-150, 0, 1e-160, 2.5e-170, 1e150, 3}, false},
        {"overflow and underflow", {-1e200, 1e200, 1e-200, -1e-310, 0, 1}, false},
        {"extremes", {1e300, -1e300, 1.7e308, 5e-324, -2.2e-308, 0}, true},
        {"infinities",
         {0, 1, std::numeric_limits<double>::infinity(), -std::numeric_limits<double>::infinity()},
         false},
        {"not a number", {0, 1, 2, std::nan("")}, false},
    };
    const tqPatternDistanceMetricNorm metric(order);
    std::vector<long> gotIndices, wantIndices;
    std::vector<double> gotDistances, wantDistances;
    tqRandomUniform random(1234);
    for (const SearchCase& c : cases) {
        for (int trial = 0; trial < 40; ++trial) {
            const long n = static_cast<long>(random.next(1, 120));
            // Mostly short patterns; every fourth one is long enough for the search to stop summing
            // part way through.
            const long dims = trial % 4 == 0 ? static_cast<long>(random.next(17, 41))
                                             : static_cast<long>(random.next(0, 7));
            tqClassifierDataProviderMemory data;
            for (long i = 0; i < n; ++i) data.addData(P(draw(random, dims, c.values, c.nudge)), 0);
            const tq_knn::PackedRows packed(data);
            for (long k : {1L, 5L, n + 3}) {
                // Three queries one by one, then as one batch over the same packed rows.
                std::vector<tqFeaturePattern> queries;
                std::vector<const double*> rows;
                for (int q = 0; q < 3; ++q) queries.emplace_back(draw(random, dims, c.values, c.nudge));
                for (const auto& query : queries) rows.push_back(query.featureMeasurements(false).data());
                std::vector<std::vector<long>> batchIndices(3);
                std::vector<std::vector<double>> batchDistances(3);
                tq_knn::findNearestPacked(packed, data, order, rows.data(), 3, dims, k, batchIndices.data(),
                                          batchDistances.data());
                for (std::size_t q = 0; q < 3; ++q) {
                    tq_knn::findNearestNeighbors(data, &metric, queries[q], k, gotIndices, gotDistances);
                    referenceSearch(data, metric, queries[q], k, wantIndices, wantDistances);
                    ASSERT_EQ(gotIndices, wantIndices) << c.name << " trial " << trial << " k " << k;
                    ASSERT_TRUE(sameBits(gotDistances, wantDistances))
                        << c.name << " trial " << trial << " k " << k;
                    ASSERT_EQ(batchIndices[q], wantIndices) << c.name << " trial " << trial << " k " << k;
                    ASSERT_TRUE(sameBits(batchDistances[q], wantDistances));
                }
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Orders, SearchMatchesReference,
                         ::testing::Values(1.0, 2.0, 3.0, 0.5, 1.5, 7.0, 100.0));

// Far more patterns than k and real-valued data: most patterns are decided by the bound.
TEST(KnnSearch, MatchesReferenceOnGeneratedData) {
    std::vector<tq_ClassDataGenerator> classes;
    for (int c = 0; c < 5; ++c) {
        std::vector<tqPair<double>> parameters;
        for (int j = 0; j < 16; ++j) parameters.emplace_back(c * 0.5 + j * 0.1, 1.0 + c * 0.2);
        classes.emplace_back(parameters, 400);
    }
    const tqClassifierDataProviderMemory data = tq_TotalDataGenerator(classes).generateData();
    tqRandomUniform random(99);
    std::vector<long> gotIndices, wantIndices;
    std::vector<double> gotDistances, wantDistances;
    for (double order : {1.0, 2.0, 3.0}) {
        const tqPatternDistanceMetricNorm metric(order);
        for (int q = 0; q < 20; ++q) {
            // Half the queries are stored patterns themselves (distance 0 ties).
            const tqFeaturePattern query =
                q % 2 ? *data.featurePattern(static_cast<long>(random.next(0, data.numPatterns())))
                      : tqFeaturePattern(draw(random, 16, {-1, 0, 0.5, 1, 2, 3}, false));
            for (long k : {1L, 5L, 50L}) {
                tq_knn::findNearestNeighbors(data, &metric, query, k, gotIndices, gotDistances);
                referenceSearch(data, metric, query, k, wantIndices, wantDistances);
                ASSERT_EQ(gotIndices, wantIndices) << order << " " << q << " " << k;
                ASSERT_TRUE(sameBits(gotDistances, wantDistances));
            }
        }
    }
}

// A metric of another class takes the general path and is called once per stored pattern.
TEST(KnnSearch, OtherMetricsAreCalledForEveryPattern) {
    struct Counting : tqPatternDistanceMetricNorm {
        Counting() : tqPatternDistanceMetricNorm(2.0) {}
        double distance(const tqFeaturePattern& a, const tqFeaturePattern& b) const override {
            ++calls;
            return tqPatternDistanceMetricNorm::distance(a, b);
        }
        mutable long calls = 0;
    };
    const auto data = makeData({{0}, {3}, {1}, {3}, {2}}, {0, 1, 2, 3, 4});
    const Counting metric;
    std::vector<long> indices;
    std::vector<double> distances;
    tq_knn::findNearestNeighbors(data, &metric, tqFeaturePattern({3.0}), 2, indices, distances);
    EXPECT_EQ(metric.calls, 5);
    EXPECT_EQ(indices, (std::vector<long>{3, 1}));
}

// The search meets the same errors as the metric would, in the same order.
TEST(KnnSearch, ReportsTheMetricsErrors) {
    const tqPatternDistanceMetricNorm metric(2.0);
    std::vector<long> indices;
    std::vector<double> distances;
    tqClassifierDataProviderMemory data;
    data.addData(P({0.0, 0.0}), 0);
    data.addData(P({0.0, 0.0}), 0);
    data.addData(P({1.0, 1.0}, {0}), 0);
    EXPECT_THROW_MSG(
        tq_knn::findNearestNeighbors(data, &metric, tqFeaturePattern({0.0, 0.0}), 1, indices, distances),
        tqClassifierDefs::BadFeatures, kFullVector);
    EXPECT_THROW_MSG(
        tq_knn::findNearestNeighbors(data, &metric, tqFeaturePattern({0.0}), 1, indices, distances),
        tqClassifierDefs::BadFeatures, kLengths);
    EXPECT_THROW_MSG(
        tq_knn::findNearestNeighbors(data, &metric, tqFeaturePattern({0.0, 0.0}, {1}), 1, indices, distances),
        tqClassifierDefs::BadFeatures, kFullVector);
    EXPECT_THROW(
        tq_knn::findNearestNeighbors(data, nullptr, tqFeaturePattern({0.0, 0.0}), 1, indices, distances),
        tqBadPointer);
}

// Batches against single runs where the packed rows are easy to get wrong: rows added through a
// copy, rows packed by the first search of a loaded classifier, several row and query blocks, and
// a refused query in the middle (the results before it are in place).
TEST(KnnClassifier, BatchesMatchRunsAfterIncrementalTrainingAndLoading) {
    std::vector<tq_ClassDataGenerator> classes(3, tq_ClassDataGenerator({{0.0, 1.0}, {1.0, 2.0}, {0.0, 0.5}}, 700));
    tq_ClassifierKNN knn;
    knn.train(tq_TotalDataGenerator(classes).generateData(), tqClassifierTrainParamsKNN(5), nullptr, 0);
    const tq_ClassifierKNN copy(knn);
    for (double x : {0.1, 0.2, 0.3}) knn.trainIncremental(tqFeaturePattern({x, 1.0, 0.0}), 7, nullptr, 0);
    tqPtrHandle<tq_Classifier> stored(new tq_ClassifierKNN(knn)), loaded;
    tqtest::loadBytes(tqtest::storeBytes(stored), loaded);

    std::vector<double> values;
    tqRandomUniform random(5);
    for (int i = 0; i < 150 * 3; ++i) values.push_back(random.next(-1, 2));
    std::vector<unsigned char> validity(values.size(), 1);
    validity[100 * 3 + 1] = 0;
    const tqPatternRows rows{values.data(), nullptr, 150, 3, 3};
    for (const tq_Classifier* c : {static_cast<const tq_Classifier*>(&copy), static_cast<const tq_Classifier*>(loaded.get())}) {
        std::vector<tqClassifierResult> batch(150), refused(150);
        c->runBatch(rows, batch.data());
        tqPatternRows withInvalid = rows;
        withInvalid.validity = validity.data();
        EXPECT_THROW_MSG(c->runBatch(withInvalid, refused.data()), tqClassifierDefs::BadFeatures, kInvalid);
        for (std::size_t i = 0; i < 150; ++i) {
            tqClassifierResult single;
            c->run(rows.pattern(i), single, nullptr, 0);
            EXPECT_EQ(batch[i], single) << i;
            if (i < 100) {
                EXPECT_EQ(refused[i], single) << i;
            }
        }
        tqClassifierResult near;
        c->run(tqFeaturePattern({0.2, 1.0, 0.0}), near, nullptr, 0);
        EXPECT_EQ(scores(near).front().first, 7);  // the incremental patterns are searched
    }
}

}  // namespace
