// Turning command-line settings and data tables into the library's training parameters, data
// providers and classifications, with messages that point at the file, line and column to blame.
#ifndef CLASTOOL_TOOLS_TRAINING_H
#define CLASTOOL_TOOLS_TRAINING_H

#include <string>
#include <vector>

#include "clss/clastool/clastool.h"
#include "tools/csv.h"
#include "tools/modelfile.h"
#include "tools/preprocess.h"

namespace cli {

// The settings of `--method` and its options.
struct MethodOptions {
    std::string method;  // "knn" or "bayes"
    // knn
    long k = 5;
    double norm = 2.0;
    bool kGiven = false, normGiven = false;
    // bayes
    std::vector<std::string> priors;    // LABEL=FREQUENCY
    std::vector<std::string> binomial;  // COLUMN=MAXIMUM
    std::vector<std::string> joint;     // COLUMN,COLUMN,...
    // both
    std::string costsFile;  // cost-matrix CSV
    double defaultCost = 1.0;
    bool noReadyCheck = false;
    std::string labelColumn;  // a name or 0-based column index; empty: "label", else the last column
    std::string delimiter;    // ",", ";" or "tab"; empty: from the header row
    // the data and their preparation
    std::vector<std::string> columns;  // --columns: the measurement columns (names or indices)
    std::vector<std::string> ignore;   // --ignore: columns left out
    bool noHeader = false;
    std::string scale = "none";   // none, standard, minmax
    std::string impute = "none";  // none, mean, median (knn)

    // The columns to read from a training file.
    ColumnChoice choice() const;
    // The preparation fitted on the labelled ones among `rows` of `table`.
    Preprocessing fitPreprocessing(const DataTable& table, const std::vector<std::size_t>& rows,
                                   const std::vector<long>& categories) const;
};

// Refuses options that do not belong to the chosen method (InputError).
void checkMethodOptions(const MethodOptions& options);

// The label map of a training table.
LabelMap trainingLabels(const DataTable& table);

// The category number of every row of a training table (-1 for the unknown label).
std::vector<long> trainingCategories(const DataTable& table, const LabelMap& labels);

// The category number of every row of a table read against an existing label map; a label the
// map does not know is added to it (a category no model knows), -1 stands for the unknown label.
// An integer map refuses a label that is not a whole number, naming the cell.
std::vector<long> testCategories(const DataTable& table, LabelMap& labels);

// Builds the training parameters. Column references in the options are measurement column
// names or 0-based measurement indices; label references are label texts of `labels`.
tqPtrHandle<tqClassifierTrainParams> buildParams(const MethodOptions& options, const DataTable& table,
                                                 const LabelMap& labels);

// The misclassification costs that the parameters carry.
const tqClassifierCosts& costsOf(const tqClassifierTrainParams& params);

// Checks that the rows `rows` of `table` can be handed to a classifier trained with `params`
// after `prep`: no missing measurement for knn (unless imputed), binomial measurements within 0
// and their maximum for bayes. Throws InputError naming the first offending cell.
void checkRows(const tqClassifierTrainParams& params, const DataTable& table, const std::vector<std::size_t>& rows,
               const Preprocessing& prep);

// Trains `tool` on the rows `rows` of `table`, prepared by `prep`, with their categories. Library
// errors become an InputError that says training failed and why; a progress bar follows the rows
// on a terminal.
void trainTool(tqClassifierTool& tool, const tqClassifierTrainParams& params, const DataTable& table,
               const std::vector<long>& categories, const std::vector<std::size_t>& rows,
               const Preprocessing& prep);

// The feature pattern of row r, prepared by `prep`.
tqFeaturePattern rowPattern(const DataTable& table, std::size_t r, const Preprocessing& prep);

// Classifies one row; a library error becomes an InputError naming the file and line.
tqClassifierResult classifyRow(const tqClassifierTool& tool, const DataTable& table, std::size_t row,
                               const Preprocessing& prep);
// Classifies `count` rows of `table` from rows[0] on, prepared by `prep`, into out[0, count),
// through the tool's batch classification, split into one contiguous share per thread; threads <= 0
// means one per core. Rows that follow each other without preparation are handed to the library in
// place. A share that fails is classified again row by row, so that the error is classifyRow's, for
// the first failing row.
void classifyInThreads(const tqClassifierTool& tool, const DataTable& table, const std::size_t* rows,
                       std::size_t count, const Preprocessing& prep, long threads, tqClassifierResult* out);

// A one-line description of the method and its main settings ("knn (k = 5, norm order 2)").
std::string describeParams(const tqClassifierTrainParams& params);

}  // namespace cli

#endif
