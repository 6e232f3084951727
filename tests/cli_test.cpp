// The clastool program: its CSV rules and model file (directly), and the built binary run on the
// small files in tests/data/cli (each command, bad inputs and their messages, label names, model
// files of other kinds and versions, identical results after saving and loading).
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <utility>

#include "test_support.h"
#include "tools/csv.h"
#include "tools/modelfile.h"
#include "tools/training.h"

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

TEST(CliCsv, NumbersAndMissingMarkers) {
    using K = cli::NumberKind;
    const std::vector<std::pair<const char*, K>> cases = {
        {"1", K::Number},         {"-2.5", K::Number},      {"+7", K::Number},       {"3e-4", K::Number},
        {".5", K::Number},        {"1E3", K::Number},       {"1e-400", K::Number},   {"", K::NotANumber},
        {"abc", K::NotANumber},   {"1.2.3", K::NotANumber}, {"0x10", K::NotANumber}, {"nan", K::NotANumber},
        {"1,5", K::NotANumber},   {"--1", K::NotANumber},   {"1 2", K::NotANumber},  {"1e309", K::OutOfRange},
        {"-1e309", K::OutOfRange}, {"inf", K::Infinite},    {"-Infinity", K::Infinite},
    };
    for (const auto& [text, kind] : cases) {
        double v = 0.0;
        EXPECT_EQ(cli::parseNumber(text, v), kind) << text;
    }
    for (const char* text : {"", "NA", "na", "NaN", "NAN", "?"})
        EXPECT_TRUE(cli::isMissingMarker(text)) << text;
    for (const char* text : {"0", "N", "none", "-"}) EXPECT_FALSE(cli::isMissingMarker(text)) << text;
}

TEST(CliCsv, BadTextNamesFileLineAndColumn) {
    const std::vector<std::array<std::string, 3>> cases = {
        // text, label column, message
        {"a,label\n1,\"2\n", "", "d.csv:2:2: quoted cell is not closed before the end of the file"},
        {"a,label\n1,\"2\"x\n", "", "d.csv:2:2: unexpected text after a closing quote"},
        {"a,label\n1,2\"\n", "", "d.csv:2:2: a quote may only start a cell (quote the whole cell)"},
        {"", "", "d.csv:1: the file is empty; a header row is expected"},
        {"x,y\n1,2\n", "",
         "d.csv:1: no column is named \"label\" (name the label column with --label-column)"},
        {"x,y\n1,2\n", "kind", "d.csv:1: no column is named \"kind\""},
        {"x,label,x\n", "", "d.csv:1:3: column name \"x\" appears twice"},
        {"x,,label\n", "", "d.csv:1:2: the header names no column here"},
        {"label\na\n", "", "d.csv:1: the header names no measurement column"},
        {"x,label\n1,a\n2\n", "", "d.csv:3:2: the row has 1 cells but the header has 2 columns"},
        {"x,label\n1,a,3\n", "", "d.csv:2:3: the row has 3 cells but the header has 2 columns"},
        {"label,x\na,1\nb,1.5x\n", "", "d.csv:3:2: \"1.5x\" in column \"x\" is not a number"},
        {"x,label\n1e309,a\n", "", "d.csv:2:1: \"1e309\" in column \"x\" is out of range (beyond +-1.8e308)"},
        {std::string("x,label\n1,a\n\x01\0,b\n", 17), "", "d.csv:3: NUL byte: this is not a CSV text file"},
        {"x,label\n" + std::string(cli::kMaxRecordBytes + 1, '1') + ",a\n", "",
         "d.csv:2: a line is longer than 1048576 bytes (is this a CSV file?)"},
    };
    for (const auto& c : cases)
        EXPECT_THROW_MSG(cli::parseDataText(c[0], "d.csv", c[1], cli::LabelColumn::Required), InputError,
                         c[2]);
    EXPECT_THROW_MSG(cli::readDataFile("/nonexistent/d.csv", "", cli::LabelColumn::Required), InputError,
                     "/nonexistent/d.csv: cannot open: No such file or directory");
}

