// The clastool program: its CSV rules and model file (directly), and the built binary run on the
// small files in tests/data/cli (each command, bad inputs and their messages, label names, model
// files of other kinds and versions, identical results after saving and loading).
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "test_support.h"
#include "tools/csv.h"
#include "tools/modelfile.h"

namespace {

using cli::InputError;

std::string dataFile(const std::string& name) { return std::string(CLASTOOL_TEST_DATA) + "/cli/" + name; }

// ---------------------------------------------------------------------------------------------
// CSV rules

TEST(CliCsv, QuotesBlanksAndLineEndingsFollowTheRules) {
    const auto records = cli::splitCsv(
        "\xEF\xBB\xBF"
        "a, \"b,c\" ,\"d\"\"e\"\r\n\r\n\"multi\nline\",x,\n",
        "t.csv");
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].line, 1);
    EXPECT_EQ(records[0].cells, (std::vector<std::string>{"a", "b,c", "d\"e"}));
    EXPECT_EQ(records[1].line, 3);
    EXPECT_EQ(records[1].cells, (std::vector<std::string>{"multi\nline", "x", ""}));
}

TEST(CliCsv, MalformedQuotingNamesLineAndColumn) {
    EXPECT_THROW_MSG(cli::splitCsv("a,b\n1,\"2\n", "q.csv"), InputError,
                     "q.csv:2:2: quoted cell is not closed before the end of the file");
    EXPECT_THROW_MSG(cli::splitCsv("a,b\n1,\"2\"x\n", "q.csv"), InputError,
                     "q.csv:2:2: unexpected text after a closing quote");
    EXPECT_THROW_MSG(cli::splitCsv("a,b\n1,2\"\n", "q.csv"), InputError,
                     "q.csv:2:2: a quote may only start a cell (quote the whole cell)");
}

TEST(CliCsv, NumbersAndMissingMarkers) {
    double v = 0.0;
    for (const char* text : {"1", "-2.5", "+7", "3e-4", ".5", "1E3"})
        EXPECT_TRUE(cli::parseNumber(text, v)) << text;
    for (const char* text : {"", "abc", "1.2.3", "0x10", "inf", "nan", "1,5", "--1", "1 2"})
        EXPECT_FALSE(cli::parseNumber(text, v)) << text;
    for (const char* text : {"", "NA", "na", "NaN", "NAN", "?"})
        EXPECT_TRUE(cli::isMissingMarker(text)) << text;
    for (const char* text : {"0", "N", "none", "-"}) EXPECT_FALSE(cli::isMissingMarker(text)) << text;
}

TEST(CliCsv, DataTableSeparatesLabelAndMarksMissingMeasurements) {
    const cli::DataTable t =
        cli::parseDataText("x,label,y\n1,a,NA\n?,,2\n", "d.csv", "", cli::LabelColumn::Required);
    EXPECT_EQ(t.columns, (std::vector<std::string>{"x", "y"}));
    EXPECT_EQ(t.labelColumnPosition, 2);
    EXPECT_EQ(t.fileColumn(0), 1);
    EXPECT_EQ(t.fileColumn(1), 3);
    ASSERT_EQ(t.rows.size(), 2u);
    EXPECT_EQ(t.rows[0].label, "a");
    EXPECT_EQ(t.rows[0].invalid, (std::vector<long>{1}));
    EXPECT_EQ(t.rows[1].label, "");  // the unknown label
    EXPECT_EQ(t.rows[1].invalid, (std::vector<long>{0}));
    EXPECT_EQ(t.rows[1].values[1], 2.0);
    EXPECT_EQ(t.rows[1].line, 3);
}

