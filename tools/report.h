// What the program prints about classifications: per-row output files and evaluation reports.
#ifndef CLASTOOL_TOOLS_REPORT_H
#define CLASTOOL_TOOLS_REPORT_H

#include <ostream>
#include <string>
#include <vector>

#include "tools/modelfile.h"

class tqClassifierResult;
class tqClassifierCosts;

namespace cli {

// The rows of a classification output file:
//     row,decision[,match:NAME,class:NAME,cost:NAME for every category]
// `row` counts the data rows of the input from 1. With scores, every category the model knows
// gets its match score, class score and expected cost, in the label map's order; a category the
// classifier left out of its result (no neighbour voted for it) has match and class score 0 and
// the expected cost of deciding it under the result's class scores and `costs`.
class PredictionWriter {
public:
    PredictionWriter(const LabelMap& labels, bool scores, const tqClassifierCosts& costs);
    void header(std::ostream& out) const;
    void row(std::ostream& out, long rowNumber, const tqClassifierResult& result) const;

private:
    const LabelMap& labels_;
    bool scores_;
    const tqClassifierCosts& costs_;
};

// Accumulates true labels against decisions and prints the evaluation report: accuracy, the
// confusion matrix, precision, recall and F1 per category with their macro and weighted averages,
// Cohen's kappa, the mean expected cost of the decisions (the classifier's own estimate), their
// mean actual cost under the cost matrix and, for cross-validation, the accuracy of every fold.
class Evaluation {
public:
    Evaluation(const LabelMap& labels, const tqClassifierCosts& costs);

    // Records one classified row whose true category is `truth` (>= 0), tested in fold `fold`
    // (0-based; -1 outside cross-validation).
    void add(long truth, const tqClassifierResult& result, long fold = -1);
    // Records a classified row whose true label is unknown (counted, not scored).
    void addUnlabelled() { ++unlabelled_; }

    long count() const { return static_cast<long>(truths_.size()); }
    long correct() const;
    double accuracy() const;
    double meanExpectedCost() const;
    double meanActualCost() const;

    // The report, headed by `title`, as "text" (for people), "json" (the whole report) or "csv"
    // (the per-category table: category,precision,recall,f1,support).
    void print(std::ostream& out, const std::string& title, const std::string& format = "text") const;

private:
    const LabelMap& labels_;
    const tqClassifierCosts& costs_;
    std::vector<long> truths_;
    std::vector<long> decisions_;
    std::vector<double> expectedCosts_;
    std::vector<long> folds_;
    long unlabelled_ = 0;

    struct Summary;
    Summary summarize() const;
    void printText(std::ostream& out, const std::string& title, const Summary& s) const;
    void printJson(std::ostream& out, const std::string& title, const Summary& s) const;
};

}  // namespace cli

#endif