// ---------------------------------------------------------------------------------------------
// Labels and the model file header

// Integer labels keep their numbers ("007" is 7); the names case is run through the program below.
TEST(CliLabels, IntegerLabelsKeepTheirNumbers) {
    const cli::LabelMap ints = cli::LabelMap::fromTrainingLabels({"7", "", "3", "007"});
    EXPECT_EQ(ints.categories(), (std::vector<long>{3, 7}));
    EXPECT_EQ(ints.find("007"), 7);
    EXPECT_EQ(ints.find("5"), -1);
    EXPECT_EQ(ints.find("5", true), 5);
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

// The checksum line made to match the rest of a model file, so that a test reaches the checks
// behind it.
std::string withChecksum(std::string file) {
    const std::size_t line = file.find("checksum crc32c ") + 16, body = file.find('\n', line) + 1;
    char hex[9];
    std::snprintf(hex, sizeof hex, "%08x", cli::crc32c(file.data() + body, file.size() - body));
    return file.replace(line, 8, hex);
}

TEST(CliModelFile, HeaderRoundTripsAndTheChecksumIsCrc32c) {
    EXPECT_EQ(cli::crc32c("123456789", 9), 0xE3069283u);  // the published check value
    EXPECT_EQ(cli::crc32c("56789", 5, cli::crc32c("1234", 4)), 0xE3069283u);
    std::stringstream s;
    cli::writeModelFile(s, sampleHeader(), "ARCHIVE");
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

TEST(CliModelFile, ForeignOtherVersionAndDamagedFilesAreRefused) {
    std::stringstream good;
    cli::writeModelFile(good, sampleHeader(), "ARCHIVE");
    const std::string text = good.str();
    std::string wrongMethod = text, flipped = text;
    wrongMethod.replace(wrongMethod.find("bayes"), 5, "trees");
    flipped[flipped.size() - 2] ^= 0x20;
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"label,x\n", "m.model: not a clastool model file"},
        {"", "m.model: not a clastool model file"},
        {"clastool model\nformat 3\n",
         "m.model: model file format version 3 is not supported; this clastool reads format version 2"},
        {"clastool model\nformat 1\nmethod knn\n",
         "m.model: model file format version 1 has no checksum, so damage to it cannot be detected; train "
         "the model again with this clastool"},
        {"clastool model\nversion 1\n", "m.model: not a clastool model file (no format version)"},
        {"clastool model\nformat 2" + std::string(100, ' ') + "\n", "m.model: not a clastool model file (no format version)"},
        {"clastool model\nformat 2\nmethod knn\n", "m.model:3: damaged model file: no checksum line"},
        {flipped, "m.model: damaged model file: the checksum of its contents is "},
        {withChecksum(text.substr(0, text.size() - 15)), "m.model:14: damaged model file header: the header ends early"},
        {withChecksum(wrongMethod), "m.model:4: damaged model file header: unknown method \"trees\""},
    };
    for (const auto& c : cases) {
        std::istringstream in(c.first);
        try {
            cli::readModelHeader(in, "m.model");
            ADD_FAILURE() << "accepted: " << c.second;
        } catch (const InputError& e) {
            EXPECT_EQ(std::string(e.what()).rfind(c.second, 0), 0u) << e.what();
        }
    }
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

    // Runs the program with `args` (none holds a single quote), standard output and error captured.
    // `shell` runs before the program, in the same shell (a resource limit, say).
    Outcome run(const std::vector<std::string>& args, const std::string& shell = "") const {
        std::string command = shell + "'" + CLASTOOL_CLI + "'";
        for (const std::string& a : args) command += " '" + a + "'";
        command += " >'" + tmp(".stdout") + "' 2>'" + tmp(".stderr") + "'";
        const int status = std::system(command.c_str());
        return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, tqtest::readFile(tmp(".stdout")),
                tqtest::readFile(tmp(".stderr"))};
    }

    // Runs and expects success with nothing on standard error (no progress bar off a terminal).
    std::string ok(const std::vector<std::string>& args) const {
        const Outcome o = run(args);
        EXPECT_EQ(o.status, 0) << o.err;
        EXPECT_EQ(o.err, "");
        return o.out;
    }

    // One run of a table: `input` is written to the file IN, and "IN" in the arguments and the
    // message stands for its path. A failure prints `message` (a part of standard error) and
    // nothing on standard output.
    struct Case {
        std::vector<std::string> args;
        std::string input;
        int status;
        std::string message;
    };
    void expectCases(const std::vector<Case>& cases) const {
        const std::string in = tmp("IN.csv");
        const auto placed = [&](std::string text) {
            for (std::size_t at = text.find("IN"); at != std::string::npos; at = text.find("IN", at + in.size()))
                text.replace(at, 2, in);
            return text;
        };
        for (const Case& c : cases) {
            std::ofstream(in, std::ios::binary) << c.input;
            std::vector<std::string> args;
            for (const std::string& a : c.args) args.push_back(placed(a));
            const Outcome o = run(args);
            EXPECT_EQ(o.status, c.status) << c.message << "\n" << o.err;
            EXPECT_NE(o.err.find(placed(c.message)), std::string::npos) << o.err;
            EXPECT_TRUE(c.status == 0 || o.out.empty()) << c.message;
        }
    }

    std::string dir_;
};

