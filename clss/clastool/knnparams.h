// Training parameters of the k-nearest-neighbour technique.
#ifndef CLASTOOL_KNNPARAMS_H
#define CLASTOOL_KNNPARAMS_H

#include "clss/clastool/costs.h"
#include "clss/clastool/metric.h"
#include "clss/clastool/trainparams.h"

// Selects the k-nearest-neighbour technique and carries its settings: the number of voting
// neighbours k (>= 1), the distance metric (a norm of order 2.0 unless set) and the
// misclassification costs (default cost 1.0 unless set).
//
// Archive layout: the tqClassifierTrainParams level, k (long, stored as read without the >= 1
// check), the metric (shared pointer), the costs (their own operator).
class tqClassifierTrainParamsKNN : public tqClassifierTrainParams {
public:
    // Throws tqClassifierDefs::BadParams "K must be >= 1" for k < 1.
    explicit tqClassifierTrainParamsKNN(long k);
    // Stores a clone of metric; BadParams for k < 1, then the metric's clone errors.
    tqClassifierTrainParamsKNN(long k, const tqPatternDistanceMetric& metric, const tqClassifierCosts& costs);
    // Copies k and the costs and shares the source's metric object.
    tqClassifierTrainParamsKNN(const tqClassifierTrainParamsKNN& other);
    // The same; throwIfNotReady() keeps its value.
    tqClassifierTrainParamsKNN& operator=(const tqClassifierTrainParamsKNN& other);
    ~tqClassifierTrainParamsKNN() override;

    long k() const { return k_; }
    // Throws BadParams "K must be >= 1" for k < 1, leaving k unchanged.
    void k(long k);

    tqPtrHandle_const<tqPatternDistanceMetric> distanceMetric() const { return metric_; }
    // Stores metric.clone(), releasing the previous metric.
    void distanceMetric(const tqPatternDistanceMetric& metric);

    const tqClassifierCosts& misclassificationCosts() const { return costs_; }
    void misclassificationCosts(const tqClassifierCosts& costs);

    // Same k, equivalent metrics and equal costs; throwIfNotReady() is not compared.
    bool operator==(const tqClassifierTrainParamsKNN& other) const { return isEqual_(other); }
    bool operator!=(const tqClassifierTrainParamsKNN& other) const { return !isEqual_(other); }

    tqPtrHandle<tqClassifierTrainParams> clone() const override;
    void dispatchSerialize(tqArchive& ar) override;

    static tq_Instantiator sExemplar;

protected:
    bool isEqual_(const tqClassifierTrainParams& other) const override;
    bool isSameTechnique_(const tqClassifierTrainParams& other) const override;
    tq_Classifier* newClassifier_() const override;
    void serialize_(tqArchive& ar, unsigned char version);

private:
    static tqPersistent* make();

    long k_ = 1;
    tqPtrHandle_const<tqPatternDistanceMetric> metric_;
    tqClassifierCosts costs_;
};

#endif
