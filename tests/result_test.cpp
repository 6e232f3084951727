// Category frequencies, misclassification costs and classification results: overrides and
// positional equality, the checks in order, the category result's ranges, the decision rule of
// the four-argument constructor, the two-argument constructor and the exact archive forms.
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <type_traits>
#include <vector>

#include "clss/clastool/clastool.h"
#include "platform/attention.h"
#include "platform/random.h"
#include "test_support.h"

namespace {

using Defs = tqClassifierDefs;
using Category = tqClassifierCategoryResult;
using tqtest::f64;
using tqtest::i64;
using tqtest::raises;
using tqtest::u8;
const char* const kScores = "Scores must be >= 0.0 and <= 1.0";
const char* const kUnique = "The category labels of the match results must be unique.";
const char* const kNoScore = "At least one of the classification scores must be > 0.";
const double kNaN = std::numeric_limits<double>::quiet_NaN();
const double kInf = std::numeric_limits<double>::infinity();

// A stored vector: version byte, count, elements.
template <class T>
std::string vec(const std::vector<T>& v) {
    std::string bytes = u8(0) + i64(static_cast<std::int64_t>(v.size()));
    for (T x : v) {
        if constexpr (std::is_same_v<T, double>) bytes += f64(x);
        else bytes += i64(x);
    }
    return bytes;
}
using L = std::vector<long>;
using D = std::vector<double>;

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
        {[] { (void)tqClassifierFrequencies(kInf); }, raises<Defs::BadParams>, finite},
        {[&] { f.defaultCategoryFrequency(-1.0); }, raises<Defs::BadParams>, freq},
        {[&] { f.categoryFrequencyOverride(1, -0.5); }, raises<Defs::BadParams>, freq},
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

// A few categories with looked-up frequencies and no cost overrides are decided by their own
// path (unrolled for each count up to eight); it gives what the frequency object's decide gives,
// bit for bit and error for error: frequencies and scores of 0 and -0 (equal costs to order), a
// default cost of 0 or infinity, labels that repeat or are negative, scores outside [0, 1] or
// NaN, and the abort request. Labels that pass their checks give the same with those checks
// left out (decideCheckedLabels, as a classifier decides over its own labels).
TEST(DecisionRule, LookedUpFrequenciesDecideAsTheFrequencyObject) {
    tqRandomUniform u(23);
    const auto pick = [&](std::initializer_list<double> values) {
        return values.begin()[static_cast<std::size_t>(u.next(0, static_cast<double>(values.size())))];
    };
    for (int trial = 0; trial < 800; ++trial) {
        const auto n = static_cast<std::size_t>(u.next(1, 18));
        std::vector<long> labels(n);
        std::vector<double> frequency(n), match(n);
        const tqClassifierCosts costs(pick({0.0, 1.0, 2.5, kInf}));
        tqClassifierFrequencies frequencies(pick({0.5, 1.0}));
        for (std::size_t k = 0; k < n; ++k) {
            labels[k] = static_cast<long>(3 * k) + trial % 2;
            if (u.next(0, 1) < 0.5) frequencies.categoryFrequencyOverride(labels[k], pick({1e-300, 0.25, 3.0, 7.0}));
            match[k] = u.next(0, 1) < 0.01 ? pick({kNaN, 1.5, -0.5}) : pick({0.0, -0.0, 1.0, 0.5, u.next(0, 1)});
        }
        for (std::size_t k = 0; k < n; ++k) frequency[k] = frequencies.categoryFrequency(labels[k]);
        if (trial % 37 == 5) labels[n - 1] = trial % 2 ? labels[0] : -1;
        if (trial % 97 == 7) tfRequestAbort();
        const tqClassifierResult stale({Category(99, 1.0, 1.0, 0.0)}, 1.0);
        tqClassifierResult lookedUp(stale), byObject(stale);
        std::string first, second;
        try {
            lookedUp.decide(n, labels.data(), match.data(), frequency.data(), costs, -2.0);
        } catch (const tqException& e) {
            first = e.what();
        }
        try {
            byObject.decide(n, labels.data(), match.data(), frequencies, costs, -2.0);
        } catch (const tqException& e) {
            second = e.what();
        }
        // The labels pass their checks but where the trial spoils them.
        const bool labelsPass = trial % 37 != 5;
        tqClassifierResult checked(labelsPass ? stale : byObject);
        std::string third = labelsPass ? "" : second;
        try {
            if (labelsPass) checked.decideCheckedLabels(n, labels.data(), match.data(), frequency.data(), costs, -2.0);
        } catch (const tqException& e) {
            third = e.what();
        }
        tfClearAbortRequest();
        EXPECT_EQ(first, second) << "trial " << trial;
        EXPECT_EQ(third, second) << "trial " << trial;
        ASSERT_EQ(tqtest::storeBytes(lookedUp), tqtest::storeBytes(byObject)) << "trial " << trial;
        ASSERT_EQ(tqtest::storeBytes(checked), tqtest::storeBytes(byObject)) << "trial " << trial;
    }
}

// --- archive ---------------------------------------------------------------------------------

// The exact stored forms (an override of a label already overridden replaces it in place);
// loading replaces the overrides; damage is refused and changes nothing. Equality compares the
// override lists position by position, costs are for ordered pairs (truth, decision), and
// clearing restores the defaults.
TEST(FrequenciesAndCostsArchive, ExactLayoutEqualityLoadAndRefusals) {
    const std::string where = "clss/clastool/clastool";
    auto frequencies = [] { return tqClassifierFrequencies(3.0); };
    auto costs = [] { return tqClassifierCosts(3.0); };
    tqClassifierFrequencies f(0.75), f2 = frequencies();
    f.categoryFrequencyOverride(2, 9.0);
    f.categoryFrequencyOverride(0, 0.125);
    f.categoryFrequencyOverride(2, 1.5);  // replaces the first in place
    const std::string fBytes = u8(0) + f64(0.75) + vec(L{2, 0}) + vec(D{1.5, 0.125});
    EXPECT_EQ(tqtest::storeBytes(f), fBytes);
    tqClassifierCosts c(2.0), c2 = costs();
    c.misclassificationCostOverride(2, 0, 5.0);
    c.misclassificationCostOverride(0, 2, 0.0);
    c.misclassificationCostOverride(2, 0, 10.0);
    const std::string cBytes = u8(0) + f64(2.0) + vec(L{2, 0}) + vec(L{0, 2}) + vec(D{10.0, 0.0});
    EXPECT_EQ(tqtest::storeBytes(c), cBytes);
    c2.misclassificationCostOverride(3, 4, 1.0);
    tqtest::loadBytes(fBytes, f2);
    tqtest::loadBytes(cBytes, c2);
    EXPECT_TRUE(f2 == f && c2 == c);
    tqClassifierFrequencies reordered(0.75);
    reordered.categoryFrequencyOverride(0, 0.125);
    reordered.categoryFrequencyOverride(2, 1.5);
    tqClassifierCosts swapped(2.0);
    swapped.misclassificationCostOverride(0, 2, 10.0);
    swapped.misclassificationCostOverride(2, 0, 0.0);
    EXPECT_TRUE(f != reordered && c != swapped && c.misclassificationCost(0, 2) == 0.0);
    EXPECT_TRUE(f.categoryFrequency(1) == 0.75 && c.misclassificationCost(1, 2) == 2.0);
    f.clearFrequencyOverrides();
    c.clearMisclassificationOverrides();
    EXPECT_TRUE(f == tqClassifierFrequencies(0.75) && c == tqClassifierCosts(2.0));
    tqtest::expectArchiveRefusals(fBytes, frequencies, {{0, where, 523}});
    tqtest::expectArchiveRefusals(cBytes, costs, {{0, where, 436}});
    // Override lists of unequal lengths, in each place they can disagree.
    f2 = frequencies();
    EXPECT_THROW(tqtest::loadBytes(u8(0) + f64(2.0) + vec(L{1, 2}) + vec(D{0.5}), f2), tqException);
    EXPECT_TRUE(f2 == frequencies());
    for (const std::string& bytes : {u8(0) + f64(1.0) + vec(L{0, 1}) + vec(L{1}) + vec(D{2.0}),
                                     u8(0) + f64(1.0) + vec(L{0}) + vec(L{1}) + vec(D{2.0, 3.0})}) {
        tqClassifierCosts target = costs();
        EXPECT_THROW(tqtest::loadBytes(bytes, target), tqException);
        EXPECT_TRUE(target == costs());
    }
}

// --- results ---------------------------------------------------------------------------------

// A stored category result.
std::string stored(long label, double match, double score, double cost) {
    return u8(0) + i64(label) + f64(match) + f64(score) + f64(cost);
}

std::vector<Category> matches(const std::vector<std::pair<long, double>>& labelAndScore) {
    std::vector<Category> out;
    for (const auto& [label, score] : labelAndScore) out.emplace_back(label, score);
    return out;
}

// Checks run label, scores, cost; the bounds are inclusive. Both constructors of a result
// find duplicates before anything else.
TEST(Result, RefusedInputsRaiseInOrder) {
    const tqClassifierFrequencies f;
    const tqClassifierCosts c;
    EXPECT_NO_THROW(Category(0, 0.0, 1.0, 0.0));
    // decide with looked-up frequencies checks labels where the lookup would (regression: a
    // negative label with no frequency reported the frequencies instead).
    tqClassifierResult reused({Category(0, 1.0, 1.0, 0.0)}, 0.0);
    const long negative[] = {-1};
    const double one[] = {1.0}, none[] = {0.0};
    tqtest::expectRefusals({
        {[&] { reused.decide(1, negative, one, none, c, 0.0); }, raises<Defs::BadLabel>,
         "Category labels must be >= 0"},
        {[] { Category(0, 1.5, 0.5, 0.0); }, raises<Defs::BadParams>, kScores},
        {[] { Category(0, -0.1, 0.5, 0.0); }, raises<Defs::BadParams>, kScores},
        {[] { Category(0, 0.5, kNaN, 0.0); }, raises<Defs::BadParams>, kScores},
        {[] { Category(0, 0.5, 0.5, kNaN); }, raises<Defs::BadParams>, "Costs must be >= 0.0"},
        {[] { Category(-1, 2.0, 2.0, -1.0); }, raises<Defs::BadLabel>, "Category labels must be >= 0"},
        {[] { Category(0, 0.5, 2.0, -1.0); }, raises<Defs::BadParams>, kScores},
        {[&] { tqClassifierResult(matches({{0, 0.0}, {1, 0.0}}), f, c, 0.0); }, raises<Defs::BadParams>,
         "At least one of the resulting classification scores must be > 0."},
        {[&] { tqClassifierResult(matches({{3, 0.0}, {3, 0.0}}), f, c, 0.0); }, raises<Defs::BadParams>,
         kUnique},
        {[&] { tqClassifierResult({}, f, c, 0.0); }, raises<Defs::BadParams>,
         "At least one of the category frequencies must be > 0."},
        {[] { tqClassifierResult({}, 0.0); }, raises<Defs::BadParams>, kNoScore},
        {[] { tqClassifierResult({Category(0, 1.0, 0.0, 0.0), Category(1, 1.0, 0.0, 0.0)}, 0.0); },
         raises<Defs::BadParams>, kNoScore},
        {[] { tqClassifierResult({Category(0, 1.0, 0.0, 0.0), Category(0, 1.0, 0.0, 0.0)}, 0.0); },
         raises<Defs::BadParams>, kUnique},
    });

    // The request to abort stops the weighing loop, after the checks before it; the
    // two-argument form ignores it.
    tfRequestAbort();
    EXPECT_THROW(tqClassifierResult(matches({{0, 1.0}, {1, 0.5}}), f, c, 0.0), tqAborted);
    EXPECT_THROW_MSG(tqClassifierResult({}, f, c, 0.0), Defs::BadParams,
                     "At least one of the category frequencies must be > 0.");
    EXPECT_NO_THROW(tqClassifierResult({Category(0, 1.0, 1.0, 0.0)}, 0.0));
    tfClearAbortRequest();
}

// --- decision rule ---------------------------------------------------------------------------

TEST(DecisionRule, WeighsMatchScoresByFrequenciesAndCostsAndOrdersByExpectedCostReadyMadeToo) {
    tqClassifierCosts expensive, infinite;
    expensive.misclassificationCostOverride(1, 0, 4.0);  // truth 1, decided 0
    infinite.misclassificationCostOverride(1, 0, kInf);
    tqClassifierFrequencies frequent;
    frequent.categoryFrequencyOverride(1, 3.0);
    const std::vector<std::pair<long, double>> two = {{0, 1.0}, {1, 0.5}};
    const struct {
        const char* what;
        std::vector<std::pair<long, double>> input;
        tqClassifierFrequencies frequencies;
        tqClassifierCosts costs;
        std::vector<std::vector<double>> expected;  // in order: label, class score, expected cost
    } cases[] = {
        {"defaults", two, {}, {}, {{0, 2.0 / 3, 1.0 / 3}, {1, 1.0 / 3, 2.0 / 3}}},
        {"cost override", two, {}, expensive, {{1, 1.0 / 3, 2.0 / 3}, {0, 2.0 / 3, 4.0 / 3}}},
        {"frequency override", two, frequent, {}, {{1, 0.6, 0.4}, {0, 0.4, 0.6}}},
        // A truth of weight 0 adds nothing even at infinite cost (inf * 0 was NaN and refused).
        {"infinite cost, zero weight", {{0, 1.0}, {1, 0.0}}, {}, infinite, {{0, 1.0, 0.0}, {1, 0.0, 1.0}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const tqClassifierResult r(matches(c.input), c.frequencies, c.costs, -0.75);
        ASSERT_EQ(r.categoryResults().size(), c.expected.size());
        for (std::size_t i = 0; i < c.expected.size(); ++i) {
            const Category& e = r.categoryResults()[i];
            EXPECT_EQ(e.categoryLabel(), static_cast<long>(c.expected[i][0]));
            EXPECT_NEAR(e.classScore(), c.expected[i][1], 1e-12);
            EXPECT_NEAR(e.expectedCost(), c.expected[i][2], 1e-12);
        }
    }
    // Supplied class scores and costs are ignored; equal expected costs keep the input order.
    const tqClassifierResult r({Category(5, 0.2, 1.0, 9.0), Category(2, 0.8, 0.0, 0.0)},
                               tqClassifierFrequencies(), tqClassifierCosts(), 0.0);
    EXPECT_EQ(r.categoryResults()[0].matchScore(), 0.8);
    EXPECT_NEAR(r.categoryResults()[1].expectedCost(), 0.8, 1e-12);
    std::vector<Category> input;
    for (long label = 40; label > 0; --label) input.emplace_back(label, 1.0);
    const tqClassifierResult ties(input, tqClassifierFrequencies(), tqClassifierCosts(), 0.0);
    for (std::size_t i = 0; i < input.size(); ++i)
        EXPECT_EQ(ties.categoryResults()[i].categoryLabel(), input[i].categoryLabel());
    // A ready-made result is ordered by cost and its class scores normalised.
    const tqClassifierResult kept({Category(7, 0.1, 0.2, 0.0), Category(3, 0.9, 0.6, 0.0)}, 1.5);
    EXPECT_EQ(kept.categoryResults()[0], Category(7, 0.1, 0.2 / (0.2 + 0.6), 0.0));
    EXPECT_EQ(kept.categoryResults()[1], Category(3, 0.9, 0.6 / (0.2 + 0.6), 0.0));
    const tqClassifierResult sorted({Category(1, 0.5, 0.5, 3.0), Category(2, 0.5, 0.5, 1.0)}, 0.0);
    EXPECT_EQ(sorted.categoryResults()[0].categoryLabel(), 2);
    EXPECT_TRUE(sorted != tqClassifierResult({Category(1, 0.5, 0.5, 3.0), Category(2, 0.5, 0.5, 1.0)}, 0.5));
}

// Deciding many rows together gives what decide gives row after row, bit for bit and error for
// error, up to the first failing row: any number of categories (more than the pairs take too),
// labels that may repeat or be negative, frequencies and scores of 0 (equal costs to order),
// scores outside [0, 1] or NaN, costs of 0 and infinity, and the abort request.
TEST(DecisionRule, RowsDecidedTogetherEqualRowsDecidedOneByOne) {
    tqRandomUniform u(11);
    const auto pick = [&](std::initializer_list<double> values) {
        return values.begin()[static_cast<std::size_t>(u.next(0, static_cast<double>(values.size())))];
    };
    for (int trial = 0; trial < 600; ++trial) {
        const auto n = static_cast<std::size_t>(u.next(1, 19)), rows = static_cast<std::size_t>(u.next(1, 8));
        std::vector<long> labels(n);
        // The scores column by column, some columns with room past the rows.
        const std::size_t stride = rows + static_cast<std::size_t>(trial % 3);
        std::vector<double> frequency(n), match(stride * n), factor(rows), row(n);
        tqClassifierCosts costs(pick({1.0, 1.0, 2.0, kInf}));
        for (std::size_t k = 0; k < n; ++k) {
            labels[k] = static_cast<long>(2 * k) + trial % 3;
            frequency[k] = pick({0.0, 0.5, 1.0, 1.0, 3.0});
            if (k > 0 && u.next(0, 1) < 0.2)
                costs.misclassificationCostOverride(labels[k], labels[k - 1], pick({0.0, 3.0, kInf}));
        }
        if (trial % 29 == 4) labels[n - 1] = trial % 2 ? labels[0] : -1;
        for (double& m : match)
            m = u.next(0, 1) < 0.003 ? pick({kNaN, 1.5, -0.5}) : pick({0.0, 1.0, u.next(0, 1)});
        for (double& f : factor) f = u.next(-5, 0);
        if (trial % 89 == 3) tfRequestAbort();
        const tqClassifierResult stale({Category(99, 1.0, 1.0, 0.0)}, 1.0);
        std::vector<tqClassifierResult> together(rows, stale), oneByOne(rows, stale);
        std::string first, second;
        try {
            tqClassifierResult::decideRows(rows, n, labels.data(), match.data(), stride, factor.data(),
                                           frequency.data(), costs, together.data());
        } catch (const tqException& e) {
            first = e.what();
        }
        try {
            for (std::size_t r = 0; r < rows; ++r) {
                for (std::size_t k = 0; k < n; ++k) row[k] = match[k * stride + r];
                oneByOne[r].decide(n, labels.data(), row.data(), frequency.data(), costs, factor[r]);
            }
        } catch (const tqException& e) {
            second = e.what();
        }
        tfClearAbortRequest();
        EXPECT_EQ(first, second) << "trial " << trial;
        for (std::size_t r = 0; r < rows; ++r)
            ASSERT_EQ(tqtest::storeBytes(together[r]), tqtest::storeBytes(oneByOne[r])) << "trial " << trial;
    }
}

// Frequencies count only relative to each other: all scaled by one power of two, up to the
// largest doubles (where their sum overflows), they decide alike, bit for bit, on every path (the
// unrolled few, the weighed sums with cost overrides or many categories, rows together, the
// frequency object). Regression: a sum of frequencies near 1e308 overflowed, every weight came
// out 0, and the decision was refused.
TEST(DecisionRule, FrequenciesScaledByAPowerOfTwoDecideAlike) {
    tqRandomUniform u(5);
    for (int trial = 0; trial < 300; ++trial) {
        const auto n = static_cast<std::size_t>(u.next(1, 14));
        const int exponent = trial % 3 == 0 ? 0 : 1020 - 4 * (trial % 4);
        std::vector<long> labels(n);
        std::vector<double> frequency(n), scaled(n), match(n), factor = {-1.0, -2.0};
        tqClassifierCosts costs(2.0);
        tqClassifierFrequencies object(1.0), scaledObject(std::ldexp(1.0, exponent));
        for (std::size_t k = 0; k < n; ++k) {
            labels[k] = static_cast<long>(k);
            frequency[k] = std::ldexp(static_cast<double>(u.next(1, 8)), -static_cast<int>(u.next(0, 3)));
            scaled[k] = std::ldexp(frequency[k], exponent);
            object.categoryFrequencyOverride(labels[k], frequency[k]);
            scaledObject.categoryFrequencyOverride(labels[k], scaled[k]);
            match[k] = u.next(0, 1);
            if (k > 0 && trial % 2 == 1) costs.misclassificationCostOverride(labels[k], labels[k - 1], 5.0);
        }
        std::vector<double> rows(2 * n);
        for (std::size_t k = 0; k < n; ++k) rows[2 * k] = rows[2 * k + 1] = match[k];
        tqClassifierResult expected;
        expected.decide(n, labels.data(), match.data(), frequency.data(), costs, -1.0);
        const std::string want = tqtest::storeBytes(expected);
        tqClassifierResult byArray, byObject, checked, together[2];
        try {
            byArray.decide(n, labels.data(), match.data(), scaled.data(), costs, -1.0);
            byObject.decide(n, labels.data(), match.data(), scaledObject, costs, -1.0);
            checked.decideCheckedLabels(n, labels.data(), match.data(), scaled.data(), costs, -1.0);
            tqClassifierResult::decideRows(2, n, labels.data(), rows.data(), 2, factor.data(), scaled.data(),
                                           costs, together);
        } catch (const tqException& e) {
            FAIL() << "trial " << trial << ": " << e.what();
        }
        EXPECT_EQ(tqtest::storeBytes(byArray), want) << "trial " << trial;
        EXPECT_EQ(tqtest::storeBytes(byObject), want) << "trial " << trial;
        EXPECT_EQ(tqtest::storeBytes(checked), want) << "trial " << trial;
        EXPECT_EQ(tqtest::storeBytes(together[0]), want) << "trial " << trial;
    }
}

// --- archive ---------------------------------------------------------------------------------

// The exact stored form; out-of-range values and an unordered list load unchanged (loading is
// not construction); damage is refused.
TEST(ResultArchive, ExactLayoutUncheckedLoadAndRefusals) {
    tqClassifierResult r({Category(2, 0.5, 0.25, 1.0), Category(0, 1.0, 0.75, 2.0)}, -3.5);
    const std::string good = u8(0) + u8(0) + i64(2) + stored(2, 0.5, 0.25, 1.0) + stored(0, 1.0, 0.75, 2.0);
    EXPECT_EQ(tqtest::storeBytes(r), good + f64(-3.5));
    const std::string where = "clss/clastool/clastool";
    tqtest::expectArchiveRefusals(good + f64(0.0), [] { return tqClassifierResult(); },
                                  {{0, where, 671}, {10, where, 347}});
    const std::string bytes =
        u8(0) + u8(0) + i64(2) + stored(-4, 2.0, 0.0, 5.0) + stored(1, 0.5, 0.5, 1.0) + f64(0.0);
    tqtest::loadBytes(bytes, r);
    EXPECT_EQ(tqtest::storeBytes(r), bytes);
}

}  // namespace
