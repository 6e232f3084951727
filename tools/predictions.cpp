#include "tools/predictions.h"

#include <cmath>
#include <cstdio>
#include <map>

#include "clss/clastool/clastool.h"
#include "tools/output.h"

namespace cli {

namespace {

std::string jsonNumber(double v) { return std::isfinite(v) ? exactNumber(v) : "null"; }

}  // namespace

std::string jsonString(const std::string& text) {
    std::string out = "\"";
    for (const char c : text) {
        const auto u = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (u < 0x20) {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\u%04x", u);
            out += escape;
        } else {
            out += c;
        }
    }
    return out + "\"";
}

bool formatNamed(const std::string& name, PredictionOutput::Format& format) {
    if (name == "csv") return format = PredictionOutput::Format::Csv, true;
    if (name == "json") return format = PredictionOutput::Format::Json, true;
    return false;
}

PredictionOutput::PredictionOutput(const LabelMap& labels, const tqClassifierCosts& costs, Format format,
                                   bool scores, bool proba)
    : labels_(labels), costs_(costs), format_(format), scores_(scores), proba_(proba), csv_(labels, scores, costs) {
}

void PredictionOutput::begin(std::ostream& out) const {
    if (format_ == Format::Json) {
        out << "[";
        return;
    }
    if (!proba_) return csv_.header(out);
    std::string line;
    for (const std::string& n : labels_.names()) {
        const bool plain = n.find_first_of(",\"\r\n") == std::string::npos;
        std::string cell = "\"";
        for (char c : n) cell += c == '"' ? std::string("\"\"") : std::string(1, c);
        line += (line.empty() ? "" : ",") + (plain ? n : cell + "\"");
    }
    out << line << "\n";
}

void PredictionOutput::row(std::ostream& out, long rowNumber, const tqClassifierResult& result) const {
    if (format_ == Format::Csv && !proba_) return csv_.row(out, rowNumber, result);
    const std::vector<tqClassifierCategoryResult>& entries = result.categoryResults();
    std::map<long, const tqClassifierCategoryResult*> byLabel;
    for (const tqClassifierCategoryResult& e : entries) byLabel[e.categoryLabel()] = &e;
    const auto classScore = [&](long category) {
        const auto it = byLabel.find(category);
        return it == byLabel.end() ? 0.0 : it->second->classScore();
    };
    if (format_ == Format::Csv) {
        bool first = true;
        for (long category : labels_.categories()) {
            out << (first ? "" : ",") << exactNumber(classScore(category));
            first = false;
        }
        out << "\n";
        return;
    }
    out << (rowNumber > 1 ? ",\n" : "\n") << "{";
    bool first = true;
    const auto field = [&](const std::string& key, const std::string& value) {
        out << (first ? "" : ", ") << jsonString(key) << ": " << value;
        first = false;
    };
    if (proba_) {
        for (std::size_t i = 0; i < labels_.categories().size(); ++i)
            field(labels_.names()[i], jsonNumber(classScore(labels_.categories()[i])));
        out << "}";
        return;
    }
    field("row", std::to_string(rowNumber));
    field("decision", entries.empty() ? "null" : jsonString(labels_.name(entries.front().categoryLabel())));
    if (scores_)
        for (std::size_t i = 0; i < labels_.categories().size(); ++i) {
            const long category = labels_.categories()[i];
            const std::string& n = labels_.names()[i];
            const auto it = byLabel.find(category);
            // Deciding a category that got no share costs what the others' shares make it cost.
            double cost = 0.0;
            if (it == byLabel.end())
                for (const tqClassifierCategoryResult& e : entries)
                    cost += costs_.misclassificationCost(e.categoryLabel(), category) * e.classScore();
            field("match:" + n, jsonNumber(it == byLabel.end() ? 0.0 : it->second->matchScore()));
            field("class:" + n, jsonNumber(classScore(category)));
            field("cost:" + n, jsonNumber(it == byLabel.end() ? cost : it->second->expectedCost()));
        }
    out << "}";
}

void PredictionOutput::end(std::ostream& out) const {
    if (format_ == Format::Json) out << "\n]\n";
}

}  // namespace cli