TEST(CliCsv, TableErrorsNameFileLineAndColumn) {
    const auto parse = [](const std::string& text, const std::string& label = "") {
        return cli::parseDataText(text, "d.csv", label, cli::LabelColumn::Required);
    };
    EXPECT_THROW_MSG(parse(""), InputError, "d.csv:1: the file is empty; a header row is expected");
    EXPECT_THROW_MSG(parse("x,y\n1,2\n"), InputError,
                     "d.csv:1: no column is named \"label\" (name the label column with --label-column)");
    EXPECT_THROW_MSG(parse("x,y\n1,2\n", "kind"), InputError, "d.csv:1: no column is named \"kind\"");
    EXPECT_THROW_MSG(parse("x,label,x\n"), InputError, "d.csv:1:3: column name \"x\" appears twice");
    EXPECT_THROW_MSG(parse("x,,label\n"), InputError, "d.csv:1:2: the header names no column here");
    EXPECT_THROW_MSG(parse("label\na\n"), InputError, "d.csv:1: the header names no measurement column");
    EXPECT_THROW_MSG(parse("x,label\n1,a\n2\n"), InputError,
                     "d.csv:3:2: the row has 1 cells but the header has 2 columns");
    EXPECT_THROW_MSG(parse("x,label\n1,a,3\n"), InputError,
                     "d.csv:2:3: the row has 3 cells but the header has 2 columns");
    EXPECT_THROW_MSG(parse("label,x\na,1\nb,1.5x\n"), InputError,
                     "d.csv:3:2: \"1.5x\" in column \"x\" is not a number");
}

TEST(CliCsv, MissingFileIsNamed) {
    EXPECT_THROW_MSG(cli::readDataFile("/nonexistent/d.csv", "", cli::LabelColumn::Required), InputError,
                     "/nonexistent/d.csv: cannot open: No such file or directory");
}

// ---------------------------------------------------------------------------------------------
// Labels and the model file header

TEST(CliLabels, IntegersKeepTheirNumbersNamesAreNumberedByFirstAppearance) {
    const cli::LabelMap ints = cli::LabelMap::fromTrainingLabels({"7", "", "3", "007"});
    EXPECT_EQ(ints.kind(), cli::LabelMap::Kind::Integers);
    EXPECT_EQ(ints.categories(), (std::vector<long>{3, 7}));
    EXPECT_EQ(ints.find("007"), 7);
    EXPECT_EQ(ints.find("5"), -1);
    EXPECT_EQ(ints.find("5", true), 5);

    cli::LabelMap names = cli::LabelMap::fromTrainingLabels({"dog", "cat", "dog", "", "7"});
    EXPECT_EQ(names.kind(), cli::LabelMap::Kind::Names);
    EXPECT_EQ(names.names(), (std::vector<std::string>{"dog", "cat", "7"}));
    EXPECT_EQ(names.find("cat"), 1);
    EXPECT_EQ(names.find("7"), 2);
    EXPECT_EQ(names.add("emu"), 3);
    EXPECT_EQ(names.add("dog"), 0);
    EXPECT_EQ(names.name(3), "emu");
}

cli::ModelHeader sampleHeader() {
    cli::ModelHeader h;
    h.method = "bayes";
    h.labelColumn = "kind";
    h.labels = cli::LabelMap::fromTrainingLabels({"odd\nname", "back\\slash", "plain"});
    h.columns = {"x", "y, z"};
    h.rows = 42;
    return h;
}

TEST(CliModelFile, HeaderRoundTripsWithEscapedNames) {
    std::stringstream s;
    cli::writeModelHeader(s, sampleHeader());
    s << "ARCHIVE";
    const cli::ModelHeader back = cli::readModelHeader(s, "m.model");
    EXPECT_EQ(back.method, "bayes");
    EXPECT_EQ(back.labelColumn, "kind");
    EXPECT_TRUE(back.labels == sampleHeader().labels);
    EXPECT_EQ(back.columns, sampleHeader().columns);
    EXPECT_EQ(back.rows, 42);
    std::string rest;
    s >> rest;
    EXPECT_EQ(rest, "ARCHIVE");  // left at the archive
}

TEST(CliModelFile, ForeignOtherVersionAndDamagedHeadersAreRefused) {
    const auto read = [](const std::string& text) {
        std::istringstream in(text);
        return cli::readModelHeader(in, "m.model");
    };
    EXPECT_THROW_MSG(read("label,x\n"), InputError, "m.model: not a clastool model file");
    EXPECT_THROW_MSG(read(""), InputError, "m.model: not a clastool model file");
    EXPECT_THROW_MSG(
        read("clastool model\nformat 2\n"), InputError,
        "m.model: model file format version 2 is not supported; this clastool reads format version 1");
    EXPECT_THROW_MSG(read("clastool model\nversion 1\n"), InputError,
                     "m.model: not a clastool model file (no format version)");

    std::stringstream good;
    cli::writeModelHeader(good, sampleHeader());
    const std::string text = good.str();
    EXPECT_THROW_MSG(read(text.substr(0, text.size() - 8)), InputError,
                     "m.model:13: damaged model file header: the header ends early");
    std::string wrongMethod = text;
    wrongMethod.replace(wrongMethod.find("bayes"), 5, "trees");
    EXPECT_THROW_MSG(read(wrongMethod), InputError,
                     "m.model:3: damaged model file header: unknown method \"trees\"");
}

