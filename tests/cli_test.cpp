// The clastool program: its CSV reader and model file directly, and the built binary run on the
// small files in tests/data/cli, as tables by theme: input, model files, messages, output files,
// and the commands end to end.
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "clss/clastool/clastool.h"
#include "test_support.h"
#include "tools/csv.h"
#include "tools/handbuilt.h"
#include "tools/json.h"
#include "tools/modelfile.h"

namespace {

using cli::InputError;

bool has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// The checksum line made to match the rest of a model file, so that a test reaches the checks
// behind it.
std::string withChecksum(std::string file) {
    const std::size_t line = file.find("checksum crc32c ") + 16, body = file.find('\n', line) + 1;
    char hex[9];
    std::snprintf(hex, sizeof hex, "%08x", cli::crc32c(file.data() + body, file.size() - body));
    return file.replace(line, 8, hex);
}

struct Outcome {
    int status = -1;
    std::string out, err;
};

// Runs the binary. Command lines are written as one string of words separated by spaces, in
// which "@D/" stands for the directory of the test files, "@T/" for a fresh temporary directory,
// "@IN" for the file a table case writes its input to and "@OUT" for an output file.
class CliRun : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/clastool-cli-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        dir_ = pattern;
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }

    std::string tmp(const std::string& name) const { return dir_ + "/" + name; }
    std::string placed(std::string text) const {
        const std::pair<std::string, std::string> names[] = {
            {"@D/", std::string(CLASTOOL_TEST_DATA) + "/cli/"},
            {"@T/", dir_ + "/"},
            {"@IN", tmp("IN")},
            {"@OUT", tmp("OUT")}};
        for (const auto& [from, to] : names)
            for (std::size_t at = text.find(from); at != std::string::npos;
                 at = text.find(from, at + to.size()))
                text.replace(at, from.size(), to);
        return text;
    }

    // Standard output and error captured; `shell` runs before in the same shell (a limit, say).
    Outcome run(const std::string& line, const std::string& shell = "") const {
        std::string command = shell + "'" + CLASTOOL_CLI + "'";
        std::istringstream words(line);
        for (std::string w; words >> w;) command += " '" + placed(w) + "'";
        command += " >'" + tmp(".stdout") + "' 2>'" + tmp(".stderr") + "'";
        const int status = std::system(command.c_str());
        return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, tqtest::readFile(tmp(".stdout")),
                tqtest::readFile(tmp(".stderr"))};
    }

    // Runs and expects success with nothing on standard error (no progress bar off a terminal).
    std::string ok(const std::string& line) const {
        const Outcome o = run(line);
        EXPECT_EQ(o.status, 0) << line << "\n" << o.err;
        EXPECT_EQ(o.err, "");
        return o.out;
    }
    std::string file(const std::string& name) const { return tqtest::readFile(placed(name)); }

    // A failure prints "clastool: " and the message (a part of standard error), nothing on
    // standard output, and leaves no @OUT. The input is also on standard input ("-").
    struct Case {
        std::string args, input;
        int status;
        std::string message;
    };
    void expectCases(const std::vector<Case>& cases) const {
        for (const Case& c : cases) {
            std::ofstream(tmp("IN"), std::ios::binary) << c.input;
            std::filesystem::remove(tmp("OUT"));
            const Outcome o = run(c.args, "<'" + tmp("IN") + "' ");
            EXPECT_EQ(o.status, c.status) << c.args << "\n" << o.err;
            if (c.status == 0) continue;
            EXPECT_TRUE(has(o.err, "clastool: " + placed(c.message))) << c.args << "\n" << o.err;
            EXPECT_EQ(o.out, "") << c.args;
            EXPECT_FALSE(std::filesystem::exists(tmp("OUT"))) << c.args;
        }
    }

    std::string dir_;
};

// ---------------------------------------------------------------------------------------------
// Input

TEST(CliInput, QuotesBlanksLineEndsNumberKindsAndBufferRefills) {
    const auto records = cli::splitCsv(
        "\xEF\xBB\xBF"
        "a, \"b,c\" ,\"d\"\"e\"\r\n\r\n\"multi\nline\",x,\n",
        "t.csv");
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].line, 1);
    EXPECT_EQ(records[0].cells, (std::vector<std::string>{"a", "b,c", "d\"e"}));
    EXPECT_EQ(records[1].line, 3);
    EXPECT_EQ(records[1].cells, (std::vector<std::string>{"multi\nline", "x", ""}));

    using K = cli::NumberKind;
    const std::vector<std::pair<const char*, K>> numbers = {
        {"-2.5", K::Number},      {"+7", K::Number},      {".5", K::Number},          {"1e-400", K::Number},
        {"1.2.3", K::NotANumber}, {"nan", K::NotANumber}, {"1,5", K::NotANumber},     {"--1", K::NotANumber},
        {"1e309", K::OutOfRange}, {"inf", K::Infinite},   {"-Infinity", K::Infinite}, {"+-1", K::NotANumber},
        {"-nan", K::NotANumber},
    };
    for (const auto& [text, kind] : numbers) {
        double v = 0.0;
        EXPECT_EQ(cli::parseNumber(text, v), kind) << text;
    }
    for (const char* text : {"", "NA", "na", "NaN", "NAN", "?"})
        EXPECT_TRUE(cli::isMissingMarker(text)) << text;
    for (const char* text : {"0", "N", "none", "-"}) EXPECT_FALSE(cli::isMissingMarker(text)) << text;

    // The reader refills its buffer every megabyte: rows, quoted labels and line numbers that
    // cross a refill read as the others do.
    std::string text = "id,x,label\n";
    const long rows = 60000;
    for (long r = 0; r < rows; ++r)
        text += std::to_string(r) + "," + std::to_string(r) + ".5,\"l\"\"" + std::to_string(r % 3) + "\n\"\n";
    cli::ColumnChoice choice;
    choice.ignore = {"id"};
    const cli::DataTable t = cli::parseDataText(text, "big.csv", choice);
    ASSERT_EQ(t.size(), static_cast<std::size_t>(rows));
    ASSERT_EQ(t.columns, std::vector<std::string>{"x"});
    EXPECT_EQ(t.labelTexts, (std::vector<std::string>{"l\"0\n", "l\"1\n", "l\"2\n"}));
    for (long r = 0; r < rows; ++r) {
        ASSERT_EQ(t.row(static_cast<std::size_t>(r))[0], static_cast<double>(r) + 0.5) << r;
        ASSERT_EQ(t.lines[static_cast<std::size_t>(r)], 2 + 2 * r) << r;
    }
}

