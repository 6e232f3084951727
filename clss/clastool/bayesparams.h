// Training parameters of the Bayesian technique.
#ifndef CLASTOOL_BAYESPARAMS_H
#define CLASTOOL_BAYESPARAMS_H

#include "clss/clastool/costs.h"
#include "clss/clastool/distributions.h"
#include "clss/clastool/pattern.h"
#include "clss/clastool/trainparams.h"

class tq_Classifier;

// Handing these parameters to tqClassifierTool::train selects the Bayesian technique.
// They carry the distribution types and dependency sets, the a-priori category
// frequencies, the misclassification costs, and the maximum measurement values that
// binomially modelled measurements need (measurement i bounds measurement i). Nothing is
// checked here: unusable types or values fail in training. Frequencies and costs are read
// at every run, so a retrain with new ones changes results without new training.
//
// Archive order: the base level, distribution types, costs, frequencies, maximum values
// (costs before frequencies, unlike the field order).
class tqClassifierTrainParamsBayesian : public tqClassifierTrainParams {
public:
    explicit tqClassifierTrainParamsBayesian(
        const tqClassifierDistributionTypes& types = tqClassifierDistributionTypes(),
        const tqClassifierFrequencies& frequencies = tqClassifierFrequencies(1.0),
        const tqClassifierCosts& costs = tqClassifierCosts(1.0),
        const tqFeaturePattern& maxValues = tqFeaturePattern());
    tqClassifierTrainParamsBayesian(const tqClassifierTrainParamsBayesian& other);
    // Assigns the four fields; throwIfNotReady stays as it was.
    tqClassifierTrainParamsBayesian& operator=(const tqClassifierTrainParamsBayesian& other);
    ~tqClassifierTrainParamsBayesian() override;

    const tqClassifierDistributionTypes& distributionTypes() const { return types_; }
    const tqClassifierFrequencies& categoryFrequencies() const { return frequencies_; }
    const tqClassifierCosts& misclassificationCosts() const { return costs_; }
    const tqFeaturePattern& maxMeasurementValues() const { return maxValues_; }

    void distributionTypes(const tqClassifierDistributionTypes& types) { types_ = types; }
    void categoryFrequencies(const tqClassifierFrequencies& frequencies) { frequencies_ = frequencies; }
    void misclassificationCosts(const tqClassifierCosts& costs) { costs_ = costs; }
    void maxMeasurementValues(const tqFeaturePattern& maxValues) { maxValues_ = maxValues; }

    // Field by field; throwIfNotReady takes no part.
    bool operator==(const tqClassifierTrainParamsBayesian& other) const { return isEqual_(other); }
    bool operator!=(const tqClassifierTrainParamsBayesian& other) const { return !isEqual_(other); }

    tqPtrHandle<tqClassifierTrainParams> clone() const override;
    void dispatchSerialize(tqArchive& ar) override;

    static tq_Instantiator sExemplar;

protected:
    // False unless `other` is Bayesian; then types, costs, frequencies, maximum values.
    bool isEqual_(const tqClassifierTrainParams& other) const override;
    // True for any Bayesian parameters, whatever their values.
    bool isSameTechnique_(const tqClassifierTrainParams& other) const override;
    // A new, untrained tq_ClassifierBayesian.
    tq_Classifier* newClassifier_() const override;
    void serialize_(tqArchive& ar, unsigned char version);

private:
    static tqPersistent* make();

    tqClassifierDistributionTypes types_;
    tqClassifierFrequencies frequencies_;
    tqClassifierCosts costs_;
    tqFeaturePattern maxValues_;
};

#endif
