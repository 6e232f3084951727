// Classification results and the decision rule.
#ifndef CLASTOOL_RESULT_H
#define CLASTOOL_RESULT_H

#include <cstddef>
#include <vector>

#include "clss/clastool/costs.h"
#include "platform/archive.h"

// One candidate category of a classification: its label, its match score (how well the
// pattern fits the category on its own), its class score (the normalised a-posteriori share)
// and its expected cost (the mean cost of deciding for it).
//
// Archive layout: version byte 0, label (long), matchScore, classScore, expectedCost
// (double each). Another version throws tqArchive::UnknownVersion("clss/clastool/clastool",
// 347). Loading does not repeat the constructor's checks.
class tqClassifierCategoryResult {
public:
    // Checks in order: categoryLabel >= 0 (tqClassifierDefs::BadLabel "Category labels must
    // be >= 0"); matchScore, then classScore in [0.0, 1.0] (tqClassifierDefs::BadParams
    // "Scores must be >= 0.0 and <= 1.0"); expectedCost >= 0.0 (BadParams "Costs must be
    // >= 0.0"). The bounds are inclusive; NaN is refused.
    tqClassifierCategoryResult(long categoryLabel = 0, double matchScore = 0.0, double classScore = 0.0,
                               double expectedCost = 0.0);

    long categoryLabel() const { return categoryLabel_; }
    double matchScore() const { return matchScore_; }
    double classScore() const { return classScore_; }
    double expectedCost() const { return expectedCost_; }

    // All four fields equal (== on double).
    bool operator==(const tqClassifierCategoryResult& other) const;
    bool operator!=(const tqClassifierCategoryResult& other) const;

    friend tqArchive& operator||(tqArchive& ar, tqClassifierCategoryResult& result);
    // The decision step writes entries it has checked as a whole, without the checks per entry.
    friend class tqClassifierResult;

private:
    long categoryLabel_;
    double matchScore_;
    double classScore_;
    double expectedCost_;
};

// The outcome of one classification: category results in ascending order of expected cost
// (the first is the decision), with distinct labels, and the natural logarithm of the factor
// by which the classifier scaled the match scores, stored and returned unchanged.
//
// Archive layout: version byte 0, the category results as a vector (version byte 0, count,
// entries), matchScoreFactorLog (double). Another version throws
// tqArchive::UnknownVersion("clss/clastool/clastool", 671). Loading does not repeat the
// constructors' checks or the ordering.
class tqClassifierResult {
public:
    // No category results, matchScoreFactorLog 0.0.
    tqClassifierResult();

    // Takes ready-made class scores and expected costs: checks the labels are unique, orders
    // the entries by expected cost (a stable sort) and divides the class scores by their sum.
    // Throws tqClassifierDefs::BadParams
    //   "The category labels of the match results must be unique." for a repeated label,
    //   "At least one of the classification scores must be > 0." when there are no entries
    //   or the class scores sum to 0.0.
    tqClassifierResult(const std::vector<tqClassifierCategoryResult>& results, double matchScoreFactorLog);

    // The decision rule. From the labels and match scores of `results` (their class scores
    // and expected costs are ignored), with f_i the frequency of label i:
    //   classScore_i   = p_i / P, where p_i = matchScore_i * f_i / sum(f) and P = sum(p);
    //   expectedCost_i = sum over j != i of costs.misclassificationCost(label_j, label_i) * p_j / P;
    // then the entries are ordered by ascending expected cost (a stable sort).
    // Consults the attention check once per category, so that an abort request ends the
    // computation with the check's exception (tqAborted). Throws BadParams
    //   "The category labels of the match results must be unique." for a repeated label,
    //   "At least one of the category frequencies must be > 0." when there are no entries
    //   or the frequencies sum to 0.0,
    //   "At least one of the resulting classification scores must be > 0." when P is 0.0.
    tqClassifierResult(const std::vector<tqClassifierCategoryResult>& results,
                       const tqClassifierFrequencies& frequencies, const tqClassifierCosts& costs,
                       double matchScoreFactorLog);

    // The decision rule of the constructor above for n categories given as labels[i] and
    // matchScores[i], written into this result, whose storage is reused, so that a caller
    // keeping its result allocates nothing. Checks the labels' uniqueness first, as the
    // constructor does, then that every match score is in [0.0, 1.0] (BadParams "Scores must
    // be >= 0.0 and <= 1.0"), then as the constructor;
    // the bits are the constructor's. On an exception the result is unchanged.
    void decide(std::size_t n, const long* labels, const double* matchScores,
                const tqClassifierFrequencies& frequencies, const tqClassifierCosts& costs,
                double matchScoreFactorLog);

