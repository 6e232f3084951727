// Pattern distance metrics: how far apart two feature patterns are.
#ifndef CLASTOOL_METRIC_H
#define CLASTOOL_METRIC_H

#include "platform/archive.h"
#include "platform/handle.h"
#include "platform/persistent.h"

class tqFeaturePattern;

// Abstract metric; callers may plug in their own through the KNN training parameters. Metrics
// are shared through counted handles and are not changed once shared.
class tqPatternDistanceMetric : public virtual tqPersistent, public virtual tqRepBase {
public:
    tqPatternDistanceMetric();
    ~tqPatternDistanceMetric() override;

    // The distance between a and b. Must not allocate per call on the classification path.
    virtual double distance(const tqFeaturePattern& a, const tqFeaturePattern& b) const = 0;
    // An independent copy of the most-derived metric.
    virtual tqPtrHandle<tqPatternDistanceMetric> clone() const = 0;
    // The base version returns true.
    virtual bool isEquivalent(const tqPatternDistanceMetric& other) const;

    // Version byte 0, then the persistence base; no field.
    void dispatchSerialize(tqArchive& ar) override;

protected:
    // Copy nothing (a copy is a new counted object).
    tqPatternDistanceMetric(const tqPatternDistanceMetric& other);
    tqPatternDistanceMetric& operator=(const tqPatternDistanceMetric& other);
    void serialize_(tqArchive& ar, unsigned char version);
};

// The Minkowski distance of order p > 0: pow(sum over i of pow(|a[i] - b[i]|, p), 1 / p), the
// terms summed in measurement order. No order is treated specially (p = 1 and p = 2 go through
// the same two calls of pow), so results are the same bits whichever path computes them.
//
// Archive layout: the base level, then the order (double), stored as read without the > 0 check.
class tqPatternDistanceMetricNorm : public tqPatternDistanceMetric {
public:
    // Sets the order through order(double): BadParams unless order > 0.
    explicit tqPatternDistanceMetricNorm(double order = 2.0);
    tqPatternDistanceMetricNorm(const tqPatternDistanceMetricNorm& other);
    tqPatternDistanceMetricNorm& operator=(const tqPatternDistanceMetricNorm& other);
    ~tqPatternDistanceMetricNorm() override;

    double order() const { return order_; }
    // Throws tqClassifierDefs::BadParams "Order of norm distance must be > 0" unless p > 0 (NaN
    // fails), leaving the order unchanged.
    void order(double p);

    // Throws tqClassifierDefs::BadFeatures "Pattern distance function requires the number of
    // measurementsin the two patterns to be equal" for patterns of different lengths, then the
    // pattern's own BadFeatures when a or b (in that order) holds an invalid measurement. Two
    // empty patterns are at distance 0.
    double distance(const tqFeaturePattern& a, const tqFeaturePattern& b) const override;
    tqPtrHandle<tqPatternDistanceMetric> clone() const override;
    // False for another class; otherwise true when neither order is less or greater than the other.
    bool isEquivalent(const tqPatternDistanceMetric& other) const override;

    bool operator==(const tqPatternDistanceMetricNorm& other) const { return isEquivalent(other); }
    bool operator!=(const tqPatternDistanceMetricNorm& other) const { return !isEquivalent(other); }

    void dispatchSerialize(tqArchive& ar) override;

    static tq_Instantiator sExemplar;

protected:
    void serialize_(tqArchive& ar, unsigned char version);

private:
    static tqPersistent* make();

    double order_ = 2.0;
};

#endif
