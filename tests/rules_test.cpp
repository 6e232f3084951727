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

// --- rule score ---------------------------------------------------------------------------

TEST(RuleScore, GeometricMeanOfTheUsedScores) {
    EXPECT_DOUBLE_EQ(rule({flat(0.25), flat(1.0)}, 0).score(vec({0, 0})), 0.5);
    // An ignored feature leaves the mean as it was.
    EXPECT_DOUBLE_EQ(rule({flat(0.25), flat(1.0), ignore()}, 0).score(vec({0, 0, 123})), 0.5);
    EXPECT_DOUBLE_EQ(rule({flat(0.125), flat(1.0), flat(1.0)}, 0).score(vec({0, 0, 0})), 0.5);
    // A single score is its own mean, exactly.
    EXPECT_EQ(rule({flat(0.9)}, 0).score(vec({-3})), 0.9);
}

TEST(RuleScore, IgnoredNaNAndZeroScores) {
    EXPECT_EQ(rule({ignore()}, 0).score(vec({kNaN})), 1.0);
    EXPECT_EQ(rule({ignore(), ignore()}, 0).score(vec({1, 2})), 1.0);
    // A curve scores NaN for a NaN value; it is left out like an ignored feature.
    EXPECT_DOUBLE_EQ(rule({flat(0.25), flat(1.0)}, 0).score(vec({kNaN, 0})), 1.0);
    EXPECT_DOUBLE_EQ(rule({flat(0.25), flat(0.36)}, 0).score(vec({0, kNaN})), 0.25);
    // One zero makes the rule 0, whatever the others score.
    EXPECT_EQ(rule({flat(1.0), flat(0.9), flat(0.5)}, 0).score(vec({0, 0, 5})), 0.0);
    EXPECT_EQ(rule({flat(0.0), ignore()}, 0).score(vec({0, 0})), 0.0);
}

TEST(RuleScore, ChecksTheVectorFirstAndPassesFeatureScoreErrors) {
    const tqClassifierRule r = rule({flat(0.5), flat(0.5)}, 1);
    EXPECT_THROW_MSG(r.score(vec({0})), BadParams, "MismatchedFeatureVectorSize");
    EXPECT_THROW_MSG(r.score(vec({})), BadParams, "MismatchedFeatureVectorSize");
    // A rule without scores and an empty vector: the lengths agree, the emptiness is refused.
    EXPECT_THROW_MSG(tqClassifierRule().score(vec({})), BadParams,
                     "featureVector.featureValues().size() == 0");
    Scores scores = {flat(0.5), flat(0.5)};
    const tqClassifierRule shared = rule(scores, 1);
    static_cast<tqClassifierFeatureScoreOneSided&>(*scores[1]).x1(5);  // breaks the shared curve
    EXPECT_THROW_MSG(shared.score(vec({0, 0})), BadParams, "x1 must lie between x0 and xc");
}

TEST(RuleScore, FeatureScoresAreSharedNotCopied) {
    Scores scores = {flat(0.25)};
    const tqClassifierRule r = rule(scores, 3);
    const tqClassifierRule copy = r;
    EXPECT_EQ(copy.scoringMethods()[0].get(), scores[0].get());
    static_cast<tqClassifierFeatureScoreOneSided&>(*scores[0]).y0(0.75);
    EXPECT_EQ(r.score(vec({0})), 0.75);
    EXPECT_EQ(copy.score(vec({0})), 0.75);
}

// --- rule init and equality ---------------------------------------------------------------

TEST(RuleInit, ChecksInOrderAndChangesNothingOnFailure) {
    const tqClassifierRule before = rule({flat(0.5)}, 4);
    struct Case {
        Scores scores;
        long label;
        const char* message;
    };
    const Case cases[] = {
        {{flat(0.5)}, -1, "label < 0"},
        {{}, -1, "label < 0"},  // the label is tested first
        {{}, 0, "scoringMethods.size() == 0"},
        {{flat(0.5), tqPtrHandle<tqClsFtSc>()}, 2, "scoringMethods[i].isNull()"},
    };
    for (const Case& c : cases) {
        tqClassifierRule r = before;
        EXPECT_THROW_MSG(r.init(c.scores, c.label), BadParams, c.message);
        EXPECT_EQ(r, before);
        EXPECT_EQ(r.label(), 4);
        EXPECT_EQ(r.scoringMethods()[0].get(), before.scoringMethods()[0].get());
    }
    const tqClassifierRule zero = rule({ignore()}, 0);
    EXPECT_EQ(zero.label(), 0);
    EXPECT_EQ(tqClassifierRule().label(), 0);
    EXPECT_TRUE(tqClassifierRule().scoringMethods().empty());
}

