// Category frequencies and misclassification costs: defaults, overrides, checks in order,
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

// Archive building blocks: one version byte, eight-byte little-endian integers and doubles.
std::string u8(unsigned char v) { return std::string(1, static_cast<char>(v)); }
std::string i64(std::int64_t v) {
    std::string bytes(8, '\0');
    for (int i = 0; i < 8; ++i)
        bytes[static_cast<std::size_t>(i)] =
            static_cast<char>((static_cast<std::uint64_t>(v) >> (8 * i)) & 0xff);
    return bytes;
}
std::string f64(double v) {
    std::uint64_t bits;
    std::memcpy(&bits, &v, sizeof bits);
    return i64(static_cast<std::int64_t>(bits));
}
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

template <class T>
void expectUnknownVersion(const std::string& bytes, long line) {
    T target;
    try {
        tqtest::loadBytes(bytes, target);
        ADD_FAILURE() << "accepted an unknown version";
    } catch (const tqArchive::UnknownVersion& e) {
        EXPECT_EQ(e.where(), "clss/clastool/clastool");
        EXPECT_EQ(e.line(), line);
    }
}

// --- frequencies -----------------------------------------------------------------------------

TEST(Frequencies, DefaultAppliesToEveryLabelWithoutOverride) {
    const tqClassifierFrequencies f;
    EXPECT_EQ(f.defaultCategoryFrequency(), 1.0);
    for (long label : {0L, 1L, 17L, 1000000L}) EXPECT_EQ(f.categoryFrequency(label), 1.0);
    EXPECT_THROW_MSG(f.categoryFrequency(-1), Defs::BadLabel, kNegativeLabel);
    EXPECT_EQ(tqClassifierFrequencies(0.25).categoryFrequency(3), 0.25);
}

TEST(Frequencies, OverridesAreAddedReplacedAndCleared) {
    tqClassifierFrequencies f(2.0);
    f.categoryFrequencyOverride(3, 0.5);
    f.categoryFrequencyOverride(0, 4.0);
    f.categoryFrequencyOverride(3, 0.25);
    EXPECT_EQ(f.categoryFrequency(3), 0.25);
    EXPECT_EQ(f.categoryFrequency(0), 4.0);
    EXPECT_EQ(f.categoryFrequency(1), 2.0);
    // Replacing keeps one entry per label, at the position first taken.
    tqClassifierFrequencies expected(2.0);
    expected.categoryFrequencyOverride(3, 0.25);
    expected.categoryFrequencyOverride(0, 4.0);
    EXPECT_TRUE(f == expected);

    f.defaultCategoryFrequency(3.0);
    EXPECT_EQ(f.categoryFrequency(1), 3.0);
    EXPECT_EQ(f.categoryFrequency(3), 0.25);
    f.clearFrequencyOverrides();
    EXPECT_EQ(f.categoryFrequency(3), 3.0);
    EXPECT_EQ(f.defaultCategoryFrequency(), 3.0);
    EXPECT_TRUE(f == tqClassifierFrequencies(3.0));
}

TEST(Frequencies, RefusedValuesLeaveTheObjectUnchanged) {
    EXPECT_THROW_MSG(tqClassifierFrequencies(0.0), Defs::BadParams, kFrequencyText);
    EXPECT_THROW_MSG(tqClassifierFrequencies(-1.0), Defs::BadParams, kFrequencyText);
    EXPECT_THROW_MSG((void)tqClassifierFrequencies(kNaN), Defs::BadParams, kFrequencyText);

    tqClassifierFrequencies f(2.0);
    f.categoryFrequencyOverride(1, 0.5);
    const tqClassifierFrequencies before = f;
    EXPECT_THROW_MSG(f.defaultCategoryFrequency(0.0), Defs::BadParams, kFrequencyText);
    EXPECT_THROW_MSG(f.categoryFrequencyOverride(3, 0.0), Defs::BadParams, kFrequencyText);
    EXPECT_THROW_MSG(f.categoryFrequencyOverride(1, -0.5), Defs::BadParams, kFrequencyText);
    EXPECT_THROW_MSG(f.categoryFrequencyOverride(-1, 0.5), Defs::BadLabel, kNegativeLabel);
    // The frequency is tested before the label.
    EXPECT_THROW_MSG(f.categoryFrequencyOverride(-1, 0.0), Defs::BadParams, kFrequencyText);
    EXPECT_TRUE(f == before);
}