bool has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// Numbers: out of range and infinite cells are refused; training data whose spread would give
// the classifier infinite parameters are refused naming the column, while missing cells do not
// count towards the spread.
TEST_F(CliRun, NumbersThatWouldMakeInfiniteParametersAreRefused) {
    const std::string near = "x,label\n1e308,a\n-1e308,b\n1.5e308,a\n";
    const std::string knnWide = "IN: column \"x\": its values range from -1e+308 to 1.5e+308, too far apart for the knn distance";
    expectCases({
        {{"train", "--method", "bayes", "IN", "-o", tmp("m")}, near, 1,
         "IN: column \"x\": its values for the label \"a\" spread too widely around their mean for a normal "
         "distribution with a finite variance; rescale the column"},
        {{"train", "--method", "knn", "IN", "-o", tmp("m")}, near, 1, knnWide},
        {{"evaluate", "--method", "knn", "--folds", "2", "IN"}, near, 1, "IN: column \"x\": its values range from -1e+308 to"},
        {{"train", "--method", "bayes", "IN", "-o", tmp("m")}, "x,label\n1e149,a\n-1e149,a\n0,b\n", 0, ""},
        {{"train", "--method", "bayes", "IN", "-o", tmp("m")}, "x,label\n1e200,a\n,a\n1,b\n", 0, ""},
        {{"train", "--method", "knn", "--k", "1", "IN", "-o", tmp("m")}, "x,label\n1e160,a\n0,b\n", 1,
         "IN: column \"x\": its values range from 0 to 1e+160"},
        {{"train", "--method", "knn", "--k", "1", "--norm", "1", "IN", "-o", tmp("m")}, "x,label\n1e160,a\n0,b\n", 0, ""},
        {{"train", "--method", "bayes", "--binomial", "x=1e300", "IN", "-o", tmp("m")},
         "x,label\n1e300,a\n0,a\n5e299,b\n6e299,b\n", 0, ""},
        {{"train", "--method", "knn", "IN", "-o", tmp("m")}, "x,label\n-1e309,a\n", 1,
         "IN:2:1: \"-1e309\" in column \"x\" is out of range (beyond +-1.8e308)"},
        {{"train", "--method", "knn", "IN", "-o", tmp("m")}, "x,label\n1,a\nInfinity,b\n", 1,
         "IN:3:1: \"Infinity\" in column \"x\" is infinite; leave the cell empty (or NA) for a missing measurement"},
    });
}