TEST(RuleEquality, ComparesScoresByValueInOrderAndTheLabel) {
    EXPECT_EQ(rule({flat(0.5), ignore()}, 1), rule({flat(0.5), ignore()}, 1));
    EXPECT_NE(rule({flat(0.5), ignore()}, 1), rule({flat(0.5), ignore()}, 2));
    EXPECT_NE(rule({flat(0.5), ignore()}, 1), rule({ignore(), flat(0.5)}, 1));
    EXPECT_NE(rule({flat(0.5), ignore()}, 1), rule({flat(0.5)}, 1));
    EXPECT_NE(rule({flat(0.5)}, 1), rule({flat(0.6)}, 1));
    EXPECT_EQ(tqClassifierRule(), tqClassifierRule());
}

// --- rule table ---------------------------------------------------------------------------

TEST(RuleTable, FirstRuleAboveTheThresholdWins) {
    const tqClassifierRuleTable t = table({rule({flat(0.9)}, 7), rule({flat(0.9)}, 3)});
    EXPECT_EQ(t.classifyHardThreshold(vec({0}), 0.5), 7);
    // Strictly greater: a score equal to the threshold is not enough.
    EXPECT_EQ(t.classifyHardThreshold(vec({0}), 0.9), -1);
    EXPECT_EQ(t.classifyHardThreshold(vec({0}), 0.0), 7);
    EXPECT_EQ(t.classifyHardThreshold(vec({0}), 1.0), -1);

    const tqClassifierRuleTable later =
        table({rule({flat(0.4)}, 2), rule({flat(0.8)}, 5), rule({flat(0.95)}, 1)});
    EXPECT_EQ(later.classifyHardThreshold(vec({0}), 0.5), 5);  // first above, not the best
    EXPECT_EQ(later.classifyHardThreshold(vec({0}), 0.9), 1);
    EXPECT_EQ(later.classifyHardThreshold(vec({5}), 0.0), -1);  // every rule scores 0
    // A score of 1 does not exceed the threshold 1.
    EXPECT_EQ(table({rule({ignore()}, 8)}).classifyHardThreshold(vec({0}), 1.0), -1);
}

TEST(RuleTable, LaterRulesAreNotScored) {
    Scores broken = {flat(0.5)};
    static_cast<tqClassifierFeatureScoreOneSided&>(*broken[0]).x1(-5);
    const tqClassifierRuleTable t = table({rule({flat(0.9)}, 1), rule(broken, 2)});
    EXPECT_EQ(t.classifyHardThreshold(vec({0}), 0.5), 1);
    EXPECT_THROW_MSG(t.classifyHardThreshold(vec({0}), 0.95), BadParams, "x1 must lie between x0 and xc");
}

TEST(RuleTable, ChecksInOrder) {
    const tqClassifierRuleTable untrained;
    const tqClassifierRuleTable trained = table({rule({flat(0.9), flat(0.9)}, 7)});
    for (double bad : {-0.1, 1.1, kNaN, -std::numeric_limits<double>::infinity()}) {
        // The threshold is checked even before the table's state and the vector.
        EXPECT_THROW_MSG(untrained.classifyHardThreshold(vec({}), bad), BadParams,
                         "hardThreshold < 0 || hardThreshold > 1");
        EXPECT_THROW_MSG(trained.classifyHardThreshold(vec({0, 0}), bad), BadParams,
                         "hardThreshold < 0 || hardThreshold > 1");
    }
    EXPECT_THROW_MSG(untrained.classifyHardThreshold(vec({}), 0.5), tqClassifierDefs::NotTrained,
                     "the rule table needs to be trained before it can classify");
    EXPECT_THROW_MSG(trained.classifyHardThreshold(vec({}), 0.5), BadParams,
                     "featureVector.featureValues().size() == 0");
    EXPECT_THROW_MSG(trained.classifyHardThreshold(vec({0, 0, 0}), 0.5), BadParams,
                     "featureVector.featureValues().size() != rules_[0].scoringMethods().size())");
}

