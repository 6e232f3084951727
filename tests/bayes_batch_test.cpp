// Batch classification of the Bayesian technique against single runs, bit for bit, on random
// data: the batch path rates whole blocks of rows column by column, so any difference in the
// order of its sums, in what it precomputes, or in its handling of invalid measurements shows.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "clss/clastool/clastool.h"
#include "tests/test_support.h"

namespace {

using DT = tqClassifierDistributionTypes;

constexpr std::size_t kMeasurements = 6;

// Class scores alone give the class scores of batch results, bit for bit, in the caller's
// column order (here reversed labels and a label no category has, which scores 0).
void expectScoresOfResults(const tqClassifierTool& tool, const tqPatternRows& view,
                           const std::vector<tqClassifierResult>& results, const char* what) {
    const std::vector<long> columns = {99, 4, 3, 2, 1, 0};
    std::vector<double> scores(view.rows * columns.size(), -1.0);
    tool.runBatchScores(view, columns.data(), columns.size(), scores.data());
    for (std::size_t r = 0; r < view.rows; ++r) {
        std::vector<double> expected(columns.size(), 0.0);
        for (const auto& entry : results[r].categoryResults())
            expected[static_cast<std::size_t>(5 - entry.categoryLabel())] = entry.classScore();
        for (std::size_t c = 0; c < columns.size(); ++c)
            ASSERT_EQ(tqtest::f64(scores[r * columns.size() + c]), tqtest::f64(expected[c]))
                << what << ", row " << r << ", column " << c;
    }
}

// What a single run gives: the result's bytes, or the error.
std::string single(const tqClassifierTool& tool, const tqFeaturePattern& pattern) {
    try {
        tqClassifierResult result;
        tool.run(pattern, result);
        return tqtest::storeBytes(result);
    } catch (const tqException& e) {
        return std::string("error: ") + e.what();
    }
}

struct BatchCase {
    const char* name;
    bool jointGroup;    // measurements 0, 2 and 4 of every category modelled together
    bool binomial;      // measurement 5 of category 1 binomial, counts of at most 10
    bool degenerate;    // measurement 3 constant in training, category 4 from one pattern
    std::size_t width;  // the rows' dimension: short rows read the measurements beyond as invalid
};

class BayesBatch : public ::testing::TestWithParam<BatchCase> {};

TEST_P(BayesBatch, RowsRateAsSingleRunsBitForBit) {
    const BatchCase& setup = GetParam();
    std::mt19937 random(17);
    std::normal_distribution<double> normal;
    std::uniform_int_distribution<int> count(0, 10);
    tqClassifierDataProviderMemory data;
    for (long i = 0; i < 6400; ++i) {
        const long label = setup.degenerate && i % 100 == 0 && i > 0 ? 4 : i % 4;
        if (label == 4 && i != 100) continue;
        std::vector<double> m(kMeasurements);
        for (std::size_t j = 0; j < kMeasurements; ++j) m[j] = normal(random) * (1.0 + j) + label * 0.7;
        if (setup.degenerate) m[3] = 273.15;
        if (setup.binomial) m[5] = count(random);
        // Training learns the rows of a category in blocks of 512: the first fixes the counts,
        // the next are complete (the measurements alike), the last have invalid measurements.
        std::vector<long> invalid;
        if (i % 7 == 3 && i >= 5600) invalid.push_back(i % static_cast<long>(kMeasurements));
        data.addData(tqPtrHandle_const<tqFeaturePattern>(new tqFeaturePattern(m, invalid)), label);
    }
    DT types;
    if (setup.jointGroup)
        for (long k = 0; k < 5; ++k) types.setDependent(k, {4, 0, 2});
    if (setup.binomial) types.distributionTypeOverride(1, 5, DT::eBinomial);
    const tqClassifierTrainParamsBayesian params(types, tqClassifierFrequencies(1.0), tqClassifierCosts(1.0),
                                                 tqFeaturePattern(std::vector<double>(kMeasurements, 10.0)));
    tqClassifierTool tool;
    tool.train(data, params);
    tq_ClassifierBayesian classifier;
    classifier.train(data, params, nullptr, 0);

    // Training learns as pattern after pattern would, bit for bit.
    for (const auto& handle : classifier.categoryModels()) {
        const auto& model = dynamic_cast<const tq_CategoryModelBayesian&>(*handle);
        std::vector<DT::DistributionType> groupTypes;
        for (const auto& pdf : model.pdfs())
            groupTypes.push_back(dynamic_cast<const tq_PDFBinomial*>(pdf.get()) ? DT::eBinomial : DT::eNormal);
        tq_CategoryModelBayesian oneByOne(model.categoryLabel(), model.groups(), groupTypes,
                                          params.maxMeasurementValues());
        for (long i = 0; i < data.numPatterns(); ++i)
            if (data.categoryLabel(i) == model.categoryLabel()) oneByOne.adapt(*data.featurePattern(i), nullptr, 0);
        for (std::size_t g = 0; g < model.pdfs().size(); ++g)
            ASSERT_TRUE(model.pdfs()[g]->isEquivalent(*oneByOne.pdfs()[g])) << "category " << model.categoryLabel();
    }

    // More rows than two blocks, a stride beyond the dimension, about one measurement in six
    // invalid (holding NaN, which must not be read), values far out in the tails too.
    const std::size_t rows = 700, stride = setup.width + 1;
    std::vector<double> values(rows * stride, std::numeric_limits<double>::quiet_NaN());
    std::vector<unsigned char> validity(rows * stride, 1);
    std::uniform_int_distribution<int> sixth(0, 5);
    for (std::size_t r = 0; r < rows; ++r)
        for (std::size_t j = 0; j < setup.width; ++j) {
            if (sixth(random) == 0) {
                validity[r * stride + j] = 0;
                continue;
            }
            values[r * stride + j] = setup.binomial && j == 5 ? count(random)
                                                             : normal(random) * (r % 50 == 0 ? 1e3 : 3.0);
        }
    std::vector<tqClassifierResult> results(rows);
    const tqPatternRows view{values.data(), validity.data(), rows, setup.width, stride};
    tool.runBatch(view, results.data());
    for (std::size_t r = 0; r < rows; ++r)
        ASSERT_EQ(tqtest::storeBytes(results[r]), single(tool, view.pattern(r))) << "row " << r;
    expectScoresOfResults(tool, view, results, "Bayes");
    // The data object's form packs its patterns a block of rows at a time, validity and all.
    std::vector<tqClassifierResult> packed = tool.runBatch(data);
    for (long i = 0; i < data.numPatterns(); i += 3)
        ASSERT_EQ(tqtest::storeBytes(packed[static_cast<std::size_t>(i)]), single(tool, *data.featurePattern(i)))
            << "stored pattern " << i;

    // The base class's scores for every technique, here k-nearest-neighbour's batch results
    // over the rows without a validity array, every row complete.
    for (std::size_t i = 0; i < values.size(); ++i)
        if (std::isnan(values[i])) values[i] = 0.5;
    const tqPatternRows complete{values.data(), nullptr, rows, setup.width, stride};
    tqClassifierDataProviderMemory stored;
    for (std::size_t r = 0; r < 200; ++r)
        stored.addData(tqPtrHandle_const<tqFeaturePattern>(new tqFeaturePattern(complete.pattern(r))),
                       static_cast<long>(r % 4));
    tqClassifierTool knn;
    knn.train(stored, tqClassifierTrainParamsKNN(3));
    knn.runBatch(complete, results.data());
    expectScoresOfResults(knn, complete, results, "KNN");
}

INSTANTIATE_TEST_SUITE_P(Models, BayesBatch,
                         ::testing::Values(BatchCase{"JointGroup", true, false, false, kMeasurements},
                                           BatchCase{"Binomial", false, true, false, kMeasurements},
                                           BatchCase{"Degenerate", true, false, true, kMeasurements},
                                           BatchCase{"DegenerateIndependent", false, false, true, kMeasurements},
                                           BatchCase{"ShortRows", true, false, false, kMeasurements - 2}),
                         [](const ::testing::TestParamInfo<BatchCase>& p) { return p.param.name; });

// A row that fails stops the batch with the error its single run gives, after the results of
// the rows before it; the failing row lies inside a block, so the block is not all rated.
TEST(BayesBatch, AFailingRowStopsAfterTheRowsBeforeIt) {
    std::vector<tq_ClassDataGenerator> classes;
    for (int c = 0; c < 3; ++c) classes.emplace_back(std::vector<tqPair<double>>(2, {c * 1.0, 1.0}), 50);
    tqClassifierTool tool;
    tool.train(tq_TotalDataGenerator(classes).generateData(), tqClassifierTrainParamsBayesian());
    std::vector<double> values(2 * 400, 0.25);
    values[2 * 300 + 1] = std::numeric_limits<double>::infinity();
    const tqPatternRows view{values.data(), nullptr, 400, 2, 2};
    std::vector<tqClassifierResult> results(400);
    EXPECT_THROW_MSG(tool.runBatch(view, results.data()), tqClassifierDefs::BadFeatures,
                     "The pattern: measurement 1 is valid but not a finite number.");
    const std::string expected = single(tool, view.pattern(0));
    for (std::size_t r = 0; r < 300; ++r) ASSERT_EQ(tqtest::storeBytes(results[r]), expected) << r;
    EXPECT_TRUE(results[300].categoryResults().empty());
    std::vector<double> scores(3 * 400, -1.0);
    const long columns[] = {0, 1, 2};
    EXPECT_THROW(tool.runBatchScores(view, columns, 3, scores.data()), tqClassifierDefs::BadFeatures);
    for (const auto& entry : results[0].categoryResults())
        for (std::size_t r = 0; r < 300; ++r)
            ASSERT_EQ(scores[3 * r + static_cast<std::size_t>(entry.categoryLabel())], entry.classScore()) << r;
    EXPECT_EQ(scores[3 * 300], -1.0);
    // A row shorter than the trained patterns: its missing measurements are invalid, as alone.
    const double first = 0.25;
    tqClassifierResult shortRow;
    tool.runBatch(tqPatternRows{&first, nullptr, 1, 1, 1}, &shortRow);
    EXPECT_EQ(tqtest::storeBytes(shortRow), single(tool, tqFeaturePattern({first})));
    // Bad calls as runBatch's, and repeated column labels.
    const double row[2] = {0.0, 0.0};
    const long repeated[] = {1, 1};
    double out[2];
    EXPECT_THROW(tool.runBatchScores(tqPatternRows{row, nullptr, 1, 2, 2}, repeated, 2, out), tqClassifierDefs::BadParams);
    EXPECT_THROW(tool.runBatchScores(tqPatternRows{row, nullptr, 1, 2, 2}, repeated, 1, nullptr),
                 tqClassifierDefs::BadParams);
    EXPECT_THROW(tqClassifierTool().runBatchScores(tqPatternRows{row, nullptr, 1, 2, 2}, repeated, 1, out),
                 tqClassifierDefs::NotTrained);
}

}  // namespace
