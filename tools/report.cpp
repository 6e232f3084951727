#include "tools/report.h"

#include <algorithm>
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

void Evaluation::add(long truth, const tqClassifierResult& result) {
    const std::vector<tqClassifierCategoryResult>& entries = result.categoryResults();
    truths_.push_back(truth);
    decisions_.push_back(entries.empty() ? -1 : entries.front().categoryLabel());
    expectedCosts_.push_back(entries.empty() ? 0.0 : entries.front().expectedCost());
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

void Evaluation::print(std::ostream& out, const std::string& title) const {
    out << title << "\n";
    if (unlabelled_ > 0) out << "rows without a label (classified, not scored): " << unlabelled_ << "\n";
    if (truths_.empty()) {
        out << "no labelled rows to score\n";
        return;
    }
    out << "accuracy: " << fixed(accuracy(), 4) << " (" << correct() << " of " << truths_.size() << ")\n";

    const std::vector<long>& cats = labels_.categories();
    std::map<long, std::size_t> index;
    for (std::size_t i = 0; i < cats.size(); ++i) index[cats[i]] = i;
    const std::size_t n = cats.size();
    std::vector<std::vector<long>> matrix(n, std::vector<long>(n, 0));
    for (std::size_t i = 0; i < truths_.size(); ++i) {
        auto t = index.find(truths_[i]);
        auto d = index.find(decisions_[i]);
        if (t != index.end() && d != index.end()) ++matrix[t->second][d->second];
    }

    // Label names come from the data: control characters in them are shown escaped.
    std::vector<std::string> names;
    for (const std::string& name : labels_.names()) names.push_back(printable(name));
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
        for (std::size_t c = 0; c < n; ++c) out << "  " << padLeft(std::to_string(matrix[r][c]), cellWidth);
        out << "\n";
    }

    const std::size_t tableWidth = std::max<std::size_t>(nameWidth, 8);
    out << "\n" << padRight("category", tableWidth) << "  precision     recall    support\n";
    for (std::size_t k = 0; k < n; ++k) {
        long predicted = 0, support = 0;
        for (std::size_t i = 0; i < n; ++i) predicted += matrix[i][k], support += matrix[k][i];
        const long hit = matrix[k][k];
        out << padRight(names[k], tableWidth) << "  "
            << padLeft(predicted ? fixed(double(hit) / double(predicted), 4) : "-", 9) << "  "
            << padLeft(support ? fixed(double(hit) / double(support), 4) : "-", 9) << "  "
            << padLeft(std::to_string(support), 9) << "\n";
    }
    out << "\nmean expected cost of the decisions: " << fixed(meanExpectedCost(), 4) << "\n";
    out << "mean actual cost of the decisions:   " << fixed(meanActualCost(), 4) << "\n";
}

}  // namespace cli
