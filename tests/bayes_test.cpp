// Bayesian category models and the Bayesian classifier, alone and through the tool, and the
// properties of its decisions: they do not depend on the units or offsets of a measurement,
// sound estimates rate as their maximum-likelihood Gaussian, batch runs rate as single runs bit
// for bit, and unusable input is refused with an error that says what is wrong.
#include <gtest/gtest.h>

#include <cctype>
#include <cmath>
#include <fstream>
#include <functional>
#include <limits>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "clss/clastool/clastool.h"
#include "platform/random.h"
#include "test_support.h"

namespace {

using DT = tqClassifierDistributionTypes;
using BadParams = tqClassifierDefs::BadParams;
using InsufficientTrainData = tqClassifierDefs::InsufficientTrainData;
using G = std::vector<std::vector<long>>;
using Rows = std::vector<std::vector<double>>;  // measurements, then the label
const double kLog2Pi = std::log(2.0 * M_PI);
const double kNaN = std::numeric_limits<double>::quiet_NaN();
const double kInf = std::numeric_limits<double>::infinity();

tqFeaturePattern P(std::vector<double> v, std::vector<long> invalid = {}) {
    return tqFeaturePattern(v, invalid);
}

// Rows of measurements whose last entry is the category label; NAN marks an invalid one.
tqClassifierDataProviderMemory table(const Rows& rows) {
    tqClassifierDataProviderMemory data;
    for (const auto& row : rows) {
        std::vector<long> invalid;
        for (std::size_t j = 0; j + 1 < row.size(); ++j)
            if (std::isnan(row[j])) invalid.push_back(static_cast<long>(j));
        data.addData(
            tqPtrHandle_const<tqFeaturePattern>(new tqFeaturePattern({row.begin(), row.end() - 1}, invalid)),
            static_cast<long>(row.back()));
    }
    return data;
}

tq_ClassifierBayesian trained(
    const tqClassifierDataProviderMemory& data,
    const tqClassifierTrainParamsBayesian& params = tqClassifierTrainParamsBayesian()) {
    tq_ClassifierBayesian c;
    c.train(data, params, nullptr, 0);
    return c;
}

const tq_CategoryModelBayesian& model(const tq_ClassifierBayesian& c, std::size_t k) {
    return dynamic_cast<const tq_CategoryModelBayesian&>(*c.categoryModels().at(k));
}

TEST(CategoryModel, TypesMaximaAndTheSumOverGroups) {
    using NotImplemented = tqClassifierDefs::NotImplemented;
    EXPECT_THROW_MSG(tq_CategoryModelBayesian(0, {{0}, {1}}, {DT::eNormal, DT::ePoisson}, P({})),
                     NotImplemented, "Poisson distribution is not implemented");
    EXPECT_THROW_MSG(tq_CategoryModelBayesian(0, {{0}}, {DT::eUniform}, P({})), NotImplemented,
                     "Uniform distribution is not implemented");
    EXPECT_THROW_MSG(tq_CategoryModelBayesian(0, {{0}}, {static_cast<DT::DistributionType>(9)}, P({})),
                     BadParams, "Unknown distribution type");

    // A binomial's maximum is the maximum-value pattern's at the group's first index, else 1.0.
    tq_CategoryModelBayesian twenty(0, {{4}}, {DT::eBinomial}, P({1, 1, 1, 1, 20}));
    for (double x : {0.0, 10.0, 20.0}) twenty.adapt(P({0, 0, 0, 0, x}), nullptr, 0);
    EXPECT_NEAR(twenty.matchScore(P({0, 0, 0, 0, 20}), nullptr, 0), 2 * std::log(0.5), 1e-15);
    for (const tqFeaturePattern& maxima : {P({}), P({1, 1, 1, 1, 20}, {4}), P({5, 5})}) {
        tq_CategoryModelBayesian one(0, {{4}}, {DT::eBinomial}, maxima);
        one.adapt(P({0, 0, 0, 0, 1.0}), nullptr, 0);
        EXPECT_THROW(one.adapt(P({0, 0, 0, 0, 2.0}), nullptr, 0), BadParams);
    }

    // The log-likelihood sums the groups' densities of sub-patterns built here by hand; a
    // short pattern lacks measurements, which are invalid (marginal density).
    tq_CategoryModelBayesian m(2, {{2, 0}, {1}}, {DT::eNormal, DT::eNormal}, P({}));
    tq_PDFMultivariateNormal g0, g1;
    for (const tqFeaturePattern& p :
         {P({1, 2, 3, 4}), P({2, 1, 5, 3}), P({4, 4, 4, 5}, {1}), P({0, 3, 1, 1}), P({3, 0, 2, 6})}) {
        m.adapt(p, nullptr, 0);
        const std::vector<double>& v = p.featureMeasurements(false);
        g0.updateWithData({P({v[2], v[0]})});
        g1.updateWithData({p.isValid(1) ? P({v[1]}) : P({0.0}, {0})});
    }
    EXPECT_EQ(m.matchScore(P({1.5, 2.5, 2.0, 3.0}), nullptr, 0),
              g0.logValue(P({2.0, 1.5})) + g1.logValue(P({2.5})));
    EXPECT_EQ(m.matchScore(P({1.5, 2.5}), nullptr, 0),
              g0.logValue(P({0.0, 1.5}, {0})) + g1.logValue(P({2.5})));
}

TEST(BayesParams, ArchiveMatchesTheGoldenBytesAndRefusesAnotherVersion) {
    DT t;
    t.distributionTypeOverride(1, 3, DT::eBinomial);
    t.setDependent(0, {2, 0});
    tqClassifierFrequencies f(2.0);
    f.categoryFrequencyOverride(1, 0.25);
    tqClassifierCosts c(1.5);
    c.misclassificationCostOverride(1, 0, 4.0);
    tqClassifierTrainParamsBayesian params(t, f, c, P({0, 0, 0, 10}, {0})), loaded;
    EXPECT_TRUE(tqtest::archiveHolds("bayesparams.bin", params, loaded));  // costs before frequencies
    EXPECT_EQ(loaded, params);
    EXPECT_TRUE(tqtest::refusesVersions(tqtest::storeBytes(params), {0},
                                        [&](const std::string& bytes) { tqtest::loadBytes(bytes, loaded); }));
}

TEST(BayesClassifier, LabelsGroupsAndTypesFollowTheParameters) {
    DT t;
    t.setDependent(2, {2, 0});
    t.setDependent(0, {1, 9});
    t.setDependent(1, {7, 8});  // nothing below the measurement count: not used
    const auto data =
        table({{1, 2, 3, 4, 5, 2}, {2, 1, 0, 3, 3, -1}, {0, 1, 0, 1, 0, 0}, {1, 1, 1, 1, 1, 1}});
    const tq_ClassifierBayesian c = trained(data, tqClassifierTrainParamsBayesian(t));
    EXPECT_EQ(c.categoryLabels(), (std::vector<long>{2, 0, 1}));
    EXPECT_EQ(model(c, 0).groups(), (G{{2, 0}, {1}, {3}, {4}}));
    EXPECT_EQ(model(c, 1).groups(), (G{{0}, {1, 9}, {2}, {3}, {4}}));
    EXPECT_EQ(model(c, 2).groups(), (G{{0}, {1}, {2}, {3}, {4}}));
    // Measurement 9 is invalid in every sub-pattern of {1, 9}: the group never sees a complete
    // record, and the tool's ready check names the category.
    tqClassifierTool tool;
    EXPECT_THROW_MSG(tool.train(data, tqClassifierTrainParamsBayesian(t)), InsufficientTrainData,
                     "No valid data has been used to train the distribution for category 0");
    EXPECT_THROW_MSG(tool.train(table({{1, 2, -1}}), tqClassifierTrainParamsBayesian()),
                     InsufficientTrainData, "No valid data was provided for training.");

    // A group's type is that of its first index: measurement 1 is binomial for label 0 (maximum
    // 1.0, theta 0.5, n = 1) and Poisson, which is refused, only for label 1, never met.
    DT b;
    b.distributionTypeOverride(0, 1, DT::eBinomial);
    b.distributionTypeOverride(1, 1, DT::ePoisson);
    const tq_ClassifierBayesian bc =
        trained(table({{1, 0, 0}, {2, 1, 0}, {3, 1, 0}, {2, 0, 0}}), tqClassifierTrainParamsBayesian(b));
    EXPECT_NEAR(model(bc, 0).matchScore(P({2, 1}), nullptr, 0),
                -0.5 * (kLog2Pi + std::log(0.5)) + std::log(0.5), 1e-12);
    EXPECT_THROW_MSG(tool.train(table({{2, 0, 0}}), tqClassifierTrainParamsBayesian(b, 1.0, 1.0, P({1, 1}))),
                     InsufficientTrainData,
                     "Insufficient data has been used to train the distribution for category 0");
}

// Category 0 is a unit Gaussian around 0, category 1 one around mu; at x the log-likelihoods
// are -10 and -12. Weighting category 1 by a prior, or making the first decision expensive,
// turns the decision without new training.
TEST(BayesClassifier, ScoresAreLikelihoodRatiosWeighedByPriorsAndCosts) {
    const double c = 0.5 * kLog2Pi, x = std::sqrt(2 * (10 - c)), mu = x + std::sqrt(2 * (12 - c));
    tqClassifierTool tool;
    tool.train(table({{-1, 0}, {mu - 1, 1}, {1, 0}, {mu + 1, 1}}), tqClassifierTrainParamsBayesian());
    tqClassifierResult before, r;
    tool.run(P({x}), before);
    ASSERT_EQ(before.categoryResults().size(), 2u);
    const tqClassifierCategoryResult &first = before.categoryResults()[0],
                                     &second = before.categoryResults()[1];
    EXPECT_EQ(first.categoryLabel(), 0);
    EXPECT_EQ(first.matchScore(), 1.0);
    EXPECT_NEAR(second.matchScore(), std::exp(-2.0), 1e-12);
    EXPECT_NEAR(before.matchScoreFactorLog(), 10.0, 1e-12);

    tqClassifierFrequencies priors;
    priors.categoryFrequencyOverride(1, 2 * std::exp(2.0));
    tool.retrain(tqClassifierTrainParamsBayesian(DT(), priors));
    tool.run(P({x}), r);
    EXPECT_EQ(r.categoryResults()[0].categoryLabel(), 1);
    EXPECT_NEAR(r.categoryResults()[0].classScore(), 2.0 / 3.0, 1e-9);
    tqClassifierCosts costs;
    costs.misclassificationCostOverride(1, 0, 3 * std::exp(2.0));  // deciding 0 when 1 is true
    tool.retrain(tqClassifierTrainParamsBayesian(DT(), 1.0, costs));
    tool.run(P({x}), r);
    EXPECT_EQ(r.categoryResults()[0].categoryLabel(), 1);
    tool.retrain(tqClassifierTrainParamsBayesian());
    EXPECT_THROW_MSG(tool.retrain(tqClassifierTrainParamsBayesian(DT(DT::eBinomial))), BadParams,
                     "Cannot retrain a Bayesian classifier with different distribution types.");
    EXPECT_THROW_MSG(tool.retrain(tqClassifierTrainParamsBayesian(DT(), 1.0, 1.0, P({2.0}))), BadParams,
                     "Cannot retrain a Bayesian classifier with different maximum measurements values.");
    tool.run(P({x}), r);
    EXPECT_EQ(r, before);
}

// The golden archive loads to a tool equal to the one stored (its category models compare their
// densities, which rate as they were stored); every 13th cut of the archive is refused.
TEST(BayesArchive, GoldenToolLoadsEqual) {
    DT t;
    t.setDependent(1, {2, 0});
    tqClassifierFrequencies f;
    f.categoryFrequencyOverride(2, 0.5);
    tqClassifierCosts costs;
    costs.misclassificationCostOverride(0, 1, 2.0);
    tqClassifierTool tool, golden;
    tool.train(tq_TotalDataGenerator({tq_ClassDataGenerator({{0, 1}, {2, 1}, {1, 0.5}}, 30),
                                      tq_ClassDataGenerator({{1, 1}, {0, 2}, {1.5, 0.5}}, 30),
                                      tq_ClassDataGenerator({{3, 1}, {1, 1}, {0, 1}}, 30)})
                   .generateData(),
               tqClassifierTrainParamsBayesian(t, f, costs));
    EXPECT_TRUE(tqtest::archiveHolds("bayes_tool.bin", tool, golden, 13));
    EXPECT_EQ(golden, tool);
}

// ---- batch runs ----------------------------------------------------------------------------

// What a call gives: nothing, or its error.
std::string errorOf(const std::function<void()>& call) {
    try {
        call();
    } catch (const tqException& e) {
        return std::string("error: ") + e.what();
    }
    return "";
}

// What a single run gives: the result's bytes, or the error.
template <class Runner>
std::string single(const Runner& runner, const tqFeaturePattern& pattern) {
    tqClassifierResult result;
    const std::string error = errorOf([&] { runner.run(pattern, result, nullptr, 0); });
    return error.empty() ? tqtest::storeBytes(result) : error;
}

// Rows of measurements (NaN marks an invalid one, which the batch must not read; the label is
// left out) as batch rows of the first `width` measurements, with a stride beyond the width.
struct Batch {
    Batch(const Rows& rows, std::size_t dimension)
        : width(dimension), values(rows.size() * (width + 1), kNaN), valid(values.size()) {
        for (std::size_t r = 0; r < rows.size(); ++r)
            for (std::size_t j = 0; j < width; ++j) {
                values[r * (width + 1) + j] = rows[r][j];
                valid[r * (width + 1) + j] = !std::isnan(rows[r][j]);
            }
    }
    tqPatternRows view(bool flags = true) const {
        return {values.data(), flags ? valid.data() : nullptr, values.size() / (width + 1), width, width + 1};
    }
    std::size_t width;
    std::vector<double> values;
    std::vector<unsigned char> valid;
};

// Batch runs rate every row as its single run does, bit for bit; the class scores alone give
// those of the results in the caller's column order (here reversed labels and labels no
// category has, which score 0). A row that fails stops both with `error`, which its single
// run gives, after the rows before it: its block is not all rated.
template <class Runner>
void expectBatchAsSingleRuns(const Runner& runner, const tqPatternRows& view, const std::string& error = "") {
    const std::vector<long> columns = {99, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1, 0};
    std::vector<tqClassifierResult> results(view.rows);
    std::vector<double> scores(view.rows * columns.size(), -1.0);
    EXPECT_EQ(errorOf([&] { runner.runBatch(view, results.data()); }), error);
    EXPECT_EQ(errorOf([&] { runner.runBatchScores(view, columns.data(), columns.size(), scores.data()); }),
              error);
    for (std::size_t r = 0; r < view.rows; ++r) {
        const std::string one = single(runner, view.pattern(r));
        if (!error.empty() && one == error) {
            EXPECT_TRUE(results[r].categoryResults().empty() && scores[r * columns.size()] == -1.0);
            return;
        }
        ASSERT_EQ(tqtest::storeBytes(results[r]), one) << "row " << r;
        std::vector<double> expected(columns.size(), 0.0);
        for (const auto& entry : results[r].categoryResults())
            expected.at(columns.size() - 1 - static_cast<std::size_t>(entry.categoryLabel())) = entry.classScore();
        for (std::size_t c = 0; c < columns.size(); ++c)
            ASSERT_EQ(tqtest::f64(scores[r * columns.size() + c]), tqtest::f64(expected[c]))
                << "row " << r << ", column " << c;
    }
    EXPECT_EQ(error, "") << "no row failed";
}

// 6,400 patterns of six measurements in four categories (or eleven, more than a single run
// rates side by side in one step), which training learns in blocks of 512 rows each: the first block fixes the counts, the next are complete (the measurements
// alike), the last have invalid ones. Measurement 0, 2 and 4 may be one group, measurement 5
// of category 1 a binomial count, measurement 3 constant with a fifth category of one pattern.
// The batch runs over 702 rows (more than two blocks), one measurement in six invalid but in the
// last block (of a size no multiple of four), values far out in the tails too (there beyond what
// a square holds), and short rows read the measurements beyond as invalid; then again with a
// valid infinity in row 300.
TEST(BayesBatch, TrainingAndRunsInBlocksEqualPatternAfterPatternBitForBit) {
    const struct {
        bool joint, binomial, degenerate;
        std::size_t width;
        long categories;
    } cases[] = {{true, false, false, 6, 4}, {false, true, false, 6, 4}, {true, false, true, 6, 4},
                 {false, false, true, 6, 4}, {true, false, false, 4, 4}, {false, false, false, 6, 11}};
    tqRandomGaussian normal(17);
    tqRandomUniform uniform(17);
    Rows rows, probes;
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message() << c.joint << c.binomial << c.degenerate << c.width << c.categories);
        rows.clear();
        for (long i = 0; i < 6400; ++i) {
            const long label = c.degenerate && i == 100 ? 4 : i % c.categories;
            rows.emplace_back();
            for (int j = 0; j < 6; ++j) rows.back().push_back(normal.next(label * 0.7, 1.0 + j));
            if (c.degenerate) rows.back()[3] = 273.15;
            if (c.binomial) rows.back()[5] = std::floor(uniform.next(0, 11));
            if (i % 7 == 3 && i >= 5600) rows.back()[i % 6] = kNaN;
            rows.back().push_back(label);
        }
        DT types;
        for (long k = 0; c.joint && k < 5; ++k) types.setDependent(k, {4, 0, 2});
        if (c.binomial) types.distributionTypeOverride(1, 5, DT::eBinomial);
        const tqClassifierTrainParamsBayesian params(types, 1.0, 1.0, P(std::vector<double>(6, 10.0)));
        const auto data = table(rows);
        const tq_ClassifierBayesian classifier = trained(data, params);
        for (const auto& handle : classifier.categoryModels()) {
            const auto& model = dynamic_cast<const tq_CategoryModelBayesian&>(*handle);
            std::vector<DT::DistributionType> groupTypes;
            for (const auto& g : model.groups())
                groupTypes.push_back(types.distributionType(model.categoryLabel(), g[0]));
            tq_CategoryModelBayesian oneByOne(model.categoryLabel(), model.groups(), groupTypes,
                                              params.maxMeasurementValues());
            for (long i = 0; i < data.numPatterns(); ++i)
                if (data.categoryLabel(i) == model.categoryLabel())
                    oneByOne.adapt(*data.featurePattern(i), nullptr, 0);
            ASSERT_TRUE(oneByOne == model) << "category " << model.categoryLabel();
        }
        probes.clear();
        for (std::size_t r = 0; r < 702; ++r) {
            probes.emplace_back();
            for (int j = 0; j < 6; ++j)
                probes.back().push_back(r < 512 && uniform.next(0, 6) < 1 ? kNaN
                                        : c.binomial && j == 5 ? std::floor(uniform.next(0, 11))
                                        : normal.next(0, r % 50 == 0 ? (r > 600 ? 1e200 : 1e3) : 3.0));
        }
        expectBatchAsSingleRuns(classifier, Batch(probes, c.width).view());
        probes[300][1] = kInf;  // valid, inside the second block: the batch stops there
        expectBatchAsSingleRuns(classifier, Batch(probes, c.width).view(),
                                "error: The pattern: measurement 1 is valid but not a finite number.");
        // The same in the last block, whose rows are all complete (rated column by column where
        // every group is one normal measurement).
        probes[300][1] = 0.5;
        probes[650][1] = -kInf;
        expectBatchAsSingleRuns(classifier, Batch(probes, c.width).view(),
                                "error: The pattern: measurement 1 is valid but not a finite number.");
        // The tool's form over a data object packs its patterns a block at a time, validity and all.
        tqClassifierTool tool;
        tool.train(data, params);
        std::vector<tqClassifierResult> packed = tool.runBatch(data);
        for (long i = 0; i < data.numPatterns(); i += 3)
            ASSERT_EQ(tqtest::storeBytes(packed[static_cast<std::size_t>(i)]),
                      single(tool, *data.featurePattern(i)))
                << "stored pattern " << i;
    }
    // The base class's batch and scores for every technique, here k-nearest-neighbour's over
    // complete rows without a validity array.
    for (Rows* set : {&rows, &probes})
        for (auto& row : *set)
            for (double& x : row) x = std::isfinite(x) ? x : 0.5;
    tqClassifierTool knn;
    knn.train(table(Rows(rows.begin(), rows.begin() + 200)), tqClassifierTrainParamsKNN(3));
    expectBatchAsSingleRuns(knn, Batch(probes, 6).view(false));
    // Bad calls as runBatch's, and repeated column labels.
    const double row[6] = {};
    const tqPatternRows one{row, nullptr, 1, 6, 6};
    const long repeated[] = {1, 1};
    double out[2];
    EXPECT_THROW(knn.runBatchScores(one, repeated, 2, out), BadParams);
    EXPECT_THROW(knn.runBatchScores(one, repeated, 1, nullptr), BadParams);
    EXPECT_THROW(tqClassifierTool().runBatchScores(one, repeated, 1, out), tqClassifierDefs::NotTrained);
}