// ---------------------------------------------------------------------------------------------
// The binary

struct Outcome {
    int status = -1;
    std::string out, err;
};

class CliRun : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/clastool-cli-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        dir_ = pattern;
    }
    void TearDown() override { std::system(("rm -rf '" + dir_ + "'").c_str()); }

    std::string tmp(const std::string& name) const { return dir_ + "/" + name; }

    // Runs the program with `args`, standard output and error captured in files.
    Outcome run(const std::vector<std::string>& args) const {
        const std::string outFile = tmp(".stdout"), errFile = tmp(".stderr");
        pid_t pid = ::fork();
        if (pid == 0) {
            if (!std::freopen(outFile.c_str(), "w", stdout) || !std::freopen(errFile.c_str(), "w", stderr))
                _exit(127);
            std::vector<char*> argv;
            std::string program = CLASTOOL_CLI;
            argv.push_back(program.data());
            std::vector<std::string> copy = args;
            for (std::string& a : copy) argv.push_back(a.data());
            argv.push_back(nullptr);
            ::execv(program.c_str(), argv.data());
            _exit(127);
        }
        Outcome o;
        int status = 0;
        ::waitpid(pid, &status, 0);
        o.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        o.out = tqtest::readFile(outFile);
        o.err = tqtest::readFile(errFile);
        return o;
    }

    // Runs and expects success with nothing on standard error (no progress bar off a terminal).
    std::string ok(const std::vector<std::string>& args) const {
        const Outcome o = run(args);
        EXPECT_EQ(o.status, 0) << o.err;
        EXPECT_EQ(o.err, "");
        return o.out;
    }

    static bool exists(const std::string& path) {
        struct stat st;
        return ::stat(path.c_str(), &st) == 0;
    }

    std::string dir_;
};

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> result;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) result.push_back(line);
    return result;
}

TEST_F(CliRun, TrainClassifyInfoWithNamedLabels) {
    const std::string model = tmp("fruit.model");
    EXPECT_EQ(ok({"train", "--method", "knn", "--k", "1", dataFile("fruit_train.csv"), "-o", model}),
              "trained knn (k = 1, norm order 2) on 12 labelled rows of " + dataFile("fruit_train.csv") +
                  " (3 categories, 2 measurements); wrote " + model + "\n");

    // The label names come back from the model file, in order of first appearance.
    EXPECT_EQ(ok({"classify", model, dataFile("fruit_unlabelled.csv")}),
              "row,decision\n1,grape\n2,lemon\n3,melon\n");
    const std::string info = ok({"info", model});
    EXPECT_NE(info.find("technique:    k-nearest neighbours\n"), std::string::npos) << info;
    EXPECT_NE(info.find("parameters:   knn (k = 1, norm order 2)\n"), std::string::npos) << info;
    EXPECT_NE(info.find("categories:   3: melon (0), grape (1), lemon (2)\n"), std::string::npos) << info;
    EXPECT_NE(info.find("measurements: 2: weight, diameter\n"), std::string::npos) << info;
    EXPECT_NE(info.find("trained on:   12 labelled rows\n"), std::string::npos) << info;

    // A file that still carries its labels is classified the same way; -o writes a file.
    const std::string out = tmp("decisions.csv");
    EXPECT_EQ(ok({"classify", model, dataFile("fruit_test.csv"), "-o", out}), "");
    EXPECT_EQ(tqtest::readFile(out), "row,decision\n1,grape\n2,lemon\n3,melon\n4,melon\n5,grape\n");
}

TEST_F(CliRun, IntegerLabelsAndAnotherLabelColumn) {
    const std::string model = tmp("ints.model");
    ok({"train", "--method", "bayes", "--label-column", "class", dataFile("ints.csv"), "-o", model});
    EXPECT_EQ(ok({"classify", model, dataFile("middle.csv")}), "row,decision\n1,7\n2,3\n3,3\n");
    EXPECT_NE(ok({"info", model}).find("categories:   2: 3, 7\n"), std::string::npos);
}

