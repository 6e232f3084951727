// Bayesian category models and the Bayesian classifier, alone and through the tool.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <fstream>
#include <limits>
#include <map>
#include <sstream>

#include "clss/clastool/clastool.h"
#include "platform/random.h"
#include "test_support.h"

namespace {

using DT = tqClassifierDistributionTypes;
using BadParams = tqClassifierDefs::BadParams;
using InsufficientTrainData = tqClassifierDefs::InsufficientTrainData;
using NotImplemented = tqClassifierDefs::NotImplemented;

const double kLog2Pi = std::log(2.0 * M_PI);

// Normal densities agree with closed forms up to the kernel's tiny regularisation.
#define EXPECT_LOG_NEAR(actual, expected) EXPECT_NEAR(actual, expected, 1e-6 * (1.0 + std::fabs(expected)))

tqFeaturePattern P(std::vector<double> v, std::vector<long> invalid = {}) {
    return tqFeaturePattern(v, invalid);
}

// Rows of measurements whose last entry is the category label; NAN marks an invalid one.
tqClassifierDataProviderMemory table(const std::vector<std::vector<double>>& rows) {
    tqClassifierDataProviderMemory data;
    for (const auto& row : rows) {
        std::vector<long> invalid;
        for (std::size_t j = 0; j + 1 < row.size(); ++j)
            if (std::isnan(row[j])) invalid.push_back(static_cast<long>(j));
        data.addData(tqPtrHandle_const<tqFeaturePattern>(
                         new tqFeaturePattern(std::vector<double>(row.begin(), row.end() - 1), invalid)),
                     static_cast<long>(row.back()));
    }
    return data;
}

std::vector<tqClassifierDistributionTypes::DistributionType> types(std::initializer_list<long> values) {
    std::vector<tqClassifierDistributionTypes::DistributionType> out;
    for (long v : values) out.push_back(static_cast<DT::DistributionType>(v));
    return out;
}

const tq_CategoryModelBayesian& model(const tq_ClassifierBayesian& c, std::size_t k) {
    return dynamic_cast<const tq_CategoryModelBayesian&>(*c.categoryModels().at(k));
}

// ---- category models and their parameters -------------------------------------------------

TEST(CategoryModel, RefusesUnusableTypesAndRatesNothingWithoutGroups) {
    EXPECT_THROW_MSG(tq_CategoryModelBayesian(0, {{0}, {1}}, types({DT::eNormal, DT::ePoisson}), P({})),
                     NotImplemented, "Poisson distribution is not implemented");
    EXPECT_THROW_MSG(tq_CategoryModelBayesian(0, {{0}}, types({DT::eUniform}), P({})), NotImplemented,
                     "Uniform distribution is not implemented");
    EXPECT_THROW_MSG(tq_CategoryModelBayesian(0, {{0}}, types({9}), P({})), BadParams,
                     "Unknown distribution type");
    EXPECT_EQ(tq_CategoryModelBayesian(1, {}, {}, P({})).matchScore(P({1.0, 2.0}), nullptr, 0), 0.0);
}

// The binomial's maximum comes from the maximum-value pattern at the group's first index,
// else 1.0; training values above it are refused.
TEST(CategoryModel, BinomialMaximumComesFromTheGroupsFirstIndex) {
    tq_CategoryModelBayesian twenty(0, {{4}}, types({DT::eBinomial}), P({1, 1, 1, 1, 20}));
    for (double x : {0.0, 10.0, 20.0}) twenty.adapt(P({0, 0, 0, 0, x}), nullptr, 0);
    EXPECT_NEAR(twenty.matchScore(P({0, 0, 0, 0, 20}), nullptr, 0), 2 * std::log(0.5), 1e-15);
    for (const tqFeaturePattern& maxima : {P({}), P({1, 1, 1, 1, 20}, {4}), P({5, 5})}) {
        tq_CategoryModelBayesian one(0, {{4}}, types({DT::eBinomial}), maxima);
        one.adapt(P({0, 0, 0, 0, 1.0}), nullptr, 0);
        EXPECT_THROW(one.adapt(P({0, 0, 0, 0, 2.0}), nullptr, 0), BadParams);
    }
}

// The log-likelihood is the sum of the groups' densities of their sub-patterns, built here
// by hand and rated by stand-alone densities trained on the same sub-patterns.
TEST(CategoryModel, MatchScoreSumsTheGroupDensitiesOfTheSubPatterns) {
    tq_CategoryModelBayesian m(2, {{2, 0}, {1}}, types({DT::eNormal, DT::eNormal}), P({}));
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
    // A short pattern: the measurements it lacks are invalid (marginal density).
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
    EXPECT_TRUE(tqtest::roundTrips(params, loaded));
    EXPECT_EQ(loaded, params);
    std::string bytes = tqtest::storeBytes(params);
    EXPECT_TRUE(tqtest::matchesGolden("bayesparams.bin", bytes));  // costs before frequencies
    bytes[0] = 1;
    EXPECT_THROW(tqtest::loadBytes(bytes, loaded), tqArchive::UnknownVersion);
}

// ---- the classifier ----------------------------------------------------------------------

tq_ClassifierBayesian trained(
    const tqClassifierDataProviderMemory& data,
    const tqClassifierTrainParamsBayesian& params = tqClassifierTrainParamsBayesian()) {
    tq_ClassifierBayesian c;
    c.train(data, params, nullptr, 0);
    return c;
}

TEST(BayesClassifier, LabelsInOrderOfFirstAppearanceAndGroupsFromEachLabelsSets) {
    DT t;
    t.setDependent(2, {2, 0});
    t.setDependent(0, {1, 9});
    t.setDependent(1, {7, 8});  // nothing below the measurement count: not used
    const tqClassifierTrainParamsBayesian params(t);
    const auto data = table({{1, 2, 3, 4, 5, 2},
                             {2, 1, 0, 3, 3, -1},
                             {0, 1, 0, 1, 0, 0},
                             {1, 1, 1, 1, 1, 1},
                             {1, 0, 1, 0, 1, 2}});
    const tq_ClassifierBayesian c = trained(data, params);
    EXPECT_EQ(c.categoryLabels(), (std::vector<long>{2, 0, 1}));
    using G = std::vector<std::vector<long>>;
    EXPECT_EQ(model(c, 0).groups(), (G{{2, 0}, {1}, {3}, {4}}));
    EXPECT_EQ(model(c, 1).groups(), (G{{0}, {1, 9}, {2}, {3}, {4}}));
    EXPECT_EQ(model(c, 1).numMeasurements(), 6);
    EXPECT_EQ(model(c, 2).groups(), (G{{0}, {1}, {2}, {3}, {4}}));

    // Measurement 9 is invalid in every sub-pattern of {1, 9}: that group never sees a
    // complete record, so the category cannot rate, and the tool refuses the training.
    tqClassifierTool tool;
    EXPECT_THROW_MSG(tool.train(data, params), InsufficientTrainData,
                     "No valid data has been used to train the distribution for category 0");
    EXPECT_FALSE(tool.isTrained());
}

TEST(BayesClassifier, GroupTypesComeFromTheGroupsFirstIndex) {
    DT t;
    t.distributionTypeOverride(0, 1, DT::eBinomial);
    t.distributionTypeOverride(1, 1, DT::ePoisson);
    const auto data = table({{1, 0, 0}, {2, 1, 0}, {3, 1, 0}, {2, 0, 0}});
    const tq_ClassifierBayesian c = trained(data, tqClassifierTrainParamsBayesian(t));
    // Measurement 1 of label 0 is binomial with maximum 1.0: theta 0.5, n = 1.
    EXPECT_LOG_NEAR(model(c, 0).matchScore(P({2, 1}), nullptr, 0),
                    -0.5 * (kLog2Pi + std::log(0.5)) + std::log(0.5));

    // A constant binomial measurement has no trials: the ready check names the category.
    EXPECT_THROW_MSG(
        tqClassifierTool().train(table({{2, 0, 0}}), tqClassifierTrainParamsBayesian(t, 1.0, 1.0, P({1, 1}))),
        InsufficientTrainData, "Insufficient data has been used to train the distribution for category 0");
}

TEST(BayesClassifier, UnknownLabelsOnlyLeaveItUntrained) {
    const auto data = table({{1, 2, -1}, {2, 1, -1}});
    EXPECT_FALSE(trained(data).isTrained());
    tqClassifierTool tool;
    EXPECT_THROW_MSG(tool.train(data, tqClassifierTrainParamsBayesian()), InsufficientTrainData,
                     "No valid data was provided for training.");
    tqClassifierTrainParamsBayesian lenient;
    lenient.throwIfNotReady(false);
    tool.train(data, lenient);
    EXPECT_FALSE(tool.isTrained());
}

// Category 0 is a unit Gaussian around 0, category 1 one around mu. At x the two
// log-likelihoods are -10 and -12.
TEST(BayesClassifier, MatchScoresAreLikelihoodRatiosToTheBest) {
    const double c = 0.5 * kLog2Pi, x = std::sqrt(2 * (10 - c)), mu = x + std::sqrt(2 * (12 - c));
    tqClassifierTool tool;
    tool.train(table({{-1, 0}, {mu - 1, 1}, {1, 0}, {mu + 1, 1}}), tqClassifierTrainParamsBayesian());
    tqClassifierResult result;
    tool.run(P({x}), result);
    ASSERT_EQ(result.categoryResults().size(), 2u);
    const tqClassifierCategoryResult& first = result.categoryResults()[0];
    EXPECT_EQ(first.categoryLabel(), 0);
    EXPECT_EQ(first.matchScore(), 1.0);
    EXPECT_NEAR(result.categoryResults()[1].matchScore(), std::exp(-2.0), 1e-6);
    EXPECT_NEAR(result.matchScoreFactorLog(), 10.0, 1e-6);
    EXPECT_NEAR(first.classScore(), 1 / (1 + std::exp(-2.0)), 1e-6);
    EXPECT_NEAR(first.expectedCost(), result.categoryResults()[1].classScore(), 1e-15);
}

// Two well separated classes and a pattern nearer the first: weighting the second by its
// prior, or making the first decision expensive, turns the decision without new training.
TEST(BayesClassifier, RetrainingWithNewPriorsOrCostsChangesTheDecision) {
    tqClassifierTool tool;
    tool.train(
        table({{0, 0, 0}, {1, 1, 0}, {0, 1, 0}, {1, 0, 0}, {3, 3, 1}, {4, 4, 1}, {3, 4, 1}, {4, 3, 1}}),
        tqClassifierTrainParamsBayesian());
    const tqFeaturePattern x = P({1.8, 1.8});
    tqClassifierResult before, r;
    tool.run(x, before);
    EXPECT_EQ(before.categoryResults()[0].categoryLabel(), 0);
    const double ratio = before.categoryResults()[1].matchScore();
    ASSERT_GT(ratio, 0.0);

    tqClassifierFrequencies priors;
    priors.categoryFrequencyOverride(1, 2.0 / ratio);
    tool.retrain(tqClassifierTrainParamsBayesian(DT(), priors));
    tool.run(x, r);
    EXPECT_EQ(r.categoryResults()[0].categoryLabel(), 1);
    EXPECT_NEAR(r.categoryResults()[0].classScore(), 2.0 / 3.0, 1e-9);
    tqClassifierCosts costs;
    costs.misclassificationCostOverride(1, 0, 3.0 / ratio);  // deciding 0 when 1 is true
    tool.retrain(tqClassifierTrainParamsBayesian(DT(), 1.0, costs));
    tool.run(x, r);
    EXPECT_EQ(r.categoryResults()[0].categoryLabel(), 1);

    tool.retrain(tqClassifierTrainParamsBayesian());
    EXPECT_THROW_MSG(tool.retrain(tqClassifierTrainParamsBayesian(DT(DT::eBinomial))), BadParams,
                     "Cannot retrain a Bayesian classifier with different distribution types.");
    EXPECT_THROW_MSG(tool.retrain(tqClassifierTrainParamsBayesian(DT(), 1.0, 1.0, P({2.0}))), BadParams,
                     "Cannot retrain a Bayesian classifier with different maximum measurements values.");
    tool.run(x, r);
    EXPECT_EQ(r, before);
}

// Patterns with missing measurements stay out of the estimate of a jointly modelled group;
// in running, missing measurements are marginalised, so a pattern whose only informative
// measurement is missing is decided by the other one.
TEST(BayesClassifier, MissingMeasurementsInTrainingAndRunning) {
    DT t;
    t.setDependent(0, {0, 1});
    t.setDependent(1, {0, 1});
    const tqClassifierTrainParamsBayesian params(t);
    std::vector<std::vector<double>> rows = {{0, 0, 0}, {1, 10, 0}, {2, 5, 0},
                                             {5, 0, 1}, {6, 10, 1}, {5, 5, 1}};
    const tq_ClassifierBayesian clean = trained(table(rows), params);
    rows.push_back({0, NAN, 0});
    rows.push_back({NAN, 5, 1});
    const tq_ClassifierBayesian c = trained(table(rows), params);
    EXPECT_EQ(c, clean);
    tqClassifierResult a, b;
    c.run(P({1, 0}, {1}), a, nullptr, 0);
    EXPECT_EQ(a.categoryResults()[0].categoryLabel(), 0);
    c.run(P({0, 5}, {0}), b, nullptr, 0);
    EXPECT_NEAR(b.categoryResults()[0].classScore(), 0.5, 1e-9);  // both categories alike in measurement 1
    c.run(P({}), b, nullptr, 0);
    EXPECT_EQ(b.matchScoreFactorLog(), 0.0);

    // With singleton groups the valid measurement of an incomplete pattern does count.
    const tq_ClassifierBayesian single = trained(table(rows));
    const double v = (0.75 * 0.75 + 0.25 * 0.25 + 0.75 * 0.75 + 1.25 * 1.25) / 4;  // of 0, 1, 2, 0
    EXPECT_LOG_NEAR(model(single, 0).matchScore(P({0, 0}, {1}), nullptr, 0),
                    -0.5 * (kLog2Pi + std::log(v)) - 0.75 * 0.75 / (2 * v));
}

TEST(BayesClassifier, BinomialMeasurementsThroughTheTool) {
    DT t;
    t.distributionTypeOverride(0, 1, DT::eBinomial);
    t.distributionTypeOverride(1, 1, DT::eBinomial);
    tqClassifierTool tool;
    const tqClassifierTrainParamsBayesian params(t, 1.0, 1.0, P({0, 10}));
    tool.train(table({{0.0, 2, 0},
                      {0.5, 3, 0},
                      {1.0, 1, 0},
                      {0.2, 2, 0},
                      {0.1, 8, 1},
                      {0.4, 9, 1},
                      {0.9, 7, 1},
                      {0.6, 8, 1}}),
               params);
    tqClassifierResult r;
    tool.run(P({0.5, 2}), r);
    EXPECT_EQ(r.categoryResults()[0].categoryLabel(), 0);
    tool.run(P({0.5, 8}), r);
    EXPECT_EQ(r.categoryResults()[0].categoryLabel(), 1);
    EXPECT_THROW(tool.run(P({0.5, 11}), r), BadParams);
    EXPECT_THROW(tool.train(table({{0, 11, 0}}), params), BadParams);
}

// ---- copies and archives -----------------------------------------------------------------

TEST(BayesArchive, CloneLoadedAndGoldenToolsClassifyIdentically) {
    std::vector<tqPair<double>> a = {{0, 1}, {2, 1}, {1, 0.5}}, b = {{1, 1}, {0, 2}, {1.5, 0.5}},
                                c = {{3, 1}, {1, 1}, {0, 1}};
    DT t;
    t.setDependent(1, {2, 0});
    tqClassifierFrequencies f;
    f.categoryFrequencyOverride(2, 0.5);
    tqClassifierCosts costs;
    costs.misclassificationCostOverride(0, 1, 2.0);
    tqClassifierTool tool, loaded, golden;
    tool.train(tq_TotalDataGenerator(
                   {tq_ClassDataGenerator(a, 30), tq_ClassDataGenerator(b, 30), tq_ClassDataGenerator(c, 30)})
                   .generateData(),
               tqClassifierTrainParamsBayesian(t, f, costs));
    const tqClassifierTool copy(tool);
    EXPECT_TRUE(tqtest::roundTrips(tool, loaded));
    const std::string bytes = tqtest::storeBytes(tool);
    EXPECT_TRUE(tqtest::matchesGolden("bayes_tool.bin", bytes));
    tqtest::loadBytes(tqtest::readFile(tqtest::goldenPath("bayes_tool.bin")), golden);
    EXPECT_EQ(golden, tool);
    tqRandomGaussian g(7);
    for (int i = 0; i < 40; ++i) {
        const tqFeaturePattern x({g.next(1, 2), g.next(1, 2), g.next(0.5, 1)},
                                 i % 5 == 1 ? std::vector<long>{i % 3} : std::vector<long>{});
        tqClassifierResult expected, r;
        tool.run(x, expected);
        for (const tqClassifierTool* other : std::vector<const tqClassifierTool*>{&copy, &loaded, &golden}) {
            other->run(x, r);
            EXPECT_EQ(r, expected);
        }
    }
    for (std::size_t cut = 0; cut < bytes.size(); cut += 13) {
        tqClassifierTool target;
        EXPECT_THROW(tqtest::loadBytes(bytes.substr(0, cut), target), tqException) << cut;
    }
}

// ---- real data -----------------------------------------------------------------------------

// Gaussian naive Bayes written out directly: per class and measurement the mean and the
// variance divided by the count, equal priors, decision by the largest log posterior.
long naiveBayes(const std::vector<std::vector<double>>& x, const std::vector<long>& y,
                const std::vector<std::size_t>& rows, const std::vector<double>& probe) {
    std::map<long, std::vector<double>> sum, sq;
    std::map<long, double> n;
    for (std::size_t r : rows) {
        sum[y[r]].resize(4), sq[y[r]].resize(4), n[y[r]] += 1;
        for (int j = 0; j < 4; ++j) sum[y[r]][j] += x[r][j], sq[y[r]][j] += x[r][j] * x[r][j];
    }
    long best = -1;
    double bestScore = -std::numeric_limits<double>::infinity();
    for (const auto& entry : sum) {
        double score = 0;
        for (int j = 0; j < 4; ++j) {
            const double mean = entry.second[j] / n[entry.first];
            const double var = sq[entry.first][j] / n[entry.first] - mean * mean;
            score += -0.5 * std::log(2 * M_PI * var) - (probe[j] - mean) * (probe[j] - mean) / (2 * var);
        }
        if (score > bestScore) bestScore = score, best = entry.first;
    }
    return best;
}

TEST(BayesRealData, IrisDecisionsAgreeWithNaiveBayes) {
    std::vector<std::vector<double>> x;
    std::vector<long> y;
    std::ifstream in(tqtest::goldenPath("iris.csv"));
    std::string line, name;
    std::map<std::string, long> species;
    for (std::getline(in, line); std::getline(in, line);) {  // after the header
        std::replace(line.begin(), line.end(), ',', ' ');
        std::istringstream s(line);
        std::vector<double> row(4);
        if (!(s >> row[0] >> row[1] >> row[2] >> row[3] >> name)) continue;
        x.push_back(row);
        y.push_back(species.emplace(name, static_cast<long>(species.size())).first->second);
    }
    ASSERT_EQ(x.size(), 150u);
    int compared = 0, correct = 0;
    for (std::size_t fold = 0; fold < 5; ++fold) {
        std::vector<std::size_t> trainRows;
        tqClassifierDataProviderMemory data;
        for (std::size_t r = 0; r < x.size(); ++r)
            if (r % 5 != fold) {
                trainRows.push_back(r);
                data.addData(tqPtrHandle_const<tqFeaturePattern>(new tqFeaturePattern(x[r])), y[r]);
            }
        tqClassifierTool tool;
        tool.train(data, tqClassifierTrainParamsBayesian());
        for (std::size_t r = fold; r < x.size(); r += 5, ++compared) {
            tqClassifierResult result;
            tool.run(tqFeaturePattern(x[r]), result);
            const long decided = result.categoryResults()[0].categoryLabel();
            EXPECT_EQ(decided, naiveBayes(x, y, trainRows, x[r])) << "row " << r;
            correct += decided == y[r];
        }
    }
    EXPECT_EQ(compared, 150);
    EXPECT_GE(correct, 140);  // held-out accuracy of naive Bayes on these data is about 95 %
}

// Non-finite valid measurements and unusable binomial inputs are refused with a clear error
// (they used to poison a category, give NaN, or surface as a bare kernel status).
TEST(BayesClassifier, RefusesNonFiniteMeasurementsAndBinomialEdges) {
    using BadFeatures = tqClassifierDefs::BadFeatures;
    const double inf = std::numeric_limits<double>::infinity();
    tqClassifierTool tool;
    for (double bad : {inf, -inf})
        EXPECT_THROW(tool.train(table({{0.0, 0}, {bad, 1}}), tqClassifierTrainParamsBayesian()), BadFeatures);
    EXPECT_FALSE(tool.isTrained());
    tool.train(table({{0.0, 0}, {1.0, 0}, {5.0, 1}, {6.0, 1}}), tqClassifierTrainParamsBayesian());
    tqClassifierResult r;
    EXPECT_THROW(tool.run(P({inf}), r), BadFeatures);
    tool.run(P({0.5}), r);
    EXPECT_EQ(r.categoryResults()[0].categoryLabel(), 0);

    DT t;
    t.distributionTypeOverride(0, 0, DT::eBinomial);
    const tqClassifierTrainParamsBayesian zeroMax(t, 1.0, 1.0, P({0}));
    EXPECT_THROW(tool.train(table({{0, 0}, {0, 0}}), zeroMax), BadParams);
    const tqClassifierTrainParamsBayesian tenMax(t, 1.0, 1.0, P({10}));
    EXPECT_THROW(tool.train(table({{-1, 0}, {3, 0}}), tenMax), BadFeatures);
    tool.train(table({{2, 0}, {3, 0}, {5, 0}}), tenMax);
    EXPECT_THROW(tool.run(P({-1}), r), BadFeatures);
}

}  // namespace
