// Feature scores: the curves at and around every breakpoint, the checks of init and the
// setters (and that a failure changes nothing), equality, and the tagged archive form.
#include <cmath>
#include <limits>
#include <sstream>
#include <string>
#include <typeinfo>
#include <vector>

#include "clss/clastool/clastool.h"
#include "test_support.h"

namespace {

using OneSided = tqClassifierFeatureScoreOneSided;
using TwoSided = tqClassifierFeatureScoreTwoSided;
using Ignore = tqClassifierFeatureScoreIgnore;
using BadParams = tqClassifierDefs::BadParams;
using ScoreHandle = tqPtrHandle<tqClsFtSc>;

const double kNaN = std::numeric_limits<double>::quiet_NaN();
const double kInf = std::numeric_limits<double>::infinity();

OneSided oneSided(double x0, double x1, double xc, double y0, double y1) {
    OneSided s;
    s.init(x0, x1, xc, y0, y1);
    return s;
}

// Low side: 0 below -4, 0.6 from -4 to -2, rising to 1 at -1; the high side from lowest = 1:
// rising from 0.3 to 0.7 at 3, 0.7 up to 5, 0 above.
TwoSided sampleTwoSided() {
    TwoSided s;
    s.init(-1, -2, -4, 1, 3, 5, 1.0, 0.6, 0.3, 0.7);
    return s;
}

TEST(FeatureScore, CurvesAtAndAroundEveryBreakpoint) {
    struct Curve {
        ScoreHandle score;
        std::vector<std::pair<double, double>> points;  // x, expected score
    };
    const Curve curves[] = {
        {ScoreHandle(new OneSided),
         {{-kInf, 1}, {-1e-9, 1}, {0, 1}, {0.25, 0.75}, {1, 0}, {2, 0}, {kInf, 0}}},
        // Cut-off above with a plateau: 0.2 up to 1, rising to 0.8 at 3, 0.8 to 5 included, 0 above.
        {ScoreHandle(oneSided(1, 3, 5, 0.2, 0.8).clone()),
         {{0, 0.2}, {1, 0.2}, {2, 0.5}, {3, 0.8}, {5, 0.8}, {5.000001, 0}}},
        // Cut-off below mirrors it: 0 below 1, 0.8 from 1 to 3, falling to 0.2 at 5, 0.2 above.
        {ScoreHandle(oneSided(5, 3, 1, 0.2, 0.8).clone()),
         {{0.999999, 0}, {1, 0.8}, {3, 0.8}, {4, 0.5}, {5, 0.2}, {9, 0.2}}},
        // Coinciding ends give steps; the shared point belongs to the y1 plateau.
        {ScoreHandle(oneSided(3, 3, 5, 0.4, 0.9).clone()), {{2.999, 0.4}, {3, 0.9}, {5, 0.9}, {5.001, 0}}},
        {ScoreHandle(oneSided(3, 3, 1, 0.4, 0.9).clone()), {{0.999, 0}, {1, 0.9}, {3, 0.9}, {3.001, 0.4}}},
        {ScoreHandle(oneSided(4, 2, 2, 1, 0).clone()), {{1.999, 0}, {2, 0}, {3, 0.5}, {4, 1}}},
        {ScoreHandle(new TwoSided),
         {{-1.000001, 0}, {-1, 0}, {-0.5, 0.5}, {-1e-9, 1 - 1e-9}, {0, 1}, {0.5, 0.5}, {1, 0}}},
        // Values below the high side's lowest value use the low side.
        {ScoreHandle(sampleTwoSided().clone()),
         {{-5, 0}, {-4, 0.6}, {-1.5, 0.8}, {0.999, 1}, {1, 0.3}, {2, 0.5}, {3, 0.7}, {5, 0.7}, {5.5, 0}}},
        {ScoreHandle(new Ignore), {{-kInf, -1}, {0.5, -1}, {1e300, -1}, {kNaN, -1}}},
    };
    for (const Curve& c : curves)
        for (const auto& [x, expected] : c.points)
            EXPECT_DOUBLE_EQ(c.score->score(x), expected) << "at x = " << x;
    EXPECT_TRUE(std::isnan(OneSided().score(kNaN)));
}

// --- checks -------------------------------------------------------------------------------

// Five values make a one-sided curve, ten a two-sided one; a refused init changes nothing.
TEST(FeatureScore, InitChecksInOrderAndChangesNothingOnFailure) {
    const OneSided one = oneSided(1, 3, 5, 0.2, 0.8);
    const TwoSided two = sampleTwoSided();
    const char *y0 = "y0 must be between 0 and 1", *y1 = "y1 must be between 0 and 1",
               *x1 = "x1 must be lie between x0 and xc",
               *lowest = "x0 > lowest || x1 > lowest || xc > lowest";
    const std::pair<std::vector<double>, const char*> cases[] = {
        {{0, 1, 1, -0.01, 0}, y0},
        {{0, 2, 1, 2.0, 2.0}, y0},  // y0 is tested first
        {{0, 1, 1, 1, kNaN}, y1},
        {{0, 2, 1, 1, 2.0}, y1},  // before the x values
        {{0, 2, 1, 0.5, 0.5}, x1},
        {{0, 1, -1, 0.5, 0.5}, x1},
        {{kNaN, kNaN, 1, 0.5, 0.5}, x1},  // NaN equals nothing
        {{0, 1, 1, 0.5, 1, 1, 1, 0, 1, 0}, lowest},
        {{0, 0, 2, 3, 1, 5, 1, 0, 1, 0}, lowest},
        {{0, 1, 1, 0.5, 1, 1, 9, 9, 9, 9}, lowest},  // before y
        {{0, -1, -1, 0, 1, 1, 2, 0, 1, 0}, y0},
        {{0, -1, -1, 0, 1, 1, 1, 0, 1, 2}, y1},  // the high side says y1
        {{0, -1, -1, 0, 1, 1, 1, 0, -1, 0}, y0},
        {{0, 1, -1, 1, 2, 3, 1, 0, 1, 0}, x1},
        {{-1, -1, -1, 1, 3, 2, 1, 0, 1, 0}, x1},  // high side
    };
    for (const auto& [v, message] : cases) {
        OneSided s = one;
        TwoSided t = two;
        if (v.size() == 5) {
            EXPECT_THROW_MSG(s.init(v[0], v[1], v[2], v[3], v[4]), BadParams, message);
        } else {
            EXPECT_THROW_MSG(t.init(v[0], v[1], v[2], v[3], v[4], v[5], v[6], v[7], v[8], v[9]), BadParams,
                             message);
        }
        EXPECT_EQ(s, one);
        EXPECT_EQ(t, two);
    }
    OneSided s;
    TwoSided t;
    EXPECT_NO_THROW(s.init(0, 0, 0, 0, 1));                 // the bounds themselves are allowed
    EXPECT_NO_THROW(t.init(0, 0, 0, 0, 0, 0, 1, 1, 1, 1));  // all low values equal to lowest
}

TEST(FeatureScore, YSettersCheckXSettersDoNotAndScoreReportsBrokenCurves) {
    OneSided one;
    TwoSided two;
    tqtest::expectRefusals({
        {[&] { one.y0(1.5); }, tqtest::raises<BadParams>, "y0 must be between 0 and 1"},
        {[&] { one.y1(kNaN); }, tqtest::raises<BadParams>, "y1 must be between 0 and 1"},
        {[&] { two.y0h(kNaN); }, tqtest::raises<BadParams>, "y0h must be between 0 and 1"},
        {[&] { two.y1h(1.5); }, tqtest::raises<BadParams>, "y1h must be between 0 and 1"},
    }, [&] { return one == OneSided() && two == TwoSided(); });
    // A broken curve can be made with the x setters; score reports it, in its own words.
    one.x1(2);
    EXPECT_THROW_MSG(one.score(0.5), BadParams, "x1 must lie between x0 and xc");
    one.xc(3);
    EXPECT_NO_THROW(one.score(0.5));
    TwoSided above;
    above.x0(0.5);  // still a valid low side, but above the high side's lowest value 0
    EXPECT_THROW_MSG(above.score(0), BadParams, "Bad x values");
    TwoSided brokenLow;
    brokenLow.xc(0);
    brokenLow.x0h(-9);  // would also be "Bad x values"; the between-ness check comes first
    EXPECT_THROW_MSG(brokenLow.score(0), BadParams, "x1 must lie between x0 and xc");
    TwoSided moved;
    moved.xch(2);
    moved.x1h(2);
    moved.x0h(0);
    EXPECT_DOUBLE_EQ(moved.score(1), 0.5);
}

// --- equality -----------------------------------------------------------------------------

class OneSidedVariant : public OneSided {
public:
    tqClsFtSc* clone() const override { return new OneSidedVariant(*this); }
};

TEST(FeatureScore, EqualityNeedsTheSameDynamicTypeAndValues) {
    EXPECT_FALSE(Ignore() == OneSided());
    EXPECT_FALSE(OneSided() == TwoSided());
    EXPECT_FALSE(OneSided() == OneSidedVariant());  // same values, derived class
    const OneSided base = oneSided(1, 3, 5, 0.2, 0.8);
    for (const OneSided& c :
         {oneSided(0, 3, 5, 0.2, 0.8), oneSided(1, 2, 5, 0.2, 0.8), oneSided(1, 3, 6, 0.2, 0.8),
          oneSided(1, 3, 5, 0.3, 0.8), oneSided(1, 3, 5, 0.2, 0.9)})
        EXPECT_TRUE(base != c);
    TwoSided b;
    b.y1h(0.5);
    EXPECT_FALSE(TwoSided() == b);
}

// --- archive ------------------------------------------------------------------------------

TEST(FeatureScoreArchive, HandlesRoundTripWithTheirTags) {
    const std::pair<ScoreHandle, const char*> cases[] = {
        {ScoreHandle(new Ignore), "featurescore_ignore.bin"},
        {ScoreHandle(oneSided(1, 3, 5, 0.2, 0.8).clone()), "featurescore_onesided.bin"},
        {ScoreHandle(sampleTwoSided().clone()), "featurescore_twosided.bin"},
    };
    for (auto [h, golden] : cases) {
        ScoreHandle loaded(new Ignore);
        EXPECT_TRUE(tqtest::archiveHolds(golden, h, loaded));
        const auto &object = *loaded, &original = *h;
        EXPECT_EQ(typeid(object), typeid(original));
        EXPECT_TRUE(*loaded == *h);
    }
    // Values load unchecked, so score reports them.
    OneSided broken;
    broken.x1(7);
    ScoreHandle h(broken.clone()), loaded;
    tqtest::loadBytes(tqtest::storeBytes(h), loaded);
    EXPECT_TRUE(*loaded == broken);
    EXPECT_THROW_MSG(loaded->score(0), BadParams, "x1 must lie between x0 and xc");
}

// An unknown tag reads nothing more and keeps the handle; a truncated score keeps it too.
TEST(FeatureScoreArchive, RefusedLoadsKeepTheHandle) {
    ScoreHandle h(new TwoSided);
    tqClsFtSc* before = h.get();
    std::istringstream in(tqtest::i64(4242) + tqtest::f64(2.5));  // the tag, then a double
    tqArchive ar(in);
    double next = 0;
    ar || h || next;
    EXPECT_EQ(h.get(), before);
    EXPECT_EQ(next, 2.5);
    const std::string bytes = tqtest::storeBytes(h);
    for (std::size_t n = 0; n < bytes.size(); ++n) {
        EXPECT_THROW(tqtest::loadBytes(bytes.substr(0, n), h), tqException) << n << " bytes";
        EXPECT_EQ(h.get(), before);
    }
    ScoreHandle empty, variant(new OneSidedVariant);
    EXPECT_THROW(tqtest::storeBytes(empty), tqBadPointer);
    EXPECT_THROW_MSG(tqtest::storeBytes(variant), BadParams,
                     "This kind of feature score cannot be archived.");
}

}  // namespace