TEST_F(CliRun, LabelNamesAndNumbersSurviveTheModelFile) {
    const std::string model = tmp("fruit.model"), train = dataFile("fruit_train.csv");
    EXPECT_EQ(ok({"train", "--method", "knn", "--k", "1", train, "-o", model}),
              "trained knn (k = 1, norm order 2) on 12 labelled rows of " + train +
                  " (3 categories, 2 measurements); wrote " + model + "\n");
    // The label names come back from the model file, in order of first appearance.
    EXPECT_EQ(ok({"classify", model, dataFile("fruit_unlabelled.csv")}),
              "row,decision\n1,grape\n2,lemon\n3,melon\n");
    EXPECT_TRUE(has(ok({"info", model}), "categories:   3: melon (0), grape (1), lemon (2)\n"));
    EXPECT_EQ(ok({"classify", model, dataFile("fruit_test.csv"), "-o", tmp("d.csv")}), "");
    EXPECT_EQ(tqtest::readFile(tmp("d.csv")), "row,decision\n1,grape\n2,lemon\n3,melon\n4,melon\n5,grape\n");

    ok({"train", "--method", "bayes", "--label-column", "class", dataFile("ints.csv"), "-o",
        tmp("ints.model")});
    EXPECT_EQ(ok({"classify", tmp("ints.model"), dataFile("middle.csv")}), "row,decision\n1,7\n2,3\n3,3\n");
}

// The Bayesian scores follow from the class means and variances by hand: class a has x in {0, 2}
// (mean 1, variance 1), class b has {4, 6} (mean 5, variance 1). At x = 2.5 the log-likelihoods
// differ by ((2.5-5)^2 - (2.5-1)^2) / 2 = 2, so the class scores are 1/(1+e^-2) and e^-2/(1+e^-2).
TEST_F(CliRun, BayesScoresMatchAHandComputation) {
    ok({"train", "--method", "bayes", dataFile("twoclass.csv"), "-o", tmp("two.model")});
    std::istringstream rows(ok({"classify", tmp("two.model"), dataFile("middle.csv"), "--scores"}));
    std::string header, first, second;
    std::getline(rows, header), std::getline(rows, first), std::getline(rows, second);
    EXPECT_EQ(header, "row,decision,match:a,class:a,cost:a,match:b,class:b,cost:b");
    std::vector<std::string> cells;
    std::istringstream in(first);
    for (std::string c; std::getline(in, c, ',');) cells.push_back(c);
    ASSERT_EQ(cells.size(), 8u);
    EXPECT_EQ(cells[1], "a");
    const double e2 = std::exp(-2.0);
    EXPECT_NEAR(std::stod(cells[2]), 1.0, 1e-12);
    EXPECT_NEAR(std::stod(cells[3]), 1.0 / (1.0 + e2), 1e-9);
    EXPECT_NEAR(std::stod(cells[5]), e2, 1e-9);
    EXPECT_NEAR(std::stod(cells[7]), 1.0 / (1.0 + e2), 1e-9);  // deciding b costs a's share
    // At x = 3 both classes fit equally well; the tie keeps the training order, so a is decided.
    EXPECT_EQ(second.rfind("2,a,", 0), 0u) << second;
    // A prior of 20 for b moves both rows nearer to a over to b.
    ok({"train", "--method", "bayes", "--prior", "b=20", dataFile("twoclass.csv"), "-o", tmp("prior.model")});
    EXPECT_EQ(ok({"classify", tmp("prior.model"), dataFile("middle.csv")}), "row,decision\n1,b\n2,b\n3,b\n");
}

