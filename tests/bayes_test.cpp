// Bayesian category models and the Bayesian classifier, alone and through the tool (the
// properties over real data, transformed data and unusable input are in
// bayes_invariance_test.cpp).
#include <gtest/gtest.h>

#include <cmath>

#include "clss/clastool/clastool.h"
#include "platform/random.h"
#include "test_support.h"

namespace {

using DT = tqClassifierDistributionTypes;
using BadParams = tqClassifierDefs::BadParams;
using InsufficientTrainData = tqClassifierDefs::InsufficientTrainData;
using G = std::vector<std::vector<long>>;
const double kLog2Pi = std::log(2.0 * M_PI);

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
    EXPECT_EQ(tq_CategoryModelBayesian(1, {}, {}, P({})).matchScore(P({1.0, 2.0}), nullptr, 0), 0.0);

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
    EXPECT_EQ(model(c, 1).numMeasurements(), 6);
    EXPECT_EQ(model(c, 2).groups(), (G{{0}, {1}, {2}, {3}, {4}}));
    // Measurement 9 is invalid in every sub-pattern of {1, 9}: the group never sees a complete
    // record, and the tool's ready check names the category.
    tqClassifierTool tool;
    EXPECT_THROW_MSG(tool.train(data, tqClassifierTrainParamsBayesian(t)), InsufficientTrainData,
                     "No valid data has been used to train the distribution for category 0");
    EXPECT_FALSE(tool.isTrained());
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
    EXPECT_NEAR(first.classScore(), 1 / (1 + std::exp(-2.0)), 1e-12);

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

// Patterns with missing measurements stay out of the estimate of a jointly modelled group;
// in running, missing measurements are marginalised, so a pattern whose only informative
// measurement is missing is decided by the other one.
TEST(BayesClassifier, MissingMeasurementsInTrainingAndRunning) {
    DT t;
    t.setDependent(0, {0, 1});
    t.setDependent(1, {0, 1});
    std::vector<std::vector<double>> rows = {{0, 0, 0}, {1, 10, 0}, {2, 5, 0},
                                             {5, 0, 1}, {6, 10, 1}, {5, 5, 1}};
    const tq_ClassifierBayesian clean = trained(table(rows), tqClassifierTrainParamsBayesian(t));
    rows.push_back({0, NAN, 0});
    rows.push_back({NAN, 5, 1});
    const tq_ClassifierBayesian c = trained(table(rows), tqClassifierTrainParamsBayesian(t));
    EXPECT_EQ(c, clean);
    tqClassifierResult a, b;
    c.run(P({1, 0}, {1}), a, nullptr, 0);
    EXPECT_EQ(a.categoryResults()[0].categoryLabel(), 0);
    c.run(P({0, 5}, {0}), b, nullptr, 0);
    EXPECT_NEAR(b.categoryResults()[0].classScore(), 0.5, 1e-9);  // both categories alike in measurement 1
    // With singleton groups the valid measurement of an incomplete pattern does count.
    const double v = (0.75 * 0.75 + 0.25 * 0.25 + 0.75 * 0.75 + 1.25 * 1.25) / 4;  // of 0, 1, 2, 0
    EXPECT_NEAR(model(trained(table(rows)), 0).matchScore(P({0, 0}, {1}), nullptr, 0),
                -0.5 * (kLog2Pi + std::log(v)) - 0.75 * 0.75 / (2 * v), 1e-12);
}

// A copy and the golden archive's tool classify exactly alike; every 13th cut of the archive is
// refused.
TEST(BayesArchive, CloneLoadedAndGoldenToolsClassifyIdentically) {
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
    const tqClassifierTool copy(tool);
    EXPECT_TRUE(tqtest::archiveHolds("bayes_tool.bin", tool, golden, 13));
    EXPECT_EQ(golden, tool);
    tqRandomGaussian g(7);
    for (int i = 0; i < 40; ++i) {
        const tqFeaturePattern x({g.next(1, 2), g.next(1, 2), g.next(0.5, 1)},
                                 i % 5 == 1 ? std::vector<long>{i % 3} : std::vector<long>{});
        tqClassifierResult expected, r;
        tool.run(x, expected);
        for (const tqClassifierTool* other : {&copy, static_cast<const tqClassifierTool*>(&golden)}) {
            other->run(x, r);
            EXPECT_EQ(r, expected);
        }
    }
}

}  // namespace
