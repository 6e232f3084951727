#include "tools/handbuilt.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <limits>
#include <set>

#include "tools/csv.h"
#include "tools/json.h"
#include "tools/modelfile.h"

namespace cli {

namespace {

// Binds the names in a file to the training data's measurement columns and labels.
class Binding {
public:
    Binding(const std::vector<std::string>& columns, const LabelMap& labels, const std::string& dataFile)
        : columns_(columns), labels_(labels), dataFile_(dataFile) {}

    long column(const JsonNode& n) const { return column(n.string(), n, false); }
    // The column `name`, or a refusal about `where` (at its key when the name is that key).
    long column(const std::string& name, const JsonNode& where, bool atKey) const {
        for (std::size_t i = 0; i < columns_.size(); ++i)
            if (columns_[i] == name) return static_cast<long>(i);
        std::string known;
        for (const std::string& c : columns_) known += (known.empty() ? "" : ", ") + c;
        const std::string what =
            "\"" + name + "\" is not a measurement column of " + dataFile_ + " (" + known + ")";
        if (atKey) where.failAtKey(what);
        where.fail(what);
    }
    std::vector<long> columns(const JsonNode& n) const {
        std::vector<long> out;
        for (const JsonNode& c : n.items()) out.push_back(column(c));
        return out;
    }
    long label(const JsonNode& n) const {
        std::string text;
        if (n.value().type == JsonValue::Type::Number) {
            // Category numbers are 32-bit; a number read as a label must be one exactly.
            const double v = n.value().number;
            if (!(v >= 0.0 && v <= INT_MAX && v == std::floor(v)))
                n.fail(
                    "the label is out of range: a label given as a number must be a whole number from 0 to " +
                    std::to_string(INT_MAX));
            text = std::to_string(static_cast<long>(v));
        } else {
            text = n.string();
        }
        const long category = labels_.find(text);
        if (category < 0) n.fail("the label \"" + text + "\" does not occur in " + dataFile_);
        return category;
    }
    std::size_t size() const { return columns_.size(); }

private:
    const std::vector<std::string>& columns_;
    const LabelMap& labels_;
    const std::string& dataFile_;
};

// A score from 0 to 1. Scores are checked where they stand, before the library's own checks,
// so that a message points at the number itself.
double score(const JsonNode& n) {
    const double x = n.number();
    if (!(x >= 0.0 && x <= 1.0)) n.fail("expected a score from 0 to 1");
    return x;
}

// Runs a library constructor or setter; its refusal becomes a message about `n`.
template <class F>
auto checked(const JsonNode& n, F make) -> decltype(make()) {
    try {
        return make();
    } catch (const InputError&) {
        throw;
    } catch (const std::exception& e) {
        n.fail(e.what());
    }
}

tqPtrHandle<tqPredicateFunction> predicate(const JsonNode& n, const Binding& b) {
    const std::string type = n["type"].string();
    if (type == "range") {
        n.only({"type", "columns", "low", "high"});
        const double inf = std::numeric_limits<double>::infinity();
        const double low = n.has("low") ? n["low"].number() : -inf,
                     high = n.has("high") ? n["high"].number() : inf;
        const std::vector<long> columns = b.columns(n["columns"]);
        return checked(n, [&] {
            return tqPtrHandle<tqPredicateFunction>(new tqRangePredicate(tqRange(low, high), columns));
        });
    }
    if (type == "validity") {
        n.only({"type", "columns"});
        const std::vector<long> columns = b.columns(n["columns"]);
        return checked(n, [&] { return tqPtrHandle<tqPredicateFunction>(new tqValidityPredicate(columns)); });
    }
    if (type == "comparison") {
        n.only({"type", "columns"});
        const std::vector<long> columns = b.columns(n["columns"]);
        if (columns.size() != 2) n["columns"].fail("expected two columns (true when the first is greater)");
        if (columns[0] == columns[1]) n["columns"].items()[1].fail("expected a column other than the first");
        return checked(n, [&] {
            return tqPtrHandle<tqPredicateFunction>(new tqComparisonPredicate(columns[0], columns[1]));
        });
    }
    n["type"].fail("expected \"range\", \"validity\" or \"comparison\"");
}

tqClassifierResult leafResult(const JsonNode& n, const Binding& b) {
    if (n.has("label")) {
        n.only({"label"});
        return tqClassifierResult({tqClassifierCategoryResult(b.label(n["label"]), 1.0, 1.0, 0.0)}, 0.0);
    }
    n.only({"results"});
    std::vector<tqClassifierCategoryResult> entries;
    for (const JsonNode& r : n["results"].items()) {
        r.only({"label", "match", "class", "cost"});
        const long label = b.label(r["label"]);
        const double match = score(r["match"]), share = score(r["class"]), cost = r["cost"].number();
        if (!(cost >= 0.0)) r["cost"].fail("expected a cost >= 0");
        entries.push_back(checked(r, [&] { return tqClassifierCategoryResult(label, match, share, cost); }));
    }
    return checked(n["results"], [&] { return tqClassifierResult(entries, 0.0); });
}

tqPtrHandle<tqClsFtSc> oneSided(const JsonNode& n) {
    n.only({"type", "x0", "x1", "xc", "y0", "y1"});
    auto* s = new tqClassifierFeatureScoreOneSided;
    tqPtrHandle<tqClsFtSc> handle(s);
    const double x0 = n["x0"].number(), x1 = n["x1"].number(), xc = n["xc"].number();
    const double y0 = score(n["y0"]), y1 = score(n["y1"]);
    checked(n, [&] { s->init(x0, x1, xc, y0, y1); });
    return handle;
}

tqPtrHandle<tqClsFtSc> featureScore(const JsonNode& n) {
    const std::string type = n["type"].string();
    if (type == "ignore") {
        n.only({"type"});
        return tqPtrHandle<tqClsFtSc>(new tqClassifierFeatureScoreIgnore);
    }
    if (type == "one-sided") return oneSided(n);
    if (type == "two-sided") {
        n.only({"type", "low", "high"});
        const JsonNode low = n["low"], high = n["high"];
        low.only({"x0", "x1", "xc", "y0", "y1"});
        high.only({"x0", "x1", "xc", "y0", "y1"});
        const auto v = [](const JsonNode& side, const char* key) {
            return key[0] == 'y' ? score(side[key]) : side[key].number();
        };
        auto* s = new tqClassifierFeatureScoreTwoSided;
        tqPtrHandle<tqClsFtSc> handle(s);
        checked(n, [&] {
            s->init(v(low, "x0"), v(low, "x1"), v(low, "xc"), v(high, "x0"), v(high, "x1"), v(high, "xc"),
                    v(low, "y0"), v(low, "y1"), v(high, "y0"), v(high, "y1"));
        });
        return handle;
    }
    n["type"].fail("expected \"one-sided\", \"two-sided\" or \"ignore\"");
}

}  // namespace

tqPtrHandle<tqDecisionTree> readTreeFile(const std::string& path, const std::vector<std::string>& columns,
                                         const LabelMap& labels, const std::string& dataFile) {
    const JsonValue doc = readJsonFile(path);
    const std::string file = inputName(path);
    const JsonNode root(doc, "", file);
    root.only({"nodes"});
    const std::vector<JsonNode> nodes = root["nodes"].items();
    if (nodes.empty()) root["nodes"].fail("expected at least one node (nodes[0] is the root)");
    const Binding b(columns, labels, dataFile);
    // Children come later in the list, so that the nodes can be built from the last one back
    // and no tree can contain itself.
    std::vector<tqPtrHandle<tqDecisionTree>> built(nodes.size());
    for (std::size_t i = nodes.size(); i-- > 0;) {
        const JsonNode& n = nodes[i];
        if (!n.has("predicate")) {
            built[i] = tqPtrHandle<tqDecisionTree>(new tqDecisionTreeLeaf(leafResult(n, b)));
            continue;
        }
        n.only({"predicate", "true", "false"});
        const auto child = [&](const char* key) -> const tqDecisionTree& {
            const JsonNode c = n[key];
            const long at = c.index();
            if (at <= static_cast<long>(i) || at >= static_cast<long>(nodes.size()))
                c.fail("expected the index of a later node (" + std::to_string(i + 1) + " to " +
                       std::to_string(nodes.size() - 1) + ")");
            return *built[static_cast<std::size_t>(at)];
        };
        const tqPtrHandle<tqPredicateFunction> p = predicate(n["predicate"], b);
        built[i] = tqPtrHandle<tqDecisionTree>(new tqDecisionTreeNode(*p, child("true"), child("false")));
    }
    return built[0];
}

RuleModel readRulesFile(const std::string& path, const std::vector<std::string>& columns,
                        const LabelMap& labels, const std::string& dataFile) {
    const JsonValue doc = readJsonFile(path);
    const std::string file = inputName(path);
    const JsonNode root(doc, "", file);
    root.only({"threshold", "rules"});
    RuleModel model;
    if (root.has("threshold")) {
        model.threshold = root["threshold"].number();
        if (!(model.threshold >= 0.0 && model.threshold <= 1.0))
            root["threshold"].fail("expected a number from 0 to 1");
    }
    const Binding b(columns, labels, dataFile);
    std::vector<tqClassifierRule> rules;
    for (const JsonNode& r : root["rules"].items()) {
        r.only({"label", "scores"});
        const long label = b.label(r["label"]);
        // A column the rule does not name takes no part in it.
        std::vector<tqPtrHandle<tqClsFtSc>> scores(b.size());
        for (const auto& [name, score] : r["scores"].members()) {
            const long column = b.column(name, score, true);
            scores[static_cast<std::size_t>(column)] = featureScore(score);
        }
        for (auto& s : scores)
            if (s.isNull()) s = tqPtrHandle<tqClsFtSc>(new tqClassifierFeatureScoreIgnore);
        rules.emplace_back();
        checked(r, [&] { rules.back().init(scores, label); });
    }
    checked(root["rules"], [&] { model.table.train(rules); });
    return model;
}

tqClassifierResult RuleModel::classify(const tqFeaturePattern& pattern) const {
    std::vector<double> values(static_cast<std::size_t>(pattern.numMeasurements()));
    for (long j = 0; j < pattern.numMeasurements(); ++j)
        values[static_cast<std::size_t>(j)] = pattern.isValid(j) ? pattern.featureMeasurement(j, false)
                                                                 : std::numeric_limits<double>::quiet_NaN();
    const tqClassifierFeatureVector vector(values);
    const long decided = table.classifyHardThreshold(vector, threshold);
    if (decided < 0) return tqClassifierResult();
    std::vector<long> order = labels();
    std::vector<double> best(order.size(), 0.0);
    for (const tqClassifierRule& rule : table.rules()) {
        const std::size_t at =
            static_cast<std::size_t>(std::find(order.begin(), order.end(), rule.label()) - order.begin());
        best[at] = std::max(best[at], rule.score(vector));
    }
    std::vector<tqClassifierCategoryResult> entries;
    for (std::size_t i = 0; i < order.size(); ++i) {
        const bool chosen = order[i] == decided;
        entries.emplace_back(order[i], best[i], chosen ? 1.0 : 0.0, chosen ? 0.0 : 1.0);
    }
    return tqClassifierResult(entries, 0.0);
}

std::vector<long> RuleModel::labels() const {
    std::vector<long> out;
    for (const tqClassifierRule& rule : table.rules())
        if (std::find(out.begin(), out.end(), rule.label()) == out.end()) out.push_back(rule.label());
    return out;
}

TreeSummary summarize(const tqDecisionTree& tree) {
    TreeSummary s;
    s.labels = tree.categoryLabels();
    // Subtrees may be shared: each is counted once.
    std::vector<const tqDecisionTree*> pending{&tree};
    std::set<const tqDecisionTree*> seen;
    while (!pending.empty()) {
        const tqDecisionTree* t = pending.back();
        pending.pop_back();
        if (t == nullptr || !seen.insert(t).second) continue;
        const auto* node = dynamic_cast<const tqDecisionTreeNode*>(t);
        if (node == nullptr) {
            ++s.leaves;
            continue;
        }
        ++s.nodes;
        const tqPredicateFunction* p = node->predicateFunction().get();
        std::vector<long> indices;
        if (auto* r = dynamic_cast<const tqRangePredicate*>(p)) indices = r->measurementIndices();
        if (auto* v = dynamic_cast<const tqValidityPredicate*>(p)) indices = v->measurementIndices();
        if (auto* c = dynamic_cast<const tqComparisonPredicate*>(p))
            indices = {c->measurementIndex1(), c->measurementIndex2()};
        for (long i : indices) s.largestIndex = std::max(s.largestIndex, i);
        pending.push_back(node->trueTree().get());
        pending.push_back(node->falseTree().get());
    }
    return s;
}

}  // namespace cli