TEST(RuleTable, TrainChecksAndChangesNothingOnFailure) {
    tqClassifierRuleTable t = table({rule({flat(0.9)}, 1)});
    const tqClassifierRuleTable before = t;
    EXPECT_THROW_MSG(t.train({}), BadParams, "rules.size() == 0");
    EXPECT_EQ(t, before);
    const tqClassifierRule three = rule({flat(0.5), flat(0.5), flat(0.5)}, 1);
    const tqClassifierRule two = rule({flat(0.5), flat(0.5)}, 2);
    EXPECT_THROW_MSG(t.train({three, three, two}), BadParams, "rules[i].scoringMethods().size() != ruleSize");
    EXPECT_THROW_MSG(t.train({two, three}), BadParams, "rules[i].scoringMethods().size() != ruleSize");
    EXPECT_EQ(t, before);
    EXPECT_EQ(t.rules().size(), 1u);
    // Labels may repeat; a new train replaces every rule.
    t.train({two, two});
    EXPECT_EQ(t.rules().size(), 2u);
    EXPECT_EQ(t.classifyHardThreshold(vec({0, 0}), 0.4), 2);
}

TEST(RuleTable, Equality) {
    const tqClassifierRule a = rule({flat(0.5)}, 1), b = rule({flat(0.6)}, 1);
    EXPECT_EQ(table({a, b}), table({a, b}));
    EXPECT_NE(table({a, b}), table({b, a}));
    EXPECT_NE(table({a}), table({a, a}));
    EXPECT_EQ(tqClassifierRuleTable(), tqClassifierRuleTable());
    EXPECT_NE(tqClassifierRuleTable(), table({a}));
}

// --- archive ------------------------------------------------------------------------------

tqClassifierRuleTable sampleTable() {
    auto* two = new tqClassifierFeatureScoreTwoSided;
    two->init(-1, -2, -4, 1, 3, 5, 1.0, 0.6, 0.3, 0.7);
    const tqPtrHandle<tqClsFtSc> twoSided(two);
    return table({rule({flat(0.9), ignore(), twoSided}, 7), rule({ignore(), flat(0.25), twoSided}, 3)});
}

TEST(RuleArchive, TableRoundTripsAndMatchesItsGoldenFile) {
    tqClassifierRuleTable t = sampleTable(), loaded;
    EXPECT_TRUE(tqtest::roundTrips(t, loaded));
    EXPECT_EQ(loaded, t);
    EXPECT_EQ(loaded.classifyHardThreshold(vec({0, 0, 2}), 0.5), 7);
    EXPECT_TRUE(tqtest::matchesGolden("ruletable.bin", tqtest::storeBytes(t)));
    tqClassifierRuleTable golden;
    tqtest::loadBytes(tqtest::readFile(tqtest::goldenPath("ruletable.bin")), golden);
    EXPECT_EQ(golden, t);
}

TEST(RuleArchive, RuleAndFeatureVectorRoundTrip) {
    tqClassifierRule r = rule({flat(0.5), ignore()}, 12), loadedRule;
    EXPECT_TRUE(tqtest::roundTrips(r, loadedRule));
    EXPECT_EQ(loadedRule, r);
    EXPECT_EQ(loadedRule.label(), 12);
    tqClassifierFeatureVector v = vec({1.5, kNaN, -2}), loadedVector = vec({});
    EXPECT_TRUE(tqtest::roundTrips(v, loadedVector));
    ASSERT_EQ(loadedVector.featureValues().size(), 3u);
    EXPECT_EQ(loadedVector.featureValues()[0], 1.5);
    EXPECT_TRUE(std::isnan(loadedVector.featureValues()[1]));
    // A vector holds its version byte, the count and the values; a rule adds the label.
    EXPECT_EQ(tqtest::storeBytes(v).size(), 1u + 8 + 3 * 8);
    tqClassifierRule empty;
    EXPECT_EQ(tqtest::storeBytes(empty).size(), 1u + 8 + 8);
}

TEST(RuleArchive, WrongVersionAndTruncatedInputThrow) {
    tqClassifierRuleTable t = sampleTable();
    std::string bytes = tqtest::storeBytes(t);
    for (std::size_t n = 0; n < bytes.size(); n += 7) {
        tqClassifierRuleTable target;
        EXPECT_THROW(tqtest::loadBytes(bytes.substr(0, n), target), tqException) << n << " bytes";
    }
    bytes[0] = 1;  // the rule vector's version byte
    tqClassifierRuleTable target;
    EXPECT_THROW(tqtest::loadBytes(bytes, target), tqArchive::UnknownVersion);
    // A count far beyond what the input holds is refused before anything is allocated.
    std::string huge = tqtest::storeBytes(t);
    for (int i = 1; i <= 8; ++i) huge[i] = '\x7f';
    EXPECT_THROW(tqtest::loadBytes(huge, target), tqException);
}

}  // namespace
