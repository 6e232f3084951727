// Data providers: adding and replacing data with their checks, sharing of patterns,
// equality and the archive form.
#include <string>
#include <vector>

#include "clss/clastool/clastool.h"
#include "test_support.h"

namespace {

using Defs = tqClassifierDefs;
using PatternHandle = tqPtrHandle_const<tqFeaturePattern>;

const char* const kLabelText = "Category labels must be >= 0 or unknown";
const char* const kAddSize =
    "Feature pattern must have the same number of measurements as the rest of the data.";
const char* const kDataSize = "Feature patterns must all have the same number of measurements";
const char* const kDataLengths =
    "The number of the feature patterns must be equal to the number of category labels";

PatternHandle pattern(std::vector<double> values, std::vector<long> invalid = {}) {
    return PatternHandle(new tqFeaturePattern(values, invalid));
}

tqClassifierDataProviderMemory sample() {
    tqClassifierDataProviderMemory d;
    d.setName("sample");
    d.setDescription("three labelled patterns");
    d.addData(pattern({1.0, 2.0, 3.0}), 0);
    d.addData(pattern({4.0, 5.0, 6.0}, {2}), 1);
    d.addData(pattern({7.0, 8.0, 9.0}), -1);
    return d;
}

TEST(DataProvider, AddDataChecksSizeThenLabelBeforeAppending) {
    tqClassifierDataProviderMemory d = sample();
    const tqClassifierDataProviderMemory before = d;
    EXPECT_THROW_MSG(d.addData(pattern({1.0, 2.0, 3.0}), -2), Defs::BadLabel, kLabelText);
    EXPECT_THROW_MSG(d.addData(pattern({1.0}), -5), Defs::BadFeatures, kAddSize);
    EXPECT_THROW(d.addData(PatternHandle(), 0), tqBadPointer);
    EXPECT_TRUE(d == before);

    // The first pattern goes in unchecked, but its label is still tested.
    tqClassifierDataProviderMemory fresh;
    EXPECT_THROW_MSG(fresh.addData(pattern({1.0}), -3), Defs::BadLabel, kLabelText);
    EXPECT_EQ(fresh.numPatterns(), 0);
    fresh.addData(PatternHandle(), 4);
    EXPECT_THROW(fresh.numMeasurements(), tqBadPointer);
}

TEST(DataProvider, DataChecksLengthsThenSizesThenLabelsBeforeReplacing) {
    tqClassifierDataProviderMemory d = sample();
    const tqClassifierDataProviderMemory before = d;
    const PatternHandle p3 = pattern({1.0, 2.0, 3.0});
    const PatternHandle p2 = pattern({1.0, 2.0});
    EXPECT_THROW_MSG(d.data({p3, p2}, {0}), Defs::BadFeatures, kDataLengths);
    EXPECT_THROW_MSG(d.data({p3, p2}, {0, -2}), Defs::BadFeatures, kDataSize);
    EXPECT_THROW(d.data({PatternHandle(), p3}, {0, 1}), tqBadPointer);
    EXPECT_THROW_MSG(d.data({p3, p3}, {0, -2}), Defs::BadLabel, kLabelText);
    EXPECT_TRUE(d == before);

    d.data({PatternHandle()}, {3});  // one pattern is taken without looking into it
    EXPECT_EQ(d.numPatterns(), 1);
    d.data({p2, p2}, {0, 5});
    EXPECT_EQ(d.numMeasurements(), 2);
    EXPECT_EQ(d.featurePattern(1).get(), p2.get());  // shared, not copied
    EXPECT_EQ(d.name(), "sample");                   // name and description stay
}

TEST(DataProvider, IndexChecksUseBothBounds) {
    const tqClassifierDataProviderMemory d = sample();
    for (long bad : {-1L, 3L}) {
        EXPECT_THROW_MSG(d.featurePattern(bad), Defs::BadIndex,
                         "Feature pattern index must be >=0 and < number of patterns.");
        EXPECT_THROW_MSG(d.categoryLabel(bad), Defs::BadIndex,
                         "Category label index must be >=0 and < number of patterns.");
    }
}

TEST(DataProvider, EqualityComparesPatternsByValueThenNamesAndLabels) {
    const tqClassifierDataProviderMemory a = sample();
    tqClassifierDataProviderMemory b = sample();  // distinct but equal pattern objects
    EXPECT_TRUE(a == b);
    b.setDescription("another");
    EXPECT_TRUE(a != b);
    b = a;
    b.data({a.featurePattern(0), a.featurePattern(1), a.featurePattern(2)}, {0, 1, 2});
    EXPECT_TRUE(a != b);
    b.data({a.featurePattern(1), a.featurePattern(0), a.featurePattern(2)}, {0, 1, -1});
    EXPECT_TRUE(a != b);

    tqClassifierDataProviderMemory withNull;
    withNull.addData(PatternHandle(), 0);
    tqClassifierDataProviderMemory withPattern;
    withPattern.addData(pattern({1.0}), 0);
    EXPECT_THROW((void)(withNull == withPattern), tqBadPointer);
    EXPECT_THROW((void)(withPattern == withNull), tqBadPointer);
}

// --- archive ---------------------------------------------------------------------------------

TEST(DataProviderArchive, RoundTripsSharedAndNullPatterns) {
    tqClassifierDataProviderMemory* raw = new tqClassifierDataProviderMemory(sample());
    raw->addData(raw->featurePattern(0), 4);  // one pattern reached twice
    tqPtrHandle<tqClassifierDataProvider> original(raw);
    tqPtrHandle<tqClassifierDataProvider> loaded;
    EXPECT_TRUE(tqtest::roundTrips(original, loaded));
    auto* back = dynamic_cast<const tqClassifierDataProviderMemory*>(loaded.get());
    ASSERT_NE(back, nullptr);
    EXPECT_EQ(back->featurePattern(0).get(), back->featurePattern(3).get());

    // A null pattern (allowed as the only one) round-trips as null.
    tqClassifierDataProviderMemory withNull;
    withNull.addData(PatternHandle(), 2);
    tqClassifierDataProviderMemory nullBack = sample();
    EXPECT_TRUE(tqtest::roundTrips(static_cast<tqPersistent&>(withNull), static_cast<tqPersistent&>(nullBack)));
    EXPECT_TRUE(nullBack.featurePattern(0).isNull());
}

TEST(DataProviderArchive, RefusesUnknownVersionsTruncationAndUnmatchedLabels) {
    tqClassifierDataProviderMemory d = sample();
    const std::string good = tqtest::storeBytes(static_cast<tqPersistent&>(d));
    for (std::size_t level : {0u, 1u}) {
        std::string bad = good;
        bad[level] = 1;
        tqClassifierDataProviderMemory target;
        try {
            tqtest::loadBytes(bad, static_cast<tqPersistent&>(target));
            ADD_FAILURE() << "accepted version 1 at level " << level;
        } catch (const tqArchive::UnknownVersion& e) {
            EXPECT_EQ(e.where(), "");
            EXPECT_EQ(e.line(), 0);
        }
    }
    for (std::size_t cut = 0; cut < good.size(); ++cut) {
        tqClassifierDataProviderMemory t;
        EXPECT_THROW(tqtest::loadBytes(good.substr(0, cut), static_cast<tqPersistent&>(t)), tqException)
            << "cut at " << cut;
    }

    // The label vector ends the stored form: replace it by one with a single label
    // (version byte, count 1, label 0; eight-byte little-endian integers).
    const std::size_t labelBytes = 1 + 8 + 3 * 8;
    const std::string oneLabel =
        std::string(1, '\0') + std::string("\x01\0\0\0\0\0\0\0", 8) + std::string(8, '\0');
    const std::string spliced = good.substr(0, good.size() - labelBytes) + oneLabel;
    tqClassifierDataProviderMemory t = sample();
    t.setName("kept");
    const tqClassifierDataProviderMemory before = t;
    EXPECT_THROW(tqtest::loadBytes(spliced, static_cast<tqPersistent&>(t)), tqException);
    EXPECT_TRUE(t == before);
}

TEST(DataProviderArchive, Golden) {
    tqPtrHandle<tqClassifierDataProvider> d(new tqClassifierDataProviderMemory(sample()));
    ASSERT_TRUE(tqtest::matchesGolden("provider.bin", tqtest::storeBytes(d)));
    tqPtrHandle<tqClassifierDataProvider> loaded;
    tqtest::loadBytes(tqtest::readFile(tqtest::goldenPath("provider.bin")), loaded);
    auto* back = dynamic_cast<const tqClassifierDataProviderMemory*>(loaded.get());
    ASSERT_NE(back, nullptr);
    EXPECT_TRUE(*back == sample());
}

}  // namespace
