// clastool: trains, evaluates and applies the library's classifiers to CSV files.
//
// Exit status: 0 on success, 1 for a problem with an input file, a model file or the work
// itself, 2 for a usage error on the command line, 130 when interrupted (nothing is written then).
#include <CLI/CLI.hpp>
#include <iostream>

#include "platform/attention.h"
#include "tools/commands.h"
#include "tools/options.h"
#include "tools/csv.h"
#include "tools/output.h"

namespace {

const char kCsvRules[] =
    "CSV files: a header row; cells separated by commas, semicolons or tabs (--delimiter);\n"
    "the label column is the one named \"label\" (or --label-column), else the last one;\n"
    "labels are whole numbers >= 0 or names (numbered in order of first appearance);\n"
    "an empty cell, NA, NaN or ? is a missing measurement (or an unknown label).\n";

const char kForceHelp[] = "replace the file a symbolic link points to, or write to a special file";

void addDelimiterOption(CLI::App* cmd, std::string& delimiter) {
    cmd->add_option("--delimiter", delimiter,
                    "cell delimiter of the data: , ; or tab (default: the first of them in the header row)")
        ->check(cli::oneOf({",", ";", "tab"}, {"\t"}));
}

// The options whose defaults cannot tell whether they were given; read after parsing.
struct GivenOptions {
    CLI::Option *k = nullptr, *norm = nullptr, *defaultCost = nullptr;
    void note(cli::MethodOptions& m) const {
        m.kGiven = k->count() > 0;
        m.normGiven = norm->count() > 0;
        m.defaultCostGiven = defaultCost->count() > 0;
    }
};

void addMethodOptions(CLI::App* cmd, cli::MethodOptions& m, GivenOptions& given) {
    cmd->add_option("--method", m.method, "knn, bayes, tree (--tree FILE) or rules (--rules FILE)")
        ->required()
        ->check(cli::oneOf({"knn", "bayes", "tree", "rules"}));
    cmd->add_option("--tree", m.treeFile, "tree: the decision tree, a JSON file (see docs/cli.md)");
    cmd->add_option("--rules", m.rulesFile, "rules: the rule table, a JSON file (see docs/cli.md)");
    given.k = cmd->add_option("--k", m.k, "knn: number of neighbours that vote (default 5)")
                  ->check(cli::wholeNumber(1));
    given.norm = cmd->add_option("--norm", m.norm, "knn: order p of the Minkowski distance (default 2)")
                     ->check(cli::realNumber(0.0, false));
    cmd->add_option("--prior", m.priors, "bayes: a-priori frequency of a label, LABEL=FREQUENCY (repeatable)")
        ->allow_extra_args(false);
    cmd->add_option("--binomial", m.binomial,
                    "bayes: model a measurement as binomial with this maximum, COLUMN=MAXIMUM (repeatable)")
        ->allow_extra_args(false);
    cmd->add_option(
           "--joint", m.joint,
           "bayes: model these measurements jointly, e.g. 0,1,2 or x,y (repeatable; names or 0-based "
           "measurement indices)")
        ->allow_extra_args(false);
    cmd->add_option(
        "--costs", m.costsFile,
        "misclassification cost matrix CSV: header row of decided labels after a corner cell, then "
        "one row per true label");
    given.defaultCost = cmd->add_option("--default-cost", m.defaultCost,
                                        "cost of a misclassification the matrix does not give (default 1)")
                            ->check(cli::realNumber(0.0, true));
    cmd->add_flag("--no-ready-check", m.noReadyCheck,
                  "keep a classifier that cannot classify yet instead of failing");
    cmd->add_option("--label-column", m.labelColumn,
                    "name or 0-based index of the label column (default \"label\", else the last column)");
    addDelimiterOption(cmd, m.delimiter);
}

// Which columns are data, and how they are prepared (train and evaluate).
void addDataOptions(CLI::App* cmd, cli::MethodOptions& m) {
    cmd->add_option("--columns", m.columns, "the measurement columns, e.g. a,b,c (names or 0-based column indices)")
        ->delimiter(',')
        ->allow_extra_args(false);
    cmd->add_option("--ignore", m.ignore, "columns that are not measurements, e.g. id,name (names or indices)")
        ->delimiter(',')
        ->allow_extra_args(false);
    cmd->add_flag("--no-header", m.noHeader, "the first row is data; columns are named 0, 1, 2, ...");
    cmd->add_option("--scale", m.scale, "scale the measurements, fitted on the training rows (default none)")
        ->check(cli::oneOf({"standard", "minmax", "none"}));
    cmd->add_option("--impute", m.impute, "knn: fill missing measurements, fitted on the training rows")
        ->check(cli::oneOf({"mean", "median", "none"}));
}

}  // namespace

