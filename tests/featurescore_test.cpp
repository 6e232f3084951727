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

// The dynamic type of the object a handle holds.
template <class Handle>
const std::type_info& typeOf(const Handle& h) {
    const auto& object = *h;
    return typeid(object);
}

using OneSided = tqClassifierFeatureScoreOneSided;
using TwoSided = tqClassifierFeatureScoreTwoSided;
using Ignore = tqClassifierFeatureScoreIgnore;
using BadParams = tqClassifierDefs::BadParams;

const double kNaN = std::numeric_limits<double>::quiet_NaN();
const double kInf = std::numeric_limits<double>::infinity();

OneSided oneSided(double x0, double x1, double xc, double y0, double y1) {
    OneSided s;
    s.init(x0, x1, xc, y0, y1);
    return s;
}

struct Point {
    double x;
    double expected;
};

void expectCurve(const tqClsFtSc& score, const std::vector<Point>& points) {
    for (const Point& p : points) EXPECT_DOUBLE_EQ(score.score(p.x), p.expected) << "at x = " << p.x;
}

// --- the curves ---------------------------------------------------------------------------

TEST(FeatureScoreOneSided, DefaultCurveAtAndAroundEveryBreakpoint) {
    OneSided s;
    EXPECT_EQ(s.x0(), 0.0);
    EXPECT_EQ(s.x1(), 1.0);
    EXPECT_EQ(s.xc(), 1.0);
    EXPECT_EQ(s.y0(), 1.0);
    EXPECT_EQ(s.y1(), 0.0);
    expectCurve(s, {{-5, 1},
                    {-1e-9, 1},
                    {0, 1},
                    {0.25, 0.75},
                    {0.5, 0.5},
                    {0.75, 0.25},
                    {1, 0},
                    {2, 0},
                    {-kInf, 1},
                    {kInf, 0}});
}

TEST(FeatureScoreOneSided, CutOffAboveWithPlateau) {
    // 0.2 up to 1, rising to 0.8 at 3, 0.8 up to and including 5, 0 above.
    const OneSided s = oneSided(1, 3, 5, 0.2, 0.8);
    expectCurve(s, {{0, 0.2}, {1, 0.2}, {2, 0.5}, {3, 0.8}, {4, 0.8}, {5, 0.8}, {5.000001, 0}, {9, 0}});
}

TEST(FeatureScoreOneSided, CutOffBelowMirrorsTheCurve) {
    // 0 below 1, 0.8 from 1 to 3 (both included), falling to 0.2 at 5, 0.2 above.
    const OneSided s = oneSided(5, 3, 1, 0.2, 0.8);
    expectCurve(s, {{0.999999, 0}, {1, 0.8}, {2, 0.8}, {3, 0.8}, {4, 0.5}, {5, 0.2}, {9, 0.2}});
}

TEST(FeatureScoreOneSided, CoincidingEndsGiveSteps) {
    // x0 = x1 below the cut-off: y0 below 3, y1 from 3 to 5, 0 above.
    expectCurve(oneSided(3, 3, 5, 0.4, 0.9), {{2.999, 0.4}, {3, 0.9}, {4, 0.9}, {5, 0.9}, {5.001, 0}});
    // x0 = x1 above the cut-off: 0 below 1, y1 from 1 to 3, y0 above.
    expectCurve(oneSided(3, 3, 1, 0.4, 0.9), {{0.999, 0}, {1, 0.9}, {3, 0.9}, {3.001, 0.4}});
    // All three equal: the point itself belongs to the y1 plateau.
    expectCurve(oneSided(2, 2, 2, 0.4, 0.9), {{1.999, 0.4}, {2, 0.9}, {2.001, 0}});
    // x1 = xc with the cut-off below: xc belongs to the plateau.
    expectCurve(oneSided(4, 2, 2, 1, 0), {{1.999, 0}, {2, 0}, {3, 0.5}, {4, 1}});
}

TEST(FeatureScoreOneSided, NaNValueScoresNaN) { EXPECT_TRUE(std::isnan(OneSided().score(kNaN))); }

TEST(FeatureScoreTwoSided, DefaultTentAtAndAroundEveryBreakpoint) {
    TwoSided s;
    EXPECT_EQ(s.Low(), oneSided(0, -1, -1, 1, 0));
    EXPECT_EQ(s.High(), oneSided(0, 1, 1, 1, 0));
    expectCurve(s, {{-2, 0},
                    {-1.000001, 0},
                    {-1, 0},
                    {-0.5, 0.5},
                    {-1e-9, 1 - 1e-9},
                    {0, 1},
                    {0.5, 0.5},
                    {1, 0},
                    {3, 0}});
}