TEST_F(CliRun, QuotedCellsAndCrlfFilesAreRead) {
    const std::string model = tmp("q.model");
    ok({"train", "--method", "knn", "--k", "1", dataFile("quoted.csv"), "-o", model});
    EXPECT_NE(ok({"info", model}).find("categories:   3: grape (0), lemon (1), melon \"big\" (2)\n"),
              std::string::npos);
    const std::string crlf = tmp("crlf.model");
    ok({"train", "--method", "knn", "--k", "1", dataFile("crlf.csv"), "-o", crlf});
    EXPECT_EQ(ok({"classify", crlf, dataFile("fruit_unlabelled.csv")}),
              "row,decision\n1,grape\n2,lemon\n3,lemon\n");
}

// The Bayesian scores follow from the class means and variances by hand: class a has x in {0, 2}
// (mean 1, variance 1), class b has {4, 6} (mean 5, variance 1). At x = 2.5 the log-likelihoods
// differ by ((2.5-5)^2 - (2.5-1)^2) / 2 = 2, so the class scores are 1/(1+e^-2) and e^-2/(1+e^-2).
TEST_F(CliRun, BayesScoresMatchAHandComputation) {
    const std::string model = tmp("two.model");
    ok({"train", "--method", "bayes", dataFile("twoclass.csv"), "-o", model});
    const auto rows = lines(ok({"classify", model, dataFile("middle.csv"), "--scores"}));
    ASSERT_EQ(rows.size(), 4u);
    EXPECT_EQ(rows[0], "row,decision,match:a,class:a,cost:a,match:b,class:b,cost:b");
    std::vector<std::string> cells;
    std::istringstream in(rows[1]);
    for (std::string c; std::getline(in, c, ',');) cells.push_back(c);
    ASSERT_EQ(cells.size(), 8u);
    EXPECT_EQ(cells[1], "a");
    const double e2 = std::exp(-2.0);
    EXPECT_NEAR(std::stod(cells[2]), 1.0, 1e-12);
    EXPECT_NEAR(std::stod(cells[3]), 1.0 / (1.0 + e2), 1e-9);
    EXPECT_NEAR(std::stod(cells[5]), e2, 1e-9);
    EXPECT_NEAR(std::stod(cells[7]), 1.0 / (1.0 + e2), 1e-9);  // deciding b costs a's share
    // At x = 3 both classes fit equally well; the tie keeps the training order, so a is decided.
    EXPECT_EQ(lines(ok({"classify", model, dataFile("middle.csv")}))[2], "2,a");
}

TEST_F(CliRun, PriorsAndCostsMoveTheDecision) {
    const std::string plain = tmp("plain.model"), prior = tmp("prior.model"), costly = tmp("costly.model");
    ok({"train", "--method", "bayes", dataFile("twoclass.csv"), "-o", plain});
    ok({"train", "--method", "bayes", "--prior", "b=20", dataFile("twoclass.csv"), "-o", prior});
    EXPECT_EQ(ok({"classify", plain, dataFile("middle.csv")}), "row,decision\n1,a\n2,a\n3,b\n");
    EXPECT_EQ(ok({"classify", prior, dataFile("middle.csv")}), "row,decision\n1,b\n2,b\n3,b\n");

    // Deciding grape when the truth is lemon costs 50: a lemon-ish grape becomes a lemon.
    const std::string fruit = tmp("fruit.model");
    ok({"train", "--method", "bayes", "--costs", dataFile("fruit_costs.csv"), dataFile("fruit_train.csv"),
        "-o", costly});
    ok({"train", "--method", "bayes", dataFile("fruit_train.csv"), "-o", fruit});
    EXPECT_NE(ok({"info", costly}).find("costs:        default 1; lemon decided as grape: 50\n"),
              std::string::npos);
    const std::string a = ok({"classify", fruit, dataFile("fruit_unlabelled.csv"), "--scores"});
    const std::string b = ok({"classify", costly, dataFile("fruit_unlabelled.csv"), "--scores"});
    EXPECT_NE(a, b);  // the expected costs change with the matrix
}

