// Rules and rule tables: the geometric-mean score, the order of the checks, threshold ties,
// unchanged objects after failures, sharing of feature scores, and the archive forms.
#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "clss/clastool/clastool.h"
#include "test_support.h"

namespace {

using BadParams = tqClassifierDefs::BadParams;
using Scores = std::vector<tqPtrHandle<tqClsFtSc>>;

const double kNaN = std::numeric_limits<double>::quiet_NaN();

// A one-sided score that gives `value` for every x <= 0 (and falls to 0 at 1).
tqPtrHandle<tqClsFtSc> flat(double value) {
    auto* s = new tqClassifierFeatureScoreOneSided;
    s->init(0, 1, 1, value, 0);
    return tqPtrHandle<tqClsFtSc>(s);
}

tqPtrHandle<tqClsFtSc> ignore() { return tqPtrHandle<tqClsFtSc>(new tqClassifierFeatureScoreIgnore); }

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

TEST(Rule, ScoreIsTheGeometricMeanOfTheUsedScores) {
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
        {{flat(0.25), flat(1.0)}, {kNaN, 0}, 1.0},
        {{flat(1.0), flat(0.9), flat(0.5)}, {0, 0, 5}, 0.0},  // one zero makes the rule 0
        {{flat(0.0), ignore()}, {0, 0}, 0.0},
    };
    for (const auto& c : cases) {
        const double score = rule(c.scores, 0).score(vec(c.x));
        if (c.expected == 0.0 || c.expected == 1.0 || c.scores.size() == 1)
            EXPECT_EQ(score, c.expected);  // no other factor: exact
        else
            EXPECT_DOUBLE_EQ(score, c.expected);
    }
}

TEST(Rule, ScoreChecksTheVectorFirstAndSharesFeatureScores) {
    Scores scores = {flat(0.5), flat(0.5)};
    const tqClassifierRule r = rule(scores, 1), copy = r;
    EXPECT_THROW_MSG(r.score(vec({0})), BadParams, "MismatchedFeatureVectorSize");
    // A rule without scores and an empty vector: the lengths agree, the emptiness is refused.
    EXPECT_THROW_MSG(tqClassifierRule().score(vec({})), BadParams,
                     "featureVector.featureValues().size() == 0");
    EXPECT_EQ(copy.scoringMethods()[0].get(), scores[0].get());
    static_cast<tqClassifierFeatureScoreOneSided&>(*scores[1]).x1(5);  // breaks the shared curve
    EXPECT_THROW_MSG(copy.score(vec({0, 0})), BadParams, "x1 must lie between x0 and xc");
}

TEST(Rule, InitChecksInOrderAndChangesNothingOnFailure) {
    const tqClassifierRule before = rule({flat(0.5)}, 4);
    const struct {
        Scores scores;
        long label;
        const char* message;
    } cases[] = {
        {{}, -1, "label < 0"},  // the label is tested first
        {{}, 0, "scoringMethods.size() == 0"},
        {{flat(0.5), tqPtrHandle<tqClsFtSc>()}, 2, "scoringMethods[i].isNull()"},
    };
    for (const auto& c : cases) {
        tqClassifierRule r = before;
        EXPECT_THROW_MSG(r.init(c.scores, c.label), BadParams, c.message);
        EXPECT_EQ(r, before);
        EXPECT_EQ(r.scoringMethods()[0].get(), before.scoringMethods()[0].get());
    }
    // Equality compares the scores by value, in order, and the label.
    EXPECT_EQ(rule({flat(0.5), ignore()}, 1), rule({flat(0.5), ignore()}, 1));
    EXPECT_NE(rule({flat(0.5), ignore()}, 1), rule({flat(0.5), ignore()}, 2));
    EXPECT_NE(rule({flat(0.5), ignore()}, 1), rule({ignore(), flat(0.5)}, 1));
    EXPECT_NE(rule({flat(0.5), ignore()}, 1), rule({flat(0.5)}, 1));
}

TEST(RuleTable, FirstRuleStrictlyAboveTheThresholdWinsAndLaterRulesAreNotScored) {
    Scores broken = {flat(0.5)};
    static_cast<tqClassifierFeatureScoreOneSided&>(*broken[0]).x1(-5);
    const tqClassifierRuleTable t = table({rule({flat(0.4)}, 2), rule({flat(0.8)}, 5), rule({flat(0.95)}, 1),
                                           rule({ignore()}, 8), rule(broken, 9)});
    EXPECT_EQ(t.classifyHardThreshold(vec({0}), 0.5), 5);  // first above, not the best
    EXPECT_EQ(t.classifyHardThreshold(vec({0}), 0.8), 1);  // a score equal to the threshold is not enough
    EXPECT_EQ(t.classifyHardThreshold(vec({0}), 0.95), 8);
    EXPECT_EQ(t.classifyHardThreshold(vec({0}), 0.0), 2);
    EXPECT_THROW_MSG(t.classifyHardThreshold(vec({0}), 1.0), BadParams, "x1 must lie between x0 and xc");
    EXPECT_EQ(table({rule({flat(0.9)}, 7)}).classifyHardThreshold(vec({5}), 0.0), -1);  // every rule scores 0
}

TEST(RuleTable, ChecksInOrderAndTrainChangesNothingOnFailure) {
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
    auto* two = new tqClassifierFeatureScoreTwoSided;
    two->init(-1, -2, -4, 1, 3, 5, 1.0, 0.6, 0.3, 0.7);
    const tqPtrHandle<tqClsFtSc> twoSided(two);
    tqClassifierRuleTable t = table({rule({flat(0.9), ignore(), twoSided}, 7),
                                     rule({ignore(), flat(0.25), twoSided}, 3)}),
                          golden;
    EXPECT_TRUE(tqtest::archiveHolds("ruletable.bin", t, golden, 7));
    EXPECT_EQ(golden, t);
    EXPECT_EQ(golden.classifyHardThreshold(vec({0, 0, 2}), 0.5), 7);
    tqClassifierFeatureVector v = vec({1.5, kNaN, -2}), loadedVector = vec({});
    EXPECT_TRUE(tqtest::roundTrips(v, loadedVector));
    EXPECT_TRUE(std::isnan(loadedVector.featureValues().at(1)));
    std::string huge = tqtest::storeBytes(t);
    for (int i = 1; i <= 8; ++i) huge[i] = '\x7f';  // a count far beyond what the input holds
    EXPECT_THROW(tqtest::loadBytes(huge, golden), tqException);
    EXPECT_TRUE(tqtest::refusesVersions(tqtest::storeBytes(t), {0}, [&](const std::string& bytes) {
        tqtest::loadBytes(bytes, golden);  // the rule vector's version byte
    }));
}

}  // namespace