TEST(FrequenciesAndCosts, EqualityIsPositional) {
    tqClassifierFrequencies a;
    tqClassifierFrequencies b;
    a.categoryFrequencyOverride(1, 0.5);
    a.categoryFrequencyOverride(2, 0.7);
    b.categoryFrequencyOverride(2, 0.7);
    b.categoryFrequencyOverride(1, 0.5);
    EXPECT_TRUE(a != b);
    EXPECT_FALSE(a == b);
    EXPECT_TRUE(tqClassifierFrequencies(2.0) != tqClassifierFrequencies(1.0));

    tqClassifierFrequencies copy = a;
    EXPECT_TRUE(copy == a);
    copy.categoryFrequencyOverride(2, 0.8);
    EXPECT_TRUE(copy != a);

    // Costs compare the same way, and (0, 1) and (1, 0) are different pairs.
    tqClassifierCosts c;
    c.misclassificationCostOverride(0, 1, 2.0);
    c.misclassificationCostOverride(1, 0, 3.0);
    tqClassifierCosts reordered;
    reordered.misclassificationCostOverride(1, 0, 3.0);
    reordered.misclassificationCostOverride(0, 1, 2.0);
    tqClassifierCosts swapped;
    swapped.misclassificationCostOverride(1, 0, 2.0);
    swapped.misclassificationCostOverride(0, 1, 3.0);
    EXPECT_TRUE(c != reordered);
    EXPECT_TRUE(c != swapped);
    EXPECT_TRUE(tqClassifierCosts(0.0) != tqClassifierCosts());
}

TEST(FrequenciesArchive, ExactLayoutAndRoundTrip) {
    tqClassifierFrequencies f(2.5);
    f.categoryFrequencyOverride(4, 0.5);
    f.categoryFrequencyOverride(1, 3.0);
    const std::string expected = u8(0) + f64(2.5) + longs({4, 1}) + doubles({0.5, 3.0});
    EXPECT_EQ(tqtest::storeBytes(f), expected);

    tqClassifierFrequencies loaded(9.0);
    loaded.categoryFrequencyOverride(7, 1.0);
    EXPECT_TRUE(tqtest::roundTrips(f, loaded));
    EXPECT_TRUE(loaded == f);

    // Loading takes the stored values as they are.
    tqClassifierFrequencies unchecked;
    tqtest::loadBytes(u8(0) + f64(-1.0) + longs({}) + doubles({}), unchecked);
    EXPECT_EQ(unchecked.defaultCategoryFrequency(), -1.0);
}

TEST(FrequenciesArchive, RefusesBadInput) {
    expectUnknownVersion<tqClassifierFrequencies>(u8(1) + f64(1.0) + longs({}) + doubles({}), 523);
    const std::string good = u8(0) + f64(2.0) + longs({1}) + doubles({0.5});
    for (std::size_t cut = 0; cut < good.size(); ++cut) {
        tqClassifierFrequencies t;
        EXPECT_THROW(tqtest::loadBytes(good.substr(0, cut), t), tqException) << "cut at " << cut;
    }
    tqClassifierFrequencies t(4.0);
    EXPECT_THROW(tqtest::loadBytes(u8(0) + f64(2.0) + longs({1, 2}) + doubles({0.5}), t), tqException);
    EXPECT_TRUE(t == tqClassifierFrequencies(4.0));
}

// --- costs -----------------------------------------------------------------------------------

TEST(Costs, DefaultAndOrderedPairOverrides) {
    tqClassifierCosts c;
    EXPECT_EQ(c.defaultMisclassificationCost(), 1.0);
    c.misclassificationCostOverride(1, 2, 5.0);
    EXPECT_EQ(c.misclassificationCost(1, 2), 5.0);
    EXPECT_EQ(c.misclassificationCost(2, 1), 1.0);  // (2, 1) is another pair
    c.misclassificationCostOverride(2, 1, 0.0);
    c.misclassificationCostOverride(1, 2, 6.0);
    EXPECT_EQ(c.misclassificationCost(1, 2), 6.0);
    EXPECT_EQ(c.misclassificationCost(2, 1), 0.0);
    EXPECT_EQ(c.misclassificationCost(1, 3), 1.0);

    tqClassifierCosts expected;
    expected.misclassificationCostOverride(1, 2, 6.0);
    expected.misclassificationCostOverride(2, 1, 0.0);
    EXPECT_TRUE(c == expected);

    c.defaultMisclassificationCost(0.0);
    EXPECT_EQ(c.misclassificationCost(0, 1), 0.0);
    c.clearMisclassificationOverrides();
    EXPECT_EQ(c.misclassificationCost(1, 2), 0.0);
    EXPECT_TRUE(c == tqClassifierCosts(0.0));
}