// Bad inputs: exit status 1 (2 for the command line, with the help hint),
// one message naming what is wrong and where, and no output. Training data whose spread would
// give the classifier infinite parameters are refused naming the column; missing cells do not
// count towards the spread, binomial columns are bounded by their maximum. Without labelled rows
// the readiness check refuses at once; without it, knn keeps a classifier that fails only when
// it is asked to classify. A directory says so, a NUL byte (here in a crafted model file's column
// name) does not cut a message short, and control characters from the data are escaped, in
// messages and in the reports a terminal shows.
TEST_F(CliRun, BadInputsFailWithOneClearMessageAndNoOutput) {
    ok("train --method knn @D/fruit_train.csv -o @T/m");
    std::string text = file("@T/m");
    text.replace(text.find("\nweight\n"), 8, std::string("\nwe\0ight\n", 9));
    std::ofstream(tmp("nul"), std::ios::binary) << withChecksum(text);
    const std::string esc = "x,label\n1,\x1b[31mred\n2,\x1b[31mred\n5,blue\n6,blue\n";
    std::ofstream(tmp("none.csv")) << "x,label\n1,?\n2,\n3,NA\n";
    ok("train --method knn --no-ready-check @T/none.csv -o @T/unready");
    std::ofstream(tmp("tiny.csv")) << "x,label\n0,a\n1e-300,b\n";
    ok("train --method knn --k 1 --scale minmax @T/tiny.csv -o @T/tiny");
    const std::string near = "x,label\n1e308,a\n-1e308,b\n1.5e308,a\n", wide = "x,label\n1e160,a\n0,b\n";
    const std::string bayes = "train --method bayes @IN -o @OUT",
                      knn = "train --method knn --k 1 @IN -o @OUT";
    const std::string train = "train @D/fruit_train.csv -o @OUT --method ";
    const std::string whole = " (see 'clastool train --help')\n";
    expectCases({
        {knn, "a,label\n1,\"2\n", 1, "@IN:2:2: quoted cell is not closed before the end of the file\n"},
        {knn, "a,label\n1,\"2\"x\n", 1, "@IN:2:2: unexpected text after a closing quote\n"},
        {"train --method knn - -o @OUT", "a,label\n1,2\"\n", 1, "standard input:2:2: a quote may only start"},
        {"evaluate --method knn - -", "", 2, "standard input (-) can be read only once; give TRAIN.csv or"},
        {knn, "", 1, "@IN:1: the file is empty; a header row is expected\n"},
        {knn + " --label-column kind", "x,y\n1,2\n", 1, "@IN:1: no column is named \"kind\" (--label-column takes a name or a 0-based column index; "
         "--no-header reads a file whose first row is data)\n"},
        {knn, "x,label,x\n", 1, "@IN:1:3: column name \"x\" appears twice\n"},
        {knn, "x,,label\n", 1, "@IN:1:2: the header names no column here\n"},
        {knn, "x,label\n1,a,3\n", 1, "@IN:2:3: the row has 3 cells but the header has 2 columns\n"},
        {knn, "x,label\n1e309,a\n", 1,
         "@IN:2:1: \"1e309\" in column \"x\" is out of range (beyond +-1.8e308)\n"},
        {knn, "x,label\n1,a\n-inf,b\n", 1,
         "@IN:3:1: \"-inf\" in column \"x\" is infinite; leave the cell empty"},
        {knn, std::string("x,label\n1,a\n\x01\0,b\n", 17), 1,
         "@IN:3: NUL byte: this is not a CSV text file\n"},
        {knn, "x,label\n" + std::string(cli::kMaxRecordBytes + 1, '1') + ",a\n", 1,
         "@IN:2: a line is longer than 1048576 bytes (is this a CSV file?)\n"},
        {bayes, near, 1, "@IN: column \"x\": its values for the label \"a\" spread too widely around"},
        {"evaluate --method knn --folds 2 @IN", near, 1, "fold 2 of 2: @IN: column \"x\": its values range"},
        {bayes, "x,label\n1e149,a\n-1e149,a\n0,b\n", 0, ""},
        {bayes, "x,label\n1e200,a\n,a\n1,b\n", 0, ""},
        {knn, wide, 1, "@IN: column \"x\": its values range from 0 to 1e+160"},
        {knn + " --norm 1", wide, 0, ""},
        {bayes + " --binomial x=1e300", "x,label\n1e300,a\n0,a\n5e299,b\n6e299,b\n", 0, ""},
        // Priors are relative, and may be given for every label, however large.
        {bayes + " --prior a=1e308 --prior b=1e308 --prior c=1e308", "x,label\n1,a\n2,b\n3,c\n1.5,a\n", 0, ""},
        // A spread below the smallest double leaves the column only centred; a value that the
        // spread scales beyond the range of a double is refused at its cell.
        {bayes + " --scale standard", "x,label\n0,a\n5e-324,b\n0,a\n5e-324,b\n", 0, ""},
        {"classify @T/tiny @IN", "x\n1e-300\n1e10\n", 1,
         "@IN:3:1: 1e+10 in column \"x\" is out of range once scaled (beyond +-1.8e308 spreads from the "
         "training rows' centre)\n"},
        {"evaluate --method knn --scale standard --folds 2 @IN",
         "x,label\n0,a\n1e-300,a\n0,b\n1e-300,b\n1e10,a\n0,b\n", 1,
         "fold 1 of 2: @IN:6:1: 1e+10 in column \"x\" is out of range once scaled"},
        {"evaluate --method bayes --scale standard @T/tiny.csv @IN", "x,label\n1e10,a\n", 1,
         "@IN:2:1: 1e+10 in column \"x\" is out of range once scaled"},
        {"classify @T/m @IN -o @OUT", "label,weight,diameter\ngrape,5,1.5\nlemon,12o,6.0\n", 1,
         "@IN:3:2: \"12o\" in column \"weight\" is not a number\n"},
        {"train --method knn @T/none.csv -o @OUT", "", 1,
         "@T/none.csv: training failed: No valid data was provided for training.\n"},
        {"classify @T/unready @T/none.csv", "", 1,
         "@T/none.csv:2: classification failed: No valid data was provided for training.\n"},
        {"train --method bayes --no-ready-check @T/none.csv -o @OUT", "", 1,
         "@T/none.csv: training failed: no row has a label\n"},
        {"train --method bayes --costs @IN @D/fruit_train.csv -o @OUT",
         "true,grape,lemon,kiwi\ngrape,0,1,1\n", 1,
         "@IN:1:4: the label \"kiwi\" does not occur in @D/fruit_train.csv\n"},
        {"train --method bayes --prior kiwi=2 @D/fruit_train.csv -o @OUT", "", 1,
         "--prior kiwi=2: the label \"kiwi\" does not occur in @D/fruit_train.csv\n"},
        {"train --method bayes --binomial hits=1 @D/counts.csv -o @OUT", "", 1,
         "@D/counts.csv:2:1: 2 in column \"hits\" is outside 0 to 1, the range of its binomial"},
        {"train --method bayes --binomial misses=10 @D/counts.csv -o @OUT", "", 1,
         "--binomial misses=10: @D/counts.csv has no measurement column named \"misses\"\n"},
        {"evaluate --method knn --folds 13 @D/fruit_train.csv", "", 1,
         "@D/fruit_train.csv: 12 labelled rows cannot be split into 13 folds\n"},
        {"frobnicate", "", 2, "unknown command \"frobnicate\" (commands: train, classify, evaluate,"},
        {"train --method knn /dev/zero -o @OUT", "", 1, "/dev/zero:1: NUL byte: this is not a CSV text"},
        {"classify @T/ @D/fruit_test.csv", "", 1, "@T/: is a directory, not a file\n"},
        {"train --method knn --costs @T/ @IN -o @OUT", esc, 1, "@T/: is a directory, not a file\n"},
        {"classify @T/nul @D/fruit_test.csv", "", 1,
         "@D/fruit_test.csv:1: columns do not match the model: expected we\\x00ight, diameter, found "
         "weight, diameter\n"},
        {"train --method knn @IN -o @OUT", "x,label\n\x1b[2J,a\n", 1,
         "@IN:2:1: \"\\x1b[2J\" in column \"x\" is not a number ("},
        // Command-line mistakes: status 2, one wording per kind of bad value, a pointer to the
        // command's help; data mistakes stay status 1.
        {train + "knn --k 0", "", 2, "--k: expected a whole number of 1 or more, not \"0\"" + whole},
        {train + "knn --k 2.5", "", 2, "--k: expected a whole number of 1 or more"},
        {train + "knn --norm 0", "", 2, "--norm: expected a number greater than 0, not \"0\"" + whole},
        {train + "knn --norm nan", "", 2, "--norm: expected a number greater than 0"},
        {train + "bayes --default-cost -1", "", 2, "--default-cost: expected a number of 0 or more"},
        {train + "svm", "", 2, "--method: expected one of \"knn\", \"bayes\""},
        {train + "bayes --k 3", "", 2, "--k applies to --method knn only" + whole},
        {train + "knn --prior a=1", "", 2, "--prior applies to --method bayes only" + whole},
        {"evaluate --method knn --folds 1 @D/fruit_train.csv", "", 2, "--folds: expected a whole number of 2"},
        {"evaluate --method knn --seed x --folds 2 @D/fruit_train.csv", "", 2, "--seed: expected a whole number"},
        {"evaluate --method knn @D/fruit_train.csv", "", 2,
         "evaluate takes TRAIN.csv TEST.csv, or --folds N with one data file (see 'clastool evaluate"},
        {"evaluate --method knn --folds 2 @D/fruit_train.csv @D/fruit_test.csv", "", 2,
         "evaluate with --folds takes one data file"},
        {"classify --threads -1 @D/fruit_train.csv @D/fruit_test.csv", "", 2,
         "--threads: expected a whole number of 0 or more, not \"-1\" (see 'clastool classify --help')"},
        {"train --method knn @T/absent.csv -o @OUT", "", 1, "@T/absent.csv: cannot open"},
    });
    // Each command's help lists its own options only.
    EXPECT_FALSE(has(ok("info --help"), "--force"));
    EXPECT_FALSE(has(ok("classify --help"), "--method"));
    std::ofstream(tmp("esc.csv")) << esc;
    ok("train --method bayes @T/esc.csv -o @T/esc.model");
    for (const std::string& out :
         {ok("evaluate --method knn --k 1 @T/esc.csv @T/esc.csv"), ok("info @T/esc.model")}) {
        EXPECT_FALSE(has(out, "\x1b")) << out;
        EXPECT_TRUE(has(out, "\\x1b[31mred")) << out;
    }
}