// The log density of x's measurements `group` under a normal density's own estimate, by a
// Cholesky factorisation in long double; adds the magnitudes of its terms to `size`.
long double logDensity(const tq_PDFMultivariateNormal& pdf, const std::vector<double>& x,
                       const std::vector<long>& group, long double& size) {
    const tqNMMatrix mean = pdf.mean(), cov = pdf.covariance();
    const long d = mean.cols();
    std::vector<long double> l(d * d), z(d);
    long double value = -0.5L * d * std::log(2 * M_PIl);
    for (long j = 0; j < d; ++j) {
        for (long i = j; i < d; ++i) {
            long double v = cov.element(i, j);
            for (long m = 0; m < j; ++m) v -= l[i * d + m] * l[j * d + m];
            l[i * d + j] = i == j ? std::sqrt(v) : v / l[j * d + j];
        }
        z[j] = x[group[j]] - static_cast<long double>(mean.element(0, j));
        for (long m = 0; m < j; ++m) z[j] -= l[j * d + m] * z[m];
        z[j] /= l[j * d + j];
        value -= std::log(l[j * d + j]) + 0.5L * z[j] * z[j];
        size += std::fabs(std::log(l[j * d + j])) + 0.5L * z[j] * z[j] + 1;
    }
    return value;
}

