// k-nearest-neighbour classification: the norm metric, the parameters, the classifier, and the
// optimised neighbour search against a direct implementation.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "clss/clastool/clastool.h"
#include "clss/clastool/knnindex.h"
#include "clss/clastool/knnsearch.h"
#include "clss/clastool/knnstore.h"
#include "platform/random.h"
#include "tests/test_support.h"

namespace {

using PatternHandle = tqPtrHandle_const<tqFeaturePattern>;
using Scores = std::vector<std::pair<long, double>>;
using BadFeatures = tqClassifierDefs::BadFeatures;
using BadParams = tqClassifierDefs::BadParams;
using NoData = tqClassifierDefs::InsufficientTrainData;

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
Scores scores(const tqClassifierResult& result) {
    Scores out;
    for (const auto& entry : result.categoryResults())
        out.emplace_back(entry.categoryLabel(), entry.matchScore());
    return out;
}

tqClassifierResult classify(const tq_Classifier& c, const tqFeaturePattern& x) {
    tqClassifierResult result;
    c.run(x, result, nullptr, 0);
    return result;
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
const char* const kOrder = "Order of norm distance must be > 0";
const char* const kK = "K must be >= 1";
const char* const kEmpty = "Attempt to follow an empty handle";

TEST(NormMetric, MinkowskiDistances) {
    const tqFeaturePattern origin({0.0, 0.0}), point({3.0, 4.0});
    EXPECT_EQ(tqPatternDistanceMetricNorm().distance(origin, point), 5.0);
    EXPECT_EQ(tqPatternDistanceMetricNorm(1.0).distance(origin, point), 7.0);
    EXPECT_EQ(tqPatternDistanceMetricNorm(3.0).distance(origin, point), std::pow(91.0, 1.0 / 3.0));
    EXPECT_EQ(tqPatternDistanceMetricNorm(2.0).distance(tqFeaturePattern(), tqFeaturePattern()), 0.0);
}

// Every refused call of the metric, the parameters, the search and the classifier, with its
// message; none changes the metric, the parameters or the trained tool.
TEST(Knn, RefusedCallsChangeNothing) {
    tqPatternDistanceMetricNorm metric(3.0);
    const tqPatternDistanceMetricNorm norm;
    tqClassifierTrainParamsKNN params(1), lenient(1);
    const tqFeaturePattern one({0.0}), two({1.0, 2.0}), three({1.0, 2.0, 3.0}), firstBad({1.0, 2.0}, {0}),
        secondBad({1.0, 2.0}, {1}), thirdBad({1.0, 2.0, 3.0}, {2});
    // Stored patterns with an invalid measurement behind two good ones: the search meets the
    // metric's errors in the metric's order.
    tqClassifierDataProviderMemory stored = makeData({{0, 0}, {0, 0}}, {0, 0});
    stored.addData(P({1.0, 1.0}, {0}), -1);  // unlabelled, still refused by training
    std::vector<long> indices;
    std::vector<double> distances;
    const auto find = [&](const tqPatternDistanceMetric* m, const tqFeaturePattern& query, long k) {
        tq_knn::findNearestNeighbors(stored, m, query, k, indices, distances);
    };
    tqClassifierTool tool, unlabelled, refusing;
    tool.train(makeData({{0, 0, 0}}, {0}), params);
    const tqClassifierTool trained(tool);
    const auto noLabels = makeData({{0}, {1}}, {-1, -1});
    lenient.throwIfNotReady(false);
    unlabelled.train(noLabels, lenient);  // trained, but with nothing to vote
    // An archive can hold k < 1; a run refuses it instead of indexing before the list.
    tqClassifierTool kept, hostile;
    kept.train(makeData({{0, 0}}, {0}), tqClassifierTrainParamsKNN(7777));
    tqtest::loadBytes(tqtest::patched(tqtest::storeBytes(kept), tqtest::i64(7777), tqtest::i64(0)), hostile);
    tq_ClassifierKNN knn, started, minusOne;
    started.trainStart(params);
    minusOne.train(makeData({{5}}, {0}), params, nullptr, 0);
    minusOne.trainIncremental(one, -1, nullptr, 0);  // a label is checked only when a run meets it
    tqClassifierResult result;
    const tqtest::Raises features = tqtest::raises<BadFeatures>, bad = tqtest::raises<BadParams>,
                         noData = tqtest::raises<NoData>;
    tqtest::expectRefusals(
        {
            {[&] { norm.distance(two, three); }, features, kLengths},
            {[&] { norm.distance(two, secondBad); }, features, kFullVector},
            {[&] { norm.distance(firstBad, two); }, features, kFullVector},
            {[&] { metric.order(std::nan("")); }, bad, kOrder},
            {[] { tqPatternDistanceMetricNorm{0.0}; }, bad, kOrder},
            {[] { tqClassifierTrainParamsKNN{0}; }, bad, kK},
            {[&] { params.k(0); }, bad, kK},
            {[&] { find(&norm, two, 0); }, bad, kK},
            {[&] { hostile.run(two, result); }, bad, kK},
            {[&] { find(&norm, two, 1); }, features, kFullVector},
            {[&] { find(&norm, one, 1); }, features, kLengths},
            {[&] { find(&norm, secondBad, 1); }, features, kFullVector},
            {[&] { find(nullptr, two, 1); }, tqtest::raises<tqBadPointer>, kEmpty},
            {[&] { tool.run(thirdBad, result); }, features, kInvalid},
            {[&] { tool.run(one, result); }, features, kInvalid},
            {[&] { refusing.train(noLabels, params); }, noData, kNoData},
            {[&] { unlabelled.run(one, result); }, noData, kNoData},
            {[&] { knn.train(stored, params, nullptr, 0); }, features, kInvalid},
            // Left trained with an empty data object: trained but not runnable.
            {[&] { classify(knn, two); }, noData, kNoData},
            {[&] { started.trainIncremental(two, 0, nullptr, 0); },
             tqtest::raises<tqClassifierDefs::NotTrained>,
             "Classifier tool must be trained before incremental training."},
            {[&] { classify(minusOne, one); }, tqtest::raises<tqClassifierDefs::BadLabel>,
             "Category labels must be >= 0"},
        },
        [&] { return metric.order() == 3.0 && params.k() == 1 && tool == trained && !refusing.isTrained(); });
    EXPECT_TRUE(unlabelled.isTrained());
    EXPECT_TRUE(knn.isTrained());
}

// The parameters keep every field through the archive, and a change of any one makes them
// unequal: k, the metric's order either way, the costs. The metric's two version bytes (the norm
// level's, then the base level's) are refused.
TEST(KnnParams, ArchiveAndEqualityCoverEveryField) {
    tqClassifierCosts costs(0.25);
    costs.misclassificationCostOverride(1, 0, 4.0);
    tqPatternDistanceMetricNorm norm(3.0), loaded;
    using Params = tqClassifierTrainParamsKNN;
    tqPtrHandle<tqClassifierTrainParams> stored(new Params(7, norm, costs)), golden;
    ASSERT_TRUE(tqtest::archiveHolds("knn_params.bin", stored, golden));
    const Params& params = dynamic_cast<const Params&>(*stored);
    EXPECT_TRUE(dynamic_cast<const Params&>(*golden) == params);
    for (const Params& other :
         {Params(6, norm, costs), Params(7, tqPatternDistanceMetricNorm(2.0), costs),
          Params(7, tqPatternDistanceMetricNorm(4.0), costs), Params(7, norm, tqClassifierCosts(0.25))})
        EXPECT_TRUE(other != params) << other.k();
    EXPECT_TRUE(tqtest::refusesVersions(tqtest::storeBytes(norm), {0, 1},
                                        [&](const std::string& bytes) { tqtest::loadBytes(bytes, loaded); }));
    EXPECT_EQ(loaded.order(), 2.0);
}

// Votes of the k nearest become match scores. Ties: of patterns at the same distance the earlier
// stays, and an equal distance does not enter a full list; equal votes follow ascending labels.
TEST(KnnClassifier, VotesBecomeMatchScores) {
    const std::vector<std::vector<double>> three = {{0, 0}, {1, 0}, {5, 5}};
    const struct {
        std::vector<std::vector<double>> patterns;
        std::vector<long> labels;
        long k;
        std::vector<double> query;
        Scores expected;
    } cases[] = {
        {three, {0, 0, 1}, 3, {0.5, 0}, {{0, 2.0 / 3.0}, {1, 1.0 / 3.0}}},
        {three, {0, 0, 1}, 10, {9, 9}, {{0, 2.0 / 3.0}, {1, 1.0 / 3.0}}},  // all vote, divided by 3
        {{{-1, 0}, {1, 0}}, {0, 1}, 1, {0, 0}, {{0, 1.0}}},
        {{{-1, 0}, {1, 0}, {0, 0.5}}, {0, 1, 2}, 2, {0, 0}, {{1, 0.5}, {2, 0.5}}},
        {{{0}, {1}, {2}, {3}}, {3, 1, 2, 0}, 4, {1.5}, {{0, 0.25}, {1, 0.25}, {2, 0.25}, {3, 0.25}}},
        {{{0.2}, {1.0}, {0.0}}, {-1, 1, 0}, 1, {0.25}, {{0, 1.0}}},  // the unlabelled pattern is skipped
    };
    for (const auto& c : cases) {
        tqClassifierTool tool;
        tool.train(makeData(c.patterns, c.labels), tqClassifierTrainParamsKNN(c.k));
        const tqClassifierResult result = classify(tool, c.query);
        EXPECT_EQ(scores(result), c.expected) << "k " << c.k;
        EXPECT_EQ(result.matchScoreFactorLog(), 0.0);
        EXPECT_DOUBLE_EQ(result.categoryResults()[0].classScore(), c.expected[0].second);
    }
    // Deciding 0 becomes expensive when the truth is 1: label 0 moves back.
    tqClassifierCosts costs;
    costs.misclassificationCostOverride(1, 0, 9.0);
    tqClassifierTool tool;
    tool.train(makeData({{0}, {1}, {2}, {3}}, {3, 1, 2, 0}),
               tqClassifierTrainParamsKNN(4, tqPatternDistanceMetricNorm(), costs));
    EXPECT_EQ(classify(tool, {1.5}).categoryResults().back().categoryLabel(), 0);
    // Training shares the stored patterns instead of copying them.
    const PatternHandle a = P({0.0});
    tqClassifierDataProviderMemory data;
    data.addData(a, 0);
    const long before = a->refCount();
    tool.train(data, tqClassifierTrainParamsKNN(1));
    EXPECT_EQ(a->refCount(), before + 1);
}

// A loaded classifier classifies with the parameters it was trained with, although only the
// kept parameters are archived; a damaged archive loads or throws, and never crashes.
TEST(KnnClassifier, GoldenArchiveStillLoadsAndClassifies) {
    tqClassifierTool tool, golden;
    tool.train(makeData({{0, 0}, {1, 0}, {5, 5}, {6, 5}}, {0, 0, 1, 2}),
               tqClassifierTrainParamsKNN(3, tqPatternDistanceMetricNorm(1.0), tqClassifierCosts(2.0)));
    EXPECT_TRUE(tqtest::archiveHolds("knn_tool.bin", tool, golden));
    EXPECT_EQ(classify(golden, {4, 4}), classify(tool, {4, 4}));
    const std::string bytes = tqtest::storeBytes(tool);
    for (std::size_t at = 0; at < bytes.size(); ++at) {
        std::string changed = bytes;
        changed[at] = static_cast<char>(changed[at] ^ 0x41);
        try {
            tqtest::loadBytes(changed, golden);
        } catch (const tqException&) {
        }
    }
}

// ---- the optimised search against a direct implementation ----

// The search exactly as the classifier defines it: every distance through the metric, a list of
// k entries, a new pattern in front of equal ones, an equal one at the end left out.
void referenceSearch(const tqClassifierDataProvider& data, const tqPatternDistanceMetric& metric,
                     const tqFeaturePattern& query, long k, std::vector<long>& indices,
                     std::vector<double>& distances) {
    indices.clear();
    distances.clear();
    for (long i = 0; i < data.numPatterns(); ++i) {
        const double d = metric.distance(query, *data.featurePattern(i));
        if (static_cast<long>(distances.size()) == k && d >= distances.back()) continue;
        const auto at = std::find_if(distances.begin(), distances.end(), [&](double x) { return !(x < d); });
        indices.insert(indices.begin() + (at - distances.begin()), i);
        distances.insert(at, d);
        if (static_cast<long>(distances.size()) > k) {
            indices.pop_back();
            distances.pop_back();
        }
    }
}

bool sameBits(const std::vector<double>& a, const std::vector<double>& b) {
    return a.size() == b.size() &&
           (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0);
}

// A metric of another class: the search takes the general path, every distance through the metric.
struct OtherNorm : tqPatternDistanceMetricNorm {
    using tqPatternDistanceMetricNorm::tqPatternDistanceMetricNorm;
};

// The search, for each query on its own (the first also through a metric of another class), for
// all of them as one batch over packed rows, through a tree over the first `indexed` rows (the rest
// scanned, as after incremental training), and as one batch scan over the rows the tree reordered,
// finds the reference's neighbours at the reference's distances, bit for bit. The tree must take
// the queries exactly when `treeExpected`.
::testing::AssertionResult matchesReference(const tqClassifierDataProviderMemory& data, double order,
                                            const std::vector<tqFeaturePattern>& queries, long dims, long k,
                                            long indexed, bool treeExpected) {
    const tqPatternDistanceMetricNorm metric(order);
    const OtherNorm other(order);
    tq_knn::PackedRows packed(data);
    std::vector<const double*> rows;
    for (const auto& query : queries) rows.push_back(query.featureMeasurements(false).data());
    const long count = static_cast<long>(queries.size());
    const auto size = queries.size();
    std::vector<std::vector<long>> batchIndices(size), treeIndices(size), reorderedIndices(size);
    std::vector<std::vector<double>> batchDistances(size), treeDistances(size), reorderedDistances(size);
    tq_knn::findNearestPacked(packed, data, order, rows.data(), count, dims, k, batchIndices.data(),
                              batchDistances.data());
    const auto index = tq_knn::RowIndex::build(packed, indexed);
    const bool tree = index && index->search(packed, data.numPatterns(), order, rows.data(), count, dims, k,
                                             treeIndices.data(), treeDistances.data());
    if (tree != treeExpected) return ::testing::AssertionFailure() << "tree used: " << tree;
    tq_knn::findNearestPacked(packed, data, order, rows.data(), count, dims, k, reorderedIndices.data(),
                              reorderedDistances.data());
    std::vector<long> gotIndices, otherIndices, wantIndices;
    std::vector<double> gotDistances, otherDistances, wantDistances;
    for (std::size_t q = 0; q < size; ++q) {
        tq_knn::findNearestNeighbors(data, &metric, queries[q], k, gotIndices, gotDistances);
        if (q == 0) tq_knn::findNearestNeighbors(data, &other, queries[q], k, otherIndices, otherDistances);
        referenceSearch(data, metric, queries[q], k, wantIndices, wantDistances);
        const struct {
            const char* path;
            const std::vector<long>& indices;
            const std::vector<double>& distances;
        } paths[] = {{"searched alone", gotIndices, gotDistances},
                     {"through another metric class", q == 0 ? otherIndices : wantIndices,
                      q == 0 ? otherDistances : wantDistances},
                     {"in the batch", batchIndices[q], batchDistances[q]},
                     {"in the tree", tree ? treeIndices[q] : wantIndices, tree ? treeDistances[q] : wantDistances},
                     {"in the batch over reordered rows", reorderedIndices[q], reorderedDistances[q]}};
        for (const auto& path : paths)
            if (path.indices != wantIndices || !sameBits(path.distances, wantDistances))
                return ::testing::AssertionFailure() << "query " << q << " " << path.path << " differs, k " << k;
    }
    return ::testing::AssertionSuccess();
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

class SearchMatchesReference : public ::testing::TestWithParam<double> {};

TEST_P(SearchMatchesReference, OnDataFullOfTiesAndOnGeneratedData) {
    const double inf = std::numeric_limits<double>::infinity();
    const struct {
        const char* name;
        std::vector<double> values;
        bool nudge;
    } cases[] = {
        {"small integers", {0, 1, 2, 3}, false},
        {"small integers nudged", {0, 1, 2, 3}, true},
        {"fractions", {0.1, 0.2, 0.3, 1.0 / 3.0, 0.7}, true},
        {"wide range", {-1e150, -1e-150, 0, 1e-160, 2.5e-170, 1e150, 3}, false},
        {"overflow and underflow", {-1e200, 1e200, 1e-200, -1e-310, 0, 1}, false},
        {"extremes", {1e300, -1e300, 1.7e308, 5e-324, -2.2e-308, 0}, true},
        {"infinities", {0, 1, inf, -inf}, false},
        {"not a number", {0, 1, 2, std::nan("")}, false},
    };
    tqRandomUniform random(1234);
    const double p = GetParam();
    for (const auto& c : cases) {
        const bool finite = std::all_of(c.values.begin(), c.values.end(), [](double v) { return std::isfinite(v); });
        for (int trial = 0; trial < 40; ++trial) {
            // Up to two tree levels (leaves of up to 512 rows, in blocks of 32; the generated rows
            // below take two, the grid seven).
            const long n = static_cast<long>(random.next(1, 1100));
            // Mostly short patterns; every fourth one is long enough for the search to stop summing
            // part way through.
            const long dims = trial % 4 == 0 ? static_cast<long>(random.next(17, 41))
                                             : static_cast<long>(random.next(0, 7));
            tqClassifierDataProviderMemory data;
            for (long i = 0; i < n; ++i) data.addData(P(draw(random, dims, c.values, c.nudge)), 0);
            for (long k : {1L, 5L, n + 3}) {
                std::vector<tqFeaturePattern> queries;
                for (int q = 0; q < 3; ++q) queries.emplace_back(draw(random, dims, c.values, c.nudge));
                // Now and then a query that is not finite: no tree, but the rows stay reordered.
                const bool odd = trial % 3 == 2 && dims > 0;
                if (odd) {
                    std::vector<double> v = draw(random, dims, c.values, c.nudge);
                    v[0] = trial % 2 ? inf : std::nan("");
                    queries.emplace_back(v);
                }
                const long indexed = trial % 2 ? n : static_cast<long>(random.next(1, static_cast<double>(n)));
                ASSERT_TRUE(matchesReference(data, p, queries, dims, k, indexed,
                                             finite && !odd && dims >= 2 && p >= 1 && p <= 64))
                    << c.name << " trial " << trial;
            }
        }
    }
    // Far more patterns than k and real-valued data, for orders the index takes: most patterns are
    // decided by the bound.
    if (p < 1 || p > 3) return;
    std::vector<tq_ClassDataGenerator> classes;
    for (int c = 0; c < 5; ++c) {
        std::vector<tqPair<double>> parameters;
        for (int j = 0; j < 16; ++j) parameters.emplace_back(c * 0.5 + j * 0.1, 1.0 + c * 0.2);
        classes.emplace_back(parameters, 400);
    }
    const tqClassifierDataProviderMemory data = tq_TotalDataGenerator(classes).generateData();
    std::vector<tqFeaturePattern> queries;
    for (int q = 0; q < 20; ++q)  // half the queries are stored patterns themselves (distance 0 ties)
        queries.push_back(q % 2 ? *data.featurePattern(static_cast<long>(random.next(0, data.numPatterns())))
                                : tqFeaturePattern(draw(random, 16, {-1, 0, 0.5, 1, 2, 3}, false)));
    for (long k : {1L, 5L, 50L})
        EXPECT_TRUE(matchesReference(data, p, queries, 16, k, data.numPatterns() - 300, true)) << "generated, k " << k;
    // A tree of 128 leaves (their table tested in groups of eight, eight groups at a time) over an
    // integer grid: exact ties everywhere, leaf boxes that touch, and with k = 300 and 1,000 many
    // leaves within the final distance (k = 1,000 catches a search that ends within a bucket of
    // candidates before testing all of them).
    tqClassifierDataProviderMemory grid;
    for (long i = 0; i < 40000; ++i)
        grid.addData(P(draw(random, 3, {0, 1, 2, 3, 4, 5, 6, 7, 8, 9}, false)), 0);
    std::vector<tqFeaturePattern> gridQueries;
    for (int q = 0; q < 20; ++q)
        gridQueries.emplace_back(draw(random, 3, {-1, 0, 2.5, 4, 9, 11}, q % 2 == 1));
    for (long k : {1L, 5L, 300L, 1000L})
        EXPECT_TRUE(matchesReference(grid, p, gridQueries, 3, k, 40000, true)) << "grid, k " << k;
}

INSTANTIATE_TEST_SUITE_P(Orders, SearchMatchesReference,
                         ::testing::Values(1.0, 2.0, 3.0, 0.5, 1.5, 2.5, 7.0, 100.0));

// Batches against single runs where the packed rows are easy to get wrong: rows added through a
// copy, rows packed by the first search of a loaded classifier, several row and query blocks, and
// a refused query in the middle (the results before it are in place). All of it with the index
// forced, and without: the same results and the same archive; incremental training enough to
// rebuild the index, seen by the copy, then a pattern that cannot be packed.
TEST(KnnClassifier, BatchesMatchRunsAfterIncrementalTrainingAndLoading) {
    std::vector<double> values;
    tqRandomUniform random(5);
    for (int i = 0; i < 150 * 4; ++i) values.push_back(random.next(-1, 2));  // rows of 3, stride 4
    std::vector<unsigned char> validity(values.size(), 1);
    validity[100 * 4 + 1] = 0;
    const tqPatternRows rows{values.data(), nullptr, 150, 3, 4};
    tqPatternRows withInvalid = rows;
    withInvalid.validity = validity.data();
    std::vector<std::vector<tqClassifierResult>> byChoice;
    std::vector<std::string> archives;
    for (const char* choice : {"scan", "tree"}) {
        setenv("CLASTOOL_KNN_INDEX", choice, 1);
        std::vector<tq_ClassDataGenerator> classes(
            3, tq_ClassDataGenerator({{0.0, 1.0}, {1.0, 2.0}, {0.0, 0.5}}, 700));
        tq_ClassifierKNN knn;
        knn.train(tq_TotalDataGenerator(classes).generateData(), tqClassifierTrainParamsKNN(5), nullptr, 0);
        // A copy keeps the patterns it was made with (regression: the two shared one list, so
        // incremental training of one changed the other).
        const tq_ClassifierKNN before(knn);
        for (int i = 0; i < 600; ++i)  // past max(2,100 / 8, the leaf size): the index is rebuilt
            knn.trainIncremental(tqFeaturePattern({0.1 + 0.001 * i, 1.0, 0.0}), 7, nullptr, 0);
        EXPECT_FALSE(before == knn);
        const tq_ClassifierKNN copy(knn);
        EXPECT_TRUE(copy == knn);
        tqPtrHandle<tq_Classifier> stored(new tq_ClassifierKNN(knn)), loaded;
        archives.push_back(tqtest::storeBytes(stored));
        tqtest::loadBytes(archives.back(), loaded);
        byChoice.emplace_back();
        for (const tq_Classifier* c :
             {static_cast<const tq_Classifier*>(&copy), static_cast<const tq_Classifier*>(loaded.get())}) {
            std::vector<tqClassifierResult> batch(150), refused(150);
            c->runBatch(rows, batch.data());
            EXPECT_THROW_MSG(c->runBatch(tqPatternRows{values.data(), nullptr, 150, 2, 4}, refused.data()),
                             BadFeatures, kInvalid);  // rows too short
            EXPECT_THROW_MSG(c->runBatch(withInvalid, refused.data()), BadFeatures, kInvalid);
            for (std::size_t i = 0; i < 150; ++i) {
                const tqClassifierResult single = classify(*c, rows.pattern(i));
                EXPECT_EQ(batch[i], single) << choice << " " << i;
                if (i < 100) {
                    EXPECT_EQ(refused[i], single) << choice << " " << i;
                }
            }
            EXPECT_EQ(scores(classify(*c, tqFeaturePattern({0.2, 1.0, 0.0}))).front().first,
                      7);  // the incremental patterns are searched
            byChoice.back().insert(byChoice.back().end(), batch.begin(), batch.end());
        }
        // The validity is checked only when a run meets the pattern, and only the classifier
        // that stored it meets it.
        knn.trainIncremental(tqFeaturePattern({0.2, 1.0, 0.0}, {1}), 7, nullptr, 0);
        EXPECT_THROW_MSG(classify(knn, tqFeaturePattern({0.2, 1.0, 0.0})), BadFeatures, kFullVector);
        EXPECT_EQ(scores(classify(copy, tqFeaturePattern({0.2, 1.0, 0.0}))).front().first, 7);
        knn.train(makeData({{0, 1, 0}}, {5}), tqClassifierTrainParamsKNN(1), nullptr, 0);
        EXPECT_EQ(scores(classify(knn, tqFeaturePattern({0.2, 1.0, 0.0}))), (Scores{{5, 1.0}}));
    }
    unsetenv("CLASTOOL_KNN_INDEX");
    EXPECT_EQ(byChoice[0], byChoice[1]);
    EXPECT_EQ(archives[0], archives[1]);
}

// The cost model sends large low-dimensional stored sets to the tree and keeps an index built
// by force over 16 measurements, where the tree examines a third or more of the rows, unused.
TEST(KnnIndex, CostModelPicksTheTreeOnlyWhereItPays) {
    const struct {
        long n, dims;
        bool tree;
    } cases[] = {{100000, 16, false}, {100000, 8, true}, {100000, 4, true}};
    tqRandomUniform random(17);
    for (const auto& c : cases) {
        tqClassifierDataProviderMemory data;
        for (long i = 0; i < c.n; ++i) {
            std::vector<double> v(static_cast<std::size_t>(c.dims));
            for (double& x : v) x = random.next(-1, 1);
            data.addData(P(v), 0);
        }
        tq_knn::PackedRows packed(data);
        const auto index = tq_knn::RowIndex::build(packed, c.n);
        ASSERT_TRUE(index);
        EXPECT_EQ(index->pays(c.n, 5), c.tree) << c.n << " x " << c.dims;
    }
}

}  // namespace