// Hand-built trees and rule tables: a bad file is refused at the fault, with the line:column of
// the value and its path inside the JSON; options that do not apply are usage errors. Every
// prefix of a good file is refused cleanly.
TEST_F(CliRun, HandBuiltFilesAreRefusedAtTheFault) {
    // A tree of a node with `predicate` (the rest of it after "type": ") and a leaf.
    const auto tree = [](const std::string& predicate, int child = 1) {
        return "{\"nodes\": [{\"predicate\": {\"type\": \"" + predicate +
               "}, \"true\": " + std::to_string(child) + ", \"false\": 1}, {\"label\": \"grape\"}]}";
    };
    const auto leaf = [](const std::string& fields) { return "{\"nodes\": [{" + fields + "}]}"; };
    const auto rule = [](const std::string& score) {
        return "{\"rules\": [{\"label\": \"grape\", \"scores\": {" + score + "}}]}";
    };
    const std::string oneSided = "\"type\": \"one-sided\", \"x0\": 1, \"x1\": 2, \"xc\": 3";
    const std::string notInteger =
        ": the label is out of range: a label given as a number must be a whole number";
    const std::vector<std::array<std::string, 3>> files = {
        // method, file, message after "@IN:"
        {"tree", "{\"nodes\": [\n  {\"label\": \"grape\",}]}", "2:21: expected a key in quotes\n"},
        {"tree", "{\"nodes\": [], \"nodes\": []}", "1:15: the key \"nodes\" appears twice\n"},
        {"tree", leaf("\"label\": \"grape\"") + " x", "1:33: unexpected text after the JSON value\n"},
        {"tree", leaf("\"label\": \"a\\qb\""), "1:25: an unknown escape in a string\n"},
        {"tree", leaf("\"label\": 1e999"), "1:22: nodes[0].label" + notInteger},
        {"tree", leaf("\"label\": -1"), "1:22: nodes[0].label" + notInteger},
        {"tree", leaf("\"label\": 2.5"), "1:22: nodes[0].label" + notInteger},
        {"tree", "{\"nodes\": []}", "1:11: nodes: expected at least one node (nodes[0] is the root)\n"},
        {"tree", leaf("\"labl\": \"grape\""), "1:13: nodes[0].labl: unknown key (a misspelling?)\n"},
        {"tree", leaf("\"label\": \"kiwi\""),
         "1:22: nodes[0].label: the label \"kiwi\" does not occur in @D/"},
        {"tree", tree("range\", \"columns\": [\"width\"]"),
         "1:56: nodes[0].predicate.columns[0]: \"width\" is not a measurement column of @D/fruit_train.csv "
         "(weight, diameter)\n"},
        {"tree", tree("range\", \"columns\": [], \"low\": \"1\""),
         "1:66: nodes[0].predicate.low: expected a number, found a string\n"},
        {"tree", tree("range\", \"columns\": [], \"high\": -1e999"),
         "1:67: nodes[0].predicate.high: the number is out of range (beyond +-1.8e308)\n"},
        {"tree", tree("comparison\", \"columns\": [\"weight\", \"weight\"]"),
         "1:71: nodes[0].predicate.columns[1]: expected a column other than the first\n"},
        {"tree", tree("validity\", \"columns\": []", 0),
         "1:71: nodes[0].true: expected the index of a later node"},
        {"tree", tree("size\""),
         "1:35: nodes[0].predicate.type: expected \"range\", \"validity\" or \"comparison\""},
        {"rules", "{\"threshold\": 2, \"rules\": []}", "1:15: threshold: expected a number from 0 to 1\n"},
        {"rules", "{\"rules\": []}", "1:11: rules: rules.size() == 0\n"},
        {"rules", rule("\"weight\": {" + oneSided + ", \"y0\": 2, \"y1\": 0}"),
         "1:107: rules[0].scores.weight.y0: expected a score from 0 to 1\n"},
        {"rules", rule("\"size\": {\"type\": \"ignore\"}"),
         "1:42: rules[0].scores.size: \"size\" is not a measurement column of @D/fruit_train.csv"},
        {"rules", rule("\"weight\": {\"type\": \"bell\"}"),
         "1:61: rules[0].scores.weight.type: expected \"one-sided\", \"two-sided\" or \"ignore\"\n"},
    };
    std::vector<Case> cases;
    for (const auto& [method, text, message] : files)
        cases.push_back({"train --method " + method + " --" + method + " @IN @D/fruit_train.csv -o @OUT",
                         text, 1, "@IN:" + message});
    const std::string rules = "evaluate --method rules --rules @D/fruit_rules.json";
    cases.insert(
        cases.end(),
        {
            {"train --method tree @D/fruit_train.csv -o @OUT", "", 2, "--method tree needs --tree FILE.json"},
            {rules + " --k 3 @D/fruit_train.csv", "", 2, "--k does not apply to --method rules"},
            {rules + " --folds 2 @D/fruit_train.csv", "", 2, "--folds does not apply to --method rules"},
            {"train --method knn --tree @IN @D/fruit_train.csv -o @OUT", "", 2,
             "--tree applies to --method tree only"},
        });
    expectCases(cases);

    // Every escape of a JSON string, surrogate pairs included, and the refused ones.
    EXPECT_EQ(cli::parseJson(R"("\"\\\/\b\f\n\r\t\u0041\u00e9\u20AC\ud83d\ude00")", "f").text,
              "\"\\/\b\f\n\r\tA\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80");
    for (const auto& [json, message] : std::vector<std::array<std::string, 2>>{
             {R"("\u00g1")", "f:1:6: expected four hex digits after \\u"},
             {R"("\ud83d")", "f:1:8: an unpaired surrogate in \\u escapes"},
             {R"("\ud83d\u0041")", "f:1:14: an unpaired surrogate in \\u escapes"},
             {R"("\ude00")", "f:1:8: an unpaired surrogate in \\u escapes"},
             {"\"a\tb\"", "f:1:3: a control character in a string (write it as \\u00XX)"},
         }) {
        EXPECT_THROW_MSG(cli::parseJson(json, "f"), InputError, message) << json;
    }

    const cli::LabelMap labels = cli::LabelMap::fromTrainingLabels({"melon", "grape", "lemon"});
    const std::vector<std::string> columns = {"weight", "diameter"};
    for (const std::string method : {"tree", "rules"}) {
        const std::string good = file("@D/fruit_" + method + ".json");
        for (std::size_t n = 0; n <= good.rfind('}'); ++n) {
            std::ofstream(tmp("cut"), std::ios::binary) << good.substr(0, n);
            if (method == "tree")
                EXPECT_THROW(cli::readTreeFile(tmp("cut"), columns, labels, "d"), InputError) << n;
            else
                EXPECT_THROW(cli::readRulesFile(tmp("cut"), columns, labels, "d"), InputError) << n;
        }
    }
}

