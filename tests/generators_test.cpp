// The synthetic data generators: determinism, caching and shared patterns.
#include <gtest/gtest.h>

#include <vector>

#include "clss/clastool/clastool.h"
#include "tests/test_support.h"

namespace {

std::vector<tqPair<double>> threeMeasurements() { return {{0.0, 1.0}, {5.0, 2.0}, {-3.0, 0.5}}; }

TEST(ClassDataGenerator, DrawsTheCountOfValidPatternsLabelledZero) {
    const tq_ClassDataGenerator generator(threeMeasurements(), 5);
    const tqClassifierDataProviderMemory data = generator.generateData();
    ASSERT_EQ(data.numPatterns(), 5);
    EXPECT_EQ(data.numMeasurements(), 3);
    for (long i = 0; i < 5; ++i) {
        EXPECT_EQ(data.categoryLabel(i), 0);
        EXPECT_EQ(data.featurePattern(i)->numInvalid(), 0);
    }
    // A second call hands out the very same pattern objects.
    const tqClassifierDataProviderMemory again = generator.generateData();
    for (long i = 0; i < 5; ++i) EXPECT_EQ(again.featurePattern(i).get(), data.featurePattern(i).get());
}

TEST(ClassDataGenerator, EqualParametersGiveEqualData) {
    const auto a = tq_ClassDataGenerator(threeMeasurements(), 4).generateData();
    const auto b = tq_ClassDataGenerator(threeMeasurements(), 4).generateData();
    EXPECT_TRUE(a == b);
    EXPECT_NE(a.featurePattern(0).get(), b.featurePattern(0).get());
    // The first pattern is the first three draws of a Gaussian generator seeded with 1.
    const std::vector<double> first{0x1.e267c87ac62ebp+0, 0x1.584abd879d0e2p+2, -0x1.2caa8da732aa1p+1};
    EXPECT_EQ(a.featurePattern(0)->featureMeasurements(true), first);
}

TEST(ClassDataGenerator, NothingToDrawGivesAnEmptySet) {
    EXPECT_EQ(tq_ClassDataGenerator(threeMeasurements(), 0).generateData().numPatterns(), 0);
    EXPECT_EQ(tq_ClassDataGenerator(threeMeasurements(), -2).generateData().numPatterns(), 0);
    EXPECT_EQ(tq_ClassDataGenerator().generateData().numPatterns(), 0);
}

TEST(TotalDataGenerator, LabelsByPositionAndShufflesReproducibly) {
    const std::vector<tq_ClassDataGenerator> classes{tq_ClassDataGenerator({{0, 1}}, 4),
                                                     tq_ClassDataGenerator({{10, 1}}, 6)};
    const tq_TotalDataGenerator total(classes);
    const tqClassifierDataProviderMemory data = total.generateData();
    ASSERT_EQ(data.numPatterns(), 10);
    long ones = 0;
    std::vector<long> labels;
    for (long i = 0; i < 10; ++i) {
        labels.push_back(data.categoryLabel(i));
        ones += data.categoryLabel(i);
        // Class 1 draws around 10, class 0 around 0.
        EXPECT_EQ(data.featurePattern(i)->featureMeasurement(0, true) > 5.0, data.categoryLabel(i) == 1);
    }
    EXPECT_EQ(ones, 6);
    EXPECT_EQ(labels, (std::vector<long>{1, 0, 0, 0, 1, 1, 1, 0, 1, 1}));
    // Another generator from the same classes gives the same order and values.
    EXPECT_TRUE(tq_TotalDataGenerator(classes).generateData() == data);
    // The total generator's data share the class generators' patterns.
    const tqClassifierDataProviderMemory again = total.generateData();
    for (long i = 0; i < 10; ++i) EXPECT_EQ(again.featurePattern(i).get(), data.featurePattern(i).get());
}

// The shuffle of a uniform generator seeded with 1, the same on every compiler.
TEST(TotalDataGenerator, ShuffleIsTheReferenceOrder) {
    const tq_ClassDataGenerator one({{0, 1}}, 7);
    const auto classData = one.generateData();
    const auto data = tq_TotalDataGenerator({one}).generateData();
    const std::vector<long> idx{6, 5, 1, 0, 2, 3, 4};
    for (long i = 0; i < 7; ++i)
        EXPECT_EQ(data.featurePattern(i).get(),
                  classData.featurePattern(idx[static_cast<std::size_t>(i)]).get());
}

TEST(TotalDataGenerator, DifferentLengthsFailAndLeaveTheCacheEmpty) {
    const tq_TotalDataGenerator total(
        {tq_ClassDataGenerator({{0, 1}}, 2), tq_ClassDataGenerator({{0, 1}, {0, 1}}, 2)});
    EXPECT_THROW_MSG(total.generateData(), tqClassifierDefs::BadFeatures,
                     "Feature pattern must have the same number of measurements as the rest of the data.");
    EXPECT_THROW(total.generateData(), tqClassifierDefs::BadFeatures);
}

}  // namespace