TEST(FeatureScoreTwoSided, ValuesBelowLowestUseTheLowSide) {
    // Low side: 0 below -4, 0.6 from -4 to -2, rising to 1 at -1; the high side from lowest = 1:
    // rising from 0.3 to 0.7 at 3, 0.7 up to 5, 0 above.
    TwoSided s;
    s.init(-1, -2, -4, 1, 3, 5, 1.0, 0.6, 0.3, 0.7);
    expectCurve(
        s, {{-5, 0}, {-4, 0.6}, {-1.5, 0.8}, {0.999, 1}, {1, 0.3}, {2, 0.5}, {3, 0.7}, {5, 0.7}, {5.5, 0}});
}

TEST(FeatureScoreIgnore, AlwaysTheIgnoreMarker) {
    Ignore s;
    for (double x : {-kInf, -1.0, 0.0, 0.5, 1e300, kNaN}) EXPECT_EQ(s.score(x), -1.0);
}

// --- checks -------------------------------------------------------------------------------

TEST(FeatureScoreOneSided, InitChecksInOrderAndChangesNothingOnFailure) {
    const OneSided before = oneSided(1, 3, 5, 0.2, 0.8);
    struct Case {
        double x0, x1, xc, y0, y1;
        const char* message;
    };
    const Case cases[] = {
        {0, 1, 1, -0.01, 0, "y0 must be between 0 and 1"},
        {0, 1, 1, 1.01, 0, "y0 must be between 0 and 1"},
        {0, 1, 1, kNaN, 0, "y0 must be between 0 and 1"},
        {0, 2, 1, 2.0, 2.0, "y0 must be between 0 and 1"},  // y0 is tested first
        {0, 1, 1, 1, -0.01, "y1 must be between 0 and 1"},
        {0, 1, 1, 1, kNaN, "y1 must be between 0 and 1"},
        {0, 2, 1, 1, 2.0, "y1 must be between 0 and 1"},  // before the x values
        {0, 2, 1, 0.5, 0.5, "x1 must be lie between x0 and xc"},
        {0, -1, 1, 0.5, 0.5, "x1 must be lie between x0 and xc"},
        {0, 1, -1, 0.5, 0.5, "x1 must be lie between x0 and xc"},
        {0, kNaN, 1, 0.5, 0.5, "x1 must be lie between x0 and xc"},
        {kNaN, kNaN, 1, 0.5, 0.5, "x1 must be lie between x0 and xc"},  // NaN equals nothing
    };
    for (const Case& c : cases) {
        OneSided s = before;
        EXPECT_THROW_MSG(s.init(c.x0, c.x1, c.xc, c.y0, c.y1), BadParams, c.message);
        EXPECT_EQ(s, before);
    }
    // The bounds themselves are allowed.
    OneSided s;
    EXPECT_NO_THROW(s.init(0, 0, 0, 0, 1));
    EXPECT_EQ(s, oneSided(0, 0, 0, 0, 1));
}

TEST(FeatureScoreOneSided, YSettersCheckXSettersDoNot) {
    OneSided s;
    EXPECT_THROW_MSG(s.y0(1.5), BadParams, "y0 must be between 0 and 1");
    EXPECT_THROW_MSG(s.y1(kNaN), BadParams, "y1 must be between 0 and 1");
    EXPECT_EQ(s, OneSided());
    s.y0(0.5);
    s.y1(1.0);
    EXPECT_EQ(s.y0(), 0.5);
    EXPECT_EQ(s.y1(), 1.0);
    // A broken curve can be made with the x setters; it is reported by score, in its own words.
    s.x1(2);
    EXPECT_EQ(s.x1(), 2.0);
    EXPECT_THROW_MSG(s.score(0.5), BadParams, "x1 must lie between x0 and xc");
    s.xc(3);
    EXPECT_NO_THROW(s.score(0.5));
}