// Four categories over five measurements with every kind of degenerate estimate: measurement
// 2 is constant within category 0 (within every category if `everywhere`, so that it
// decides), category 3 has one pattern, measurement 4 is constant over all data, and
// category 1 models measurements 0 and 3 jointly (strongly correlated).
Rows degenerateData(bool everywhere, Rows& probes) {
    tqRandomGaussian g(5);
    Rows rows;
    for (int k = 0; k < 3; ++k)
        for (int i = 0; i < 30; ++i) {
            const double x0 = g.next(1.5 * k, 1.0);
            rows.push_back({x0, g.next(0.5 * k, 2.0), k == 0 || everywhere ? 0.7 + 1.2 * k : g.next(k, 1.0),
                            k == 1 ? 2 * x0 + g.next(0, 0.1) : g.next(0, 1), 4.25, double(k)});
        }
    rows.push_back({1.0, 1.0, 1.0, 1.0, 4.25, 3.0});
    probes = {{0.2, 0.1, 0.7, 0.3, 4.25, 0}, {1.0, 1.0, 1.0, 1.0, 4.25, 0}, {1.4, 0.4, 0.7, 2.5, 7.0, 0}};
    for (int i = 0; i < 40; ++i)
        probes.push_back({g.next(1.5, 2), g.next(0.5, 2), g.next(1, 1.5), g.next(1, 2), 4.25, 0});
    return rows;
}