TEST_F(CliRun, BayesTrainsAndClassifiesWithMissingCells) {
    const std::string model = tmp("missing.model");
    EXPECT_NE(ok({"train", "--method", "bayes", dataFile("fruit_missing.csv"), "-o", model})
                  .find("on 12 labelled rows"),
              std::string::npos);
    EXPECT_EQ(
        ok({"classify", model, dataFile("fruit_missing.csv")}),
        "row,decision\n1,melon\n2,grape\n3,lemon\n4,grape\n5,melon\n6,lemon\n7,grape\n8,lemon\n9,melon\n"
        "10,grape\n11,lemon\n12,melon\n13,lemon\n");
}

TEST_F(CliRun, BinomialMeasurementsAndJointSets) {
    const std::string model = tmp("counts.model");
    ok({"train", "--method", "bayes", "--binomial", "hits=10", dataFile("counts.csv"), "-o", model});
    EXPECT_NE(ok({"info", model}).find("binomial:     hits (maximum 10)\n"), std::string::npos);
    EXPECT_EQ(ok({"classify", model, dataFile("counts.csv")}),
              "row,decision\n1,low\n2,low\n3,low\n4,low\n5,high\n6,high\n7,high\n8,high\n");
    ok({"train", "--method", "bayes", "--joint", "weight,diameter", dataFile("fruit_train.csv"), "-o",
        tmp("j.model")});
    ok({"train", "--method", "bayes", "--joint", "0,1", dataFile("fruit_train.csv"), "-o", tmp("j2.model")});
    EXPECT_EQ(tqtest::readFile(tmp("j.model")), tqtest::readFile(tmp("j2.model")));
    EXPECT_NE(ok({"info", tmp("j.model")}).find("joint:        weight+diameter\n"), std::string::npos);
}

// Without labelled rows nothing can be learned: the readiness check refuses at once; without the
// check, k-nearest neighbours keeps a classifier that fails when it is asked to classify.
TEST_F(CliRun, ReadinessCheckCanBeLeftOut) {
    const std::string data = dataFile("unlabelled_only.csv"), model = tmp("empty.model");
    const Outcome checked = run({"train", "--method", "knn", data, "-o", model});
    EXPECT_EQ(checked.status, 1);
    EXPECT_EQ(checked.err,
              "clastool: " + data + ": training failed: No valid data was provided for training.\n");
    EXPECT_FALSE(exists(model));

    ok({"train", "--method", "knn", "--no-ready-check", data, "-o", model});
    const Outcome used = run({"classify", model, data});
    EXPECT_EQ(used.status, 1);
    EXPECT_EQ(used.err,
              "clastool: " + data + ":2: classification failed: No valid data was provided for training.\n");
    EXPECT_EQ(used.out, "");

    const Outcome bayes = run({"train", "--method", "bayes", "--no-ready-check", data, "-o", model + "2"});
    EXPECT_EQ(bayes.err, "clastool: " + data + ": training failed: no row has a label\n");
}

// A model written to a file and read back decides and scores exactly like the one that was
// trained in memory: evaluate's per-row file (in-memory classifier) equals classify's output.
TEST_F(CliRun, SavedAndLoadedModelsGiveIdenticalOutputs) {
    for (const std::vector<std::string>& method :
         {std::vector<std::string>{"--method", "knn", "--k", "3"},
          std::vector<std::string>{"--method", "bayes"},
          std::vector<std::string>{"--method", "knn", "--k", "2", "--norm", "1", "--costs",
                                   dataFile("fruit_costs.csv")}}) {
        const std::string model = tmp("m.model"), viaFile = tmp("a.csv"), inMemory = tmp("b.csv");
        std::vector<std::string> train = {"train"}, evaluate = {"evaluate"};
        train.insert(train.end(), method.begin(), method.end());
        evaluate.insert(evaluate.end(), method.begin(), method.end());
        train.insert(train.end(), {dataFile("fruit_train.csv"), "-o", model});
        evaluate.insert(evaluate.end(), {dataFile("fruit_train.csv"), dataFile("fruit_test.csv"),
                                         "--predictions", inMemory, "--scores"});
        ok(train);
        ok({"classify", model, dataFile("fruit_test.csv"), "--scores", "-o", viaFile});
        ok(evaluate);
        EXPECT_EQ(tqtest::readFile(viaFile), tqtest::readFile(inMemory)) << method[1];
        EXPECT_EQ(lines(tqtest::readFile(viaFile)).size(), 6u);
    }
}

