// The program's commands. Each reads its inputs completely and checks them before it writes
// anything; failures are thrown as InputError with a message for the user.
#ifndef CLASTOOL_TOOLS_COMMANDS_H
#define CLASTOOL_TOOLS_COMMANDS_H

#include <ostream>
#include <string>
#include <vector>

#include "tools/training.h"

namespace cli {

struct TrainArgs {
    MethodOptions method;
    std::string data;
    std::string output;
    bool force = false;  // allow an output through a link or to a device
};

struct ClassifyArgs {
    std::string model;
    std::string data;
    std::string output;     // empty: standard output
    std::string delimiter;  // as MethodOptions::delimiter
    bool scores = false;
    bool force = false;
    long threads = 0;  // 0: one per core
    // the shape of the output and the data
    std::string format = "csv";  // csv or json
    bool proba = false;          // only the class scores
    bool noHeader = false;
};

struct EvaluateArgs {
    MethodOptions method;
    std::vector<std::string> files;  // TRAIN TEST, or DATA with folds
    long folds = 0;
    long seed = 1;
    std::string predictions;  // per-row output file, optional
    std::string format = "text";  // of the report: "text", "json" or "csv"
    bool scores = false;
    bool force = false;
    long threads = 0;  // 0: one per core
};

struct InfoArgs {
    std::string model;
};

struct DemoArgs {
    std::string saveData;  // write the generated data as CSV, optional
    bool force = false;
    bool timing = false;  // also print each method's wall time (which differs between runs)
};

// A mistake on the command line (exit status 2), found after the parser's own checks.
class UsageError : public InputError {
public:
    using InputError::InputError;
};

// The checks of option combinations that need no file; they throw UsageError.
void checkUsage(const MethodOptions& method);
void checkUsage(const EvaluateArgs& args);

// train: reads DATA, trains, writes MODEL; prints a one-line summary.
void runTrain(const TrainArgs& args, std::ostream& out);
// classify: one output row per input row (see PredictionWriter).
void runClassify(const ClassifyArgs& args, std::ostream& out);
// evaluate: a hold-out test file or stratified, seeded cross-validation; prints the report.
void runEvaluate(const EvaluateArgs& args, std::ostream& out);
// info: what a model file holds.
void runInfo(const InfoArgs& args, std::ostream& out);
// demo: generated data, both methods trained and evaluated.
void runDemo(const DemoArgs& args, std::ostream& out);

}  // namespace cli

#endif