// The decision and the class score of every label, for every probe.
std::vector<std::pair<long, std::map<long, double>>> outcomes(const Rows& rows, const Rows& probes) {
    DT t;
    t.setDependent(1, {0, 3});
    tqClassifierTool tool;
    tool.train(table(rows), tqClassifierTrainParamsBayesian(t));
    expectBatchAsSingleRuns(tool, Batch(probes, probes[0].size() - 1).view());
    std::vector<std::pair<long, std::map<long, double>>> out;
    for (const auto& p : probes) {
        tqClassifierResult r;
        tool.run(tqFeaturePattern({p.begin(), p.end() - 1}), r);
        out.emplace_back(r.categoryResults()[0].categoryLabel(), std::map<long, double>());
        for (const auto& c : r.categoryResults()) out.back().second[c.categoryLabel()] = c.classScore();
    }
    return out;
}

// Shifting a measurement by up to 1e6 spreads ('+'), or scaling it by any factor from 1e-150
// to 1e150 ('*'; also 3e153, where the scatter of 30 records would overflow if deviations were
// squared before they are scaled), in training and run data alike, keeps every decision, and
// the class scores within 1e-9 while the shift is at most 1e4 spreads. Dropping the measurement that is
// constant over all training data ('-') changes no class score at all.
TEST(BayesInvariance, OffsetsAndUnitsOfAMeasurementChangeNoDecision) {
    struct Case {
        bool everywhere;
        int j;
        char how;
        double factor;     // of the spread for a shift (of 1 for a constant measurement)
        double tolerance;  // of the class scores
    };
    const Case cases[] = {
        {false, 0, '+', 273.15, 1e-9}, {false, 2, '+', -1e4, 1e-9},  {false, 3, '+', 1e4, 1e-9},
        {false, 4, '+', 1e4, 1e-9},    {false, 2, '+', 1e6, 1},      {false, 3, '+', -1e6, 1},
        {false, 0, '*', 1e-150, 1e-9}, {false, 2, '*', 1e150, 1e-9}, {false, 3, '*', 1e-150, 1e-9},
        {false, 4, '*', 1e150, 1e-9},  {false, 1, '*', -2e5, 1e-9},  {false, 4, '-', 0, 0},
        {true, 2, '+', 273.15, 1e-9},  {true, 2, '+', -1e6, 1},      {true, 2, '*', 1e-150, 1e-9},
        {true, 2, '*', 3.7e-7, 1e-9},  {false, 0, '*', 3e153, 1e-9}};
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(1, c.how) + ::testing::PrintToString(c.factor) + " on measurement " +
                     std::to_string(c.j) + (c.everywhere ? ", constant within every category" : ""));
        Rows probes;
        const Rows rows = degenerateData(c.everywhere, probes);
        double sum = 0, sq = 0;
        for (const auto& r : rows) sum += r[c.j], sq += r[c.j] * r[c.j];
        const double spread = std::sqrt(std::max(sq / rows.size() - std::pow(sum / rows.size(), 2), 0.0));
        Rows r2 = rows, p2 = probes;
        for (Rows* set : {&r2, &p2})
            for (auto& r : *set) {
                if (c.how == '-')
                    r.erase(r.begin() + c.j);
                else
                    r[c.j] =
                        c.how == '*' ? r[c.j] * c.factor : r[c.j] + c.factor * (spread > 0 ? spread : 1.0);
            }
        const auto base = outcomes(rows, probes), moved = outcomes(r2, p2);
        for (std::size_t i = 0; i < probes.size(); ++i) {
            EXPECT_EQ(moved[i].first, base[i].first) << "probe " << i;
            for (const auto& s : base[i].second)
                EXPECT_NEAR(moved[i].second.at(s.first), s.second, c.tolerance) << "probe " << i;
        }
    }
}