TEST_F(CliRun, BayesHandlesMissingCellsBinomialCountsAndJointSets) {
    ok({"train", "--method", "bayes", dataFile("fruit_missing.csv"), "-o", tmp("missing.model")});
    EXPECT_EQ(
        ok({"classify", tmp("missing.model"), dataFile("fruit_missing.csv")}),
        "row,decision\n1,melon\n2,grape\n3,lemon\n4,grape\n5,melon\n6,lemon\n7,grape\n8,lemon\n9,melon\n"
        "10,grape\n11,lemon\n12,melon\n13,lemon\n");
    ok({"train", "--method", "bayes", "--binomial", "hits=10", dataFile("counts.csv"), "-o",
        tmp("counts.model")});
    EXPECT_EQ(ok({"classify", tmp("counts.model"), dataFile("counts.csv")}),
              "row,decision\n1,low\n2,low\n3,low\n4,low\n5,high\n6,high\n7,high\n8,high\n");
    // Joint sets may be named by column or by position.
    ok({"train", "--method", "bayes", "--joint", "weight,diameter", dataFile("fruit_train.csv"), "-o",
        tmp("j")});
    ok({"train", "--method", "bayes", "--joint", "0,1", dataFile("fruit_train.csv"), "-o", tmp("j2")});
    EXPECT_EQ(tqtest::readFile(tmp("j")), tqtest::readFile(tmp("j2")));
}

// A model written to a file and read back decides and scores exactly like the one that was
// trained in memory: evaluate's per-row file (in-memory classifier) equals classify's output.
TEST_F(CliRun, SavedAndLoadedModelsGiveIdenticalOutputs) {
    const std::string train = dataFile("fruit_train.csv"), test = dataFile("fruit_test.csv");
    for (const std::vector<std::string>& method :
         {std::vector<std::string>{"knn", "--k", "3"}, std::vector<std::string>{"bayes"},
          std::vector<std::string>{"knn", "--k", "2", "--norm", "1", "--costs",
                                   dataFile("fruit_costs.csv")}}) {
        std::vector<std::string> fit = {"train", "--method"};
        fit.insert(fit.end(), method.begin(), method.end());
        std::vector<std::string> evaluate = fit;
        evaluate[0] = "evaluate";
        fit.insert(fit.end(), {train, "-o", tmp("m.model")});
        evaluate.insert(evaluate.end(), {train, test, "--predictions", tmp("b.csv"), "--scores"});
        ok(fit);
        ok({"classify", tmp("m.model"), test, "--scores", "-o", tmp("a.csv")});
        ok(evaluate);
        const std::string viaFile = tqtest::readFile(tmp("a.csv"));
        EXPECT_EQ(viaFile, tqtest::readFile(tmp("b.csv"))) << method[0];
        EXPECT_EQ(std::count(viaFile.begin(), viaFile.end(), '\n'), 6) << viaFile;
    }
}

TEST_F(CliRun, EvaluateReportsAccuracyConfusionAndCosts) {
    const std::string train = dataFile("fruit_train.csv"), test = dataFile("fruit_test.csv");
    EXPECT_EQ(ok({"evaluate", "--method", "knn", "--k", "1", train, test}),
              "knn (k = 1, norm order 2): trained on 12 labelled rows of " + train +
                  ", tested on 5 rows of " + test +
                  "\naccuracy: 0.8000 (4 of 5)\n\n"
                  "confusion matrix (rows: true label, columns: decision)\n"
                  "        melon   grape   lemon\n"
                  "melon       1       0       0\n"
                  "grape       0       2       0\n"
                  "lemon       1       0       1\n\n"
                  "category  precision     recall    support\n"
                  "melon        0.5000     1.0000          1\n"
                  "grape        1.0000     1.0000          2\n"
                  "lemon        1.0000     0.5000          2\n\n"
                  "mean expected cost of the decisions: 0.0000\n"
                  "mean actual cost of the decisions:   0.2000\n");

    const std::vector<std::string> folds = {"evaluate", "--method", "bayes", "--folds", "4", train};
    const std::string first = ok(folds);
    EXPECT_TRUE(has(first, "4-fold stratified cross-validation (seed 1) on 12 labelled rows")) << first;
    EXPECT_TRUE(has(first, "accuracy: 1.0000 (12 of 12)")) << first;
    EXPECT_EQ(ok(folds), first);  // seeded: the same folds every time
    EXPECT_TRUE(has(ok({"demo"}), "bayes: trained on 1200 labelled rows"));
}