    // decide with the categories' frequencies looked up already (frequency[i] of labels[i],
    // each >= 0.0 as a frequency object holds them), for a caller deciding many patterns over
    // the same categories: the same checks in the same order, the same errors, the same bits.
    void decide(std::size_t n, const long* labels, const double* matchScores, const double* frequency,
                const tqClassifierCosts& costs, double matchScoreFactorLog);

    // decide with looked-up frequencies for a caller whose labels are known to pass the label
    // checks (distinct and >= 0), as a classifier's own labels are, checked once for all its
    // runs: those checks are not made again, the rest as decide makes them, with its errors and
    // its bits. With labels that do not pass them, the result holds the entries decide refuses.
    void decideCheckedLabels(std::size_t n, const long* labels, const double* matchScores, const double* frequency,
                             const tqClassifierCosts& costs, double matchScoreFactorLog);
    // Whether n labels pass decide's label checks: each >= 0 and no two equal.
    static bool labelsPass(std::size_t n, const long* labels);

    // decide with looked-up frequencies for `rows` patterns over the same n categories, their
    // match scores column by column: pattern r's score of category k is matchScores[k * stride
    // + r] (stride >= rows), its factor matchScoreFactorLogs[r],
    // and its result results[r], exactly as results[r].decide(...) for r = 0, 1, ... in turn
    // gives them: the same bits, checks (the attention check once per category and row) and
    // errors, a failing row leaving itself and the rows after it unchanged. The checks that
    // hold for every row alike are made once, and up to kRowCategories categories are
    // decided four rows per step.
    static void decideRows(std::size_t rows, std::size_t n, const long* labels, const double* matchScores,
                           std::size_t stride, const double* matchScoreFactorLogs, const double* frequency,
                           const tqClassifierCosts& costs, tqClassifierResult* results);
    static constexpr std::size_t kRowCategories = 16;

    // The class-score step of the decision rule alone: classScores[i] gets the class score
    // decide gives labels[i], bit for bit, with decide's checks and errors in its order, and
    // neither expected costs nor an ordering. On an exception classScores may be partly written.
    static void classScores(std::size_t n, const long* labels, const double* matchScores,
                            const tqClassifierFrequencies& frequencies, double* classScores);

    tqClassifierResult(const tqClassifierResult& other);
    tqClassifierResult& operator=(const tqClassifierResult& other);
    tqClassifierResult(tqClassifierResult&& other) noexcept;
    tqClassifierResult& operator=(tqClassifierResult&& other) noexcept;
    ~tqClassifierResult();

    const std::vector<tqClassifierCategoryResult>& categoryResults() const { return categoryResults_; }
    double matchScoreFactorLog() const { return matchScoreFactorLog_; }

    // Same entries in the same order, and equal matchScoreFactorLog.
    bool operator==(const tqClassifierResult& other) const;
    bool operator!=(const tqClassifierResult& other) const;

    friend tqArchive& operator||(tqArchive& ar, tqClassifierResult& result);

private:
    // decideRows' four-row steps, one body built for each instruction set the library chooses
    // from at run time.
    struct RowDecisions;

    // decide's step after the weights: expected costs, entries in order, the factor.
    void decideWeighed_(std::size_t n, const long* labels, const double* matchScores, const double* weight,
                        double weightSum, const tqClassifierCosts& costs, double matchScoreFactorLog);

    // decide with looked-up frequencies for at most kRowCategories categories whose labels and
    // match scores have passed their checks, every mistake at defaultCost: the same bits.
    void decideFew_(std::size_t n, const long* labels, const double* matchScores, const double* frequency,
                    double defaultCost, double matchScoreFactorLog);

    // The entries written in place, entry i (labels[i], matchScores[i], share[i], cost[i]) at
    // at[i], once nothing but the room for them can fail.
    void placeEntries_(std::size_t n, const long* labels, const double* matchScores, const double* share,
                       const double* cost, const std::size_t* at, double matchScoreFactorLog);

    std::vector<tqClassifierCategoryResult> categoryResults_;
    double matchScoreFactorLog_;
};

tqArchive& operator||(tqArchive& ar, tqClassifierCategoryResult& result);
tqArchive& operator||(tqArchive& ar, tqClassifierResult& result);

// A stored category result takes 33 bytes; this bounds the counts a loading archive accepts.
template <>
struct tq_ArchiveMinBytes<tqClassifierCategoryResult> {
    static constexpr std::size_t value = 33;
};

#endif