// Real data: each category rates as the Gaussians of its own maximum-likelihood estimates,
// evaluated here directly in long double, within 1e-12 of the terms' size, and the decisions are right
// about as often as naive Bayes and its joint counterpart get them. Iris has one group per
// measurement; the breast-cancer data have all 30 measurements in one group, with condition
// numbers near 1e6, where a ridge of a billionth of the variances moves the values by up to
// 1e-5: there is no regularisation where the estimate does not need it.
TEST(BayesInvariance, RealDataRateAsTheirMaximumLikelihoodGaussians) {
    struct Case {
        const char* file;
        std::size_t rows;
        bool joint;
        double accuracy;
    };
    for (const Case& c : {Case{"iris.csv", 150, false, 0.95}, Case{"breast_cancer.csv", 569, true, 0.96}}) {
        std::ifstream in(tqtest::goldenPath(c.file));
        std::map<std::string, double> labels;
        Rows rows;
        std::string line, v;
        for (std::getline(in, line); std::getline(in, line);) {  // after the header
            std::istringstream s(line);
            rows.emplace_back();
            while (std::getline(s, v, ','))
                rows.back().push_back(std::isdigit(v[0] & 0xff) ? std::stod(v) : 0.0);
            rows.back().back() = labels.emplace(v, labels.size()).first->second;
        }
        ASSERT_EQ(rows.size(), c.rows) << c.file;
        DT t;
        for (long label = 0; c.joint && label < 2; ++label) {
            std::vector<long> all(rows[0].size() - 1);
            for (std::size_t j = 0; j < all.size(); ++j) all[j] = static_cast<long>(j);
            t.setDependent(label, all);
        }
        const tq_ClassifierBayesian classifier = trained(table(rows), tqClassifierTrainParamsBayesian(t));
        std::size_t correct = 0;
        for (std::size_t p = 0; p < rows.size(); ++p) {
            const tqFeaturePattern x({rows[p].begin(), rows[p].end() - 1});
            for (const auto& handle : classifier.categoryModels()) {
                const auto& model = dynamic_cast<const tq_CategoryModelBayesian&>(*handle);
                long double want = 0, size = 0;
                for (std::size_t g = 0; g < model.groups().size(); ++g)
                    want += logDensity(dynamic_cast<const tq_PDFMultivariateNormal&>(*model.pdfs()[g]),
                                       rows[p], model.groups()[g], size);
                EXPECT_NEAR(model.matchScore(x, nullptr, 0), want, 1e-12 * size) << c.file << " " << p;
            }
            tqClassifierResult r;
            classifier.run(x, r, nullptr, 0);
            correct += r.categoryResults()[0].categoryLabel() == rows[p].back();
        }
        EXPECT_GE(correct, c.accuracy * rows.size()) << c.file;
        expectBatchAsSingleRuns(classifier, Batch(rows, rows[0].size() - 1).view());
    }
}