TEST_F(CliRun, EvaluateReportsAccuracyConfusionAndCosts) {
    const std::string report = ok(
        {"evaluate", "--method", "knn", "--k", "1", dataFile("fruit_train.csv"), dataFile("fruit_test.csv")});
    EXPECT_EQ(report, "knn (k = 1, norm order 2): trained on 12 labelled rows of " +
                          dataFile("fruit_train.csv") + ", tested on 5 rows of " +
                          dataFile("fruit_test.csv") +
                          "\n"
                          "accuracy: 0.8000 (4 of 5)\n"
                          "\n"
                          "confusion matrix (rows: true label, columns: decision)\n"
                          "        melon   grape   lemon\n"
                          "melon       1       0       0\n"
                          "grape       0       2       0\n"
                          "lemon       1       0       1\n"
                          "\n"
                          "category  precision     recall    support\n"
                          "melon        0.5000     1.0000          1\n"
                          "grape        1.0000     1.0000          2\n"
                          "lemon        1.0000     0.5000          2\n"
                          "\n"
                          "mean expected cost of the decisions: 0.0000\n"
                          "mean actual cost of the decisions:   0.2000\n");
}

TEST_F(CliRun, CrossValidationIsStratifiedAndSeeded) {
    const std::vector<std::string> args = {"evaluate",      "--method",  "bayes",
                                           "--folds",       "4",         dataFile("fruit_train.csv"),
                                           "--predictions", tmp("p.csv")};
    const std::string first = ok(args);
    EXPECT_NE(first.find("4-fold stratified cross-validation (seed 1) on 12 labelled rows"),
              std::string::npos);
    EXPECT_NE(first.find("accuracy: 1.0000 (12 of 12)"), std::string::npos) << first;
    EXPECT_EQ(ok(args), first);
    EXPECT_EQ(lines(tqtest::readFile(tmp("p.csv"))).size(), 13u);
    const Outcome tooMany =
        run({"evaluate", "--method", "knn", "--folds", "13", dataFile("fruit_train.csv")});
    EXPECT_EQ(tooMany.status, 1);
    EXPECT_EQ(tooMany.err, "clastool: " + dataFile("fruit_train.csv") +
                               ": 12 labelled rows cannot be split into 13 folds\n");
}

TEST_F(CliRun, DemoNeedsNoFiles) {
    const std::string out = ok({"demo", "--save-data", tmp("demo.csv")});
    EXPECT_NE(out.find("knn (k = 5, norm order 2): trained on 1200 labelled rows"), std::string::npos) << out;
    EXPECT_NE(out.find("bayes: trained on 1200 labelled rows"), std::string::npos) << out;
    EXPECT_EQ(lines(tqtest::readFile(tmp("demo.csv"))).size(), 1801u);
    // The saved data train like any other file.
    ok({"train", "--method", "bayes", tmp("demo.csv"), "-o", tmp("demo.model")});
}

