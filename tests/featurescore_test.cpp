// Feature scores: the curves at and around every breakpoint, the checks of init and the
// setters (and that a failure changes nothing), equality, and the tagged archive form. Rules and
// rule tables built from them: the geometric-mean score, the order of the checks, threshold ties,
// unchanged objects after failures, sharing of feature scores, and the archive forms.
#include <cmath>
#include <limits>
#include <sstream>
#include <string>
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
    // A score and its points: x, expected score.
    const std::pair<ScoreHandle, std::vector<std::pair<double, double>>> curves[] = {
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
    for (const auto& [score, points] : curves)
        for (const auto& [x, expected] : points)
            EXPECT_DOUBLE_EQ(score->score(x), expected) << "at x = " << x;
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
    // The bounds themselves are allowed (the curves above have them too), and low values equal
    // to the lowest high value.
    TwoSided t;
    EXPECT_NO_THROW(t.init(0, 0, 0, 0, 0, 0, 1, 1, 1, 1));
}

class OneSidedVariant : public OneSided {
public:
    tqClsFtSc* clone() const override { return new OneSidedVariant(*this); }
};

TEST(FeatureScore, YSettersCheckXSettersDoNotScoreReportsBrokenCurvesAndEqualityNeedsTheType) {
    OneSided one;
    TwoSided two;
    tqtest::expectRefusals({
        {[&] { one.y0(1.5); }, tqtest::raises<BadParams>, "y0 must be between 0 and 1"},
        {[&] { one.y1(kNaN); }, tqtest::raises<BadParams>, "y1 must be between 0 and 1"},
        {[&] { two.y0h(kNaN); }, tqtest::raises<BadParams>, "y0h must be between 0 and 1"},
        {[&] { two.y1h(1.5); }, tqtest::raises<BadParams>, "y1h must be between 0 and 1"},
    }, [&] { return one == OneSided() && two == TwoSided(); });
    // A broken curve can be made with the x setters (the one-sided kind below, in the archive and
    // rule tests); score reports it, in its own words.
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

    // Equality needs the same dynamic type and values.
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

// Each kind stores with its tag and loads as its own class (the bytes hold the tag); a refused
// load, of a truncated score or of an unknown tag (which reads nothing more), keeps the handle.
TEST(FeatureScoreArchive, HandlesRoundTripWithTheirTagsAndRefusedLoadsKeepThem) {
    const std::pair<ScoreHandle, const char*> cases[] = {
        {ScoreHandle(new Ignore), "featurescore_ignore.bin"},
        {ScoreHandle(oneSided(1, 3, 5, 0.2, 0.8).clone()), "featurescore_onesided.bin"},
        {ScoreHandle(sampleTwoSided().clone()), "featurescore_twosided.bin"},
    };
    for (auto [h, golden] : cases) {
        ScoreHandle loaded(new Ignore);
        EXPECT_TRUE(tqtest::archiveHolds(golden, h, loaded));
        const tqClsFtSc* before = loaded.get();
        const std::string bytes = tqtest::storeBytes(h);
        for (std::size_t n = 0; n < bytes.size(); ++n) {
            EXPECT_THROW(tqtest::loadBytes(bytes.substr(0, n), loaded), tqException) << n << " bytes";
            EXPECT_EQ(loaded.get(), before);
        }
    }
    ScoreHandle h(new TwoSided);
    const tqClsFtSc* before = h.get();
    std::istringstream in(tqtest::i64(4242) + tqtest::f64(2.5));  // the tag, then a double
    tqArchive ar(in);
    double next = 0;
    ar || h || next;
    EXPECT_EQ(h.get(), before);
    EXPECT_EQ(next, 2.5);
    // Values load unchecked, so score reports them; a handle stores only what it can load.
    OneSided broken;
    broken.x1(7);
    ScoreHandle stored(broken.clone()), loaded, empty, variant(new OneSidedVariant);
    tqtest::loadBytes(tqtest::storeBytes(stored), loaded);
    EXPECT_THROW_MSG(loaded->score(0), BadParams, "x1 must lie between x0 and xc");
    EXPECT_THROW(tqtest::storeBytes(empty), tqBadPointer);
    EXPECT_THROW_MSG(tqtest::storeBytes(variant), BadParams,
                     "This kind of feature score cannot be archived.");
}

// --- rules and rule tables ----------------------------------------------------------------

using Scores = std::vector<ScoreHandle>;

// A one-sided score that gives `value` for every x <= 0 (and falls to 0 at 1).
ScoreHandle flat(double value) { return ScoreHandle(oneSided(0, 1, 1, value, 0).clone()); }

ScoreHandle ignore() { return ScoreHandle(new Ignore); }

tqClassifierRule rule(const Scores& scores, long label) {
    tqClassifierRule r;
    r.init(scores, label);
    return r;
}

tqClassifierFeatureVector vec(const std::vector<double>& values) { return tqClassifierFeatureVector(values); }

tqClassifierRuleTable table(const std::vector<tqClassifierRule>& rules) {
    tqClassifierRuleTable t;
    t.train(rules);
    return t;
}

TEST(Rule, ScoreIsTheGeometricMeanOfTheUsedScoresChecksInOrderAndCopiesShareTheScores) {
    const struct {
        Scores scores;
        std::vector<double> x;
        double expected;
    } cases[] = {
        {{flat(0.25), flat(1.0)}, {0, 0}, 0.5},
        {{flat(0.25), flat(1.0), ignore()}, {0, 0, 123}, 0.5},  // an ignored feature changes nothing
        {{flat(0.125), flat(1.0), flat(1.0)}, {0, 0, 0}, 0.5},
        {{flat(0.9)}, {-3}, 0.9},
        {{ignore(), ignore()}, {1, kNaN}, 1.0},
        {{flat(0.25), flat(0.36)}, {0, kNaN}, 0.25},  // a NaN curve score is left out like an ignored one
        {{flat(1.0), flat(0.9), flat(0.5)}, {0, 0, 5}, 0.0},  // one zero makes the rule 0
    };
    for (const auto& c : cases) EXPECT_DOUBLE_EQ(rule(c.scores, 0).score(vec(c.x)), c.expected);

    // Score checks the vector first; a rule shares its feature scores with its copies.
    Scores scores = {flat(0.5), flat(0.5)};
    const tqClassifierRule r = rule(scores, 1), copy = r;
    EXPECT_THROW_MSG(r.score(vec({0})), BadParams, "MismatchedFeatureVectorSize");
    // A rule without scores and an empty vector: the lengths agree, the emptiness is refused.
    EXPECT_THROW_MSG(tqClassifierRule().score(vec({})), BadParams,
                     "featureVector.featureValues().size() == 0");
    EXPECT_EQ(copy.scoringMethods()[0].get(), scores[0].get());
    static_cast<OneSided&>(*scores[1]).x1(5);  // breaks the shared curve
    EXPECT_THROW_MSG(copy.score(vec({0, 0})), BadParams, "x1 must lie between x0 and xc");
    const tqClassifierRule before = rule({flat(0.5)}, 4);
    const struct {
        Scores scores;
        long label;
        const char* message;
    } refusals[] = {
        {{}, -1, "label < 0"},  // the label is tested first
        {{}, 0, "scoringMethods.size() == 0"},
        {{flat(0.5), ScoreHandle()}, 2, "scoringMethods[i].isNull()"},
    };
    for (const auto& c : refusals) {
        tqClassifierRule target = before;
        EXPECT_THROW_MSG(target.init(c.scores, c.label), BadParams, c.message);
        EXPECT_EQ(target, before);
        EXPECT_EQ(target.scoringMethods()[0].get(), before.scoringMethods()[0].get());
    }
    // Equality compares the scores by value, in order, and the label.
    EXPECT_EQ(rule({flat(0.5), ignore()}, 1), rule({flat(0.5), ignore()}, 1));
    EXPECT_NE(rule({flat(0.5), ignore()}, 1), rule({flat(0.5), ignore()}, 2));
    EXPECT_NE(rule({flat(0.5), ignore()}, 1), rule({ignore(), flat(0.5)}, 1));
    EXPECT_NE(rule({flat(0.5), ignore()}, 1), rule({flat(0.5)}, 1));
}

TEST(RuleTable, FirstRuleStrictlyAboveTheThresholdWinsLaterRulesAreNotScoredAndChecksComeInOrder) {
    Scores broken = {flat(0.5)};
    static_cast<OneSided&>(*broken[0]).x1(-5);
    const tqClassifierRuleTable t = table({rule({flat(0.4)}, 2), rule({flat(0.8)}, 5), rule({flat(0.95)}, 1),
                                           rule({ignore()}, 8), rule(broken, 9)});
    EXPECT_EQ(t.classifyHardThreshold(vec({0}), 0.5), 5);  // first above, not the best
    EXPECT_EQ(t.classifyHardThreshold(vec({0}), 0.8), 1);  // a score equal to the threshold is not enough
    EXPECT_EQ(t.classifyHardThreshold(vec({0}), 0.95), 8);
    EXPECT_EQ(t.classifyHardThreshold(vec({0}), 0.0), 2);
    EXPECT_THROW_MSG(t.classifyHardThreshold(vec({0}), 1.0), BadParams, "x1 must lie between x0 and xc");
    EXPECT_EQ(table({rule({flat(0.9)}, 7)}).classifyHardThreshold(vec({5}), 0.0), -1);  // every rule scores 0

    // The checks in order; a failed train changes nothing.
    const tqClassifierRuleTable untrained;
    tqClassifierRuleTable trained = table({rule({flat(0.9), flat(0.9)}, 7)});
    for (double bad : {-0.1, 1.1, kNaN}) {
        // The threshold is checked even before the table's state and the vector.
        EXPECT_THROW_MSG(untrained.classifyHardThreshold(vec({}), bad), BadParams,
                         "hardThreshold < 0 || hardThreshold > 1");
    }
    EXPECT_THROW_MSG(untrained.classifyHardThreshold(vec({}), 0.5), tqClassifierDefs::NotTrained,
                     "the rule table needs to be trained before it can classify");
    EXPECT_THROW_MSG(trained.classifyHardThreshold(vec({}), 0.5), BadParams,
                     "featureVector.featureValues().size() == 0");
    EXPECT_THROW_MSG(trained.classifyHardThreshold(vec({0, 0, 0}), 0.5), BadParams,
                     "featureVector.featureValues().size() != rules_[0].scoringMethods().size())");

    const tqClassifierRuleTable before = trained;
    const tqClassifierRule three = rule({flat(0.5), flat(0.5), flat(0.5)}, 1),
                           two = rule({flat(0.5), flat(0.5)}, 2);
    EXPECT_THROW_MSG(trained.train({}), BadParams, "rules.size() == 0");
    EXPECT_THROW_MSG(trained.train({three, three, two}), BadParams,
                     "rules[i].scoringMethods().size() != ruleSize");
    EXPECT_EQ(trained, before);
    trained.train({two, two});  // labels may repeat; a new train replaces every rule
    EXPECT_EQ(trained.rules().size(), 2u);
    EXPECT_NE(trained, table({two}));
}

// --- archive ------------------------------------------------------------------------------

TEST(RuleArchive, GoldenTableAndVectorRoundTrip) {
    const ScoreHandle twoSided(sampleTwoSided().clone());
    tqClassifierRuleTable t = table({rule({flat(0.9), ignore(), twoSided}, 7),
                                     rule({ignore(), flat(0.25), twoSided}, 3)}),
                          golden;
    EXPECT_TRUE(tqtest::archiveHolds("ruletable.bin", t, golden, 7));
    tqClassifierFeatureVector v = vec({1.5, kNaN, -2}), loadedVector = vec({});
    EXPECT_TRUE(tqtest::roundTrips(v, loadedVector));  // the NaN's bits too
    std::string huge = tqtest::storeBytes(t);
    for (int i = 1; i <= 8; ++i) huge[i] = '\x7f';  // a count far beyond what the input holds
    EXPECT_THROW(tqtest::loadBytes(huge, golden), tqException);
    EXPECT_TRUE(tqtest::refusesVersions(tqtest::storeBytes(t), {0}, [&](const std::string& bytes) {
        tqtest::loadBytes(bytes, golden);  // the rule vector's version byte
    }));
}

}  // namespace