TEST(FeatureScoreTwoSided, InitChecksInOrderAndChangesNothingOnFailure) {
    TwoSided s;
    EXPECT_NO_THROW(s.init(0, 0, 0, 0, 0, 0, 1, 1, 1, 1));  // all low values equal to lowest
    TwoSided before;
    before.init(-1, -2, -4, 1, 3, 5, 1.0, 0.6, 0.3, 0.7);
    struct Case {
        double v[10];
        const char* message;
    };
    const Case cases[] = {
        {{0, 1, 1, 0.5, 1, 1, 1, 0, 1, 0}, "x0 > lowest || x1 > lowest || xc > lowest"},
        {{2, 1, 1, 3, 1, 5, 1, 0, 1, 0}, "x0 > lowest || x1 > lowest || xc > lowest"},
        {{0, 0, 2, 3, 1, 5, 1, 0, 1, 0}, "x0 > lowest || x1 > lowest || xc > lowest"},
        // The x check comes before the y checks.
        {{0, 1, 1, 0.5, 1, 1, 9, 9, 9, 9}, "x0 > lowest || x1 > lowest || xc > lowest"},
        {{0, -1, -1, 0, 1, 1, 2, 0, 1, 0}, "y0 must be between 0 and 1"},
        {{0, -1, -1, 0, 1, 1, 1, 0, 1, 2}, "y1 must be between 0 and 1"},  // the high side says y1
        {{0, -1, -1, 0, 1, 1, 1, 0, -1, 0}, "y0 must be between 0 and 1"},
        {{0, 1, -1, 1, 2, 3, 1, 0, 1, 0}, "x1 must be lie between x0 and xc"},
        {{-1, -1, -1, 1, 3, 2, 1, 0, 1, 0}, "x1 must be lie between x0 and xc"},  // high side
    };
    for (const Case& c : cases) {
        TwoSided t = before;
        const double* v = c.v;
        EXPECT_THROW_MSG(t.init(v[0], v[1], v[2], v[3], v[4], v[5], v[6], v[7], v[8], v[9]), BadParams,
                         c.message);
        EXPECT_EQ(t, before);
    }
}

