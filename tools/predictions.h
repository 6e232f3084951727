// The shapes of classify's output: CSV or JSON, with the decision (and optionally every
// category's scores) or only the class scores.
//
// CSV, the default: PredictionWriter's rows (row,decision[,match:NAME,class:NAME,cost:NAME...]).
// CSV with proba: a header of the category names in the model's order, then one row of class
// scores per input row (a category the classifier left out of its result scores 0).
// JSON: an array with one object per input row whose keys are the CSV columns: {"row": 1,
// "decision": "setosa"}, plus "match:NAME", "class:NAME", "cost:NAME" with scores; with proba
// {"setosa": 0.98, ...}. A missing decision is null, as is a number that is not finite.
#ifndef CLASTOOL_TOOLS_PREDICTIONS_H
#define CLASTOOL_TOOLS_PREDICTIONS_H

#include <ostream>
#include <string>

#include "tools/modelfile.h"
#include "tools/report.h"

namespace cli {

class PredictionOutput {
public:
    enum class Format { Csv, Json };
    // Throws InputError for --proba with --scores.
    PredictionOutput(const LabelMap& labels, const tqClassifierCosts& costs, Format format, bool scores, bool proba);

    void begin(std::ostream& out) const;
    void row(std::ostream& out, long rowNumber, const tqClassifierResult& result) const;
    void end(std::ostream& out) const;

private:
    const LabelMap& labels_;
    const tqClassifierCosts& costs_;
    Format format_;
    bool scores_, proba_;
    PredictionWriter csv_;
};

// "csv" or "json"; false for another word.
bool formatNamed(const std::string& name, PredictionOutput::Format& format);

// The text as a JSON string, quoted.
std::string jsonString(const std::string& text);

}  // namespace cli

#endif
