// Feature patterns (construction checks, validity rules, equality), data providers (adding and
// replacing data with their checks, sharing of patterns, equality), the CSV reader, the
// synthetic data generators (determinism, caching, shared patterns) and their archive forms.
#include <cstring>
#include <limits>
#include <sstream>
#include <string>
#include <vector>

#include "clss/clastool/clastool.h"
#include "test_support.h"

namespace {

using Defs = tqClassifierDefs;
using PatternHandle = tqPtrHandle_const<tqFeaturePattern>;
using tqtest::raises;
const char* const kNegativeIndex = "Feature measurement indices must be >= 0";
const char* const kIndexPastEnd = "Feature measurement indices must be < number of features";
const char* const kNotValid = "The measurement for the specified measurement index is not valid.";

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
TEST(DataProvider, RefusedCallsRaiseInOrderAndChangeNothingAndEqualityComparesByValue) {
    const char* const label = "Category labels must be >= 0 or unknown";
    const char* const sizes = "Feature patterns must all have the same number of measurements";
    const char* const empty = "Attempt to follow an empty handle";
    const char* const patternIndex = "Feature pattern index must be >=0 and < number of patterns.";
    const char* const labelIndex = "Category label index must be >=0 and < number of patterns.";
    tqClassifierDataProviderMemory d = sample();
    const tqClassifierDataProviderMemory before = d;
    const PatternHandle p3 = pattern({1.0, 2.0, 3.0}), p2 = pattern({1.0, 2.0});
    tqtest::expectRefusals({
        {[&] { d.addData(p3, -2); }, raises<Defs::BadLabel>, label},
        {[&] { d.addData(pattern({1.0}), -5); }, raises<Defs::BadFeatures>,
         "Feature pattern must have the same number of measurements as the rest of the data."},
        {[&] { d.addData(PatternHandle(), 0); }, raises<tqBadPointer>, empty},
        {[&] { d.data({p3, p2}, {0}); }, raises<Defs::BadFeatures>,
         "The number of the feature patterns must be equal to the number of category labels"},
        {[&] { d.data({p3, p2}, {0, -2}); }, raises<Defs::BadFeatures>, sizes},
        {[&] { d.data({PatternHandle(), p3}, {0, 1}); }, raises<tqBadPointer>, empty},
        {[&] { d.data({p3, p3}, {0, -2}); }, raises<Defs::BadLabel>, label},
        {[&] { d.featurePattern(-1); }, raises<Defs::BadIndex>, patternIndex},
        {[&] { d.featurePattern(3); }, raises<Defs::BadIndex>, patternIndex},
        {[&] { d.categoryLabel(-1); }, raises<Defs::BadIndex>, labelIndex},
        {[&] { d.categoryLabel(3); }, raises<Defs::BadIndex>, labelIndex},
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

    // Equality compares patterns by value, then names and labels.
    tqClassifierDataProviderMemory b = sample();  // distinct but equal pattern objects
    EXPECT_TRUE(before == b);
    b.setDescription("another");
    EXPECT_TRUE(before != b);
    b = before;
    b.data({before.featurePattern(0), before.featurePattern(1), before.featurePattern(2)}, {0, 1, 2});
    EXPECT_TRUE(before != b);
    b.data({before.featurePattern(1), before.featurePattern(0), before.featurePattern(2)}, {0, 1, -1});
    EXPECT_TRUE(before != b);

    tqClassifierDataProviderMemory withNull, withPattern;
    withNull.addData(PatternHandle(), 0);
    withPattern.addData(pattern({1.0}), 0);
    EXPECT_THROW((void)(withNull == withPattern), tqBadPointer);
}

// --- archive ---------------------------------------------------------------------------------

// The golden file loads; damage is refused and leaves the target as it was.
TEST(DataProviderArchive, LoadsTheGoldenAndRefusesDamageAndUnmatchedLabels) {
    tqPtrHandle<tqClassifierDataProvider> d(new tqClassifierDataProviderMemory(sample())), loaded;
    EXPECT_TRUE(tqtest::archiveHolds("provider.bin", d, loaded));
    const std::string good = tqtest::storeBytes(*d);
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
        EXPECT_THROW_MSG(tqReadCsvData(in), Defs::BadParams, message) << input;
    }
    EXPECT_THROW(tqMakeLabelledData({{1.0}, {1.0, 2.0}}, {"a", "b"}), Defs::BadParams);
    EXPECT_THROW(tqMakeLabelledData({{1.0}}, {}), Defs::BadParams);
}

// --- feature patterns ------------------------------------------------------------------------

TEST(FeaturePattern, ValidityIndicesRefusedCallsEqualityAndCounts) {
    const tqFeaturePattern p({1.0, 2.0, 3.0}, {1});
    EXPECT_FALSE(p.isValid(1));
    EXPECT_FALSE(p.isValid(3));
    EXPECT_EQ(p.featureMeasurement(1, false), 2.0);  // the stored value of an invalid measurement
    EXPECT_EQ(p.featureMeasurement(5, false), 0.0);  // beyond the end
    // Repeats collapse and the indices come back sorted.
    const tqFeaturePattern unordered({1.0, 2.0, 3.0, 4.0}, {3, 0, 3, 2});
    EXPECT_EQ(unordered.invalidFeatureIndices(), (std::vector<long>{0, 2, 3}));
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

    // Equality compares values and flags; copies keep their own count.
    EXPECT_TRUE(p == tqFeaturePattern({1.0, 2.0, 3.0}, {1}));
    EXPECT_TRUE(p != tqFeaturePattern({1.0, 9.0, 3.0}, {1}));  // the stored invalid value counts
    EXPECT_TRUE(p != tqFeaturePattern({1.0, 2.0, 3.0}, {2}));
    EXPECT_TRUE(p != tqFeaturePattern({1.0, 2.0}, {1}));
    const tqFeaturePattern withNaN({std::numeric_limits<double>::quiet_NaN()});
    EXPECT_TRUE(withNaN != withNaN);

    tqPtrHandle<tqFeaturePattern> original(new tqFeaturePattern(p));
    tqPtrHandle<tqFeaturePattern> held(new tqFeaturePattern({7.0}));
    *held = *original;  // assignment copies the values, not the count
    EXPECT_TRUE(*held == p);
    EXPECT_EQ(held->refCount(), 1);
    EXPECT_EQ(tqFeaturePattern(*original).refCount(), 0);
}

// --- archive ---------------------------------------------------------------------------------

TEST(FeaturePatternArchive, GoldenLoadsEqualAndDamageIsRefused) {
    tqPtrHandle_const<tqFeaturePattern> p(new tqFeaturePattern({0.25, -1.0, 3.0, 1e-300}, {1, 3})), loaded;
    ASSERT_TRUE(tqtest::archiveHolds("pattern.bin", p, loaded));
    EXPECT_EQ(loaded->refCount(), 1);

    tqFeaturePattern two({1.5, 2.5}, {1});
    const std::string good = tqtest::storeBytes(static_cast<tqPersistent&>(two));
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

// --- generators ----------------------------------------------------------------------------

// A class generator hands out the same pattern objects on every call, labelled 0; the total
// generator shares them, labels them by the generator's position and shuffles them into the
// order of a uniform generator seeded with 1. (The draws themselves are pinned by the golden
// archive of a tool trained on generated data.)
TEST(DataGenerators, ShareTheirPatternsAndLabelThemByPosition) {
    const tq_ClassDataGenerator first({{0, 1}}, 4), second({{10, 1}}, 6);
    const tqClassifierDataProviderMemory classes[] = {first.generateData(), second.generateData()};
    const tq_TotalDataGenerator total({first, second});
    const tqClassifierDataProviderMemory data = total.generateData(), again = total.generateData();
    ASSERT_EQ(data.numPatterns(), 10);
    std::vector<long> labels;
    for (long i = 0; i < 10; ++i) {
        labels.push_back(data.categoryLabel(i));
        EXPECT_EQ(again.featurePattern(i).get(), data.featurePattern(i).get());
        const tqClassifierDataProviderMemory& own = classes[data.categoryLabel(i)];
        long found = 0;
        for (long j = 0; j < own.numPatterns(); ++j) {
            found += own.featurePattern(j).get() == data.featurePattern(i).get();
            EXPECT_EQ(own.categoryLabel(j), 0);
        }
        EXPECT_EQ(found, 1) << "pattern " << i;
    }
    EXPECT_EQ(labels, (std::vector<long>{1, 0, 0, 0, 1, 1, 1, 0, 1, 1}));
    EXPECT_EQ(tq_ClassDataGenerator({{0, 1}}, 0).generateData().numPatterns(), 0);
    // Patterns of different lengths: a failed call leaves the cache empty, so that the next call
    // fails the same way.
    const tq_TotalDataGenerator mixed(
        {tq_ClassDataGenerator({{0, 1}}, 2), tq_ClassDataGenerator({{0, 1}, {0, 1}}, 2)});
    for (int call = 0; call < 2; ++call)
        EXPECT_THROW_MSG(
            mixed.generateData(), tqClassifierDefs::BadFeatures,
            "Feature pattern must have the same number of measurements as the rest of the data.");
}

}  // namespace