// Every kind of bad input: exit status 1 (2 for the command line), one message naming what is
// wrong and where, and no output file. The CSV reader's own messages are checked above. Without
// labelled rows the readiness check refuses at once; without the check, k-nearest neighbours keeps
// a classifier that fails only when it is asked to classify.
TEST_F(CliRun, BadInputsFailWithOneClearMessageAndNoOutput) {
    const std::string model = tmp("fruit.model"), out = tmp("out.csv"), unready = tmp("unready.model");
    const std::string train = dataFile("fruit_train.csv"), counts = dataFile("counts.csv"),
                      two = dataFile("twoclass.csv"), none = dataFile("unlabelled_only.csv");
    const auto d = [](const char* name) { return dataFile(name); };
    ok({"train", "--method", "knn", train, "-o", model});
    ok({"train", "--method", "knn", "--no-ready-check", none, "-o", unready});
    // Command-line mistakes end with the help hint and exit with status 2; everything else with 1.
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{"classify", model, d("bad_number.csv")},
         d("bad_number.csv") + ":3:2: \"12o\" in column \"weight\" is not a number"},
        {{"classify", model, d("bad_columns.csv")},
         d("bad_columns.csv") +
             ":1:2: column \"width\" does not match the model, which expects \"diameter\" here"},
        {{"classify", model, d("bad_fewcolumns.csv")},
         d("bad_fewcolumns.csv") +
             ":1: the file has 1 measurement columns but the model expects 2 (weight, diameter)"},
        {{"classify", train, d("fruit_test.csv")}, train + ": not a clastool model file"},
        {{"classify", model, d("fruit_missing.csv")},
         d("fruit_missing.csv") +
             ":2:3: missing measurement in column \"diameter\": the knn method needs every "
             "measurement (use --method bayes, or fill the cell)"},
        {{"train", "--method", "knn", none},
         none + ": training failed: No valid data was provided for training."},
        {{"classify", unready, none},
         none + ":2: classification failed: No valid data was provided for training."},
        {{"train", "--method", "bayes", "--no-ready-check", none},
         none + ": training failed: no row has a label"},
        {{"train", "--method", "bayes", "--costs", d("bad_costs.csv"), train},
         d("bad_costs.csv") + ":1:4: the label \"kiwi\" does not occur in " + train},
        {{"train", "--method", "bayes", "--prior", "kiwi=2", train},
         "--prior kiwi=2: the label \"kiwi\" does not occur in " + train},
        {{"train", "--method", "bayes", "--binomial", "hits=1", counts},
         counts + ":2:1: 2 in column \"hits\" is outside 0 to 1, the range of its binomial distribution"},
        {{"train", "--method", "bayes", "--binomial", "misses=10", counts},
         "--binomial misses=10: " + counts + " has no measurement column named \"misses\""},
        {{"evaluate", "--method", "knn", "--folds", "13", train},
         train + ": 12 labelled rows cannot be split into 13 folds"},
        {{"train", "--method", "knn", "--prior", "a=1", two}, "--prior applies to --method bayes only"},
        {{"train", "--method", "knn", "--bogus", two},
         "The following argument was not expected: --bogus (see 'clastool --help')"},
        {{"train", "--method", "trees", two}, "--method: trees not in {knn,bayes} (see 'clastool --help')"},
        {{"frobnicate"},
         "unknown command \"frobnicate\" (commands: train, classify, evaluate, info, demo; see 'clastool "
         "--help')"},
        {{}, "A subcommand is required (see 'clastool --help')"},
    };
    for (auto [args, message] : cases) {
        if (!args.empty() && (args[0] == "train" || args[0] == "classify"))
            args.insert(args.end(), {"-o", out});
        const Outcome o = run(args);
        EXPECT_EQ(o.status, has(message, "see 'clastool --help')") ? 2 : 1) << message;
        EXPECT_EQ(o.err, "clastool: " + message + "\n");
        EXPECT_EQ(o.out, "");
        EXPECT_FALSE(std::ifstream(out).good()) << message;
    }

    // A model file of the first format, which had no checksum, is refused.
    const Outcome old = run({"info", d("damaged.model")});
    EXPECT_EQ(old.status, 1);
    EXPECT_TRUE(has(old.err, d("damaged.model") + ": model file format version 1 has no checksum")) << old.err;

    // An existing output file is left as it was when the command fails.
    { std::ofstream(out) << "previous\n"; }
    EXPECT_EQ(run({"classify", model, d("bad_number.csv"), "-o", out}).status, 1);
    EXPECT_EQ(tqtest::readFile(out), "previous\n");
}

