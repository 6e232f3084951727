// Data providers: adding and replacing data with their checks, sharing of patterns,
// equality and the archive form.
#include <sstream>
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

// A CSV text becomes patterns and category numbers in order of first label appearance, missing
// cells invalid measurements; bad text is refused naming the line and column.
TEST(CsvData, LabelsAreNumberedAndBadCellsNamed) {
    std::istringstream text("x,label,y\r\n1,b,2\n,a,3\n\n4,,5\n6,b,7\n");
    const tqLabelledData t = tqReadCsvData(text);
    EXPECT_EQ(t.columns, (std::vector<std::string>{"x", "y"}));
    EXPECT_EQ(t.labelNames, (std::vector<std::string>{"b", "a"}));
    ASSERT_EQ(t.data.numPatterns(), 4);
    const long labels[] = {0, 1, -1, 0};
    for (long i = 0; i < 4; ++i) EXPECT_EQ(t.data.categoryLabel(i), labels[i]) << i;
    EXPECT_EQ(t.data.featurePattern(1)->invalidFeatureIndices(), std::vector<long>{0});
    EXPECT_EQ(t.data.featurePattern(3)->featureMeasurement(1, true), 7.0);
    const std::pair<const char*, const char*> bad[] = {
        {"", "line 1: a header row is expected"},
        {"x,y\n1,2\n", "line 1: no column is named \"label\""},
        {"x,label\n1,a\n2\n", "line 3: the row has 1 cells, the header 2"},
        {"x,label\n1x,a\n", "line 2, column 1: \"1x\" is not a number"},
        {"label,x\na,inf\n", "line 2, column 2: \"inf\" is not a number"},
    };
    for (const auto& [input, message] : bad) {
        std::istringstream in(input);
        try {
            tqReadCsvData(in);
            ADD_FAILURE() << input;
        } catch (const tqClassifierDefs::BadParams& e) {
            EXPECT_STREQ(e.what(), message) << input;
        }
    }
    EXPECT_THROW(tqMakeLabelledData({{1.0}, {1.0, 2.0}}, {"a", "b"}), tqClassifierDefs::BadParams);
    EXPECT_THROW(tqMakeLabelledData({{1.0}}, {}), tqClassifierDefs::BadParams);
}

}  // namespace