// Every kind of bad input: exit status 1 (2 for the command line), one message naming what is
// wrong and where, and no output file.
TEST_F(CliRun, BadInputsFailWithOneClearMessageAndNoOutput) {
    const std::string model = tmp("fruit.model");
    ok({"train", "--method", "knn", dataFile("fruit_train.csv"), "-o", model});
    const std::string out = tmp("out.csv");
    struct Case {
        std::vector<std::string> args;
        int status;
        std::string message;
    };
    const std::vector<Case> cases = {
        {{"classify", model, dataFile("bad_ragged.csv"), "-o", out},
         1,
         dataFile("bad_ragged.csv") + ":3:3: the row has 2 cells but the header has 3 columns"},
        {{"classify", model, dataFile("bad_number.csv"), "-o", out},
         1,
         dataFile("bad_number.csv") + ":3:2: \"12o\" in column \"weight\" is not a number"},
        {{"classify", model, dataFile("bad_quote.csv"), "-o", out},
         1,
         dataFile("bad_quote.csv") + ":3:1: quoted cell is not closed before the end of the file"},
        {{"classify", model, dataFile("bad_columns.csv"), "-o", out},
         1,
         dataFile("bad_columns.csv") +
             ":1:2: column \"width\" does not match the model, which expects \"diameter\" here"},
        {{"classify", model, dataFile("bad_fewcolumns.csv"), "-o", out},
         1,
         dataFile("bad_fewcolumns.csv") +
             ":1: the file has 1 measurement columns but the model expects 2 (weight, diameter)"},
        {{"classify", model, tmp("absent.csv"), "-o", out},
         1,
         tmp("absent.csv") + ": cannot open: No such file or directory"},
        {{"classify", dataFile("fruit_train.csv"), dataFile("fruit_test.csv"), "-o", out},
         1,
         dataFile("fruit_train.csv") + ": not a clastool model file"},
        {{"classify", dataFile("future.model"), dataFile("fruit_test.csv"), "-o", out},
         1,
         dataFile("future.model") +
             ": model file format version 2 is not supported; this clastool reads format version 1"},
        {{"classify", model, dataFile("fruit_missing.csv"), "-o", out},
         1,
         dataFile("fruit_missing.csv") +
             ":2:3: missing measurement in column \"diameter\": the knn method needs every "
             "measurement (use --method bayes, or fill the cell)"},
        {{"train", "--method", "knn", dataFile("bad_nolabel.csv"), "-o", out},
         1,
         dataFile("bad_nolabel.csv") +
             ":1: no column is named \"label\" (name the label column with --label-column)"},
        {{"train", "--method", "bayes", "--costs", dataFile("bad_costs.csv"), dataFile("fruit_train.csv"),
          "-o", out},
         1,
         dataFile("bad_costs.csv") + ":1:4: the label \"kiwi\" does not occur in " +
             dataFile("fruit_train.csv")},
        {{"train", "--method", "bayes", "--prior", "kiwi=2", dataFile("fruit_train.csv"), "-o", out},
         1,
         "--prior kiwi=2: the label \"kiwi\" does not occur in " + dataFile("fruit_train.csv")},
        {{"train", "--method", "bayes", "--binomial", "hits=1", dataFile("counts.csv"), "-o", out},
         1,
         dataFile("counts.csv") +
             ":2:1: 2 in column \"hits\" is outside 0 to 1, the range of its binomial distribution"},
        {{"train", "--method", "bayes", "--binomial", "misses=10", dataFile("counts.csv"), "-o", out},
         1,
         "--binomial misses=10: " + dataFile("counts.csv") + " has no measurement column named \"misses\""},
        {{"train", "--method", "knn", "--prior", "a=1", dataFile("twoclass.csv"), "-o", out},
         1,
         "--prior applies to --method bayes only"},
        {{"train", "--method", "bayes", "--k", "3", dataFile("twoclass.csv"), "-o", out},
         1,
         "--k applies to --method knn only"},
        {{"train", "--method", "knn", "--bogus", dataFile("twoclass.csv"), "-o", out},
         2,
         "The following argument was not expected: --bogus (see 'clastool --help')"},
        {{"train", "--method", "trees", dataFile("twoclass.csv"), "-o", out},
         2,
         "--method: trees not in {knn,bayes} (see 'clastool --help')"},
        {{"frobnicate"},
         2,
         "unknown command \"frobnicate\" (commands: train, classify, evaluate, info, demo; see 'clastool "
         "--help')"},
        {{}, 2, "A subcommand is required (see 'clastool --help')"},
    };
    for (const Case& c : cases) {
        const Outcome o = run(c.args);
        EXPECT_EQ(o.status, c.status) << c.message;
        EXPECT_EQ(o.err, "clastool: " + c.message + "\n");
        EXPECT_EQ(o.out, "");
        EXPECT_FALSE(exists(out)) << c.message;
    }

    // A damaged model file (its archive cut short) is refused with the loader's reason.
    const Outcome damaged = run({"info", dataFile("damaged.model")});
    EXPECT_EQ(damaged.status, 1);
    EXPECT_EQ(damaged.err.rfind("clastool: " + dataFile("damaged.model") +
                                    ": the classifier stored in the model file does not load: ",
                                0),
              0u)
        << damaged.err;

    // An existing output file is left as it was when the command fails.
    { std::ofstream(out) << "previous\n"; }
    EXPECT_EQ(run({"classify", model, dataFile("bad_number.csv"), "-o", out}).status, 1);
    EXPECT_EQ(tqtest::readFile(out), "previous\n");
}

}  // namespace
