// Category models: what the Bayesian technique learned about one category label.
#ifndef CLASTOOL_CATEGORYMODEL_H
#define CLASTOOL_CATEGORYMODEL_H

#include <vector>

#include "clss/clastool/distributions.h"
#include "clss/clastool/pattern.h"
#include "clss/clastool/pdf.h"
#include "platform/diag.h"
#include "platform/handle.h"
#include "platform/persistent.h"

// A category label, the number of measurements the model covers, and two operations: rate
// a pattern (matchScore, a log-likelihood) and learn from one pattern (adapt).
//
// Archive form: version byte 0, the persistent level, label (long), number of measurements (long).
class tq_CategoryModel : public tqPersistent, public tqRepBase {
public:
    tq_CategoryModel() = default;
    tq_CategoryModel(const tq_CategoryModel& other);
    tq_CategoryModel& operator=(const tq_CategoryModel& other);
    ~tq_CategoryModel() override;

    long categoryLabel() const { return label_; }
    void categoryLabel(long label) { label_ = label; }
    long numMeasurements() const { return numMeasurements_; }
    void numMeasurements(long n) { numMeasurements_ = n; }

    // Labels and numbers of measurements equal.
    bool operator==(const tq_CategoryModel& other) const;

    virtual double matchScore(const tqFeaturePattern& pattern, tqDiagObject* diag,
                              unsigned long flags) const = 0;
    virtual void adapt(const tqFeaturePattern& pattern, tqDiagObject* diag, unsigned long flags) = 0;

protected:
    void dispatchSerialize(tqArchive& ar) override;
    void serialize_(tqArchive& ar, unsigned char version);

private:
    long label_ = 0;
    long numMeasurements_ = 0;
};

// Splits the measurement indices of a category into groups, each modelled by its own PDF.
// Group g lists indices of the full pattern in the order in which they become measurements
// 0, 1, ... of the group's sub-pattern; an index the pattern does not reach, or an invalid
// measurement, is invalid in the sub-pattern (value 0.0). The log-likelihood of a pattern is
// the sum of its groups' log values: groups are independent, measurements inside a group
// are modelled jointly. Copies share the PDF objects; a trained model is not changed again.
//
// Archive form: version byte 0, the tq_CategoryModel level, the groups (list of lists of
// long), the PDFs (list of handles).
class tq_CategoryModelBayesian : public tq_CategoryModel {
public:
    tq_CategoryModelBayesian();
    // One empty PDF per entry of `types` for the group at the same position: eNormal gives
    // a multivariate normal, eBinomial a binomial whose maximum is the maximum-value
    // pattern's measurement at the group's first index (1.0 when that one is missing or
    // invalid). Throws NotImplemented "Poisson distribution is not implemented" / "Uniform
    // distribution is not implemented", or BadParams "Unknown distribution type".
    // Requires at least as many groups as types.
    tq_CategoryModelBayesian(long label, const std::vector<std::vector<long>>& groups,
                             const std::vector<tqClassifierDistributionTypes::DistributionType>& types,
                             const tqFeaturePattern& maxValues);
    tq_CategoryModelBayesian(const tq_CategoryModelBayesian& other);
    tq_CategoryModelBayesian& operator=(const tq_CategoryModelBayesian& other);
    ~tq_CategoryModelBayesian() override;

    // The sum of the PDFs' log values of the group sub-patterns (0.0 without PDFs). An
    // InsufficientTrainData of a PDF comes out with " for category <label>" appended to
    // its message; an empty PDF handle throws tqBadPointer. diag and flags are not used.
    double matchScore(const tqFeaturePattern& pattern, tqDiagObject* diag,
                      unsigned long flags) const override;
    // Each PDF learns its group sub-pattern, in group order; errors pass unchanged (groups
    // before the failing one have learned the pattern).
    void adapt(const tqFeaturePattern& pattern, tqDiagObject* diag, unsigned long flags) override;

    // Whether matchScores_ can rate rows: no group lists a negative index (a pattern object
    // refuses one with BadIndex, which matchScore lets through).
    bool ratesRows_() const;
    // Writes to scores[r * scoreStride] what matchScore gives rows.pattern(r), bit for bit, for
    // every row; requires ratesRows_(). One-measurement normal groups are rated a column at a
    // time with what their density computed once, the others row by row without a pattern
    // object. A failure leaves the scores partly written: to know which row fails and how,
    // rate the rows singly.
    void matchScores_(const tqPatternRows& rows, double* scores, std::size_t scoreStride) const;

    // Learns every row as adapt learns rows.pattern(r), in row order, bit for bit; requires
    // ratesRows_(). One-measurement normal groups learn their columns together, row by row;
    // other normal groups the block's rows read in place in one update, the others row by row
    // without a pattern object. Errors pass unchanged (a training
    // that fails is dropped whole, so what the model learned before does not matter).
    void adaptRows_(const tqPatternRows& rows);

    // When every group is one measurement (index >= 0) modelled by a normal density with
    // data: appends the groups' indices and their densities' terms (tfMVNTerms1Of) in group
    // order and returns true, so that a caller can rate complete patterns as matchScore does,
    // bit for bit (the sum of tfMVNLogValue1 over the groups, from 0.0 in group order).
    // Otherwise returns false, having appended the terms of the groups before the first that is
    // not such a one (the caller drops what it collected).
    bool normalTerms1_(std::vector<std::size_t>& indices, std::vector<tqMVNTerms1>& terms) const;

    const std::vector<std::vector<long>>& groups() const { return groups_; }
    // PDF g models group g.
    const std::vector<tqPtrHandle<tq_ProbabilityDensityFunction>>& pdfs() const { return pdfs_; }

    // Label, number of measurements and equivalent PDFs position by position; groups are
    // not compared.
    bool operator==(const tq_CategoryModelBayesian& other) const;
    bool operator!=(const tq_CategoryModelBayesian& other) const { return !(*this == other); }

    void dispatchSerialize(tqArchive& ar) override;
    static tq_Instantiator sExemplar;

protected:
    void serialize_(tqArchive& ar, unsigned char version);

private:
    static tqPersistent* make();

    std::vector<std::vector<long>> groups_;
    std::vector<tqPtrHandle<tq_ProbabilityDensityFunction>> pdfs_;
};

#endif
