#include "clss/clastool/rules.h"

#include <cmath>

#include "clss/clastool/errors.h"

// --- rule ---------------------------------------------------------------------------------

void tqClassifierRule::init(const std::vector<tqPtrHandle<tqClsFtSc>>& scoringMethods, long label) {
    if (label < 0) throw tqClassifierDefs::BadParams("label < 0");
    if (scoringMethods.empty()) throw tqClassifierDefs::BadParams("scoringMethods.size() == 0");
    for (const auto& method : scoringMethods)
        if (method.isNull()) throw tqClassifierDefs::BadParams("scoringMethods[i].isNull()");
    scoringMethods_ = scoringMethods;
    label_ = label;
}

double tqClassifierRule::score(const tqClassifierFeatureVector& featureVector) const {
    const std::vector<double>& values = featureVector.featureValues();
    if (values.size() != scoringMethods_.size())
        throw tqClassifierDefs::BadParams("MismatchedFeatureVectorSize");
    if (values.empty()) throw tqClassifierDefs::BadParams("featureVector.featureValues().size() == 0");
    double product = 1.0;
    long used = 0;
    for (std::size_t i = 0; i < values.size(); ++i) {
        const double s = scoringMethods_[i]->score(values[i]);
        // -1.0 is the ignore marker; a NaN score carries no information either.
        if (s == -1.0 || std::isnan(s)) continue;
        product *= s;
        ++used;
    }
    // With every feature left out the product is 1, and so is its mean.
    if (used == 0) return product;
    if (product > 0.0) return std::pow(product, 1.0 / static_cast<double>(used));
    return product;
}

bool tqClassifierRule::operator==(const tqClassifierRule& other) const {
    if (scoringMethods_.size() != other.scoringMethods_.size()) return false;
    for (std::size_t i = 0; i < scoringMethods_.size(); ++i)
        if (!(*scoringMethods_[i] == *other.scoringMethods_[i])) return false;
    return label_ == other.label_;
}

// --- rule table ---------------------------------------------------------------------------

void tqClassifierRuleTable::train(const std::vector<tqClassifierRule>& rules) {
    if (rules.empty()) throw tqClassifierDefs::BadParams("rules.size() == 0");
    const std::size_t ruleSize = rules[0].scoringMethods().size();
    for (const auto& rule : rules)
        if (rule.scoringMethods().size() != ruleSize)
            throw tqClassifierDefs::BadParams("rules[i].scoringMethods().size() != ruleSize");
    rules_ = rules;
}

long tqClassifierRuleTable::classifyHardThreshold(const tqClassifierFeatureVector& featureVector,
                                                  double hardThreshold) const {
    if (!(hardThreshold >= 0.0 && hardThreshold <= 1.0))
        throw tqClassifierDefs::BadParams("hardThreshold < 0 || hardThreshold > 1");
    if (rules_.empty())
        throw tqClassifierDefs::NotTrained("the rule table needs to be trained before it can classify");
    const std::size_t size = featureVector.featureValues().size();
    if (size == 0) throw tqClassifierDefs::BadParams("featureVector.featureValues().size() == 0");
    if (size != rules_[0].scoringMethods().size())
        throw tqClassifierDefs::BadParams(
            "featureVector.featureValues().size() != rules_[0].scoringMethods().size())");
    // First rule above the threshold wins; there is no search for the best one.
    for (const auto& rule : rules_)
        if (rule.score(featureVector) > hardThreshold) return rule.label();
    return -1;
}

// --- archive forms ------------------------------------------------------------------------

tqArchive& operator||(tqArchive& ar, tqClassifierFeatureVector& v) { return ar || v.featureValues_; }

tqArchive& operator||(tqArchive& ar, tqClassifierRule& r) { return ar || r.scoringMethods_ || r.label_; }

tqArchive& operator||(tqArchive& ar, tqClassifierRuleTable& t) { return ar || t.rules_; }
