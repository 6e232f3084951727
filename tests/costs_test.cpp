// Category frequencies and misclassification costs: overrides, checks in order, positional
// equality and the exact archive form.
#include <cstdint>
#include <cstring>
#include <limits>
#include <sstream>
#include <string>
#include <vector>

#include "clss/clastool/clastool.h"
#include "test_support.h"

namespace {

using Defs = tqClassifierDefs;
const char* const kFrequencyText = "Category frequencies must be > 0.0";
const char* const kCostText = "Costs must be >= 0.0";
const char* const kNegativeLabel = "Category labels must be >= 0";
const char* const kSameLabels = "Category labels must be different";
const double kNaN = std::numeric_limits<double>::quiet_NaN();
const double kInf = std::numeric_limits<double>::infinity();

using tqtest::f64;
using tqtest::i64;
using tqtest::u8;
std::string longs(const std::vector<long>& v) {
    std::string bytes = u8(0) + i64(static_cast<std::int64_t>(v.size()));
    for (long x : v) bytes += i64(x);
    return bytes;
}
std::string doubles(const std::vector<double>& v) {
    std::string bytes = u8(0) + i64(static_cast<std::int64_t>(v.size()));
    for (double x : v) bytes += f64(x);
    return bytes;
}

TEST(Frequencies, OverridesReplaceInPlaceAndEqualityIsPositional) {
    tqClassifierFrequencies f(2.0);
    f.categoryFrequencyOverride(3, 0.5);
    f.categoryFrequencyOverride(0, 4.0);
    f.categoryFrequencyOverride(3, 0.25);
    EXPECT_EQ(f.categoryFrequency(3), 0.25);
    EXPECT_EQ(f.categoryFrequency(1), 2.0);
    tqClassifierFrequencies expected(2.0);  // one entry per label, at the position first taken
    expected.categoryFrequencyOverride(3, 0.25);
    expected.categoryFrequencyOverride(0, 4.0);
    EXPECT_TRUE(f == expected);
    tqClassifierFrequencies reordered(2.0);
    reordered.categoryFrequencyOverride(0, 4.0);
    reordered.categoryFrequencyOverride(3, 0.25);
    EXPECT_TRUE(f != reordered);

    f.clearFrequencyOverrides();
    EXPECT_TRUE(f == tqClassifierFrequencies(2.0));
}

TEST(Frequencies, ChecksRunInOrderAndLeaveTheObjectUnchanged) {
    EXPECT_THROW_MSG(tqClassifierFrequencies(0.0), Defs::BadParams, kFrequencyText);
    EXPECT_THROW_MSG((void)tqClassifierFrequencies(kNaN), Defs::BadParams, kFrequencyText);
    tqClassifierFrequencies f(2.0);
    f.categoryFrequencyOverride(1, 0.5);
    const tqClassifierFrequencies before = f;
    EXPECT_THROW_MSG(f.defaultCategoryFrequency(-1.0), Defs::BadParams, kFrequencyText);
    EXPECT_THROW_MSG(f.categoryFrequencyOverride(1, -0.5), Defs::BadParams, kFrequencyText);
    EXPECT_THROW_MSG(f.categoryFrequencyOverride(-1, 0.5), Defs::BadLabel, kNegativeLabel);
    EXPECT_THROW_MSG(f.categoryFrequencyOverride(-1, 0.0), Defs::BadParams, kFrequencyText);  // value first
    // Refused where set: every later result would otherwise fail on NaN shares.
    const char* const infinite = "Category frequencies must be finite";
    EXPECT_THROW_MSG(f.categoryFrequencyOverride(1, kInf), Defs::BadParams, infinite);
    EXPECT_THROW_MSG(f.defaultCategoryFrequency(kInf), Defs::BadParams, infinite);
    EXPECT_THROW_MSG((void)tqClassifierFrequencies(kInf), Defs::BadParams, infinite);
    EXPECT_TRUE(f == before);
    EXPECT_THROW_MSG(f.categoryFrequency(-1), Defs::BadLabel, kNegativeLabel);
}

TEST(Costs, OverridesAreForOrderedPairs) {
    tqClassifierCosts c;
    c.misclassificationCostOverride(1, 2, 5.0);
    c.misclassificationCostOverride(2, 1, 0.0);
    c.misclassificationCostOverride(1, 2, 6.0);
    EXPECT_EQ(c.misclassificationCost(1, 2), 6.0);
    EXPECT_EQ(c.misclassificationCost(2, 1), 0.0);
    EXPECT_EQ(c.misclassificationCost(1, 3), 1.0);
    tqClassifierCosts swapped;
    swapped.misclassificationCostOverride(2, 1, 6.0);
    swapped.misclassificationCostOverride(1, 2, 0.0);
    EXPECT_TRUE(c != swapped);

    c.defaultMisclassificationCost(0.0);
    c.clearMisclassificationOverrides();
    EXPECT_TRUE(c == tqClassifierCosts(0.0));
}

TEST(Costs, ChecksRunInOrderAndLeaveTheObjectUnchanged) {
    EXPECT_THROW_MSG((void)tqClassifierCosts(kNaN), Defs::BadParams, kCostText);
    tqClassifierCosts c(2.0);
    c.misclassificationCostOverride(0, 1, 3.0);
    const tqClassifierCosts before = c;
    // The cost first, then equal labels, then negative labels.
    EXPECT_THROW_MSG(c.defaultMisclassificationCost(-1.0), Defs::BadParams, kCostText);
    EXPECT_THROW_MSG(c.misclassificationCostOverride(-1, 2, -1.0), Defs::BadParams, kCostText);
    EXPECT_THROW_MSG(c.misclassificationCostOverride(2, 2, -1.0), Defs::BadParams, kCostText);
    EXPECT_THROW_MSG(c.misclassificationCostOverride(-1, -1, 1.0), Defs::BadLabel, kSameLabels);
    EXPECT_THROW_MSG(c.misclassificationCostOverride(2, -1, 1.0), Defs::BadLabel, kNegativeLabel);
    EXPECT_TRUE(c == before);
    EXPECT_THROW_MSG(c.misclassificationCost(-1, -1), Defs::BadLabel, kSameLabels);
    EXPECT_THROW_MSG(c.misclassificationCost(-1, 0), Defs::BadLabel, kNegativeLabel);
}

// --- archive ---------------------------------------------------------------------------------

TEST(FrequenciesAndCostsArchive, ExactLayoutUncheckedLoadAndGolden) {
    tqClassifierFrequencies f(0.75);
    f.categoryFrequencyOverride(2, 1.5);
    f.categoryFrequencyOverride(0, 0.125);
    EXPECT_EQ(tqtest::storeBytes(f), u8(0) + f64(0.75) + longs({2, 0}) + doubles({1.5, 0.125}));
    tqClassifierCosts c(2.0);
    c.misclassificationCostOverride(2, 0, 10.0);
    c.misclassificationCostOverride(0, 2, 0.0);
    EXPECT_EQ(tqtest::storeBytes(c), u8(0) + f64(2.0) + longs({2, 0}) + longs({0, 2}) + doubles({10.0, 0.0}));

    tqClassifierFrequencies unchecked;  // loading takes the stored values as they are
    tqtest::loadBytes(u8(0) + f64(-1.0) + longs({}) + doubles({}), unchecked);
    EXPECT_EQ(unchecked.defaultCategoryFrequency(), -1.0);

    std::ostringstream out;
    {
        tqArchive ar(out);
        ar || f || c;
    }
    ASSERT_TRUE(tqtest::matchesGolden("costs.bin", out.str()));
    std::istringstream in(tqtest::readFile(tqtest::goldenPath("costs.bin")));
    tqArchive ar(in);
    tqClassifierFrequencies f2;
    tqClassifierCosts c2(7.0);
    c2.misclassificationCostOverride(3, 4, 1.0);
    ar || f2 || c2;
    EXPECT_TRUE(f2 == f);
    EXPECT_TRUE(c2 == c);
}

// Each bad input must throw and leave the loaded-into object unchanged.
template <class T>
void expectRefused(const std::string& bytes, long versionLine) {
    T target(3.0);
    try {
        tqtest::loadBytes(bytes, target);
        ADD_FAILURE() << "accepted bad input";
    } catch (const tqArchive::UnknownVersion& e) {
        EXPECT_EQ(e.where(), "clss/clastool/clastool");
        EXPECT_EQ(e.line(), versionLine);
    } catch (const tqException&) {
    }
    EXPECT_TRUE(target == T(3.0));
}

TEST(FrequenciesAndCostsArchive, RefusesUnknownVersionTruncationAndUnmatchedLengths) {
    expectRefused<tqClassifierFrequencies>(u8(1) + f64(1.0) + longs({}) + doubles({}), 523);
    expectRefused<tqClassifierFrequencies>(u8(0) + f64(2.0) + longs({1, 2}) + doubles({0.5}), 0);
    expectRefused<tqClassifierCosts>(u8(2) + f64(1.0) + longs({}) + longs({}) + doubles({}), 436);
    expectRefused<tqClassifierCosts>(u8(0) + f64(1.0) + longs({0, 1}) + longs({1}) + doubles({2.0}), 0);
    expectRefused<tqClassifierCosts>(u8(0) + f64(1.0) + longs({0}) + longs({1}) + doubles({2.0, 3.0}), 0);

    const std::string frequencies = u8(0) + f64(2.0) + longs({1}) + doubles({0.5});
    const std::string costs = u8(0) + f64(1.0) + longs({0}) + longs({1}) + doubles({2.0});
    for (std::size_t cut = 0; cut < costs.size(); ++cut) {
        if (cut < frequencies.size()) expectRefused<tqClassifierFrequencies>(frequencies.substr(0, cut), 0);
        expectRefused<tqClassifierCosts>(costs.substr(0, cut), 0);
    }
}

}  // namespace
