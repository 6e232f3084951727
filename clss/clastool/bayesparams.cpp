#include "clss/clastool/bayesparams.h"

#include "clss/clastool/bayes.h"
#include "platform/archive.h"

tqClassifierTrainParamsBayesian::tqClassifierTrainParamsBayesian(const tqClassifierDistributionTypes& types,
                                                                 const tqClassifierFrequencies& frequencies,
                                                                 const tqClassifierCosts& costs,
                                                                 const tqFeaturePattern& maxValues)
    : types_(types), frequencies_(frequencies), costs_(costs), maxValues_(maxValues) {}

tqClassifierTrainParamsBayesian::tqClassifierTrainParamsBayesian(const tqClassifierTrainParamsBayesian& other)
    : tqPersistent(other),
      tqRepBase(other),
      tqClassifierTrainParams(other),
      types_(other.types_),
      frequencies_(other.frequencies_),
      costs_(other.costs_),
      maxValues_(other.maxValues_) {}

tqClassifierTrainParamsBayesian& tqClassifierTrainParamsBayesian::operator=(
    const tqClassifierTrainParamsBayesian& other) {
    if (this == &other) return *this;
    tqClassifierTrainParams::operator=(other);
    types_ = other.types_;
    frequencies_ = other.frequencies_;
    costs_ = other.costs_;
    maxValues_ = other.maxValues_;
    return *this;
}

tqClassifierTrainParamsBayesian::~tqClassifierTrainParamsBayesian() = default;

tqPtrHandle<tqClassifierTrainParams> tqClassifierTrainParamsBayesian::clone() const {
    return tqPtrHandle<tqClassifierTrainParams>(new tqClassifierTrainParamsBayesian(*this));
}

bool tqClassifierTrainParamsBayesian::isEqual_(const tqClassifierTrainParams& other) const {
    const auto* o = dynamic_cast<const tqClassifierTrainParamsBayesian*>(&other);
    if (!o) return false;
    return types_ == o->types_ && costs_ == o->costs_ && frequencies_ == o->frequencies_ &&
           maxValues_ == o->maxValues_;
}

bool tqClassifierTrainParamsBayesian::isSameTechnique_(const tqClassifierTrainParams& other) const {
    return dynamic_cast<const tqClassifierTrainParamsBayesian*>(&other) != nullptr;
}

tq_Classifier* tqClassifierTrainParamsBayesian::newClassifier_() const { return new tq_ClassifierBayesian(); }

tqPersistent* tqClassifierTrainParamsBayesian::make() { return new tqClassifierTrainParamsBayesian(); }

void tqClassifierTrainParamsBayesian::dispatchSerialize(tqArchive& ar) {
    serializeLevel_(ar, this, sizeof(*this), [&](unsigned char v) { serialize_(ar, v); });
}

void tqClassifierTrainParamsBayesian::serialize_(tqArchive& ar, unsigned char version) {
    tqArchive::checkVersion(version);
    tqClassifierTrainParams::dispatchSerialize(ar);
    // Stored data bind this order, which differs from the field order.
    ar || types_;
    ar || costs_;
    ar || frequencies_;
    ar || maxValues_;
}