// ---------------------------------------------------------------------------------------------
// Model files

// The checksum is CRC-32C and the header round-trips with escaped names. A one-byte change
// anywhere in a model file is refused (every byte of the first lines, which the checksum does not
// cover, then every fifth); so are files of other kinds and versions, and header edits made with a
// matching checksum (a writer's fault, or a crafted file): the damaged header itself, or one that
// differs from the stored classifier.
TEST_F(CliRun, ModelFilesAreCheckedBeforeTheyAreBelieved) {
    EXPECT_EQ(cli::crc32c("123456789", 9), 0xE3069283u);  // the published check value
    EXPECT_EQ(cli::crc32c("56789", 5, cli::crc32c("1234", 4)), 0xE3069283u);
    cli::ModelHeader header;
    header.method = "bayes";
    header.labels = cli::LabelMap::fromTrainingLabels({"odd\nname", "back\\slash", "7"});
    header.columns = {"x", "y, z\r"};
    std::stringstream s, again;
    cli::writeModelFile(s, header, "ARCHIVE");
    const cli::ModelHeader back = cli::readModelHeader(s, "m");
    cli::writeModelFile(again, back, std::string(std::istreambuf_iterator<char>(s), {}));
    EXPECT_EQ(again.str(), s.str());

    const auto edited = [&](const std::string& model, const std::string& from, const std::string& to) {
        std::string text = file("@T/" + model);
        EXPECT_TRUE(has(text, from)) << from;
        return withChecksum(text.replace(text.find(from), from.size(), to));
    };
    const std::string bad = "@IN: damaged model file: the header lists ",
                      size = " measurement columns, but the stored classifier takes another number\n";
    std::vector<Case> cases;
    for (const std::string method : {"knn", "bayes", "tree", "rules"}) {
        const bool handBuilt = method == "tree" || method == "rules";
        ok("train --method " + method + (handBuilt ? " --" + method + " @D/fruit_" + method + ".json" : "") +
           " @D/fruit_train.csv -o @T/" + method);
        const std::string good = file("@T/" + method);
        for (std::size_t i = 0; i < good.size(); i += i < 64 ? 1 : 5) {
            std::string damaged = good;
            damaged[i] = static_cast<char>(damaged[i] ^ (1 << (i % 8)));
            std::ofstream(tmp("bad"), std::ios::binary) << damaged;
            cli::Model model;
            EXPECT_THROW(cli::loadModel(tmp("bad"), model), InputError) << method << " byte " << i;
        }
        cases.push_back({"info @IN", edited(method, "labels names 3\nmelon\n", "labels names 2\n"), 1,
                         handBuilt ? "@IN: damaged model file: the stored classifier hands out the category 2"
                                   : bad + "2 labels, but the stored classifier knows 3\n"});
        cases.push_back({"info @IN", edited(method, "columns 2\nweight\n", "columns 1\n"), 1, bad + "1" + size});
    }
    ok("train --method bayes --label-column class @D/ints.csv -o @T/ints");
    cases.insert(cases.end(), {
        {"info @IN", "label,x\n", 1, "@IN: not a clastool model file\n"},
        {"info @IN", "clastool model\nformat 4\n", 1,
         "@IN: model file format version 4 is not supported; this clastool reads format versions 2 and 3\n"},
        {"info @D/format1.model", "", 1, "@D/format1.model: model file format version 1 has no checksum, so"},
        {"info @IN", "clastool model\nformat 2" + std::string(100, ' '), 1,
         "@IN: not a clastool model file (no format version)\n"},
        {"info @IN", edited("knn", "archive\n", ""), 1, "@IN:16: damaged model file header: expected \"archive\"\n"},
        {"info @IN", edited("knn", "method knn", "method trees"), 1, "@IN:4: damaged model file header: unknown"},
        {"info @IN", edited("ints", "\n7\n", "\n8\n"), 1, bad + "2 labels, but the stored classifier knows 2 other"},
        {"info @IN", edited("knn", "columns 2\n", "columns 3\nheight\n"), 1, bad + "3" + size},
        {"info @IN", edited("bayes", "method bayes", "method knn"), 1,
         "@IN: damaged model file: the stored classifier is not a knn classifier\n"},
        {"info @IN", edited("tree", "method tree", "method knn"), 1, "@IN: the classifier stored in the model file cannot"},
        {"info @IN", edited("knn", "rows 12", "rows 0"), 1,
         "@IN: damaged model file: the header records no training row, but the stored classifier has some\n"},
    });
    expectCases(cases);
}

