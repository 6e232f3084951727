#include "tools/report.h"

#include <algorithm>
#include <cmath>
#include <map>

#include "clss/clastool/clastool.h"
#include "tools/csv.h"
#include "tools/output.h"

namespace cli {

namespace {

// CSV cell text: quoted when it holds a separator, a quote or a line break.
std::string csvCell(const std::string& s) {
    const bool plain = s.find_first_of(",\"\r\n") == std::string::npos &&
                       (s.empty() || (s.front() != ' ' && s.back() != ' '));
    if (plain) return s;
    std::string out = "\"";
    for (char c : s) out += (c == '"') ? std::string("\"\"") : std::string(1, c);
    return out + "\"";
}

std::string padLeft(const std::string& s, std::size_t width) {
    return s.size() >= width ? s : std::string(width - s.size(), ' ') + s;
}

// A JSON string literal.
std::string jsonString(const std::string& s) {
    std::string out = "\"";
    for (unsigned char c : s) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\u%04x", c);
            out += buf;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

// A ratio that may be undefined (NaN): "-" in text, null in JSON, empty in CSV.
std::string textRatio(double v) { return std::isnan(v) ? "-" : fixed(v, 4); }
std::string jsonNumber(double v) { return std::isnan(v) ? "null" : exactNumber(v); }

std::string padRight(const std::string& s, std::size_t width) {
    return s.size() >= width ? s : s + std::string(width - s.size(), ' ');
}

}  // namespace

PredictionWriter::PredictionWriter(const LabelMap& labels, bool scores, const tqClassifierCosts& costs)
    : labels_(labels), scores_(scores), costs_(costs) {}

void PredictionWriter::header(std::ostream& out) const {
    out << "row,decision";
    if (scores_) {
        for (const std::string& n : labels_.names())
            out << "," << csvCell("match:" + n) << "," << csvCell("class:" + n) << ","
                << csvCell("cost:" + n);
    }
    out << "\n";
}

void PredictionWriter::row(std::ostream& out, long rowNumber, const tqClassifierResult& result) const {
    const std::vector<tqClassifierCategoryResult>& entries = result.categoryResults();
    out << rowNumber << ","
        << (entries.empty() ? std::string() : csvCell(labels_.name(entries.front().categoryLabel())));
    if (scores_) {
        std::map<long, const tqClassifierCategoryResult*> byLabel;
        for (const tqClassifierCategoryResult& e : entries) byLabel[e.categoryLabel()] = &e;
        for (long category : labels_.categories()) {
            auto it = byLabel.find(category);
            if (it != byLabel.end()) {
                const tqClassifierCategoryResult& e = *it->second;
                out << "," << exactNumber(e.matchScore()) << "," << exactNumber(e.classScore()) << ","
                    << exactNumber(e.expectedCost());
                continue;
            }
            // Deciding a category that got no share costs what the others' shares make it cost.
            double cost = 0.0;
            for (const tqClassifierCategoryResult& e : entries)
                cost += costs_.misclassificationCost(e.categoryLabel(), category) * e.classScore();
            out << ",0,0," << exactNumber(cost);
        }
    }
    out << "\n";
}

Evaluation::Evaluation(const LabelMap& labels, const tqClassifierCosts& costs)
    : labels_(labels), costs_(costs) {}

void Evaluation::add(long truth, const tqClassifierResult& result, long fold) {
    const std::vector<tqClassifierCategoryResult>& entries = result.categoryResults();
    truths_.push_back(truth);
    decisions_.push_back(entries.empty() ? -1 : entries.front().categoryLabel());
    expectedCosts_.push_back(entries.empty() ? 0.0 : entries.front().expectedCost());
    folds_.push_back(fold);
}

long Evaluation::correct() const {
    long n = 0;
    for (std::size_t i = 0; i < truths_.size(); ++i) n += truths_[i] == decisions_[i];
    return n;
}

double Evaluation::accuracy() const {
    return truths_.empty() ? 0.0 : double(correct()) / double(truths_.size());
}

double Evaluation::meanExpectedCost() const {
    double sum = 0.0;
    for (double c : expectedCosts_) sum += c;
    return truths_.empty() ? 0.0 : sum / double(truths_.size());
}

double Evaluation::meanActualCost() const {
    double sum = 0.0;
    for (std::size_t i = 0; i < truths_.size(); ++i)
        if (truths_[i] != decisions_[i] && decisions_[i] >= 0)
            sum += costs_.misclassificationCost(truths_[i], decisions_[i]);
    return truths_.empty() ? 0.0 : sum / double(truths_.size());
}

// The figures of the report. Undefined ratios (no row decided as a category, say) are NaN.
struct Evaluation::Summary {
    struct Scores {
        double precision, recall, f1;
        long support;
    };
    std::vector<std::vector<long>> matrix;  // [true][decided], in the label map's order
    std::vector<Scores> categories;
    Scores macro{}, weighted{};
    double kappa = 0.0;
    std::vector<std::pair<long, long>> folds;  // correct, rows per fold
    double foldMean = 0.0, foldDeviation = 0.0;
};

Evaluation::Summary Evaluation::summarize() const {
    const double nan = std::nan("");
    const std::vector<long>& cats = labels_.categories();
    std::map<long, std::size_t> index;
    for (std::size_t i = 0; i < cats.size(); ++i) index[cats[i]] = i;
    const std::size_t n = cats.size();
    Summary s;
    s.matrix.assign(n, std::vector<long>(n, 0));
    std::vector<long> support(n, 0), decided(n, 0);
    for (std::size_t i = 0; i < truths_.size(); ++i) {
        auto t = index.find(truths_[i]);
        auto d = index.find(decisions_[i]);
        if (t != index.end()) ++support[t->second];
        if (d != index.end()) ++decided[d->second];
        if (t != index.end() && d != index.end()) ++s.matrix[t->second][d->second];
    }
    // Macro averages take every category that occurs as a truth or a decision, an undefined
    // ratio counting 0; weighted averages weigh each by its support.
    long used = 0, total = 0;
    for (std::size_t k = 0; k < n; ++k) {
        const double hit = double(s.matrix[k][k]);
        const double p = decided[k] ? hit / double(decided[k]) : nan;
        const double r = support[k] ? hit / double(support[k]) : nan;
        const double f = std::isnan(p) || std::isnan(r) ? nan : (p + r > 0 ? 2 * p * r / (p + r) : 0.0);
        s.categories.push_back({p, r, f, support[k]});
        if (support[k] == 0 && decided[k] == 0) continue;
        ++used;
        total += support[k];
        const auto zero = [](double v) { return std::isnan(v) ? 0.0 : v; };
        s.macro.precision += zero(p), s.macro.recall += zero(r), s.macro.f1 += zero(f);
        const double w = double(support[k]);
        s.weighted.precision += w * zero(p), s.weighted.recall += w * zero(r), s.weighted.f1 += w * zero(f);
    }
    for (auto* avg : {&s.macro, &s.weighted}) {
        const double by = avg == &s.macro ? double(used) : double(total);
        avg->precision = by > 0 ? avg->precision / by : nan;
        avg->recall = by > 0 ? avg->recall / by : nan;
        avg->f1 = by > 0 ? avg->f1 / by : nan;
        avg->support = total;
    }
    // Cohen's kappa: agreement beyond what the truths' and decisions' frequencies give by chance.
    const double rows = double(truths_.size());
    double chance = 0.0;
    for (std::size_t k = 0; k < n; ++k) chance += double(support[k]) * double(decided[k]) / (rows * rows);
    s.kappa = chance < 1.0 ? (accuracy() - chance) / (1.0 - chance) : nan;

    long nFolds = 0;
    for (long f : folds_) nFolds = std::max(nFolds, f + 1);
    s.folds.assign(static_cast<std::size_t>(nFolds), {0, 0});
    for (std::size_t i = 0; i < truths_.size(); ++i)
        if (folds_[i] >= 0) {
            s.folds[static_cast<std::size_t>(folds_[i])].first += truths_[i] == decisions_[i];
            ++s.folds[static_cast<std::size_t>(folds_[i])].second;
        }
    if (nFolds > 0) {
        std::vector<double> acc;
        for (const auto& [hit, count] : s.folds) acc.push_back(count ? double(hit) / double(count) : 0.0);
        for (double a : acc) s.foldMean += a / double(acc.size());
        double squares = 0.0;
        for (double a : acc) squares += (a - s.foldMean) * (a - s.foldMean);
        s.foldDeviation = acc.size() > 1 ? std::sqrt(squares / double(acc.size() - 1)) : 0.0;
    }
    return s;
}

void Evaluation::print(std::ostream& out, const std::string& title, const std::string& format) const {
    if (format == "json") return printJson(out, title, summarize());
    if (format == "csv") {
        const Summary s = summarize();
        const auto cell = [](double v) { return std::isnan(v) ? std::string() : exactNumber(v); };
        out << "category,precision,recall,f1,support\n";
        for (std::size_t k = 0; k < s.categories.size(); ++k)
            out << csvCell(labels_.names()[k]) << "," << cell(s.categories[k].precision) << ","
                << cell(s.categories[k].recall) << "," << cell(s.categories[k].f1) << ","
                << s.categories[k].support << "\n";
        return;
    }
    out << title << "\n";
    if (unlabelled_ > 0) out << "rows without a label (classified, not scored): " << unlabelled_ << "\n";
    if (truths_.empty()) {
        out << "no labelled rows to score\n";
        return;
    }
    printText(out, title, summarize());
}

void Evaluation::printText(std::ostream& out, const std::string&, const Summary& s) const {
    out << "accuracy: " << fixed(accuracy(), 4) << " (" << correct() << " of " << truths_.size() << ")\n";
    // Label names come from the data: control characters in them are shown escaped.
    std::vector<std::string> names;
    for (const std::string& name : labels_.names()) names.push_back(printable(name));
    const std::size_t n = names.size();
    std::size_t nameWidth = 4;
    for (const std::string& name : names) nameWidth = std::max(nameWidth, name.size());
    std::size_t cellWidth = 6;
    for (const std::string& name : names) cellWidth = std::max(cellWidth, name.size());
    cellWidth = std::max(cellWidth, std::to_string(truths_.size()).size());

    out << "\nconfusion matrix (rows: true label, columns: decision)\n";
    out << padRight("", nameWidth);
    for (const std::string& name : names) out << "  " << padLeft(name, cellWidth);
    out << "\n";
    for (std::size_t r = 0; r < n; ++r) {
        out << padRight(names[r], nameWidth);
        for (std::size_t c = 0; c < n; ++c) out << "  " << padLeft(std::to_string(s.matrix[r][c]), cellWidth);
        out << "\n";
    }

    const std::size_t tableWidth = std::max<std::size_t>(nameWidth, 12);
    out << "\n" << padRight("category", tableWidth) << "  precision     recall         f1    support\n";
    const auto line = [&](const std::string& name, const Summary::Scores& v) {
        out << padRight(name, tableWidth) << "  " << padLeft(textRatio(v.precision), 9) << "  "
            << padLeft(textRatio(v.recall), 9) << "  " << padLeft(textRatio(v.f1), 9) << "  "
            << padLeft(std::to_string(v.support), 9) << "\n";
    };
    for (std::size_t k = 0; k < n; ++k) line(names[k], s.categories[k]);
    line("macro avg", s.macro);
    line("weighted avg", s.weighted);
    out << "\nCohen's kappa: " << textRatio(s.kappa) << "\n";
    if (!s.folds.empty()) {
        out << "accuracy per fold:";
        for (const auto& [hit, count] : s.folds) out << " " << textRatio(count ? double(hit) / double(count) : 0.0);
        out << " (mean " << fixed(s.foldMean, 4) << ", standard deviation " << fixed(s.foldDeviation, 4) << ")\n";
    }
    out << "\nmean expected cost of the decisions: " << fixed(meanExpectedCost(), 4) << "\n";
    out << "mean actual cost of the decisions:   " << fixed(meanActualCost(), 4) << "\n";
}

void Evaluation::printJson(std::ostream& out, const std::string& title, const Summary& s) const {
    const auto scores = [&](const Summary::Scores& v) {
        return "\"precision\": " + jsonNumber(v.precision) + ", \"recall\": " + jsonNumber(v.recall) +
               ", \"f1\": " + jsonNumber(v.f1) + ", \"support\": " + std::to_string(v.support);
    };
    const bool any = !truths_.empty();
    out << "{\n  \"title\": " << jsonString(title) << ",\n  \"rows\": " << truths_.size()
        << ",\n  \"unlabelled_rows\": " << unlabelled_ << ",\n  \"correct\": " << correct()
        << ",\n  \"accuracy\": " << (any ? exactNumber(accuracy()) : "null") << ",\n  \"labels\": [";
    for (std::size_t k = 0; k < labels_.names().size(); ++k) out << (k ? ", " : "") << jsonString(labels_.names()[k]);
    out << "],\n  \"confusion_matrix\": [";
    for (std::size_t r = 0; r < s.matrix.size(); ++r) {
        out << (r ? ", " : "") << "[";
        for (std::size_t c = 0; c < s.matrix[r].size(); ++c) out << (c ? ", " : "") << s.matrix[r][c];
        out << "]";
    }
    out << "],\n  \"categories\": [";
    for (std::size_t k = 0; k < s.categories.size(); ++k)
        out << (k ? "," : "") << "\n    {\"label\": " << jsonString(labels_.names()[k]) << ", "
            << scores(s.categories[k]) << "}";
    out << "\n  ],\n  \"macro_avg\": {" << scores(s.macro) << "},\n  \"weighted_avg\": {" << scores(s.weighted)
        << "},\n  \"kappa\": " << (any ? jsonNumber(s.kappa) : "null")
        << ",\n  \"mean_expected_cost\": " << (any ? exactNumber(meanExpectedCost()) : "null")
        << ",\n  \"mean_actual_cost\": " << (any ? exactNumber(meanActualCost()) : "null");
    if (!s.folds.empty()) {
        out << ",\n  \"folds\": [";
        for (std::size_t f = 0; f < s.folds.size(); ++f)
            out << (f ? ", " : "") << "{\"rows\": " << s.folds[f].second << ", \"accuracy\": "
                << (s.folds[f].second ? exactNumber(double(s.folds[f].first) / double(s.folds[f].second)) : "null")
                << "}";
        out << "],\n  \"fold_accuracy_mean\": " << exactNumber(s.foldMean)
            << ",\n  \"fold_accuracy_sd\": " << exactNumber(s.foldDeviation);
    }
    out << "\n}\n";
}

}  // namespace cli