// Every one-byte change anywhere in a model file is refused. Header edits made with a matching
// checksum (a writer's fault, or a crafted file) are caught by comparing the header with the
// stored classifier.
TEST_F(CliRun, DamagedAndInconsistentModelFilesAreRefused) {
    const auto load = [](const std::string& path) {
        tqClassifierTool tool;
        cli::loadModel(path, tool);
    };
    for (const char* method : {"knn", "bayes"}) {
        ok({"train", "--method", method, dataFile("fruit_train.csv"), "-o", tmp(method)});
        const std::string good = tqtest::readFile(tmp(method));
        for (std::size_t i = 0; i < good.size(); ++i) {
            std::string bad = good;
            bad[i] = static_cast<char>(bad[i] ^ (1 << (i % 8)));
            std::ofstream(tmp("bad"), std::ios::binary) << bad;
            EXPECT_THROW(load(tmp("bad")), InputError) << method << " byte " << i;
        }
    }
    ok({"train", "--method", "bayes", "--label-column", "class", dataFile("ints.csv"), "-o", tmp("ints")});
    const std::string size = "the header lists 1 measurement columns, but the stored classifier takes another number";
    const std::vector<std::array<std::string, 4>> cases = {
        // model, header text, replacement, message
        {"knn", "labels names 3\nmelon\n", "labels names 2\n", "the header lists 2 labels, but the stored classifier knows 3"},
        {"bayes", "labels names 3\nmelon\n", "labels names 2\n", "the header lists 2 labels, but the stored classifier knows 3"},
        {"ints", "\n7\n", "\n8\n", "the header lists 2 labels, but the stored classifier knows 2 other ones"},
        {"knn", "columns 2\nweight\n", "columns 1\n", size},
        {"bayes", "columns 2\nweight\n", "columns 1\n", size},
        {"knn", "columns 2\n", "columns 3\nheight\n",
         "the header lists 3 measurement columns, but the stored classifier takes another number"},
        {"knn", "method knn", "method bayes", "the stored classifier is not a bayes classifier"},
        {"bayes", "method bayes", "method knn", "the stored classifier is not a knn classifier"},
        {"knn", "rows 12", "rows 0", "the header records no training row, but the stored classifier has some"},
    };
    for (const auto& [model, from, to, message] : cases) {
        std::string text = tqtest::readFile(tmp(model));
        ASSERT_NE(text.find(from), std::string::npos) << from;
        std::ofstream(tmp("edited"), std::ios::binary) << withChecksum(text.replace(text.find(from), from.size(), to));
        EXPECT_THROW_MSG(load(tmp("edited")), InputError, tmp("edited") + ": damaged model file: " + message);
    }
}