TEST(Costs, ChecksRunInOrderAndLeaveTheObjectUnchanged) {
    EXPECT_NO_THROW(tqClassifierCosts(0.0));
    EXPECT_THROW_MSG(tqClassifierCosts(-0.5), Defs::BadParams, kCostText);
    EXPECT_THROW_MSG((void)tqClassifierCosts(kNaN), Defs::BadParams, kCostText);

    tqClassifierCosts c(2.0);
    c.misclassificationCostOverride(0, 1, 3.0);
    const tqClassifierCosts before = c;
    EXPECT_THROW_MSG(c.defaultMisclassificationCost(-1.0), Defs::BadParams, kCostText);
    EXPECT_THROW_MSG(c.misclassificationCostOverride(-1, 2, -1.0), Defs::BadParams, kCostText);
    EXPECT_THROW_MSG(c.misclassificationCostOverride(2, 2, 1.0), Defs::BadLabel, kSameLabels);
    EXPECT_THROW_MSG(c.misclassificationCostOverride(-1, -1, 1.0), Defs::BadLabel, kSameLabels);
    EXPECT_THROW_MSG(c.misclassificationCostOverride(-1, 2, 1.0), Defs::BadLabel, kNegativeLabel);
    EXPECT_THROW_MSG(c.misclassificationCostOverride(2, -1, 1.0), Defs::BadLabel, kNegativeLabel);
    EXPECT_THROW_MSG(c.misclassificationCostOverride(0, 1, -2.0), Defs::BadParams, kCostText);
    EXPECT_TRUE(c == before);

    EXPECT_THROW_MSG(c.misclassificationCost(2, 2), Defs::BadLabel, kSameLabels);
    EXPECT_THROW_MSG(c.misclassificationCost(-1, -1), Defs::BadLabel, kSameLabels);
    EXPECT_THROW_MSG(c.misclassificationCost(-1, 0), Defs::BadLabel, kNegativeLabel);
    EXPECT_THROW_MSG(c.misclassificationCost(0, -1), Defs::BadLabel, kNegativeLabel);
}

TEST(CostsArchive, ExactLayoutAndRoundTrip) {
    tqClassifierCosts c(0.5);
    c.misclassificationCostOverride(1, 0, 4.0);
    c.misclassificationCostOverride(0, 2, 0.0);
    const std::string expected = u8(0) + f64(0.5) + longs({1, 0}) + longs({0, 2}) + doubles({4.0, 0.0});
    EXPECT_EQ(tqtest::storeBytes(c), expected);

    tqClassifierCosts loaded(7.0);
    loaded.misclassificationCostOverride(3, 4, 1.0);
    EXPECT_TRUE(tqtest::roundTrips(c, loaded));
    EXPECT_TRUE(loaded == c);
}

TEST(CostsArchive, RefusesBadInput) {
    expectUnknownVersion<tqClassifierCosts>(u8(2) + f64(1.0) + longs({}) + longs({}) + doubles({}), 436);
    const std::string good = u8(0) + f64(1.0) + longs({0}) + longs({1}) + doubles({2.0});
    for (std::size_t cut = 0; cut < good.size(); ++cut) {
        tqClassifierCosts t;
        EXPECT_THROW(tqtest::loadBytes(good.substr(0, cut), t), tqException) << "cut at " << cut;
    }
    for (const std::string& unmatched : {u8(0) + f64(1.0) + longs({0, 1}) + longs({1}) + doubles({2.0}),
                                         u8(0) + f64(1.0) + longs({0}) + longs({1}) + doubles({2.0, 3.0})}) {
        tqClassifierCosts t(3.0);
        EXPECT_THROW(tqtest::loadBytes(unmatched, t), tqException);
        EXPECT_TRUE(t == tqClassifierCosts(3.0));
    }
}

TEST(FrequenciesAndCostsArchive, Golden) {
    tqClassifierFrequencies f(0.75);
    f.categoryFrequencyOverride(2, 1.5);
    f.categoryFrequencyOverride(0, 0.125);
    tqClassifierCosts c(2.0);
    c.misclassificationCostOverride(2, 0, 10.0);
    c.misclassificationCostOverride(0, 2, 0.0);
    std::ostringstream out;
    {
        tqArchive ar(out);
        ar || f || c;
    }
    ASSERT_TRUE(tqtest::matchesGolden("costs.bin", out.str()));

    std::istringstream in(tqtest::readFile(tqtest::goldenPath("costs.bin")));
    tqArchive ar(in);
    tqClassifierFrequencies f2;
    tqClassifierCosts c2;
    ar || f2 || c2;
    EXPECT_TRUE(f2 == f);
    EXPECT_TRUE(c2 == c);
}

}  // namespace