TEST(FeatureScoreTwoSided, SettersAndBrokenCurvesReportedByScore) {
    TwoSided s;
    EXPECT_THROW_MSG(s.y0(-1), BadParams, "y0 must be between 0 and 1");
    EXPECT_THROW_MSG(s.y1(2), BadParams, "y1 must be between 0 and 1");
    EXPECT_THROW_MSG(s.y0h(kNaN), BadParams, "y0h must be between 0 and 1");
    EXPECT_THROW_MSG(s.y1h(1.5), BadParams, "y1h must be between 0 and 1");
    EXPECT_EQ(s, TwoSided());
    s.y0(0.25);
    s.y1(0.5);
    s.y0h(0.75);
    s.y1h(1.0);
    EXPECT_EQ(s.Low(), oneSided(0, -1, -1, 0.25, 0.5));
    EXPECT_EQ(s.High(), oneSided(0, 1, 1, 0.75, 1.0));

    TwoSided above;
    above.x0(0.5);  // still a valid low side, but above the high side's lowest value 0
    EXPECT_EQ(above.x0(), 0.5);
    EXPECT_THROW_MSG(above.score(0), BadParams, "Bad x values");

    TwoSided brokenHigh;
    brokenHigh.x1h(5);
    EXPECT_THROW_MSG(brokenHigh.score(0), BadParams, "x1 must lie between x0 and xc");
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

// --- equality and copies ------------------------------------------------------------------

class OneSidedVariant : public OneSided {
public:
    tqClsFtSc* clone() const override { return new OneSidedVariant(*this); }
};

TEST(FeatureScore, EqualityNeedsTheSameDynamicTypeAndValues) {
    EXPECT_TRUE(Ignore() == Ignore());
    EXPECT_FALSE(Ignore() == OneSided());
    EXPECT_FALSE(OneSided() == TwoSided());
    EXPECT_FALSE(TwoSided() == OneSided());
    EXPECT_FALSE(OneSided() == OneSidedVariant());  // same values, derived class
    EXPECT_FALSE(OneSidedVariant() == OneSided());
    const OneSided base = oneSided(1, 3, 5, 0.2, 0.8);
    const OneSided changed[] = {oneSided(0, 3, 5, 0.2, 0.8), oneSided(1, 2, 5, 0.2, 0.8),
                                oneSided(1, 3, 6, 0.2, 0.8), oneSided(1, 3, 5, 0.3, 0.8),
                                oneSided(1, 3, 5, 0.2, 0.9)};
    for (const OneSided& c : changed) EXPECT_TRUE(base != c);
    TwoSided a, b;
    b.y1h(0.5);
    EXPECT_FALSE(a == b);
    b.y1h(0.0);
    EXPECT_TRUE(a == b);
}

TEST(FeatureScore, CloneIsAnEqualIndependentObject) {
    OneSided s = oneSided(1, 3, 5, 0.2, 0.8);
    tqPtrHandle<tqClsFtSc> copy(s.clone());
    EXPECT_EQ(typeOf(copy), typeid(OneSided));
    EXPECT_TRUE(*copy == s);
    s.y0(0.9);
    EXPECT_FALSE(*copy == s);
    tqPtrHandle<tqClsFtSc> two(TwoSided().clone());
    EXPECT_TRUE(*two == TwoSided());
    tqPtrHandle<tqClsFtSc> ignore(Ignore().clone());
    EXPECT_TRUE(*ignore == Ignore());
}

// --- archive ------------------------------------------------------------------------------

tqPtrHandle<tqClsFtSc> handleOf(const tqClsFtSc& s) { return tqPtrHandle<tqClsFtSc>(s.clone()); }

unsigned long leadingTag(const std::string& bytes) {
    unsigned long tag = 0;
    for (int i = 7; i >= 0; --i) tag = tag * 256 + static_cast<unsigned char>(bytes.at(i));
    return tag;
}

TEST(FeatureScoreArchive, HandlesRoundTripWithTheirTags) {
    TwoSided two;
    two.init(-1, -2, -4, 1, 3, 5, 1.0, 0.6, 0.3, 0.7);
    struct Case {
        tqPtrHandle<tqClsFtSc> handle;
        unsigned long tag;
        std::size_t size;
        const char* golden;
    };
    Case cases[] = {
        {handleOf(Ignore()), 5682, 8, "featurescore_ignore.bin"},
        {handleOf(oneSided(1, 3, 5, 0.2, 0.8)), 33385, 8 + 5 * 8, "featurescore_onesided.bin"},
        {handleOf(two), 59820, 8 + 10 * 8, "featurescore_twosided.bin"},
    };
    for (Case& c : cases) {
        tqPtrHandle<tqClsFtSc> loaded(new Ignore);
        EXPECT_TRUE(tqtest::roundTrips(c.handle, loaded));
        EXPECT_EQ(typeOf(loaded), typeOf(c.handle));
        EXPECT_TRUE(*loaded == *c.handle);
        EXPECT_NE(loaded.get(), c.handle.get());
        const std::string bytes = tqtest::storeBytes(c.handle);
        EXPECT_EQ(bytes.size(), c.size);
        EXPECT_EQ(leadingTag(bytes), c.tag);
        EXPECT_TRUE(tqtest::matchesGolden(c.golden, bytes));
        tqPtrHandle<tqClsFtSc> fromGolden;
        tqtest::loadBytes(tqtest::readFile(tqtest::goldenPath(c.golden)), fromGolden);
        ASSERT_FALSE(fromGolden.isNull());
        EXPECT_TRUE(*fromGolden == *c.handle);
    }
}

TEST(FeatureScoreArchive, ValuesLoadUncheckedSoScoreReportsThem) {
    OneSided broken;
    broken.x1(7);
    tqPtrHandle<tqClsFtSc> h(broken.clone()), loaded;
    tqtest::loadBytes(tqtest::storeBytes(h), loaded);
    EXPECT_TRUE(*loaded == broken);
    EXPECT_THROW_MSG(loaded->score(0), BadParams, "x1 must lie between x0 and xc");
}

TEST(FeatureScoreArchive, UnknownTagReadsNothingMoreAndKeepsTheHandle) {
    std::ostringstream out;
    {
        tqArchive ar(out);
        unsigned long tag = 4242;
        double next = 2.5;
        ar || tag || next;
    }
    tqPtrHandle<tqClsFtSc> h(new TwoSided);
    tqClsFtSc* before = h.get();
    std::istringstream in(out.str());
    tqArchive ar(in);
    double next = 0;
    ar || h || next;
    EXPECT_EQ(h.get(), before);
    EXPECT_EQ(next, 2.5);
}

TEST(FeatureScoreArchive, RefusesWhatCannotBeWritten) {
    tqPtrHandle<tqClsFtSc> empty;
    EXPECT_THROW(tqtest::storeBytes(empty), tqBadPointer);
    tqPtrHandle<tqClsFtSc> variant(new OneSidedVariant);
    EXPECT_THROW_MSG(tqtest::storeBytes(variant), BadParams,
                     "This kind of feature score cannot be archived.");
}

TEST(FeatureScoreArchive, TruncatedInputThrowsAndKeepsTheHandle) {
    tqPtrHandle<tqClsFtSc> h(new TwoSided);
    const std::string bytes = tqtest::storeBytes(h);
    for (std::size_t n = 0; n < bytes.size(); ++n) {
        tqPtrHandle<tqClsFtSc> target(new Ignore);
        tqClsFtSc* before = target.get();
        EXPECT_THROW(tqtest::loadBytes(bytes.substr(0, n), target), tqException) << n << " bytes";
        EXPECT_EQ(target.get(), before);
    }
}

}  // namespace
