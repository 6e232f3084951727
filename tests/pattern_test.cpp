// Feature patterns: construction checks, validity rules, equality and the archive form.
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "clss/clastool/clastool.h"
#include "test_support.h"

namespace {

using Defs = tqClassifierDefs;
const char* const kNegativeIndex = "Feature measurement indices must be >= 0";
const char* const kIndexPastEnd = "Feature measurement indices must be < number of features";
const char* const kNotValid = "The measurement for the specified measurement index is not valid.";

TEST(FeaturePattern, MeasurementAccessHonoursValidity) {
    const tqFeaturePattern p({1.0, 2.0, 3.0}, {1});
    EXPECT_FALSE(p.isValid(1));
    EXPECT_FALSE(p.isValid(3));
    EXPECT_THROW_MSG(p.isValid(-1), Defs::BadIndex, kNegativeIndex);
    EXPECT_EQ(p.featureMeasurement(1, false), 2.0);  // the stored value of an invalid measurement
    EXPECT_THROW_MSG(p.featureMeasurement(1, true), Defs::BadFeatures, kNotValid);
    EXPECT_EQ(p.featureMeasurement(5, false), 0.0);  // beyond the end
    EXPECT_THROW_MSG(p.featureMeasurement(3, true), Defs::BadFeatures, kNotValid);
    EXPECT_THROW_MSG(p.featureMeasurement(-1, false), Defs::BadIndex, kNegativeIndex);
    EXPECT_THROW_MSG(p.featureMeasurements(true), Defs::BadFeatures,
                     "Access to full feature vector requires that all features are valid.");
    EXPECT_EQ(p.featureMeasurements(false), (std::vector<double>{1.0, 2.0, 3.0}));
}

TEST(FeaturePattern, ConstructorChecksEachInvalidIndexInOrder) {
    EXPECT_THROW_MSG(tqFeaturePattern({1.0}, {-1, 1}), Defs::BadIndex, kNegativeIndex);
    EXPECT_THROW_MSG(tqFeaturePattern({1.0}, {1, -1}), Defs::BadIndex, kIndexPastEnd);
    EXPECT_THROW_MSG(tqFeaturePattern({}, {0}), Defs::BadIndex, kIndexPastEnd);
    // Repeats collapse and the indices come back sorted.
    const tqFeaturePattern unordered({1.0, 2.0, 3.0, 4.0}, {3, 0, 3, 2});
    EXPECT_EQ(unordered.invalidFeatureIndices(), (std::vector<long>{0, 2, 3}));
    EXPECT_EQ(unordered.numInvalid(), 3);
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

std::string doubleBytes(double v) {
    std::string bytes(sizeof v, '\0');
    std::memcpy(&bytes[0], &v, sizeof v);  // the archive is little-endian, like the test hosts
    return bytes;
}

TEST(FeaturePatternArchive, RefusesUnknownVersionTruncationAndMismatchedFlags) {
    tqFeaturePattern p({1.5, 2.5}, {1});
    const std::string good = tqtest::storeBytes(static_cast<tqPersistent&>(p));
    std::string badVersion = good;
    badVersion[0] = 1;
    tqFeaturePattern target({9.0});
    try {
        tqtest::loadBytes(badVersion, static_cast<tqPersistent&>(target));
        ADD_FAILURE() << "accepted version 1";
    } catch (const tqArchive::UnknownVersion& e) {
        EXPECT_EQ(e.where(), "");
        EXPECT_EQ(e.line(), 0);
    }
    EXPECT_TRUE(target == tqFeaturePattern({9.0}));

    for (std::size_t cut = 0; cut < good.size(); ++cut) {
        tqFeaturePattern t;
        EXPECT_THROW(tqtest::loadBytes(good.substr(0, cut), static_cast<tqPersistent&>(t)), tqException)
            << "cut at " << cut;
    }

    // Measurements of a two-measurement pattern followed by the flags of a three-measurement one.
    tqFeaturePattern longer({1.5, 2.5, 3.5});
    const std::string other = tqtest::storeBytes(static_cast<tqPersistent&>(longer));
    const std::size_t start = good.find(doubleBytes(1.5)) - 9;
    ASSERT_EQ(other.find(doubleBytes(1.5)) - 9, start);
    const std::string spliced = good.substr(0, start + 9 + 16) + other.substr(start + 9 + 24);
    EXPECT_THROW(tqtest::loadBytes(spliced, static_cast<tqPersistent&>(target)), tqException);
    EXPECT_TRUE(target == tqFeaturePattern({9.0}));
}

TEST(FeaturePatternArchive, GoldenAndEmptyRoundTrip) {
    tqPtrHandle_const<tqFeaturePattern> p(new tqFeaturePattern({0.25, -1.0, 3.0, 1e-300}, {1, 3}));
    ASSERT_TRUE(tqtest::matchesGolden("pattern.bin", tqtest::storeBytes(p)));
    tqPtrHandle_const<tqFeaturePattern> loaded;
    tqtest::loadBytes(tqtest::readFile(tqtest::goldenPath("pattern.bin")), loaded);
    ASSERT_FALSE(loaded.isNull());
    EXPECT_TRUE(*loaded == *p);
    EXPECT_EQ(loaded->refCount(), 1);

    tqFeaturePattern empty;
    tqFeaturePattern emptyLoaded({1.0}, {0});
    EXPECT_TRUE(tqtest::roundTrips(static_cast<tqPersistent&>(empty), static_cast<tqPersistent&>(emptyLoaded)));
    EXPECT_TRUE(emptyLoaded == empty);
}

}  // namespace