// Unusable input is refused with the error's class and message below, never a bare kernel
// status: a valid measurement that is not a number (in training or a run; "no value" is said
// with the invalid flag; refused before its category is built, which may fail too), and binomial
// maxima and counts that make no sense. A refused training builds no model, and a refused run
// leaves the result as it was.
TEST(BayesInvariance, UnusableMeasurementsAreRefusedWithAClearError) {
    struct Case {
        DT::DistributionType type;
        double maximum;
        std::vector<double> train;  // pattern i has the label i % 2
        double probe;
        std::string error;  // class and start of the message
    };
    const Case cases[] = {
        {DT::eNormal, 1, {0, 5, kNaN, 6}, 0, "BadFeatures: Training pattern 2: measurement 0 is valid"},
        {DT::eNormal, 1, {0, 5, 1, 6}, kNaN, "BadFeatures: The pattern: measurement 0 is valid but not a"},
        {DT::eBinomial, 0, {0, 0}, 0, "BadParams: The maximum value of a binomial measurement must be"},
        {DT::eBinomial, kInf, {2, 5}, 0, "BadParams: The maximum value"},
        {DT::eBinomial, 10, {-1, 3}, 0, "BadFeatures: A binomial measurement must be a finite number >= 0"},
        {DT::eBinomial, 10, {kNaN, 3}, 0, "BadFeatures: Training pattern 0: measurement 0 is valid"},
        {DT::ePoisson, 1, {kNaN, 3}, 0, "BadFeatures: Training pattern 0: measurement 0 is valid"},
        {DT::eBinomial, 10, {11, 3}, 0, "BadParams: Train data measurement cannot exceed its maximum value"},
        {DT::eBinomial, 10, {2, 3, 5, 4, 6, 5}, -1, "BadFeatures: A binomial measurement must be"},
        {DT::eBinomial, 10, {2, 3, 5, 4, 6, 5}, 10.5, "BadParams: Feature measurement must be <="},
    };
    for (const Case& c : cases) {
        tqClassifierDataProviderMemory data;  // NaN here is a valid measurement
        for (std::size_t i = 0; i < c.train.size(); ++i)
            data.addData(tqPtrHandle_const<tqFeaturePattern>(new tqFeaturePattern({c.train[i]})), long(i % 2));
        tqClassifierTool tool;
        tqClassifierResult r, before;
        bool trained = false;
        std::string what = "nothing";
        try {
            tool.train(data,
                       tqClassifierTrainParamsBayesian(DT(c.type), 1.0, 1.0, tqFeaturePattern({c.maximum})));
            trained = true;
            tool.run(tqFeaturePattern({c.train[0]}), r);
            before = r;
            tool.run(tqFeaturePattern({c.probe}), r);
        } catch (const std::exception& e) {
            what = std::string(dynamic_cast<const tqClassifierDefs::BadParams*>(&e)     ? "BadParams: "
                               : dynamic_cast<const tqClassifierDefs::BadFeatures*>(&e) ? "BadFeatures: "
                                                                                        : "") +
                   e.what();
        }
        EXPECT_EQ(what.substr(0, c.error.size()), c.error);
        EXPECT_EQ(tool.isTrained(), trained) << c.error;
        EXPECT_EQ(r, before) << c.error;
        if (trained) tool.run(tqFeaturePattern({c.probe}, {0}), r);  // no value: what works
    }
}

