// Probability density functions: the per-group models of the Bayesian technique.
#ifndef CLASTOOL_PDF_H
#define CLASTOOL_PDF_H

#include <cstddef>
#include <cstdint>
#include <vector>

#include "clss/clastool/pattern.h"
#include "platform/handle.h"
#include "platform/mvn.h"
#include "platform/persistent.h"
#include "platform/values.h"

// The measurements of one group of one pattern, borrowed from the caller's storage: what a
// group sub-pattern holds, without the pattern object. `values` has `size` entries (an
// invalid one reads 0.0); `invalid` lists the positions of the invalid ones, ascending.
// When the caller has marshalled them into a kernel record already, `record` holds the same
// measurements (else it is null).
struct tq_GroupMeasurements {
    const double* values = nullptr;
    long size = 0;
    const std::int32_t* invalid = nullptr;
    long numInvalid = 0;
    const tqMVNRecord* record = nullptr;
    const tqMVNRecordList* records = nullptr;  // when not null: a list of `record` alone
};

// A density over the measurements of one group of one category. It learns from patterns
// (updateWithData), forgets them (clear), and rates a pattern by the natural logarithm of
// its density or mass (logValue). Measurement 0 of a pattern handed here is the group's
// first measurement. logValue is const and may run on several threads at once; updates,
// clear, assignment and loading need exclusive use.
class tq_ProbabilityDensityFunction : public tqPersistent, public tqRepBase {
public:
    tq_ProbabilityDensityFunction() = default;
    tq_ProbabilityDensityFunction(const tq_ProbabilityDensityFunction& other);
    tq_ProbabilityDensityFunction& operator=(const tq_ProbabilityDensityFunction& other);
    ~tq_ProbabilityDensityFunction() override;

    virtual double logValue(const tqFeaturePattern& pattern) const = 0;
    virtual bool isEquivalent(const tq_ProbabilityDensityFunction& other) const = 0;
    // Adds the patterns to what earlier updates gave.
    virtual void updateWithData(const std::vector<tqFeaturePattern>& data) = 0;
    virtual void clear() = 0;

protected:
    void dispatchSerialize(tqArchive& ar) override;
    void serialize_(tqArchive& ar, unsigned char version);

    // The same as logValue / updateWithData of the group sub-pattern (one pattern) that
    // `group` describes. The category model calls these so that rating and learning a
    // pattern build no pattern object per group; the defaults build one and forward.
    virtual double logValueOfGroup_(const tq_GroupMeasurements& group) const;
    virtual void updateWithGroup_(const tq_GroupMeasurements& group);

    friend class tq_CategoryModelBayesian;
};

// A normal distribution over any number of measurements. The estimate (mean, covariance,
// count) lives in the platform's multivariate-normal kernel; this class marshals patterns
// into it and turns its failure statuses into exceptions:
//   InsufficientTrainData "No valid data has been used to train the distribution"
//       (logValue before any usable data)
//   BadParams "Must call clear before updating with feature vectors of different sizes"
// How missing measurements, degenerate data and the covariance divisor are handled is the
// kernel's business (docs/numerics.md).
//
// Archive form: version byte 0, the base level, mean and covariance (tqNMMatrix), count
// (long). Loading rebuilds the kernel state from these three.
class tq_PDFMultivariateNormal : public tq_ProbabilityDensityFunction {
public:
    tq_PDFMultivariateNormal();
    tq_PDFMultivariateNormal(const tq_PDFMultivariateNormal& other);
    tq_PDFMultivariateNormal& operator=(const tq_PDFMultivariateNormal& other);
    ~tq_PDFMultivariateNormal() override;

    double logValue(const tqFeaturePattern& pattern) const override;
    void updateWithData(const std::vector<tqFeaturePattern>& data) override;
    // As updateWithData, with every measurement divided by `normalization` first.
    void updateWithDataNormalize(const std::vector<tqFeaturePattern>& data, double normalization);
    // Afterwards isValid() is false.
    void clear() override;

    // The estimate; element (0, 0) belongs to measurement 0.
    tqNMMatrix mean() const;
    tqNMMatrix covariance() const;
    // Whether the estimate rests on any data.
    bool isValid() const;
    // How many complete patterns the estimate rests on.
    long count_() const;
    // The least standard deviation each measurement of the group is given where its
    // estimate is degenerate (one entry per measurement; 0: a measurement that never varied
    // is left out). The Bayesian classifier sets the same floors for every category; a
    // density without them uses floors of its own (docs/numerics.md). Not archived.
    void scaleFloors_(const std::vector<double>& floors);

