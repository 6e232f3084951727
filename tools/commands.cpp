#include "tools/commands.h"

#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <numeric>
#include <sstream>

#include "platform/random.h"
#include "tools/output.h"
#include "tools/predictions.h"
#include "tools/report.h"

namespace cli {

namespace {

std::vector<std::size_t> allRows(const DataTable& table) {
    std::vector<std::size_t> rows(table.size());
    std::iota(rows.begin(), rows.end(), std::size_t{0});
    return rows;
}

std::string plural(std::size_t n, const std::string& word) {
    if (n == 1) return "1 " + word;
    if (word.size() > 1 && word.back() == 'y')
        return std::to_string(n) + " " + word.substr(0, word.size() - 1) + "ies";
    return std::to_string(n) + " " + word + "s";
}

// Where the labels came from, when no column was named for them.
std::string labelNote(const DataTable& table) {
    return table.labelFromLastColumn
               ? "the labels are in the last column, \"" + printable(table.labelColumn) +
                     "\", as no column is named \"label\""
               : "";
}

// " (NOTE)" for a note that is not empty.
std::string inParentheses(const std::string& note) { return note.empty() ? "" : " (" + note + ")"; }

// The pieces an evaluation needs, whichever way its test rows are chosen.
struct EvaluationRun {
    const DataTable& table;                   // the rows being classified
    std::vector<long> truths;                 // per row of `table`, -1 unknown
    std::vector<tqClassifierResult> results;  // per row of `table`
    std::vector<long> folds;                  // per row, in cross-validation (-1: in none)
};

// Classifies `rows` of `table` with `tool` into results[r] for each r of `rows`, then advances
// the progress bar.
void classifyRows(const Model& model, const DataTable& table, const std::vector<std::size_t>& rows,
                  const Preprocessing& prep, long threads, std::vector<tqClassifierResult>& results,
                  Progress& progress, long& done) {
    std::vector<tqClassifierResult> out(rows.size());
    classifyInThreads(model, table, rows.data(), rows.size(), prep, threads, out.data());
    for (std::size_t i = 0; i < rows.size(); ++i) results[rows[i]] = std::move(out[i]);
    done += static_cast<long>(rows.size());
    progress.update(done);
}

// Prints the report and writes the per-row file of an evaluation.
void finishEvaluation(const EvaluationRun& run, const LabelMap& labels, const tqClassifierCosts& costs,
                      const std::string& title, const EvaluateArgs& args, std::ostream& out) {
    Evaluation evaluation(labels, costs);
    for (std::size_t r = 0; r < run.truths.size(); ++r) {
        if (run.truths[r] < 0)
            evaluation.addUnlabelled();
        else
            evaluation.add(run.truths[r], run.results[r], run.folds.empty() ? -1 : run.folds[r]);
    }
    if (!args.predictions.empty()) {
        PredictionWriter writer(labels, args.scores, costs);
        writeFileAtomically(args.predictions, [&](std::ostream& file) {
            writer.header(file);
            for (std::size_t r = 0; r < run.results.size(); ++r)
                writer.row(file, static_cast<long>(r) + 1, run.results[r]);
        });
    }
    evaluation.print(out, title, args.format);
}

// Trains on one table and evaluates on another (the hold-out evaluation and the demo).
void evaluateHoldout(const MethodOptions& method, const DataTable& train, const DataTable& test,
                     const EvaluateArgs& args, std::ostream& out) {
    LabelMap labels = trainingLabels(train);
    const std::vector<long> trainCats = trainingCategories(train, labels);
    const MethodSetup setup = setUpMethod(method, train, labels);
    const Preprocessing prep = method.fitPreprocessing(train, allRows(train), trainCats);

    EvaluationRun run{test, testCategories(test, labels), std::vector<tqClassifierResult>(test.size()), {}};
    const std::vector<std::size_t> testRows = allRows(test);
    if (setup.learns()) checkRows(*setup.params, test, testRows, prep);

    const Model model = setup.fit(train, trainCats, allRows(train), prep);
    Progress progress("classifying", static_cast<long>(testRows.size()));
    long done = 0;
    classifyRows(model, test, testRows, prep, args.threads, run.results, progress, done);

    std::size_t used = 0;
    for (long c : trainCats) used += c >= 0;
    const std::string title = describe(model) + (setup.learns() ? ": trained on " : ": built for ") +
                              plural(used, "labelled row") + " of " + train.file +
                              inParentheses(labelNote(train)) + ", tested on " + plural(test.size(), "row") +
                              " of " + test.file;
    finishEvaluation(run, labels, costsOf(model), title, args, out);
}

// Stratified folds: the labelled rows of every category, shuffled with the seed, are dealt to
// the folds in turn, continuing from one category to the next so that fold sizes differ by one
// at most. Rows with the unknown label belong to no fold.
std::vector<std::vector<std::size_t>> stratifiedFolds(const std::vector<long>& categories,
                                                      const LabelMap& labels, long folds, long seed) {
    tqRandomUniform random(seed);
    std::vector<std::vector<std::size_t>> result(static_cast<std::size_t>(folds));
    std::size_t next = 0;
    for (long category : labels.categories()) {
        std::vector<std::size_t> rows;
        for (std::size_t r = 0; r < categories.size(); ++r)
            if (categories[r] == category) rows.push_back(r);
        // Fisher-Yates with the library's portable generator, so that folds are the same everywhere.
        for (std::size_t i = rows.size(); i > 1; --i) {
            std::size_t j = static_cast<std::size_t>(random.next(0.0, static_cast<double>(i)));
            if (j >= i) j = i - 1;
            std::swap(rows[i - 1], rows[j]);
        }
        for (std::size_t r : rows) {
            result[next].push_back(r);
            next = (next + 1) % result.size();
        }
    }
    for (auto& fold : result) std::sort(fold.begin(), fold.end());
    return result;
}

void evaluateFolds(const EvaluateArgs& args, std::ostream& out) {
    const DataTable table = readDataFile(args.files[0], args.method.choice());
    LabelMap labels = trainingLabels(table);
    const std::vector<long> categories = trainingCategories(table, labels);
    const MethodSetup setup = setUpMethod(args.method, table, labels);
    std::size_t labelled = 0;
    for (long c : categories) labelled += c >= 0;
    if (static_cast<std::size_t>(args.folds) > labelled)
        throw InputError(args.files[0] + ": " + plural(labelled, "labelled row") + " cannot be split into " +
                         std::to_string(args.folds) + " folds");
    // Imputation is fitted per fold; whether missing cells will be filled is known already.
    Preprocessing filling;
    imputeNamed(args.method.impute, filling.impute);
    if (setup.learns()) checkRows(*setup.params, table, allRows(table), filling);

    const auto folds = stratifiedFolds(categories, labels, args.folds, args.seed);
    EvaluationRun run{table, categories, std::vector<tqClassifierResult>(table.size()),
                      std::vector<long>(table.size(), -1)};
    for (std::size_t f = 0; f < folds.size(); ++f)
        for (std::size_t r : folds[f]) run.folds[r] = static_cast<long>(f);
    Progress progress("cross-validating", static_cast<long>(labelled));
    long done = 0;
    for (std::size_t f = 0; f < folds.size(); ++f) {
        std::vector<bool> inFold(table.size(), false);
        for (std::size_t r : folds[f]) inFold[r] = true;
        std::vector<std::size_t> trainRows;
        for (std::size_t r = 0; r < table.size(); ++r)
            if (categories[r] >= 0 && !inFold[r]) trainRows.push_back(r);
        Model model;
        Preprocessing prep;
        try {
            prep = args.method.fitPreprocessing(table, trainRows, categories);
            model = setup.fit(table, categories, trainRows, prep);
            // The held-out rows as the fold's scaling prepares them.
            if (setup.learns()) checkRows(*setup.params, table, folds[f], prep);
        } catch (const InputError& e) {
            throw InputError("fold " + std::to_string(f + 1) + " of " + std::to_string(folds.size()) + ": " +
                             e.what());
        }
        classifyRows(model, table, folds[f], prep, args.threads, run.results, progress, done);
    }
    // Rows without a label are classified by a model of all labelled rows, so that the per-row
    // file still has one row for every input row.
    std::vector<std::size_t> unlabelled;
    for (std::size_t r = 0; r < table.size(); ++r)
        if (categories[r] < 0) unlabelled.push_back(r);
    if (!unlabelled.empty()) {
        const Preprocessing prep = args.method.fitPreprocessing(table, allRows(table), categories);
        const Model model = setup.fit(table, categories, allRows(table), prep);
        if (setup.learns()) checkRows(*setup.params, table, unlabelled, prep);
        classifyRows(model, table, unlabelled, prep, args.threads, run.results, progress, done);
    }
    const std::string title = setup.describe() + ": " + std::to_string(args.folds) +
                              "-fold stratified cross-validation (seed " + std::to_string(args.seed) +
                              ") on " + plural(labelled, "labelled row") + " of " + table.file +
                              inParentheses(labelNote(table));
    finishEvaluation(run, labels, setup.costs(), title, args, out);
}

// The items joined with commas, control characters from the data escaped.
std::string listOf(const std::vector<std::string>& items) {
    std::string text;
    for (const std::string& s : items) text += (text.empty() ? "" : ", ") + printable(s);
    return text;
}

// The scaling and imputation lines of `info`.
void printPreprocessing(const ModelHeader& header, std::ostream& out) {
    const Preprocessing& p = header.prep;
    std::vector<std::string> scaled, filled;
    for (std::size_t j = 0; j < p.centers.size(); ++j)
        scaled.push_back(header.columns[j] + " (x - " + exactNumber(p.centers[j]) + ") / " + exactNumber(p.scales[j]));
    for (std::size_t j = 0; j < p.fills.size(); ++j)
        filled.push_back(header.columns[j] + " " + exactNumber(p.fills[j]));
    out << "scaling:      " << scaleName(p.scale)
        << (scaled.empty() ? " (measurements as in the data)" : ", fitted on the training rows: " + listOf(scaled))
        << "\n";
    out << "imputation:   " << imputeName(p.impute)
        << (filled.empty() ? " (missing measurements stay missing)"
                           : ", a missing measurement becomes the training rows' " + imputeName(p.impute) + ": " +
                                 listOf(filled))
        << "\n";
}

}  // namespace

void checkUsage(const MethodOptions& method) {
    try {
        checkMethodOptions(method);
    } catch (const InputError& e) {
        throw UsageError(e.what());
    }
}

void checkUsage(const EvaluateArgs& args) {
    checkUsage(args.method);
    if (args.method.method == "tree" || args.method.method == "rules") {
        // A hand-built classifier learns nothing from the data: every fold would test the same one.
        if (args.folds != 0)
            throw UsageError(
                "--folds does not apply to --method " + args.method.method +
                " (nothing is learnt from the rows, so every fold would test the same classifier); "
                "give one DATA.csv to test it on every row, or TRAIN.csv TEST.csv");
        if (args.files.size() != 1 && args.files.size() != 2)
            throw UsageError("evaluate --method " + args.method.method +
                             " takes DATA.csv, or TRAIN.csv TEST.csv");
    } else {
        if (args.folds != 0 && args.files.size() != 1)
            throw UsageError("evaluate with --folds takes one data file");
        if (args.folds == 0 && args.files.size() != 2)
            throw UsageError("evaluate takes TRAIN.csv TEST.csv, or --folds N with one data file");
    }
    if (args.files.size() == 2 && args.files[0] == "-" && args.files[1] == "-")
        throw UsageError("standard input (-) can be read only once; give TRAIN.csv or TEST.csv as a file");
}

void runTrain(const TrainArgs& args, std::ostream& out) {
    checkUsage(args.method);
    checkOutputPath(args.output,
                    {args.data, args.method.costsFile, args.method.treeFile, args.method.rulesFile},
                    args.force);
    DataTable table = readDataFile(args.data, args.method.choice());
    ModelHeader header;
    header.method = args.method.method;
    header.labelColumn = table.labelColumn;
    header.labels = trainingLabels(table);
    header.columns = table.columns;
    const std::vector<long> categories = trainingCategories(table, header.labels);
    for (long c : categories) header.rows += c >= 0;

    const MethodSetup setup = setUpMethod(args.method, table, header.labels);
    header.prep = args.method.fitPreprocessing(table, allRows(table), categories);
    Model model = setup.fit(table, categories, allRows(table), header.prep);
    // The classifier has what it needs of the rows by now (a k-nearest-neighbour one holds them
    // all itself): the cells are given back before the model file is written.
    std::vector<double>().swap(table.values);
    std::vector<unsigned char>().swap(table.validity);
    saveModel(args.output, header, model);
    out << (setup.learns() ? "trained " : "built ") << describe(model) << (setup.learns() ? " on " : " for ")
        << plural(static_cast<std::size_t>(header.rows), "labelled row") << " of " << table.file << " ("
        << plural(header.labels.names().size(), "category") << ", "
        << plural(header.columns.size(), "measurement")
        << (table.labelFromLastColumn ? "; " + labelNote(table) : "") << "); wrote " << args.output;
    // A classifier that has fewer rows than neighbours lets every row vote; that is allowed, but
    // rarely meant.
    if (args.method.method == "knn" && args.method.k > header.rows)
        out << "; note: k = " << args.method.k << " is more than the "
            << plural(static_cast<std::size_t>(header.rows), "labelled row") << ", so every row votes";
    out << "\n";
}

void runClassify(const ClassifyArgs& args, std::ostream& out) {
    PredictionOutput::Format format = PredictionOutput::Format::Csv;
    if (!formatNamed(args.format, format)) throw UsageError("--format must be csv or json");
    if (args.proba && args.scores) throw UsageError("--proba writes only the class scores; leave out --scores");
    if (!args.output.empty()) checkOutputPath(args.output, {args.model, args.data}, args.force);
    Model model;
    const ModelHeader header = loadModel(args.model, model);
    ColumnChoice choice;
    choice.labelColumn = header.labelColumn;
    choice.need = LabelColumn::Optional;
    choice.columns = header.columns;
    choice.modelColumns = true;
    choice.noHeader = args.noHeader;
    choice.delimiter = delimiterNamed(args.delimiter);
    const DataTable table = readDataFile(args.data, choice);
    const std::vector<std::size_t> rows = allRows(table);
    checkRows(model, table, rows, header.prep);

    // Everything is classified before anything is written, so that a failure leaves no partial
    // output behind, on a file or on standard output. The rows go in blocks, so that only one
    // block's results are held at a time.
    std::ostringstream text;
    const tqClassifierCosts costs = costsOf(model);  // the writer keeps a reference
    const PredictionOutput writer(header.labels, costs, format, args.scores, args.proba);
    writer.begin(text);
    Progress progress("classifying", static_cast<long>(rows.size()));
    constexpr std::size_t kBlock = 1 << 16;
    std::vector<tqClassifierResult> results;
    for (std::size_t begin = 0; begin < rows.size(); begin += kBlock) {
        const std::size_t count = std::min(kBlock, rows.size() - begin);
        results.assign(count, tqClassifierResult());
        classifyInThreads(model, table, rows.data() + begin, count, header.prep, args.threads,
                          results.data());
        for (std::size_t i = 0; i < count; ++i) writer.row(text, static_cast<long>(begin + i) + 1, results[i]);
        progress.update(static_cast<long>(begin + count));
    }
    writer.end(text);
    if (args.output.empty() || args.output == "-")
        out << text.str();
    else
        writeFileAtomically(args.output, [&](std::ostream& file) { file << text.str(); });
}

void runEvaluate(const EvaluateArgs& args, std::ostream& out) {
    checkUsage(args);
    if (!args.predictions.empty()) {
        std::vector<std::string> inputs = args.files;
        inputs.insert(inputs.end(), {args.method.costsFile, args.method.treeFile, args.method.rulesFile});
        checkOutputPath(args.predictions, inputs, args.force);
    }
    if (args.folds != 0) {
        evaluateFolds(args, out);
        return;
    }
    const DataTable train = readDataFile(args.files[0], args.method.choice());
    // A hand-built classifier given one file is checked against it and tested on every row of it.
    if (args.files.size() == 1) return evaluateHoldout(args.method, train, train, args, out);
    // The test file's columns are picked by name, as classify picks a model's.
    ColumnChoice testChoice = args.method.choice();
    testChoice.labelColumn = train.labelColumn;
    testChoice.columns = train.columns;
    testChoice.ignore.clear();
    testChoice.modelColumns = true;
    const DataTable test = readDataFile(args.files[1], testChoice);
    evaluateHoldout(args.method, train, test, args, out);
}

void runInfo(const InfoArgs& args, std::ostream& out) {
    Model model;
    const ModelHeader header = loadModel(args.model, model);
    struct stat st {};
    const long long bytes = ::stat(args.model.c_str(), &st) == 0 ? static_cast<long long>(st.st_size) : 0;
    const bool handBuilt = header.method == "tree" || header.method == "rules";

    out << "model file:   " << args.model << " (" << bytes << " bytes, format version " << header.version
        << ")\n";
    const char* technique = header.method == "knn"     ? "k-nearest neighbours"
                            : header.method == "bayes" ? "Bayesian (per-category density models)"
                            : header.method == "tree"  ? "decision tree (built by hand, from a tree file)"
                                                       : "rule table (built by hand, from a rules file)";
    out << "technique:    " << technique << "\n";
    out << "parameters:   " << describe(model) << "\n";
    std::vector<std::string> categories;
    for (std::size_t i = 0; i < header.labels.names().size(); ++i)
        categories.push_back(header.labels.kind() == LabelMap::Kind::Names
                                 ? header.labels.names()[i] + " (" +
                                       std::to_string(header.labels.categories()[i]) + ")"
                                 : header.labels.names()[i]);
    out << "categories:   " << categories.size() << ": " << listOf(categories) << "\n";
    out << "measurements: " << header.columns.size() << ": " << listOf(header.columns) << "\n";
    out << "label column: " << printable(header.labelColumn) << "\n";
    out << (handBuilt ? "built for:    " : "trained on:   ")
        << plural(static_cast<std::size_t>(header.rows), "labelled row") << "\n";
    printPreprocessing(header, out);
    if (handBuilt) return;

    const tqPtrHandle_const<tqClassifierTrainParams> params = model.tool.trainParams();
    const tqClassifierCosts& costs = costsOf(*params);
    out << "costs:        default " << exactNumber(costs.defaultMisclassificationCost());
    for (long truth : header.labels.categories())
        for (long decided : header.labels.categories())
            if (truth != decided &&
                costs.misclassificationCost(truth, decided) != costs.defaultMisclassificationCost())
                out << "; " << printable(header.labels.name(truth)) << " decided as "
                    << printable(header.labels.name(decided)) << ": "
                    << exactNumber(costs.misclassificationCost(truth, decided));
    out << "\n";

    if (auto* bayes = dynamic_cast<const tqClassifierTrainParamsBayesian*>(params.get())) {
        const tqClassifierFrequencies& f = bayes->categoryFrequencies();
        out << "priors:       ";
        for (std::size_t i = 0; i < header.labels.categories().size(); ++i)
            out << (i ? ", " : "") << printable(header.labels.names()[i]) << " "
                << exactNumber(f.categoryFrequency(header.labels.categories()[i]));
        out << "\n";
        if (!header.labels.categories().empty()) {
            const long first = header.labels.categories().front();
            const tqClassifierDistributionTypes& types = bayes->distributionTypes();
            std::vector<std::string> binomial;
            for (long i = 0; i < static_cast<long>(header.columns.size()); ++i)
                if (types.distributionType(first, i) == tqClassifierDistributionTypes::eBinomial)
                    binomial.push_back(
                        header.columns[static_cast<std::size_t>(i)] + " (maximum " +
                        exactNumber(bayes->maxMeasurementValues().featureMeasurement(i, false)) + ")");
            out << "binomial:     "
                << (binomial.empty() ? "none (every measurement normal)" : listOf(binomial)) << "\n";
            // The types offer no list of their dependency sets; the pairs that are dependent give them.
            const long m = static_cast<long>(header.columns.size());
            std::vector<bool> placed(static_cast<std::size_t>(m), false);
            std::vector<std::string> joint;
            for (long i = 0; i < m; ++i) {
                if (placed[static_cast<std::size_t>(i)]) continue;
                std::string group = header.columns[static_cast<std::size_t>(i)];
                for (long j = i + 1; j < m; ++j)
                    if (!placed[static_cast<std::size_t>(j)] && types.isDependent(first, {i, j})) {
                        placed[static_cast<std::size_t>(j)] = true;
                        group += "+" + header.columns[static_cast<std::size_t>(j)];
                    }
                if (group != header.columns[static_cast<std::size_t>(i)]) joint.push_back(group);
            }
            out << "joint:        "
                << (joint.empty() ? "none (measurements modelled one by one)" : listOf(joint)) << "\n";
        }
    }
}

void runDemo(const DemoArgs& args, std::ostream& out) {
    // Three overlapping Gaussian classes in four measurements. The generator is seeded, so the
    // demo prints the same figures on every machine; only --timing adds figures that vary.
    const std::vector<std::string> names = {"red", "green", "blue"};
    const std::vector<std::vector<tqPair<double>>> classes = {
        {{0.0, 1.0}, {0.0, 1.0}, {0.0, 1.0}, {0.0, 1.0}},
        {{1.5, 1.0}, {1.0, 1.0}, {0.5, 1.0}, {0.0, 1.5}},
        {{0.0, 1.0}, {1.5, 1.0}, {1.5, 1.0}, {1.0, 0.5}},
    };
    std::vector<tq_ClassDataGenerator> generators;
    for (const auto& c : classes) generators.emplace_back(c, 600);
    const tqClassifierDataProviderMemory data = tq_TotalDataGenerator(generators).generateData();

    // The generated data become a table, as if read from a file, and go through the same steps.
    DataTable all;
    all.file = "demo data";
    all.columns = {"m1", "m2", "m3", "m4"};
    all.header = {"m1", "m2", "m3", "m4", "label"};
    all.positions = {1, 2, 3, 4};
    all.labelColumn = "label";
    all.labelColumnPosition = 5;
    for (long i = 0; i < data.numPatterns(); ++i)
        all.addRow(i + 2, data.featurePattern(i)->featureMeasurements(false),
                   names[static_cast<std::size_t>(data.categoryLabel(i))]);
    if (!args.saveData.empty()) {
        checkOutputPath(args.saveData, {}, args.force);
        writeFileAtomically(args.saveData, [&](std::ostream& file) {
            file << "m1,m2,m3,m4,label\n";
            for (std::size_t r = 0; r < all.size(); ++r) {
                for (std::size_t j = 0; j < all.width(); ++j) file << exactNumber(all.row(r)[j]) << ",";
                file << all.label(r) << "\n";
            }
        });
    }
    const std::size_t cut = all.size() * 2 / 3;
    DataTable train = all.slice(0, cut), test = all.slice(cut, all.size());
    train.file = "generated training data";
    test.file = "generated test data";

    out << "clastool demo: " << all.size()
        << " generated patterns of three overlapping classes (red, green, blue)"
        << " in four measurements,\nthe first " << train.size() << " for training and the other "
        << test.size() << " for testing.\n";
    if (!args.saveData.empty()) out << "The data are in " << args.saveData << ".\n";
    EvaluateArgs none;
    for (const std::string& method : {std::string("knn"), std::string("bayes")}) {
        MethodOptions options;
        options.method = method;
        const auto start = std::chrono::steady_clock::now();
        out << "\n";
        evaluateHoldout(options, train, test, none, out);
        const double ms =
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
        if (args.timing) out << "time for training and testing: " << fixed(ms, 1) << " ms\n";
    }
    out << "\nNext: clastool demo --save-data demo.csv, then\n"
           "  clastool train --method bayes demo.csv -o demo.model\n"
           "  clastool classify demo.model demo.csv --scores\n"
           "  clastool evaluate --method knn --k 5 --folds 10 demo.csv\n";
}

}  // namespace cli
