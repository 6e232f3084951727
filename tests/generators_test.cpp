// The synthetic data generators: determinism, caching and shared patterns.
#include <gtest/gtest.h>

#include <vector>

#include "clss/clastool/clastool.h"
#include "tests/test_support.h"

namespace {

// Equal parameters draw equal data; the first pattern is the first three draws of a Gaussian
// generator seeded with 1, and a second call hands out the very same pattern objects.
TEST(ClassDataGenerator, DrawsTheReferenceValidPatternsLabelledZeroOnce) {
    const std::vector<tqPair<double>> three{{0.0, 1.0}, {5.0, 2.0}, {-3.0, 0.5}};
    const tq_ClassDataGenerator generator(three, 5);
    const tqClassifierDataProviderMemory data = generator.generateData(), again = generator.generateData();
    const tqClassifierDataProviderMemory other = tq_ClassDataGenerator(three, 5).generateData();
    ASSERT_EQ(data.numPatterns(), 5);
    EXPECT_EQ(data.numMeasurements(), 3);
    EXPECT_TRUE(other == data);
    EXPECT_NE(other.featurePattern(0).get(), data.featurePattern(0).get());
    EXPECT_EQ(data.featurePattern(0)->featureMeasurements(true),
              (std::vector<double>{0x1.e267c87ac62ebp+0, 0x1.584abd879d0e2p+2, -0x1.2caa8da732aa1p+1}));
    for (long i = 0; i < 5; ++i) {
        EXPECT_EQ(data.categoryLabel(i), 0);
        EXPECT_EQ(data.featurePattern(i)->numInvalid(), 0);
        EXPECT_EQ(again.featurePattern(i).get(), data.featurePattern(i).get());
    }
    for (const tq_ClassDataGenerator& none :
         {tq_ClassDataGenerator(three, 0), tq_ClassDataGenerator(three, -2), tq_ClassDataGenerator()})
        EXPECT_EQ(none.generateData().numPatterns(), 0);
}

// Labels follow the class generator's position; the shuffle is that of a uniform generator
// seeded with 1, the same on every compiler; the data share the class generators' patterns.
TEST(TotalDataGenerator, LabelsByPositionShufflesToTheReferenceOrderAndSharesPatterns) {
    const std::vector<tq_ClassDataGenerator> classes{tq_ClassDataGenerator({{0, 1}}, 4),
                                                     tq_ClassDataGenerator({{10, 1}}, 6)};
    const tq_TotalDataGenerator total(classes);
    const tqClassifierDataProviderMemory data = total.generateData(), again = total.generateData();
    ASSERT_EQ(data.numPatterns(), 10);
    std::vector<long> labels;
    for (long i = 0; i < 10; ++i) {
        labels.push_back(data.categoryLabel(i));
        // Class 1 draws around 10, class 0 around 0.
        EXPECT_EQ(data.featurePattern(i)->featureMeasurement(0, true) > 5.0, data.categoryLabel(i) == 1);
        EXPECT_EQ(again.featurePattern(i).get(), data.featurePattern(i).get());
    }
    EXPECT_EQ(labels, (std::vector<long>{1, 0, 0, 0, 1, 1, 1, 0, 1, 1}));
    EXPECT_TRUE(tq_TotalDataGenerator(classes).generateData() == data);

    const tq_ClassDataGenerator one({{0, 1}}, 7);
    const auto classData = one.generateData();
    const auto shuffled = tq_TotalDataGenerator({one}).generateData();
    const std::vector<long> idx{6, 5, 1, 0, 2, 3, 4};
    for (long i = 0; i < 7; ++i)
        EXPECT_EQ(shuffled.featurePattern(i).get(),
                  classData.featurePattern(idx[static_cast<std::size_t>(i)]).get());
}

// A failed call leaves the cache empty, so that the next call fails the same way.
TEST(TotalDataGenerator, DifferentLengthsFailEveryTime) {
    const tq_TotalDataGenerator total(
        {tq_ClassDataGenerator({{0, 1}}, 2), tq_ClassDataGenerator({{0, 1}, {0, 1}}, 2)});
    for (int call = 0; call < 2; ++call)
        EXPECT_THROW_MSG(
            total.generateData(), tqClassifierDefs::BadFeatures,
            "Feature pattern must have the same number of measurements as the rest of the data.");
}

}  // namespace