    // Counts, then means, then covariances equal.
    bool operator==(const tq_PDFMultivariateNormal& other) const;
    bool operator!=(const tq_PDFMultivariateNormal& other) const { return !(*this == other); }
    bool isEquivalent(const tq_ProbabilityDensityFunction& other) const override;

    void dispatchSerialize(tqArchive& ar) override;
    static tq_Instantiator sExemplar;

protected:
    void serialize_(tqArchive& ar, unsigned char version);
    double logValueOfGroup_(const tq_GroupMeasurements& group) const override;
    void updateWithGroup_(const tq_GroupMeasurements& group) override;
    // For a one-measurement density: adds to sums[r * sumStride] the log value of measurement
    // x[r * xStride] (r < n) that logValueOfGroup_ gives it, bit for bit; where valid is not
    // null and valid[r * validStride] is 0 the measurement is invalid. Errors as logValue.
    void addLogValues1_(long n, const double* x, std::size_t xStride, const unsigned char* valid,
                        std::size_t validStride, double* sums, std::size_t sumStride) const;

private:
    friend class tq_CategoryModelBayesian;
    friend class tq_PDFBinomial;
    static tqPersistent* make();
    void updateGroupNormalize_(const tq_GroupMeasurements& group, double normalization);

    tqMVNState state_;
};

// A binomial distribution over exactly one measurement that counts successes out of a
// maximum value M: the measurement m stands for round(m n / M) successes of n trials.
// Trained by the method of moments on m / M: theta is the mean, n = theta (1 - theta) / v
// rounded, for the variance v (unchanged while v is within 1e-15 of 0). Untrained (n = 0)
// until then.
//
// Failures (a refused update changes nothing):
//   constructor: BadFeatures "The measurement for the specified measurement index is not
//       valid." when the maximum-value pattern's first measurement is missing or invalid
//   updateWithData: NotImplemented "Multivariate Binomial Distributions are not
//       implemented" when the first pattern does not have one measurement; BadParams
//       "Train data measurement cannot exceed its maximum value when using binomial
//       distribution"
//   logValue: InsufficientTrainData "Insufficient data has been used to train the
//       distribution" (untrained), NotImplemented (as above), BadParams "Feature
//       measurement must be <= specified maximum value"; an invalid measurement rates 0.0
//
// Archive form: version byte 0, the base level, number of trials (long), theta, maximum
// value (doubles). The moments are not stored: a loaded binomial rates like the stored
// one, but its moments start empty. Equality ignores the moments too.
class tq_PDFBinomial : public tq_ProbabilityDensityFunction {
public:
    explicit tq_PDFBinomial(const tqFeaturePattern& maxValues = tqFeaturePattern({1.0}, {}));
    tq_PDFBinomial(const tq_PDFBinomial& other);
    tq_PDFBinomial& operator=(const tq_PDFBinomial& other);
    ~tq_PDFBinomial() override;

    long numTrials() const { return numTrials_; }
    // 0.5 until the first update that sets it.
    double theta() const { return theta_; }

    double logValue(const tqFeaturePattern& pattern) const override;
    void updateWithData(const std::vector<tqFeaturePattern>& data) override;
    // Forgets the moments and the number of trials; theta and the maximum value stay.
    void clear() override;

    bool operator==(const tq_PDFBinomial& other) const;
    bool operator!=(const tq_PDFBinomial& other) const { return !(*this == other); }
    bool isEquivalent(const tq_ProbabilityDensityFunction& other) const override;

    void dispatchSerialize(tqArchive& ar) override;
    static tq_Instantiator sExemplar;

protected:
    void serialize_(tqArchive& ar, unsigned char version);
    double logValueOfGroup_(const tq_GroupMeasurements& group) const override;
    void updateWithGroup_(const tq_GroupMeasurements& group) override;

private:
    static tqPersistent* make();
    double logValueOf_(double measurement) const;
    // Takes theta and the number of trials from the moments after an update.
    void estimate_();

    long numTrials_ = 0;
    double theta_ = 0.5;
    double maxValue_;
    tq_PDFMultivariateNormal moments_;
};

#endif