// Messages: a directory says so, a NUL byte (here in a crafted model file's column name) does
// not cut a message short, and control characters from the data are escaped, in messages and in
// the reports a terminal shows.
TEST_F(CliRun, MessagesSayWhatIsWrongAndEscapeTheData) {
    const std::string model = tmp("m.model"), test = dataFile("fruit_test.csv");
    ok({"train", "--method", "knn", dataFile("fruit_train.csv"), "-o", model});
    std::string text = tqtest::readFile(model);
    text.replace(text.find("\nweight\n"), 8, std::string("\nwe\0ight\n", 9));
    std::ofstream(tmp("nul.model"), std::ios::binary) << withChecksum(text);
    const std::string esc = "x,label\n1,\x1b[31mred\n2,\x1b[31mred\n5,blue\n6,blue\n";
    expectCases({
        {{"classify", dir_, test}, "", 1, dir_ + ": is a directory, not a file"},
        {{"train", "--method", "knn", "--costs", dir_, "IN", "-o", tmp("x")}, esc, 1, dir_ + ": is a directory, not a file"},
        {{"classify", tmp("nul.model"), test}, "", 1,
         test + ":1:2: column \"weight\" does not match the model, which expects \"we\\x00ight\" here\n"},
        {{"train", "--method", "knn", "IN", "-o", tmp("x")}, "x,label\n\x1b[2J,a\n", 1,
         "IN:2:1: \"\\x1b[2J\" in column \"x\" is not a number\n"},
    });
    std::ofstream(tmp("esc.csv")) << esc;
    ok({"train", "--method", "bayes", tmp("esc.csv"), "-o", tmp("esc.model")});
    for (const std::string& out : {ok({"evaluate", "--method", "knn", "--k", "1", tmp("esc.csv"), tmp("esc.csv")}),
                                   ok({"info", tmp("esc.model")})}) {
        EXPECT_EQ(out.find('\x1b'), std::string::npos) << out;
        EXPECT_TRUE(has(out, "\\x1b[31mred")) << out;
    }
}

// Hostile inputs and output targets: each is refused with one message naming the file, and an
// existing output keeps its contents and permission bits.
TEST_F(CliRun, HostileFilesAreRefusedAndOutputsKeepTheirPermissions) {
    const std::string train = dataFile("fruit_train.csv"), model = tmp("m.model"), link = tmp("link.model");
    ok({"train", "--method", "knn", train, "-o", model});
    ASSERT_EQ(::symlink(model.c_str(), link.c_str()), 0);
    ASSERT_EQ(::mkfifo(tmp("pipe").c_str(), 0600), 0);
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{"train", "--method", "knn", dir_, "-o", tmp("x.model")}, dir_ + ": is a directory, not a file"},
        {{"train", "--method", "knn", "/dev/zero", "-o", tmp("x.model")},
         "/dev/zero:1: NUL byte: this is not a CSV text file"},
        {{"train", "--method", "knn", train, "-o", train},
         train + ": is the input file " + train + "; the output must be another file"},
        {{"train", "--method", "knn", train, "-o", link},
         link + ": is a symbolic link; give --force to replace the file it points to"},
        {{"classify", model, train, "-o", tmp("pipe")},
         tmp("pipe") + ": is not a regular file (a device or a pipe); give --force to write to it"},
        {{"train", "--method", "knn", train, "-o", dir_}, dir_ + ": is a directory; name an output file"},
    };
    ASSERT_EQ(::chmod(model.c_str(), 0600), 0);
    for (const auto& [args, message] : cases) {
        const Outcome o = run(args);
        EXPECT_EQ(o.status, 1) << message;
        EXPECT_EQ(o.err, "clastool: " + message + "\n");
    }
    // Failed writes name the path and the reason, and leave the target and no temporary file.
    const Outcome full = run({"demo", "--save-data", "/dev/full", "--force"});
    EXPECT_EQ(full.status, 1);
    EXPECT_EQ(full.err, "clastool: /dev/full: cannot write: No space left on device\n");
    const Outcome limited = run({"demo", "--save-data", model}, "ulimit -f 8; ");
    EXPECT_EQ(limited.status, 1);
    EXPECT_EQ(limited.err, "clastool: " + model + ": cannot write: File too large\n");
    EXPECT_EQ(run({"train", "--method", "knn", train, "-o", train, "--force"}).status, 1);
    EXPECT_TRUE(has(ok({"info", model}), "k-nearest neighbours"));
    for (const auto& entry : std::filesystem::directory_iterator(dir_))
        EXPECT_FALSE(has(entry.path().string(), ".tmp-")) << entry.path();
    // With --force a link is followed: the file it points to is replaced, the link stays.
    ok({"train", "--method", "bayes", train, "-o", link, "--force"});
    EXPECT_TRUE(has(ok({"info", model}), "Bayesian"));
    struct stat st {};
    ASSERT_EQ(::stat(model.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
}

}  // namespace