// A pattern's values are checked for finiteness a whole row at a time (two values per step, an
// odd one after): a NaN or an infinity at any place of 1 to 5 measurements is refused in
// training and in a run (a batch's too) with its pattern and measurement named, also beside an
// invalid measurement elsewhere; the same value marked invalid is accepted.
TEST(BayesInvariance, EveryPlaceOfAPatternIsCheckedForFiniteness) {
    const auto error = [](auto&& f) {
        try {
            f();
        } catch (const tqClassifierDefs::BadFeatures& e) {
            return std::string(e.what());
        }
        return std::string("accepted");
    };
    for (std::size_t d = 1; d <= 5; ++d)
        for (std::size_t at = 0; at < d; ++at)
            for (const double bad : {kNaN, kInf, -kInf})
                for (const bool besideInvalid : {false, true}) {
                    if (besideInvalid && d == 1) continue;
                    tqClassifierDataProviderMemory data;
                    for (long i = 0; i < 6; ++i) {
                        std::vector<double> m(d);
                        for (std::size_t j = 0; j < d; ++j) m[j] = 0.5 * static_cast<double>(i * (j + 1));
                        data.addData(tqPtrHandle_const<tqFeaturePattern>(new tqFeaturePattern(m)), i % 2);
                    }
                    std::vector<double> values(d, 1.0);
                    values[at] = bad;
                    const std::vector<long> other = {static_cast<long>((at + 1) % d)};
                    const tqFeaturePattern poisoned(values, besideInvalid ? other : std::vector<long>{});
                    const tqFeaturePattern marked(values, {static_cast<long>(at)});
                    const std::string where = "measurement " + std::to_string(at) + " is valid but not a finite number.";
                    tqClassifierTool tool;
                    tool.train(data, tqClassifierTrainParamsBayesian());
                    tqClassifierResult r;
                    EXPECT_EQ(error([&] { tool.run(poisoned, r); }), "The pattern: " + where) << d << " " << at;
                    // A batch row without flags (all valid), where no measurement is flagged invalid.
                    const tqPatternRows row{values.data(), nullptr, std::size_t{!besideInvalid}, d, d};
                    EXPECT_EQ(error([&] { tool.runBatch(row, &r); }),
                              row.rows ? "The pattern: " + where : "accepted");
                    EXPECT_EQ(error([&] { tool.run(marked, r); }), "accepted") << d << " " << at;
                    tqClassifierDataProviderMemory more = data;
                    more.addData(tqPtrHandle_const<tqFeaturePattern>(new tqFeaturePattern(marked)), 0);
                    EXPECT_EQ(error([&] { tool.train(more, tqClassifierTrainParamsBayesian()); }), "accepted");
                    more.addData(tqPtrHandle_const<tqFeaturePattern>(new tqFeaturePattern(poisoned)), 1);
                    EXPECT_EQ(error([&] { tool.train(more, tqClassifierTrainParamsBayesian()); }),
                              "Training pattern 7: " + where)
                        << d << " " << at;
                }
}

}  // namespace
