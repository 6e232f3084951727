// Category frequencies and misclassification costs: overrides, checks in order, positional
// equality and the exact archive form.
#include <cstdint>
#include <limits>
#include <sstream>
#include <string>
#include <vector>

#include "clss/clastool/clastool.h"
#include "test_support.h"

namespace {

using Defs = tqClassifierDefs;
using tqtest::f64;
using tqtest::i64;
using tqtest::raises;
using tqtest::u8;
const double kNaN = std::numeric_limits<double>::quiet_NaN();
const double kInf = std::numeric_limits<double>::infinity();

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

// An override of a label already overridden replaces it at the position first taken, and
// equality compares the override lists position by position.
TEST(FrequenciesAndCosts, OverridesReplaceInPlaceAndEqualityIsPositional) {
    tqClassifierFrequencies f(2.0), expected(2.0), reordered(2.0);
    f.categoryFrequencyOverride(3, 0.5);
    f.categoryFrequencyOverride(0, 4.0);
    f.categoryFrequencyOverride(3, 0.25);
    EXPECT_EQ(f.categoryFrequency(3), 0.25);
    EXPECT_EQ(f.categoryFrequency(1), 2.0);
    expected.categoryFrequencyOverride(3, 0.25);
    expected.categoryFrequencyOverride(0, 4.0);
    EXPECT_TRUE(f == expected);
    reordered.categoryFrequencyOverride(0, 4.0);
    reordered.categoryFrequencyOverride(3, 0.25);
    EXPECT_TRUE(f != reordered);
    f.clearFrequencyOverrides();
    EXPECT_TRUE(f == tqClassifierFrequencies(2.0));

    tqClassifierCosts c, swapped;  // costs are for ordered pairs (truth, decision)
    c.misclassificationCostOverride(1, 2, 5.0);
    c.misclassificationCostOverride(2, 1, 0.0);
    c.misclassificationCostOverride(1, 2, 6.0);
    EXPECT_EQ(c.misclassificationCost(1, 2), 6.0);
    EXPECT_EQ(c.misclassificationCost(2, 1), 0.0);
    EXPECT_EQ(c.misclassificationCost(1, 3), 1.0);
    swapped.misclassificationCostOverride(2, 1, 6.0);
    swapped.misclassificationCostOverride(1, 2, 0.0);
    EXPECT_TRUE(c != swapped);
    c.defaultMisclassificationCost(0.0);
    c.clearMisclassificationOverrides();
    EXPECT_TRUE(c == tqClassifierCosts(0.0));
}

// The value is checked first, then equal labels, then negative labels; nothing changes.
TEST(FrequenciesAndCosts, RefusedCallsRaiseInOrderAndChangeNothing) {
    const char* const freq = "Category frequencies must be > 0.0";
    const char* const finite = "Category frequencies must be finite";
    const char* const cost = "Costs must be >= 0.0";
    const char* const negative = "Category labels must be >= 0";
    const char* const same = "Category labels must be different";
    tqClassifierFrequencies f(2.0);
    f.categoryFrequencyOverride(1, 0.5);
    tqClassifierCosts c(2.0);
    c.misclassificationCostOverride(0, 1, 3.0);
    const tqClassifierFrequencies fBefore = f;
    const tqClassifierCosts cBefore = c;
    tqtest::expectRefusals({
        {[] { (void)tqClassifierFrequencies(0.0); }, raises<Defs::BadParams>, freq},
        {[] { (void)tqClassifierFrequencies(kNaN); }, raises<Defs::BadParams>, freq},
        {[] { (void)tqClassifierFrequencies(kInf); }, raises<Defs::BadParams>, finite},
        {[&] { f.defaultCategoryFrequency(-1.0); }, raises<Defs::BadParams>, freq},
        {[&] { f.defaultCategoryFrequency(kInf); }, raises<Defs::BadParams>, finite},
        {[&] { f.categoryFrequencyOverride(1, -0.5); }, raises<Defs::BadParams>, freq},
        {[&] { f.categoryFrequencyOverride(1, kInf); }, raises<Defs::BadParams>, finite},
        {[&] { f.categoryFrequencyOverride(-1, 0.5); }, raises<Defs::BadLabel>, negative},
        {[&] { f.categoryFrequencyOverride(-1, 0.0); }, raises<Defs::BadParams>, freq},
        {[&] { f.categoryFrequency(-1); }, raises<Defs::BadLabel>, negative},
        {[] { (void)tqClassifierCosts(kNaN); }, raises<Defs::BadParams>, cost},
        {[&] { c.defaultMisclassificationCost(-1.0); }, raises<Defs::BadParams>, cost},
        {[&] { c.misclassificationCostOverride(-1, 2, -1.0); }, raises<Defs::BadParams>, cost},
        {[&] { c.misclassificationCostOverride(2, 2, -1.0); }, raises<Defs::BadParams>, cost},
        {[&] { c.misclassificationCostOverride(-1, -1, 1.0); }, raises<Defs::BadLabel>, same},
        {[&] { c.misclassificationCostOverride(2, -1, 1.0); }, raises<Defs::BadLabel>, negative},
        {[&] { c.misclassificationCost(-1, -1); }, raises<Defs::BadLabel>, same},
        {[&] { c.misclassificationCost(-1, 0); }, raises<Defs::BadLabel>, negative},
    }, [&] { return f == fBefore && c == cBefore; });
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

TEST(FrequenciesAndCostsArchive, RefusesUnknownVersionTruncationAndUnmatchedLengths) {
    const std::string where = "clss/clastool/clastool";
    auto frequencies = [] { return tqClassifierFrequencies(3.0); };
    auto costs = [] { return tqClassifierCosts(3.0); };
    tqtest::expectArchiveRefusals(u8(0) + f64(2.0) + longs({1}) + doubles({0.5}), frequencies,
                                  {{0, where, 523}});
    tqtest::expectArchiveRefusals(u8(0) + f64(1.0) + longs({0}) + longs({1}) + doubles({2.0}), costs,
                                  {{0, where, 436}});
    for (const std::string& bytes : {u8(0) + f64(2.0) + longs({1, 2}) + doubles({0.5})}) {
        tqClassifierFrequencies target = frequencies();
        EXPECT_THROW(tqtest::loadBytes(bytes, target), tqException);
        EXPECT_TRUE(target == frequencies());
    }
    for (const std::string& bytes : {u8(0) + f64(1.0) + longs({0, 1}) + longs({1}) + doubles({2.0}),
                                     u8(0) + f64(1.0) + longs({0}) + longs({1}) + doubles({2.0, 3.0})}) {
        tqClassifierCosts target = costs();
        EXPECT_THROW(tqtest::loadBytes(bytes, target), tqException);
        EXPECT_TRUE(target == costs());
    }
}

}  // namespace