const char* const kThreadsHelp = "classify on this many threads (default 0: one per core)";

int main(int argc, char** argv) {
    CLI::App app(
        "clastool: statistical pattern classifiers for CSV data (k-nearest neighbours, Bayesian, "
        "decision trees, rule tables)",
        "clastool");
    app.set_version_flag("--version", std::string("clastool ") + CLASTOOL_VERSION + " (model file format " +
                                          std::to_string(cli::kModelFormatVersion) + ")");
    app.require_subcommand(1);
    bool quiet = false;
    app.add_flag("-q,--quiet", quiet, "show no progress bar (one appears only on a terminal anyway)");

    cli::TrainArgs train;
    GivenOptions trainGiven;
    CLI::App* trainCmd =
        app.add_subcommand("train", "train a classifier on a CSV file and write a model file");
    addMethodOptions(trainCmd, train.method, trainGiven);
    addDataOptions(trainCmd, train.method);
    trainCmd->add_option("DATA", train.data, "training data (CSV; - for standard input)")->required();
    trainCmd->add_option("-o,--output", train.output, "model file to write (- for standard output)")
        ->required();
    trainCmd->add_flag("--force", train.force, kForceHelp);
    trainCmd->footer(kCsvRules);

    cli::ClassifyArgs classify;
    CLI::App* classifyCmd =
        app.add_subcommand("classify", "classify every row of a CSV file with a model file");
    classifyCmd->add_option("MODEL", classify.model, "model file written by 'clastool train'")->required();
    classifyCmd
        ->add_option("DATA", classify.data,
                     "data to classify (CSV with the model's measurement columns; - for standard input)")
        ->required();
    classifyCmd->add_option("-o,--output", classify.output, "CSV file to write (default: standard output)");
    classifyCmd->add_flag("--force", classify.force, kForceHelp);
    addDelimiterOption(classifyCmd, classify.delimiter);
    classifyCmd->add_flag("--scores", classify.scores,
                          "add every category's match score, class score and expected cost");
    classifyCmd->add_option("--threads", classify.threads, kThreadsHelp)->check(cli::wholeNumber(0));
    classifyCmd->add_option("--format", classify.format, "csv (default) or json (an array of one object per row)")
        ->check(cli::oneOf({"csv", "json"}));
    classifyCmd->add_flag("--proba", classify.proba, "write only the class scores, one column per category");
    classifyCmd->add_flag("--no-header", classify.noHeader, "the first row is data (a model trained with --no-header)");
    classifyCmd->footer(kCsvRules);

    cli::EvaluateArgs evaluate;
    GivenOptions evalGiven;
    CLI::App* evaluateCmd =
        app.add_subcommand("evaluate", "measure a method on a test file, or by stratified cross-validation");
    addMethodOptions(evaluateCmd, evaluate.method, evalGiven);
    addDataOptions(evaluateCmd, evaluate.method);
    evaluateCmd
        ->add_option("FILES", evaluate.files,
                     "TRAIN.csv TEST.csv, or one DATA.csv with --folds (tree, rules: without; "
                     "- for standard input)")
        ->required();
    evaluateCmd->add_option("--folds", evaluate.folds, "cross-validate with this many stratified folds")
        ->check(cli::wholeNumber(2));
    evaluateCmd->add_option("--seed", evaluate.seed, "seed of the fold assignment (default 1)")
        ->check(cli::wholeNumber(0));
    evaluateCmd->add_option("--predictions", evaluate.predictions,
                            "also write each row's decision to this CSV file (as 'classify' does)");
    evaluateCmd->add_flag("--scores", evaluate.scores, "with --predictions: add every category's scores");
    evaluateCmd->add_flag("--force", evaluate.force, kForceHelp);
    evaluateCmd->add_option("--format", evaluate.format,
                            "report as text (default), json (the whole report) or csv (the per-category table)")
        ->check(cli::oneOf({"text", "json", "csv"}));
    evaluateCmd->add_option("--threads", evaluate.threads, kThreadsHelp)->check(cli::wholeNumber(0));
    evaluateCmd->footer(kCsvRules);

    cli::InfoArgs info;
    CLI::App* infoCmd =
        app.add_subcommand("info", "describe a model file: technique, parameters, categories, size");
    infoCmd->add_option("MODEL", info.model, "model file")->required();

    cli::DemoArgs demo;
    CLI::App* demoCmd =
        app.add_subcommand("demo", "generate data, train both methods, evaluate them (no files needed)");
    demoCmd->add_option("--save-data", demo.saveData, "also write the generated data to this CSV file");
    demoCmd->add_flag("--force", demo.force, kForceHelp);
    demoCmd->add_flag("--timing", demo.timing, "also print the time each method took (it varies between runs)");

    // Set last, so that the commands do not inherit it.
    app.footer("Run 'clastool COMMAND --help' for a command's options. Start with 'clastool demo'.\n");

    // CLI11 would call a misspelt command a missing one; name it instead.
    const std::string first = argc > 1 ? argv[1] : "";
    if (!first.empty() && first[0] != '-' && first != "train" && first != "classify" && first != "evaluate" &&
        first != "info" && first != "demo") {
        std::cerr << "clastool: unknown command \"" << argv[1]
                  << "\" (commands: train, classify, evaluate, info, demo; see 'clastool --help')\n";
        return 2;
    }
    // A refusal of the command line points to the help of the command it was given to.
    const std::string help = "(see 'clastool " + (first.empty() || first[0] == '-' ? "" : first + " ") + "--help')";
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        if (e.get_exit_code() == 0) return app.exit(e);  // --help, --version
        std::cerr << "clastool: " << e.what() << " " << help << "\n";
        return 2;
    }

    // When a file goes to standard output ("-"), the command's own summary or report goes to
    // standard error, so that the file stays whole.
    std::ostream& report =
        train.output == "-" || evaluate.predictions == "-" || demo.saveData == "-" ? std::cerr : std::cout;
    cli::Progress::setQuiet(quiet);
    cli::installSignalHandlers();
    try {
        if (trainCmd->parsed()) {
            trainGiven.note(train.method);
            cli::runTrain(train, report);
        } else if (classifyCmd->parsed()) {
            cli::runClassify(classify, std::cout);
        } else if (evaluateCmd->parsed()) {
            evalGiven.note(evaluate.method);
            cli::runEvaluate(evaluate, report);
        } else if (infoCmd->parsed()) {
            cli::runInfo(info, std::cout);
        } else if (demoCmd->parsed()) {
            cli::runDemo(demo, report);
        }
    } catch (const cli::UsageError& e) {
        std::cerr << "clastool: " << e.what() << " " << help << "\n";
        return 2;
    } catch (const std::exception& e) {
        // An abort request surfaces as whatever exception the interrupted step wraps it in.
        if (tfAttentionCheck() != 0) {
            std::cerr << "clastool: interrupted; nothing was written\n";
            return cli::kInterruptedStatus;
        }
        const bool expected = dynamic_cast<const cli::InputError*>(&e) != nullptr;
        std::cerr << "clastool: " << (expected ? "" : "unexpected failure: ") << cli::printable(e.what())
                  << "\n";
        return 1;
    }
    std::cout.flush();
    return std::cout ? 0 : 1;
}