// ---------------------------------------------------------------------------------------------
// Output files: unsafe targets are refused with one message; failed writes name the path and the
// reason and leave the target as it was, and no temporary file; an existing output keeps its
// contents on failure and its permission bits on success; an interrupted run writes nothing.

TEST_F(CliRun, OutputsAreRefusedReplacedOrLeftAsTheyWere) {
    ok("train --method knn @D/fruit_train.csv -o @T/m");
    ASSERT_EQ(::symlink(tmp("m").c_str(), tmp("link").c_str()), 0);
    ASSERT_EQ(::chmod(tmp("m").c_str(), 0600), 0);
    std::ofstream(tmp("old")) << "old\n";
    std::ofstream(tmp("ro")) << "kept\n";
    ASSERT_EQ(::chmod(tmp("ro").c_str(), 0444), 0);
    const std::string train = "train --method knn @D/fruit_train.csv -o ";
    expectCases({
        {train + "@D/fruit_train.csv", "", 1,
         "@D/fruit_train.csv: is the input file @D/fruit_train.csv; the output must be another file\n"},
        {train + "@D/fruit_train.csv --force", "", 1, "@D/fruit_train.csv: is the input file"},
        // Standard input redirected from the output file is the input file too.
        {"classify @T/m - -o @IN", file("@D/fruit_train.csv"), 1,
         "@IN: is the file standard input reads; the output must be another file\n"},
        {train + "@T/link", "", 1, "@T/link: is a symbolic link; give --force to replace the file it points"},
        {train + "@T/", "", 1, "@T/: is a directory; name an output file\n"},
        {train + "@T/ro", "", 1, "@T/ro: is read-only; give --force to replace it\n"},
        {"demo --save-data /dev/full --force", "", 1, "/dev/full: cannot write: No space left on device\n"},
        {"classify @T/m @D/fruit_missing.csv -o @T/old", "", 1, "@D/fruit_missing.csv:2:3:"},
    });
    const Outcome limited = run("demo --save-data @T/m", "ulimit -f 8; ");
    EXPECT_EQ(limited.status, 1);
    EXPECT_EQ(limited.err, placed("clastool: @T/m: cannot write: File too large\n"));
    EXPECT_EQ(file("@T/old"), "old\n");
    EXPECT_EQ(file("@T/ro"), "kept\n");
    ok(train + "@T/ro --force");
    EXPECT_TRUE(has(ok("info @T/ro"), "k-nearest neighbours"));
    EXPECT_TRUE(has(ok("info @T/m"), "k-nearest neighbours"));
    // Ctrl-C during a long cross-validation stops it cleanly: status 130, a message, no output.
    std::ofstream data(tmp("big.csv"));
    data << "a,b,label\n";
    for (int i = 0; i < 200000; ++i) data << i % 997 << "," << i % 89 << "," << i % 3 << "\n";
    data.close();
    const Outcome o = run("evaluate --method knn --folds 5 @T/big.csv --predictions @T/p.csv",
                          "( sleep 0.5; kill -INT $$ ) & exec ");
    EXPECT_EQ(o.status, 130) << o.err;
    EXPECT_EQ(o.err, "clastool: interrupted; nothing was written\n");
    EXPECT_FALSE(std::filesystem::exists(tmp("p.csv")));
    for (const auto& entry : std::filesystem::directory_iterator(dir_))
        EXPECT_FALSE(has(entry.path().string(), ".tmp-")) << entry.path();
    // With --force a link is followed: the file it points to is replaced, the link stays.
    ok("train --method bayes @D/fruit_train.csv -o @T/link --force");
    EXPECT_TRUE(has(ok("info @T/m"), "Bayesian"));
    struct stat st {};
    ASSERT_EQ(::stat(tmp("m").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
}

// ---------------------------------------------------------------------------------------------
// The commands end to end

// Each model decides with the label names (or numbers) of its training data, read back from the
// model file in order of first appearance; joint sets may be named by column or by position.
// Cells may be separated by semicolons or tabs, given or found in the header row.
TEST_F(CliRun, ModelsDecideWithTheirTrainingLabels) {
    const auto separated = [&](const std::string& from, const std::string& to, char delimiter) {
        std::string text = file(from);
        std::replace(text.begin(), text.end(), ',', delimiter);
        std::ofstream(placed(to)) << text;
    };
    separated("@D/fruit_train.csv", "@T/semi.csv", ';');
    separated("@D/fruit_test.csv", "@T/tab.csv", '\t');
    EXPECT_EQ(
        ok("train --method knn --k 1 @D/fruit_train.csv -o @T/m"),
        placed("trained knn (k = 1, norm order 2) on 12 labelled rows of @D/fruit_train.csv (3 categories, 2 "
               "measurements); wrote @T/m\n"));
    EXPECT_TRUE(has(ok("info @T/m"), "categories:   3: melon (0), grape (1), lemon (2)\n"));
    EXPECT_TRUE(has(ok("train --method knn --k 13 @D/fruit_train.csv -o @T/m"),
                    "; wrote " + placed("@T/m") +
                        "; note: k = 13 is more than the 12 labelled rows, so every row votes\n"));
    const std::string lastColumn =
        "the labels are in the last column, \"class\", as no column is named \"label\"";
    EXPECT_TRUE(
        has(ok("train --method bayes @D/ints.csv -o @T/m"), "(2 categories, 1 measurement; " + lastColumn));
    EXPECT_TRUE(has(ok("evaluate --method bayes --folds 2 @D/ints.csv"),
                    "of " + placed("@D/ints.csv (") + lastColumn));
    const std::vector<std::array<std::string, 3>> steps = {
        // training options and data, data to classify, decisions
        {"--method bayes @D/ints.csv", "@D/ints.csv", "7 7 7 3 3 3"},
        {"--method bayes --prior b=20 @D/twoclass.csv", "@D/middle.csv", "b b b"},
        {"--method bayes @D/fruit_missing.csv", "@D/fruit_missing.csv",
         "melon grape lemon grape melon lemon grape lemon melon grape lemon melon lemon"},
        {"--method bayes --binomial hits=10 @D/counts.csv", "@D/counts.csv",
         "low low low low high high high high"},
        {"--method knn --k 1 @T/semi.csv", "@T/tab.csv", "grape lemon melon melon grape"},
        {"--method knn --k 1 --delimiter ; @T/semi.csv", "@T/tab.csv --delimiter tab",
         "grape lemon melon melon grape"},
        {"--method tree --tree @D/fruit_tree.json @D/fruit_train.csv", "@D/fruit_test.csv",
         "grape lemon melon melon grape"},
        {"--method rules --rules @D/fruit_rules.json @D/fruit_train.csv", "@D/fruit_missing.csv",
         // a rule whose every scored measurement is missing scores 1: row 3 (weight missing) is a grape
         "melon grape grape grape melon lemon grape lemon melon grape lemon melon lemon"},
    };
    for (const auto& [options, data, decisions] : steps) {
        ok("train " + options + " -o @T/m");
        std::istringstream words(decisions);
        std::string expected = "row,decision\n";
        int row = 0;
        for (std::string w; words >> w;) expected += std::to_string(++row) + "," + w + "\n";
        EXPECT_EQ(ok("classify @T/m " + data), expected) << options;
    }
    // A hand-built classifier is described by what it holds and is checked against the rows, not
    // trained on them; evaluate given one file tests it on every row.
    for (const auto& [method, holds] :
         {std::pair<std::string, std::string>{"tree", "tree (2 inner nodes, 3 leaves)"},
          {"rules", "rules (3 rules, threshold 0.5)"}}) {
        const std::string options = " --method " + method + " --" + method + " @D/fruit_" + method + ".json ";
        EXPECT_TRUE(
            has(ok("train" + options + "@D/fruit_train.csv -o @T/m"), "built " + holds + " for 12 labelled"));
        const std::string info = ok("info @T/m");
        EXPECT_TRUE(has(info, "parameters:   " + holds + "\n") &&
                    has(info, "built for:    12 labelled rows\n"))
            << info;
        EXPECT_TRUE(has(ok("evaluate" + options + "@D/fruit_train.csv"),
                        placed("tested on 12 rows of @D/fruit_train.csv\naccuracy: ")));
    }
    ok("train --method bayes --joint weight,diameter @D/fruit_train.csv -o @T/j1");
    ok("train --method bayes --joint 0,1 @D/fruit_train.csv -o @T/j2");
    EXPECT_EQ(file("@T/j1"), file("@T/j2"));
}

// The Bayesian scores follow from the class means and variances by hand: class a has x in {0, 2}
// (mean 1, variance 1), class b has {4, 6} (mean 5, variance 1). At x = 2.5 the log-likelihoods
// differ by ((2.5-5)^2 - (2.5-1)^2) / 2 = 2, so the class scores are 1/(1+e^-2) and e^-2/(1+e^-2).
TEST_F(CliRun, BayesScoresMatchAHandComputation) {
    ok("train --method bayes @D/twoclass.csv -o @T/two");
    const std::string out = ok("classify @T/two @D/middle.csv --scores");
    ASSERT_EQ(out.rfind("row,decision,match:a,class:a,cost:a,match:b,class:b,cost:b\n1,a,", 0), 0u) << out;
    std::vector<std::string> cells;
    std::istringstream in(out.substr(out.find('\n') + 1));
    for (std::string c; cells.size() < 8 && std::getline(in, c, ',');) cells.push_back(c);
    const double e2 = std::exp(-2.0);
    EXPECT_NEAR(std::stod(cells[2]), 1.0, 1e-12);
    EXPECT_NEAR(std::stod(cells[3]), 1.0 / (1.0 + e2), 1e-9);
    EXPECT_NEAR(std::stod(cells[5]), e2, 1e-9);
    EXPECT_NEAR(std::stod(cells[7]), 1.0 / (1.0 + e2), 1e-9);  // deciding b costs a's share
    // At x = 3 both classes fit equally well; the tie keeps the training order, so a is decided.
    EXPECT_TRUE(has(out, "\n2,a,")) << out;
}

// A model written to a file and read back decides and scores exactly like the one that was
// trained in memory: evaluate's per-row file (in-memory classifier) equals classify's output.
// "-" is standard input for data and standard output for an output file, whose bytes are those
// the same command writes to a file; the command's own summary then goes to standard error.
TEST_F(CliRun, SavedAndLoadedModelsAndDashesGiveIdenticalOutputs) {
    for (const std::string method : {"knn --k 3", "bayes", "knn --k 2 --norm 1 --costs @D/fruit_costs.csv",
                                     "tree --tree @D/fruit_tree.json", "rules --rules @D/fruit_rules.json"}) {
        ok("train --method " + method + " @D/fruit_train.csv -o @T/m");
        EXPECT_EQ(ok("classify @T/m @D/fruit_test.csv --scores -o @T/a.csv"), "");
        ok("evaluate --method " + method +
           " @D/fruit_train.csv @D/fruit_test.csv --predictions @T/b.csv --scores");
        const std::string viaFile = file("@T/a.csv");
        EXPECT_EQ(viaFile, file("@T/b.csv")) << method;
        EXPECT_EQ(std::count(viaFile.begin(), viaFile.end(), '\n'), 6) << viaFile;
    }
    const std::string evaluate = "evaluate --method knn @D/fruit_train.csv ";
    const std::vector<std::array<std::string, 4>> rows = {
        // standard input, the command with "-", the same with files, on standard error
        {"@D/fruit_train.csv", "train --method bayes - -o -",
         "train --method bayes @D/fruit_train.csv -o @OUT",
         "trained bayes on 12 labelled rows of standard input (3 categories, 2 measurements); wrote -\n"},
        {"@D/fruit_test.csv", "classify @T/m - --scores -o -",
         "classify @T/m @D/fruit_test.csv --scores -o @OUT", ""},
        {"@D/fruit_test.csv", evaluate + "- --predictions -",
         evaluate + "@D/fruit_test.csv --predictions @OUT",
         "tested on 5 rows of standard input\naccuracy: 0.8000"},
        {"/dev/null", "demo --save-data -", "demo --save-data @OUT", "bayes: trained on 1200"},
    };
    for (const auto& [in, dashed, withFiles, said] : rows) {
        ok(withFiles);
        const Outcome o = run(dashed, "<'" + placed(in) + "' ");
        EXPECT_EQ(o.status, 0) << dashed << "\n" << o.err;
        EXPECT_EQ(o.out, file("@OUT")) << dashed;
        EXPECT_TRUE(said.empty() ? o.err.empty() : has(o.err, said)) << dashed << "\n" << o.err;
    }
}

TEST_F(CliRun, EvaluateReportsAccuracyConfusionAndCosts) {
    EXPECT_EQ(
        ok("evaluate --method knn --k 1 @D/fruit_train.csv @D/fruit_test.csv"),
        placed(
            "knn (k = 1, norm order 2): trained on 12 labelled rows of @D/fruit_train.csv, tested on 5 rows "
            "of @D/fruit_test.csv\n"
            "accuracy: 0.8000 (4 of 5)\n\n"
            "confusion matrix (rows: true label, columns: decision)\n"
            "        melon   grape   lemon\n"
            "melon       1       0       0\n"
            "grape       0       2       0\n"
            "lemon       1       0       1\n\n"
            "category      precision     recall         f1    support\n"
            "melon            0.5000     1.0000     0.6667          1\n"
            "grape            1.0000     1.0000     1.0000          2\n"
            "lemon            1.0000     0.5000     0.6667          2\n"
            "macro avg        0.8333     0.8333     0.7778          5\n"
            "weighted avg     0.9000     0.8000     0.8000          5\n\n"
            "Cohen's kappa: 0.7059\n\n"
            "mean expected cost of the decisions: 0.0000\n"
            "mean actual cost of the decisions:   0.2000\n"));
    const std::string first = ok("evaluate --method bayes --folds 4 @D/fruit_train.csv");
    EXPECT_TRUE(has(first, "4-fold stratified cross-validation (seed 1) on 12 labelled rows")) << first;
    EXPECT_TRUE(has(first, "accuracy: 1.0000 (12 of 12)")) << first;
    EXPECT_TRUE(has(first, "accuracy per fold: 1.0000 1.0000 1.0000 1.0000 (mean 1.0000, standard deviation 0.0000)\n"))
        << first;
    // The same figures for scripts: the whole report as JSON, the per-category table as CSV.
    const std::string holdout = "evaluate --method knn --k 1 @D/fruit_train.csv @D/fruit_test.csv --format ";
    const std::string json = ok(holdout + "json");
    for (const std::string part :
         {"\"accuracy\": 0.8,", "\"confusion_matrix\": [[1, 0, 0], [0, 2, 0], [1, 0, 1]]", "\"kappa\": 0.70588235294117",
          "{\"label\": \"lemon\", \"precision\": 1, \"recall\": 0.5, \"f1\": 0.6666666666666666, \"support\": 2}",
          "\"weighted_avg\": {\"precision\": 0.9, \"recall\": 0.8, \"f1\": 0.8, \"support\": 5}"})
        EXPECT_TRUE(has(json, part)) << part << "\n" << json;
    EXPECT_EQ(ok(holdout + "csv"),
              "category,precision,recall,f1,support\nmelon,0.5,1,0.6666666666666666,1\ngrape,1,1,1,2\n"
              "lemon,1,0.5,0.6666666666666666,2\n");
    EXPECT_TRUE(has(ok("evaluate --method knn --folds 3 @D/fruit_train.csv --format json"),
                    "\"folds\": [{\"rows\": 4, \"accuracy\": "));
    EXPECT_EQ(ok("evaluate --method bayes --folds 4 @D/fruit_train.csv"), first);  // seeded: the same folds
}

// Choosing the data and preparing it: columns by name or index, files without a header, scaling
// and imputation stored in the model and applied by classify, classify's output shapes, and the
// refusals that name the fix. `@IN` is the case's input; models go to @T/.
TEST_F(CliRun, ColumnsScalingImputationAndOutputShapes) {
    const auto put = [&](const std::string& name, const std::string& text) { std::ofstream(tmp(name)) << text; };
    put("ids.csv", "id,x,y,label\n1,0,1000,a\n2,1,0,b\n3,0,900,a\n4,1,100,b\n");
    put("plain.csv", "0,1000,a\n1,0,b\n0,900,a\n1,100,b\n");
    put("gaps.csv", "x,y,label\n0,1000,a\n,900,a\n1,0,b\n1,NA,b\n");
    put("query.csv", "y,x,extra\n400,0.1,z\n");
    const struct {
        std::string train, then, expected;  // `then` runs after `train`; its output holds `expected`
    } cases[] = {
        {"--columns y,1 @T/ids.csv", "info @T/m", "measurements: 2: y, x\n"},
        {"--no-header @T/plain.csv", "classify --no-header @T/m @T/plain.csv", "row,decision\n1,a\n2,b\n"},
        // Unscaled, y decides the nearest row; scaled, x does.
        {"--ignore id @T/ids.csv", "classify @T/m @T/query.csv", "1,b\n"},
        {"--ignore id --scale standard @T/ids.csv", "classify @T/m @T/query.csv", "1,a\n"},
        {"--ignore id --scale minmax @T/ids.csv", "info @T/m",
         "scaling:      minmax, fitted on the training rows: x (x - 0) / 1, y (x - 0) / 1000\n"},
        {"--impute median @T/gaps.csv", "info @T/m", "a missing measurement becomes the training rows' median: "
                                                     "x 1, y 900\n"},
        {"--impute mean @T/gaps.csv", "classify @T/m @T/gaps.csv", "row,decision\n1,a\n2,a\n3,b\n4,b\n"},
        {"--ignore id @T/ids.csv", "classify --proba @T/m @T/query.csv", "a,b\n0,1\n"},
        {"--ignore id @T/ids.csv", "classify --format json --scores @T/m @T/query.csv",
         "[\n{\"row\": 1, \"decision\": \"b\", \"match:a\": 0, \"class:a\": 0, \"cost:a\": 1, \"match:b\": 1, "
         "\"class:b\": 1, \"cost:b\": 0}\n]\n"},
        {"--ignore id @T/ids.csv", "classify --format json --proba @T/m @T/query.csv", "[\n{\"a\": 0, \"b\": 1}\n]\n"},
    };
    for (const auto& c : cases) {
        ok("train --method knn --k 1 -o @T/m " + c.train);
        const std::string out = ok(c.then);
        EXPECT_TRUE(has(out, c.expected)) << c.train << " | " << c.then << "\n" << out;
    }

    // A model written before scaling existed (format 2) still loads.
    ok("train --method knn --k 1 @D/fruit_train.csv -o @T/m");
    std::string text = file("@T/m");
    text.replace(text.find("format 3"), 8, "format 2");
    text.erase(text.find("scale none\nimpute none\n"), 23);
    std::ofstream(tmp("old"), std::ios::binary) << withChecksum(text);
    EXPECT_TRUE(has(ok("info @T/old"), "format version 2)\n"));

    ok("train --method knn --k 1 --ignore id @T/ids.csv -o @T/m");
    const std::string knn = "train --method knn @IN -o @OUT";
    expectCases({
        {knn, "x,label\n1,a\n,b\n", 1, "@IN:3:1: missing measurement in column \"x\": the knn method needs every "
                                       "measurement (use --impute mean|median"},
        {"train --method bayes --impute mean @IN -o @OUT", "x,label\n1,a\n", 2,
         "--impute applies to --method knn only"},
        {knn + " --impute mean", "x,y,label\n,1,a\n,2,b\n", 1,
         "@IN: column \"x\": no training row has a measurement to impute missing cells from\n"},
        {"train --method bayes --scale standard --binomial x=3 @IN -o @OUT", "x,label\n1,a\n", 2,
         "--scale cannot be combined with --binomial"},
        {knn + " --label-column 9", "x,label\n1,a\n", 1, "--label-column 9: @IN has 2 columns (indices 0 to 1)\n"},
        {knn + " --columns label", "x,label\n1,a\n", 1, "--columns label: \"label\" is the label column\n"},
        {knn + " --ignore zz", "x,label\n1,a\n", 1, "--ignore zz: @IN has no column named \"zz\"\n"},
        {knn + " --ignore x", "x,label\n1,a\n", 1, "@IN:1: the header names no measurement column\n"},
        {"classify --proba --scores @T/m @IN", "x,y\n1,2\n", 2, "--proba writes only the class scores"},
    });
}

// Special outputs are written in place and a link is never replaced by a file: a FIFO (read by a
// thread here), /dev/null, /dev/stdout whatever standard output is, a link to nothing refused.
TEST_F(CliRun, SpecialOutputsAreWrittenInPlace) {
    ok("train --method knn @D/fruit_train.csv -o @T/m");
    const std::string classify = "classify @T/m @D/fruit_test.csv";
    const std::string expected = ok(classify);
    ASSERT_EQ(::mkfifo(tmp("pipe").c_str(), 0600), 0);
    ASSERT_EQ(::symlink(tmp("pipe").c_str(), tmp("to-pipe").c_str()), 0);
    for (const std::string target : {"@T/pipe", "@T/to-pipe"}) {
        std::string got;
        std::thread reader([&] { got = tqtest::readFile(tmp("pipe")); });
        ok(classify + " -o " + target);
        reader.join();
        EXPECT_EQ(got, expected) << target;
    }
    // A model file cannot be patched in a pipe, so its checksum is made first: same bytes.
    std::string model;
    std::thread reader([&] { model = tqtest::readFile(tmp("pipe")); });
    ok("train --method knn @D/fruit_train.csv -o @T/pipe");
    reader.join();
    EXPECT_EQ(model, tqtest::readFile(tmp("m")));
    // A program that replaced its output would replace the machine's /dev/null and /dev/stdout:
    // those are tried only once the FIFO cases show that special outputs are written in place.
    ASSERT_FALSE(HasFailure()) << "/dev/null and /dev/stdout not tried";
    ok(classify + " -o /dev/null");
    EXPECT_EQ(ok(classify + " -o /dev/stdout"), expected);
    struct stat st {};
    ASSERT_EQ(::lstat("/dev/stdout", &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    ASSERT_EQ(::stat("/dev/null", &st), 0);
    EXPECT_TRUE(S_ISCHR(st.st_mode));
    ASSERT_EQ(::symlink(tmp("absent").c_str(), tmp("dangling").c_str()), 0);
    expectCases({{classify + " -o @T/dangling --force", "", 1,
                  "@T/dangling: is a symbolic link to a file that does not exist\n"}});
    ASSERT_EQ(::lstat(tmp("dangling").c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    for (const auto& entry : std::filesystem::directory_iterator(dir_))
        EXPECT_FALSE(has(entry.path().string(), ".tmp-")) << entry.path();
    // The demo's figures are the same on every run; timings appear only when asked for.
    EXPECT_FALSE(has(ok("demo"), " ms\n"));
    EXPECT_TRUE(has(ok("demo --timing"), "time for training and testing: "));
}

}  // namespace
