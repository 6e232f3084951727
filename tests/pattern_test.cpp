// Feature patterns: construction checks, validity rules, equality and the archive form.
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "clss/clastool/clastool.h"
#include "test_support.h"

namespace {

using Defs = tqClassifierDefs;
using tqtest::raises;
const char* const kNegativeIndex = "Feature measurement indices must be >= 0";
const char* const kIndexPastEnd = "Feature measurement indices must be < number of features";
const char* const kNotValid = "The measurement for the specified measurement index is not valid.";

TEST(FeaturePattern, ValidityIndicesAndRefusedCalls) {
    const tqFeaturePattern p({1.0, 2.0, 3.0}, {1});
    EXPECT_FALSE(p.isValid(1));
    EXPECT_FALSE(p.isValid(3));
    EXPECT_EQ(p.featureMeasurement(1, false), 2.0);  // the stored value of an invalid measurement
    EXPECT_EQ(p.featureMeasurement(5, false), 0.0);  // beyond the end
    EXPECT_EQ(p.featureMeasurements(false), (std::vector<double>{1.0, 2.0, 3.0}));
    // Repeats collapse and the indices come back sorted.
    const tqFeaturePattern unordered({1.0, 2.0, 3.0, 4.0}, {3, 0, 3, 2});
    EXPECT_EQ(unordered.invalidFeatureIndices(), (std::vector<long>{0, 2, 3}));
    EXPECT_EQ(unordered.numInvalid(), 3);
    tqtest::expectRefusals({
        {[&] { p.isValid(-1); }, raises<Defs::BadIndex>, kNegativeIndex},
        {[&] { p.featureMeasurement(1, true); }, raises<Defs::BadFeatures>, kNotValid},
        {[&] { p.featureMeasurement(3, true); }, raises<Defs::BadFeatures>, kNotValid},
        {[&] { p.featureMeasurement(-1, false); }, raises<Defs::BadIndex>, kNegativeIndex},
        {[&] { p.featureMeasurements(true); }, raises<Defs::BadFeatures>,
         "Access to full feature vector requires that all features are valid."},
        // Each invalid index is checked in order.
        {[] { tqFeaturePattern({1.0}, {-1, 1}); }, raises<Defs::BadIndex>, kNegativeIndex},
        {[] { tqFeaturePattern({1.0}, {1, -1}); }, raises<Defs::BadIndex>, kIndexPastEnd},
        {[] { tqFeaturePattern({}, {0}); }, raises<Defs::BadIndex>, kIndexPastEnd},
    });
}

TEST(FeaturePattern, EqualityComparesValuesAndFlagsAndCopiesKeepTheirOwnCount) {
    const tqFeaturePattern a({1.0, 2.0, 3.0}, {1});
    EXPECT_TRUE(a == tqFeaturePattern({1.0, 2.0, 3.0}, {1}));
    EXPECT_TRUE(a != tqFeaturePattern({1.0, 9.0, 3.0}, {1}));  // the stored invalid value counts
    EXPECT_TRUE(a != tqFeaturePattern({1.0, 2.0, 3.0}, {2}));
    EXPECT_TRUE(a != tqFeaturePattern({1.0, 2.0}, {1}));
    const tqFeaturePattern withNaN({std::numeric_limits<double>::quiet_NaN()});
    EXPECT_TRUE(withNaN != withNaN);

    tqPtrHandle<tqFeaturePattern> original(new tqFeaturePattern(a));
    tqPtrHandle<tqFeaturePattern> held(new tqFeaturePattern({7.0}));
    *held = *original;  // assignment copies the values, not the count
    EXPECT_TRUE(*held == a);
    EXPECT_EQ(held->refCount(), 1);
    EXPECT_EQ(tqFeaturePattern(*original).refCount(), 0);
}

// --- archive ---------------------------------------------------------------------------------

TEST(FeaturePatternArchive, RefusesUnknownVersionTruncationAndMismatchedFlags) {
    tqFeaturePattern p({1.5, 2.5}, {1});
    const std::string good = tqtest::storeBytes(static_cast<tqPersistent&>(p));
    auto make = [] { return tqFeaturePattern({9.0}); };
    tqtest::expectArchiveRefusals(good, make, {{0, "", 0}});

    // Measurements of a two-measurement pattern followed by the flags of a three-measurement one.
    tqFeaturePattern longer({1.5, 2.5, 3.5});
    const std::string other = tqtest::storeBytes(static_cast<tqPersistent&>(longer));
    const std::string first = tqtest::f64(1.5);
    const std::size_t start = good.find(first) - 9;
    ASSERT_EQ(other.find(first) - 9, start);
    tqFeaturePattern target = make();
    EXPECT_THROW(tqtest::loadBytes(good.substr(0, start + 9 + 16) + other.substr(start + 9 + 24), target),
                 tqException);
    EXPECT_TRUE(target == make());
}

TEST(FeaturePatternArchive, GoldenLoadsEqual) {
    tqPtrHandle_const<tqFeaturePattern> p(new tqFeaturePattern({0.25, -1.0, 3.0, 1e-300}, {1, 3}));
    ASSERT_TRUE(tqtest::matchesGolden("pattern.bin", tqtest::storeBytes(p)));
    tqPtrHandle_const<tqFeaturePattern> loaded;
    tqtest::loadBytes(tqtest::readFile(tqtest::goldenPath("pattern.bin")), loaded);
    ASSERT_FALSE(loaded.isNull());
    EXPECT_TRUE(*loaded == *p);
    EXPECT_EQ(loaded->refCount(), 1);
}

}  // namespace
