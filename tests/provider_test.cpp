// Data providers: adding and replacing data with their checks, sharing of patterns,
// equality and the archive form.
#include <string>
#include <vector>

#include "clss/clastool/clastool.h"
#include "test_support.h"

namespace {

using Defs = tqClassifierDefs;
using PatternHandle = tqPtrHandle_const<tqFeaturePattern>;
using tqtest::raises;

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

// addData checks the size, then the label; data() the lengths, then the sizes, then the
// labels; all before any change.
TEST(DataProvider, RefusedCallsRaiseInOrderAndChangeNothing) {
    const char* const label = "Category labels must be >= 0 or unknown";
    const char* const sizes = "Feature patterns must all have the same number of measurements";
    tqClassifierDataProviderMemory d = sample();
    const tqClassifierDataProviderMemory before = d;
    const PatternHandle p3 = pattern({1.0, 2.0, 3.0}), p2 = pattern({1.0, 2.0});
    tqtest::expectRefusals({
        {[&] { d.addData(p3, -2); }, raises<Defs::BadLabel>, label},
        {[&] { d.addData(pattern({1.0}), -5); }, raises<Defs::BadFeatures>,
         "Feature pattern must have the same number of measurements as the rest of the data."},
        {[&] { d.addData(PatternHandle(), 0); }, raises<tqBadPointer>, "Attempt to follow an empty handle"},
        {[&] { d.data({p3, p2}, {0}); }, raises<Defs::BadFeatures>,
         "The number of the feature patterns must be equal to the number of category labels"},
        {[&] { d.data({p3, p2}, {0, -2}); }, raises<Defs::BadFeatures>, sizes},
        {[&] { d.data({PatternHandle(), p3}, {0, 1}); }, raises<tqBadPointer>,
         "Attempt to follow an empty handle"},
        {[&] { d.data({p3, p3}, {0, -2}); }, raises<Defs::BadLabel>, label},
        {[&] { d.featurePattern(-1); }, raises<Defs::BadIndex>,
         "Feature pattern index must be >=0 and < number of patterns."},
        {[&] { d.featurePattern(3); }, raises<Defs::BadIndex>,
         "Feature pattern index must be >=0 and < number of patterns."},
        {[&] { d.categoryLabel(-1); }, raises<Defs::BadIndex>,
         "Category label index must be >=0 and < number of patterns."},
        {[&] { d.categoryLabel(3); }, raises<Defs::BadIndex>,
         "Category label index must be >=0 and < number of patterns."},
    }, [&] { return d == before; });

    // The first pattern goes in unchecked, but its label is still tested.
    tqClassifierDataProviderMemory fresh;
    EXPECT_THROW_MSG(fresh.addData(pattern({1.0}), -3), Defs::BadLabel, label);
    EXPECT_EQ(fresh.numPatterns(), 0);
    fresh.addData(PatternHandle(), 4);
    EXPECT_THROW(fresh.numMeasurements(), tqBadPointer);
    d.data({PatternHandle()}, {3});  // one pattern is taken without looking into it
    EXPECT_EQ(d.numPatterns(), 1);
    d.data({p2, p2}, {0, 5});
    EXPECT_EQ(d.numMeasurements(), 2);
    EXPECT_EQ(d.featurePattern(1).get(), p2.get());  // shared, not copied
    EXPECT_EQ(d.name(), "sample");                   // name and description stay
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

    tqClassifierDataProviderMemory withNull, withPattern;
    withNull.addData(PatternHandle(), 0);
    withPattern.addData(pattern({1.0}), 0);
    EXPECT_THROW((void)(withNull == withPattern), tqBadPointer);
    EXPECT_THROW((void)(withPattern == withNull), tqBadPointer);
}

// --- archive ---------------------------------------------------------------------------------

TEST(DataProviderArchive, RoundTripsSharedAndNullPatternsAndLoadsTheGolden) {
    tqClassifierDataProviderMemory* raw = new tqClassifierDataProviderMemory(sample());
    raw->addData(raw->featurePattern(0), 4);  // one pattern reached twice
    tqPtrHandle<tqClassifierDataProvider> original(raw), loaded;
    EXPECT_TRUE(tqtest::roundTrips(original, loaded));
    auto* back = dynamic_cast<const tqClassifierDataProviderMemory*>(loaded.get());
    ASSERT_NE(back, nullptr);
    EXPECT_EQ(back->featurePattern(0).get(), back->featurePattern(3).get());

    // A null pattern (allowed as the only one) round-trips as null.
    tqClassifierDataProviderMemory withNull, nullBack = sample();
    withNull.addData(PatternHandle(), 2);
    EXPECT_TRUE(
        tqtest::roundTrips(static_cast<tqPersistent&>(withNull), static_cast<tqPersistent&>(nullBack)));
    EXPECT_TRUE(nullBack.featurePattern(0).isNull());

    tqPtrHandle<tqClassifierDataProvider> d(new tqClassifierDataProviderMemory(sample()));
    ASSERT_TRUE(tqtest::matchesGolden("provider.bin", tqtest::storeBytes(d)));
    tqtest::loadBytes(tqtest::readFile(tqtest::goldenPath("provider.bin")), loaded);
    back = dynamic_cast<const tqClassifierDataProviderMemory*>(loaded.get());
    ASSERT_NE(back, nullptr);
    EXPECT_TRUE(*back == sample());
}

TEST(DataProviderArchive, RefusesUnknownVersionsTruncationAndUnmatchedLabels) {
    tqClassifierDataProviderMemory d = sample();
    const std::string good = tqtest::storeBytes(static_cast<tqPersistent&>(d));
    auto kept = [] {  // differs from what is loaded, so that a partial load shows
        tqClassifierDataProviderMemory k = sample();
        k.setName("kept");
        return k;
    };
    tqtest::expectArchiveRefusals(good, kept, {{0, "", 0}, {1, "", 0}});
    // The label vector ends the stored form: replace it by one with a single label
    // (version byte, count 1, label 0).
    const std::string spliced =
        good.substr(0, good.size() - (1 + 8 + 3 * 8)) + tqtest::u8(0) + tqtest::i64(1) + tqtest::i64(0);
    tqClassifierDataProviderMemory t = kept();
    EXPECT_THROW(tqtest::loadBytes(spliced, t), tqException);
    EXPECT_TRUE(t == kept());
}

}  // namespace
