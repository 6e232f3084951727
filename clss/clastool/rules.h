// Rule tables: a small scorer of its own, beside the classifier tool.
//
// A rule describes one category: a label and one feature score (featurescore.h) per feature.
// A feature vector is rated against a rule by the geometric mean of its feature scores,
// ignored features left out. A rule table returns the label of the first rule, in table
// order, whose score exceeds a threshold. All three classes are plain values with archive
// operators; rules share their feature scores through handles.
#ifndef CLASTOOL_RULES_H
#define CLASTOOL_RULES_H

#include <vector>

#include "clss/clastool/featurescore.h"
#include "platform/archive.h"

// One value per feature, in feature order.
class tqClassifierFeatureVector {
public:
    tqClassifierFeatureVector(const std::vector<double>& values) : featureValues_(values) {}

    const std::vector<double>& featureValues() const { return featureValues_; }

private:
    friend tqArchive& operator||(tqArchive& ar, tqClassifierFeatureVector& v);

    std::vector<double> featureValues_;
};

// A category label and one feature score per feature. Copies share the feature scores:
// changing a feature score after handing it to a rule changes the rule.
class tqClassifierRule {
public:
    // No feature scores, label 0.
    tqClassifierRule() = default;

    // Throws tqClassifierDefs::BadParams, checking in this order, and leaves the rule
    // unchanged: "label < 0"; an empty vector "scoringMethods.size() == 0"; an empty handle
    // in the vector "scoringMethods[i].isNull()". Empty handles are refused here because a
    // rule holding one could be neither scored nor archived (both would throw tqBadPointer).
    // Otherwise stores copies of the handles (sharing the feature scores) and the label.
    void init(const std::vector<tqPtrHandle<tqClsFtSc>>& scoringMethods, long label);

    const std::vector<tqPtrHandle<tqClsFtSc>>& scoringMethods() const { return scoringMethods_; }
    long label() const { return label_; }

    // The geometric mean of the feature scores of featureVector, leaving out features that
    // score the ignore marker -1.0 or NaN; 1 when every feature is left out, 0 when a used
    // score is 0. Throws BadParams "MismatchedFeatureVectorSize" when the vector's length
    // differs from the number of feature scores, then "featureVector.featureValues().size() == 0"
    // for an empty vector; errors of the feature scores pass through.
    double score(const tqClassifierFeatureVector& featureVector) const;

    // Same number of feature scores, each pair equal by the feature scores' operator==, and
    // equal labels.
    bool operator==(const tqClassifierRule& other) const;
    bool operator!=(const tqClassifierRule& other) const { return !(*this == other); }

private:
    friend tqArchive& operator||(tqArchive& ar, tqClassifierRule& r);

    std::vector<tqPtrHandle<tqClsFtSc>> scoringMethods_;
    long label_ = 0;
};

// An ordered list of rules of one size (number of feature scores). Untrained (no rules)
// until train succeeds.
class tqClassifierRuleTable {
public:
    tqClassifierRuleTable() = default;

    // Replaces all rules by a copy of `rules`. Throws BadParams and leaves the table unchanged:
    // an empty vector "rules.size() == 0"; a rule whose number of feature scores differs from
    // the first rule's "rules[i].scoringMethods().size() != ruleSize". Labels may repeat.
    void train(const std::vector<tqClassifierRule>& rules);

    const std::vector<tqClassifierRule>& rules() const { return rules_; }

    // The label of the first rule, in table order, whose score is strictly greater than
    // hardThreshold; -1 when none is. Later rules are not scored. Checks in this order:
    // hardThreshold outside [0, 1] or NaN: BadParams "hardThreshold < 0 || hardThreshold > 1";
    // no rules: tqClassifierDefs::NotTrained "the rule table needs to be trained before it can
    // classify"; an empty vector: BadParams "featureVector.featureValues().size() == 0"; a
    // length other than the rule size: BadParams
    // "featureVector.featureValues().size() != rules_[0].scoringMethods().size())".
    long classifyHardThreshold(const tqClassifierFeatureVector& featureVector, double hardThreshold) const;

    // Same number of rules, each pair equal, in order.
    bool operator==(const tqClassifierRuleTable& other) const { return rules_ == other.rules_; }
    bool operator!=(const tqClassifierRuleTable& other) const { return !(*this == other); }

private:
    friend tqArchive& operator||(tqArchive& ar, tqClassifierRuleTable& t);

    std::vector<tqClassifierRule> rules_;
};

// Archive forms: no version byte of their own, only those of the vectors they hold.
// Feature vector: the values. Rule: the feature scores in the tagged handle form, then the
// label. Rule table: the rules. Loading does not repeat the checks of init or train.
tqArchive& operator||(tqArchive& ar, tqClassifierFeatureVector& v);
tqArchive& operator||(tqArchive& ar, tqClassifierRule& r);
tqArchive& operator||(tqArchive& ar, tqClassifierRuleTable& t);

// The smallest archived rule: an empty handle vector (version byte and count) and the label.
template <>
struct tq_ArchiveMinBytes<tqClassifierRule> {
    static constexpr std::size_t value = 17;
};

#endif
