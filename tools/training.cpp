#include "tools/training.h"

#include <algorithm>
#include <cmath>
#include <exception>
#include <map>
#include <set>
#include <thread>

#include "tools/output.h"

namespace cli {

namespace {

// Splits "KEY=VALUE" at the last '='.
bool splitAssignment(const std::string& text, std::string& key, std::string& value) {
    const std::size_t eq = text.rfind('=');
    if (eq == std::string::npos || eq == 0 || eq + 1 == text.size()) return false;
    key = text.substr(0, eq);
    value = text.substr(eq + 1);
    return true;
}

// A measurement column given by name, or else by its 0-based index among the measurements.
long columnIndex(const std::string& option, const std::string& ref, const DataTable& table) {
    for (std::size_t i = 0; i < table.width(); ++i)
        if (table.columns[i] == ref) return static_cast<long>(i);
    long index = -1;
    if (parseCategoryNumber(ref, index) && index < static_cast<long>(table.columns.size())) return index;
    throw InputError(
        option + ": " + table.file + " has no measurement column named \"" + ref + "\"" +
        (index >= 0 ? " (measurement indices run from 0 to " + std::to_string(table.columns.size() - 1) + ")"
                    : ""));
}

long knownLabel(const std::string& option, const std::string& text, const LabelMap& labels,
                const std::string& file) {
    const long category = labels.find(text);
    if (category < 0) throw InputError(option + ": the label \"" + text + "\" does not occur in " + file);
    return category;
}

// Reads a cost matrix: a header row of decided labels after one corner cell, then one row per
// true label with its costs. Empty cells keep the default cost; the diagonal must be 0 or empty.
void readCostMatrix(const std::string& path, const LabelMap& labels, const std::string& dataFile,
                    tqClassifierCosts& costs) {
    std::vector<CsvRecord> records = readCsvRecords(path);
    if (records.empty()) throw InputError(located(path, 1, 0, "the cost matrix is empty"));
    const CsvRecord& header = records.front();
    if (header.cells.size() < 2)
        throw InputError(
            located(path, header.line, 0, "the header must name the decided labels after its first cell"));
    std::vector<long> decided;
    for (std::size_t c = 1; c < header.cells.size(); ++c) {
        const long category = labels.find(header.cells[c]);
        if (category < 0)
            throw InputError(located(path, header.line, static_cast<long>(c) + 1,
                                     "the label \"" + header.cells[c] + "\" does not occur in " + dataFile));
        decided.push_back(category);
    }
    std::set<long> seenRows;
    for (std::size_t r = 1; r < records.size(); ++r) {
        const CsvRecord& rec = records[r];
        if (rec.cells.size() != header.cells.size())
            throw InputError(located(
                path, rec.line, static_cast<long>(std::min(rec.cells.size(), header.cells.size())) + 1,
                "the row has " + std::to_string(rec.cells.size()) + " cells but the header has " +
                    std::to_string(header.cells.size()) + " columns"));
        const long truth = labels.find(rec.cells[0]);
        if (truth < 0)
            throw InputError(located(path, rec.line, 1,
                                     "the label \"" + rec.cells[0] + "\" does not occur in " + dataFile));
        if (!seenRows.insert(truth).second)
            throw InputError(
                located(path, rec.line, 1, "the label \"" + rec.cells[0] + "\" has a row already"));
        for (std::size_t c = 1; c < rec.cells.size(); ++c) {
            const long col = static_cast<long>(c) + 1;
            const std::string& cell = rec.cells[c];
            double v = 0.0;
            if (cell.empty()) continue;
            if (parseNumber(cell, v) != NumberKind::Number)
                throw InputError(located(path, rec.line, col, "\"" + cell + "\" is not a number"));
            if (decided[c - 1] == truth) {
                if (v != 0.0)
                    throw InputError(
                        located(path, rec.line, col,
                                "deciding the true label costs nothing: leave the cell empty or 0"));
                continue;
            }
            if (v < 0.0) throw InputError(located(path, rec.line, col, "costs must be >= 0"));
            costs.misclassificationCostOverride(truth, decided[c - 1], v);
        }
    }
}

// Training reads its data only through the provider interface, once per pattern and one after
// the other; this provider makes each pattern from its table row when it is asked for, so that
// the data are not held twice, and moves a progress bar on the way.
class RowData : public tqClassifierDataProvider {
public:
    RowData(const DataTable& table, const std::vector<long>& categories, const std::vector<std::size_t>& rows,
            const Preprocessing& prep, Progress& progress)
        : table_(table), categories_(categories), rows_(rows), prep_(prep), progress_(&progress) {}

    std::string name() const override { return table_.file; }
    std::string description() const override { return std::string(); }
    long numMeasurements() const override { return static_cast<long>(table_.width()); }
    long numPatterns() const override { return static_cast<long>(rows_.size()); }
    tqPtrHandle_const<tqFeaturePattern> featurePattern(long index) const override {
        progress_->update(index + 1);
        return tqPtrHandle_const<tqFeaturePattern>(new tqFeaturePattern(rowPattern(table_, row(index), prep_)));
    }
    long categoryLabel(long index) const override { return categories_[row(index)]; }

private:
    std::size_t row(long index) const {
        if (index < 0 || static_cast<std::size_t>(index) >= rows_.size())
            throw tqClassifierDefs::BadIndex("Feature pattern index must be >=0 and < number of patterns.");
        return rows_[static_cast<std::size_t>(index)];
    }

    const DataTable& table_;
    const std::vector<long>& categories_;
    const std::vector<std::size_t>& rows_;
    const Preprocessing& prep_;
    Progress* progress_;
};

// The prepared measurements of a table, one cell at a time (for the checks before training).
class PreparedCells {
public:
    PreparedCells(const DataTable& table, const Preprocessing& prep)
        : table_(table), prep_(prep), values_(table.width()), valid_(table.width()) {}
    // Row r prepared; then value(j) and valid(j) read its cells.
    void load(std::size_t r) {
        if (prep_.active())
            prep_.apply(table_, r, values_.data(), valid_.data());
        else
            row_ = r;
    }
    double value(std::size_t j) const { return prep_.active() ? values_[j] : table_.row(row_)[j]; }
    bool valid(std::size_t j) const { return prep_.active() ? valid_[j] != 0 : table_.isValid(row_, j); }

private:
    const DataTable& table_;
    const Preprocessing& prep_;
    std::vector<double> values_;
    std::vector<unsigned char> valid_;
    std::size_t row_ = 0;
};

// The largest sum of squared deviations (Bayesian normal models) or of distance terms (knn)
// that training accepts: far enough below the largest double that the library's running sums
// and the factorisations built on them stay finite.
constexpr long double kSpreadLimit = 1e300L;

[[noreturn]] void tooWide(const DataTable& table, long column, const std::string& why) {
    throw InputError(table.file + ": column \"" + table.columns[static_cast<std::size_t>(column)] +
                     "\": " + why + "; rescale the column (divide it by a power of ten)");
}

// Refuses training data whose spread would give the classifier non-finite parameters: for a
// normally modelled measurement, the sum of squared deviations from the mean within one category
// beyond kSpreadLimit; for knn, a column whose range, raised to the norm order, exceeds it (the
// distance between two of its rows would overflow). Sums are taken in long double, two passes.
void checkSpread(const tqClassifierTrainParams& params, const DataTable& table,
                 const std::vector<long>& categories, const std::vector<std::size_t>& rows,
                 const Preprocessing& prep) {
    const std::size_t m = table.width();
    PreparedCells cells(table, prep);
    // The range of every column over the labelled rows bounds both checks.
    std::vector<long double> low(m, HUGE_VALL), high(m, -HUGE_VALL);
    std::size_t labelled = 0;
    for (std::size_t r : rows) {
        if (categories[r] < 0) continue;
        ++labelled;
        cells.load(r);
        for (std::size_t i = 0; i < m; ++i)
            if (cells.valid(i))
                low[i] = std::min<long double>(low[i], cells.value(i)),
                high[i] = std::max<long double>(high[i], cells.value(i));
    }
    if (auto* knn = dynamic_cast<const tqClassifierTrainParamsKNN*>(&params)) {
        const auto* norm = dynamic_cast<const tqPatternDistanceMetricNorm*>(knn->distanceMetric().get());
        const long double order = norm ? norm->order() : 2.0;
        for (std::size_t i = 0; i < m; ++i)
            if (high[i] > low[i] && std::pow(high[i] - low[i], order) > kSpreadLimit)
                tooWide(table, static_cast<long>(i),
                        "its values range from " + exactNumber(static_cast<double>(low[i])) + " to " +
                            exactNumber(static_cast<double>(high[i])) +
                            ", too far apart for the knn distance between two rows to stay finite");
        return;
    }
    // No row deviates from a mean by more than the range: when that bounds the sums, they are fine.
    bool bounded = true;
    for (std::size_t i = 0; i < m; ++i)
        bounded = bounded && (high[i] < low[i] || (high[i] - low[i]) * (high[i] - low[i]) * labelled <= kSpreadLimit);
    if (bounded) return;
    const auto& bayes = dynamic_cast<const tqClassifierTrainParamsBayesian&>(params);
    // Per category and measurement: count, sum, then squared deviations (two passes).
    std::map<long, std::size_t> slot;
    std::vector<std::vector<long double>> count, sum, squares;
    for (int pass = 0; pass < 2; ++pass)
        for (std::size_t r : rows) {
            const long c = categories[r];
            if (c < 0) continue;
            const auto [at, added] = slot.emplace(c, count.size());
            if (added) count.emplace_back(m, 0), sum.emplace_back(m, 0), squares.emplace_back(m, 0);
            std::vector<long double>&n = count[at->second], &s = sum[at->second], &q = squares[at->second];
            cells.load(r);
            for (std::size_t i = 0; i < m; ++i) {
                if (!cells.valid(i)) continue;
                if (pass == 0) {
                    ++n[i], s[i] += cells.value(i);
                    continue;
                }
                const long double d = cells.value(i) - s[i] / n[i];
                q[i] += d * d;
            }
        }
    for (const auto& [category, index] : slot)
        for (std::size_t i = 0; i < m; ++i) {
            if (bayes.distributionTypes().distributionType(category, static_cast<long>(i)) ==
                tqClassifierDistributionTypes::eBinomial)
                continue;
            if (squares[index][i] > kSpreadLimit) {
                std::size_t first = 0;
                while (categories[first] != category) ++first;
                tooWide(table, static_cast<long>(i),
                        "its values for the label \"" + table.label(first) +
                            "\" spread too widely around their mean for a normal distribution with a "
                            "finite variance");
            }
        }
}

}  // namespace

void checkMethodOptions(const MethodOptions& o) {
    const bool handBuilt = o.method == "tree" || o.method == "rules";
    if (!o.treeFile.empty() && o.method != "tree") throw InputError("--tree applies to --method tree only");
    if (!o.rulesFile.empty() && o.method != "rules")
        throw InputError("--rules applies to --method rules only");
    if (handBuilt) {
        const std::string m =
            " does not apply to --method " + o.method + " (the file gives the classifier whole)";
        if ((o.method == "tree" ? o.treeFile : o.rulesFile).empty())
            throw InputError("--method " + o.method + " needs --" + o.method + " FILE.json");
        if (o.treeFile == "-" || o.rulesFile == "-")
            throw InputError("--" + o.method + " must name a file, not standard input");
        if (o.kGiven) throw InputError("--k" + m);
        if (o.normGiven) throw InputError("--norm" + m);
        if (!o.priors.empty()) throw InputError("--prior" + m);
        if (!o.binomial.empty()) throw InputError("--binomial" + m);
        if (!o.joint.empty()) throw InputError("--joint" + m);
        if (!o.costsFile.empty()) throw InputError("--costs" + m);
        if (o.defaultCostGiven) throw InputError("--default-cost" + m);
        if (o.noReadyCheck) throw InputError("--no-ready-check" + m);
        if (o.scale != "none") throw InputError("--scale" + m);
        if (o.impute != "none") throw InputError("--impute" + m);
        return;
    }
    if (o.method == "knn") {
        if (!o.priors.empty()) throw InputError("--prior applies to --method bayes only");
        if (!o.binomial.empty()) throw InputError("--binomial applies to --method bayes only");
        if (!o.joint.empty()) throw InputError("--joint applies to --method bayes only");
        if (o.k < 1) throw InputError("--k must be 1 or more");
        if (!(o.norm > 0.0)) throw InputError("--norm must be > 0");
    } else if (o.method == "bayes") {
        if (o.kGiven) throw InputError("--k applies to --method knn only");
        if (o.normGiven) throw InputError("--norm applies to --method knn only");
    } else {
        throw InputError("--method must be knn, bayes, tree or rules");
    }
    if (!(o.defaultCost >= 0.0)) throw InputError("--default-cost must be >= 0");
    Preprocessing::Scale scale;
    Preprocessing::Impute impute;
    if (!scaleNamed(o.scale, scale)) throw InputError("--scale must be standard, minmax or none");
    if (!imputeNamed(o.impute, impute)) throw InputError("--impute must be mean, median or none");
    if (impute != Preprocessing::Impute::None && o.method != "knn")
        throw InputError("--impute applies to --method knn only (the Bayesian method uses the measurements a row has)");
    if (scale != Preprocessing::Scale::None && !o.binomial.empty())
        throw InputError("--scale cannot be combined with --binomial (binomial counts are not scaled)");
}

ColumnChoice MethodOptions::choice() const {
    ColumnChoice c;
    c.labelColumn = labelColumn;
    c.columns = columns;
    c.ignore = ignore;
    c.noHeader = noHeader;
    c.delimiter = delimiterNamed(delimiter);
    return c;
}

Preprocessing MethodOptions::fitPreprocessing(const DataTable& table, const std::vector<std::size_t>& rows,
                                              const std::vector<long>& categories) const {
    Preprocessing::Scale s = Preprocessing::Scale::None;
    Preprocessing::Impute i = Preprocessing::Impute::None;
    scaleNamed(scale, s);
    imputeNamed(impute, i);
    return Preprocessing::fit(s, i, table, rows, categories);
}

LabelMap trainingLabels(const DataTable& table) { return LabelMap::fromTrainingLabels(table.labelTexts); }

std::vector<long> trainingCategories(const DataTable& table, const LabelMap& labels) {
    std::vector<long> byId;
    for (const std::string& text : table.labelTexts) byId.push_back(labels.find(text));
    std::vector<long> categories;
    categories.reserve(table.size());
    for (int id : table.labelIds) categories.push_back(id < 0 ? -1 : byId[static_cast<std::size_t>(id)]);
    return categories;
}

std::vector<long> testCategories(const DataTable& table, LabelMap& labels) {
    std::vector<long> byId;
    for (const std::string& text : table.labelTexts) byId.push_back(labels.add(text));  // known, or a new one
    std::vector<long> categories;
    categories.reserve(table.size());
    for (std::size_t r = 0; r < table.size(); ++r) {
        const int id = table.labelIds[r];
        const long category = id < 0 ? -1 : byId[static_cast<std::size_t>(id)];
        if (id >= 0 && category < 0)
            throw InputError(located(
                table.file, table.lines[r], table.labelColumnPosition,
                "the label \"" + table.label(r) + "\" is not a whole number >= 0, as the training labels are"));
        categories.push_back(category);
    }
    return categories;
}

tqPtrHandle<tqClassifierTrainParams> buildParams(const MethodOptions& o, const DataTable& table,
                                                 const LabelMap& labels) {
    tqClassifierCosts costs(o.defaultCost);
    if (!o.costsFile.empty()) readCostMatrix(o.costsFile, labels, table.file, costs);

    if (o.method == "knn") {
        auto* params = new tqClassifierTrainParamsKNN(o.k, tqPatternDistanceMetricNorm(o.norm), costs);
        tqPtrHandle<tqClassifierTrainParams> handle(params);
        params->throwIfNotReady(!o.noReadyCheck);
        return handle;
    }

    tqClassifierFrequencies frequencies(1.0);
    for (const std::string& p : o.priors) {
        std::string label, value;
        double f = 0.0;
        if (!splitAssignment(p, label, value))
            throw InputError("--prior " + p + ": expected LABEL=FREQUENCY");
        const long category = knownLabel("--prior " + p, label, labels, table.file);
        if (parseNumber(value, f) != NumberKind::Number || !(f > 0.0))
            throw InputError("--prior " + p + ": the frequency must be a number > 0");
        frequencies.categoryFrequencyOverride(category, f);
    }

    tqClassifierDistributionTypes types;
    const long m = static_cast<long>(table.width());
    std::vector<double> maxima(static_cast<std::size_t>(m), 1.0);
    bool anyBinomial = false;
    for (const std::string& b : o.binomial) {
        std::string column, value;
        double maximum = 0.0;
        if (!splitAssignment(b, column, value))
            throw InputError("--binomial " + b + ": expected COLUMN=MAXIMUM");
        const long index = columnIndex("--binomial " + b, column, table);
        if (parseNumber(value, maximum) != NumberKind::Number || !(maximum > 0.0))
            throw InputError("--binomial " + b + ": the maximum must be a number > 0");
        for (long category : labels.categories())
            types.distributionTypeOverride(category, index, tqClassifierDistributionTypes::eBinomial);
        maxima[static_cast<std::size_t>(index)] = maximum;
        anyBinomial = true;
    }
    for (const std::string& j : o.joint) {
        std::vector<long> indices;
        std::size_t start = 0;
        while (start <= j.size()) {
            std::size_t comma = j.find(',', start);
            if (comma == std::string::npos) comma = j.size();
            indices.push_back(columnIndex("--joint " + j, j.substr(start, comma - start), table));
            start = comma + 1;
        }
        try {
            for (long category : labels.categories()) types.setDependent(category, indices);
        } catch (const std::exception& e) {
            throw InputError("--joint " + j + ": " + e.what());
        }
    }
    auto* params = new tqClassifierTrainParamsBayesian(
        types, frequencies, costs, anyBinomial ? tqFeaturePattern(maxima) : tqFeaturePattern());
    tqPtrHandle<tqClassifierTrainParams> handle(params);
    params->throwIfNotReady(!o.noReadyCheck);
    return handle;
}

const tqClassifierCosts& costsOf(const tqClassifierTrainParams& params) {
    if (auto* knn = dynamic_cast<const tqClassifierTrainParamsKNN*>(&params))
        return knn->misclassificationCosts();
    return dynamic_cast<const tqClassifierTrainParamsBayesian&>(params).misclassificationCosts();
}

void checkRows(const tqClassifierTrainParams& params, const DataTable& table, const std::vector<std::size_t>& rows,
               const Preprocessing& prep) {
    // Scaling divides by the training rows' spread: a value that many spreads away from their
    // centre would reach the classifier as an infinite measurement.
    for (std::size_t r = 0; r < rows.size() && !prep.centers.empty(); ++r) {
        const std::size_t row = rows[r], d = table.width();
        const unsigned char* valid = table.validity.empty() ? nullptr : &table.validity[row * d];
        const long j = prep.unscalable(table.row(row), valid, d);
        if (j >= 0)
            throw InputError(located(table.file, table.lines[row], table.fileColumn(j),
                                     exactNumber(table.row(row)[j]) + " in column \"" +
                                         table.columns[static_cast<std::size_t>(j)] +
                                         "\" is out of range once scaled (beyond +-1.8e308 spreads from the "
                                         "training rows' centre)"));
    }
    if (dynamic_cast<const tqClassifierTrainParamsKNN*>(&params)) {
        if (prep.impute != Preprocessing::Impute::None || table.validity.empty()) return;
        for (std::size_t r : rows) {
            const long bad = table.firstInvalid(r);
            if (bad >= 0)
                throw InputError(located(table.file, table.lines[r], table.fileColumn(bad),
                                         "missing measurement in column \"" +
                                             table.columns[static_cast<std::size_t>(bad)] +
                                             "\": the knn method needs every measurement (use --impute "
                                             "mean|median, --method bayes, or fill the cell)"));
        }
        return;
    }
    const auto& bayes = dynamic_cast<const tqClassifierTrainParamsBayesian&>(params);
    const tqFeaturePattern& maxima = bayes.maxMeasurementValues();
    if (maxima.numMeasurements() == 0) return;
    // The types are the same for every category (the program sets them so); look at category 0.
    for (long i = 0; i < static_cast<long>(table.width()) && i < maxima.numMeasurements(); ++i) {
        if (bayes.distributionTypes().distributionType(0, i) != tqClassifierDistributionTypes::eBinomial)
            continue;
        const double maximum = maxima.featureMeasurement(i, false);
        const auto j = static_cast<std::size_t>(i);
        for (std::size_t r : rows) {
            const double v = table.row(r)[j];
            if (table.isValid(r, j) && (v < 0.0 || v > maximum))
                throw InputError(located(table.file, table.lines[r], table.fileColumn(i),
                                         exactNumber(v) + " in column \"" + table.columns[j] +
                                             "\" is outside 0 to " + exactNumber(maximum) +
                                             ", the range of its binomial distribution"));
        }
    }
}

tqFeaturePattern rowPattern(const DataTable& table, std::size_t r, const Preprocessing& prep) {
    const std::size_t d = table.width();
    std::vector<double> values(table.row(r), table.row(r) + d);
    std::vector<unsigned char> valid(d, 1);
    if (prep.active()) prep.apply(table, r, values.data(), valid.data());
    std::vector<long> invalid;
    for (std::size_t j = 0; j < d; ++j)
        if (!(prep.active() ? valid[j] != 0 : table.isValid(r, j))) invalid.push_back(static_cast<long>(j));
    return tqFeaturePattern(values, invalid);
}

void trainTool(tqClassifierTool& tool, const tqClassifierTrainParams& params, const DataTable& table,
               const std::vector<long>& categories, const std::vector<std::size_t>& rows,
               const Preprocessing& prep) {
    checkRows(params, table, rows, prep);
    checkSpread(params, table, categories, rows, prep);
    try {
        Progress progress("training", static_cast<long>(rows.size()));
        tool.train(RowData(table, categories, rows, prep, progress), params, nullptr, 0);
    } catch (const std::exception& e) {
        throw InputError(table.file + ": training failed: " + e.what());
    }
    // A technique that met no labelled row may stay untrained even without the readiness check;
    // such a classifier could not be stored as a model.
    if (!tool.isTrained()) throw InputError(table.file + ": training failed: no row has a label");
}

tqClassifierResult classifyRow(const tqClassifierTool& tool, const DataTable& table, std::size_t row,
                               const Preprocessing& prep) {
    tqClassifierResult result;
    try {
        tool.run(rowPattern(table, row, prep), result, nullptr, 0);
    } catch (const std::exception& e) {
        throw InputError(
            located(table.file, table.lines[row], 0, std::string("classification failed: ") + e.what()));
    }
    return result;
}

namespace {

void classifyShare(const tqClassifierTool& tool, const DataTable& table, const std::size_t* rows,
                   std::size_t count, const Preprocessing& prep, tqClassifierResult* out) {
    const std::size_t dims = table.width();
    bool inPlace = !prep.active();
    for (std::size_t i = 1; i < count && inPlace; ++i) inPlace = rows[i] == rows[0] + i;
    tqPatternRows view{nullptr, nullptr, count, dims, dims};
    std::vector<double> values;
    std::vector<unsigned char> validity;
    if (inPlace && count > 0) {
        view.values = table.row(rows[0]);
        view.validity = table.validity.empty() ? nullptr : table.validity.data() + rows[0] * dims;
    } else {
        // At least one element, so that the view has an address even without measurement columns.
        values.resize(std::max<std::size_t>(count * dims, 1));
        validity.assign(values.size(), 1);
        for (std::size_t i = 0; i < count; ++i) {
            double* v = values.data() + i * dims;
            unsigned char* ok = validity.data() + i * dims;
            if (prep.active()) {
                prep.apply(table, rows[i], v, ok);
                continue;
            }
            std::copy_n(table.row(rows[i]), dims, v);
            for (std::size_t j = 0; j < dims; ++j) ok[j] = table.isValid(rows[i], j) ? 1 : 0;
        }
        view.values = values.data();
        view.validity = validity.data();
    }
    try {
        tool.runBatch(view, out);
    } catch (const std::exception&) {
        for (std::size_t i = 0; i < count; ++i) out[i] = classifyRow(tool, table, rows[i], prep);
    }
}

}  // namespace

void classifyInThreads(const tqClassifierTool& tool, const DataTable& table, const std::size_t* rows,
                       std::size_t n, const Preprocessing& prep, long threads, tqClassifierResult* out) {
    std::size_t shares =
        threads > 0 ? static_cast<std::size_t>(threads) : std::max(std::thread::hardware_concurrency(), 1u);
    shares = std::max<std::size_t>(std::min(shares, n / 64), 1);  // a thread is worth it from 64 rows on
    std::vector<std::exception_ptr> errors(shares);
    const auto work = [&](std::size_t s) {
        const std::size_t begin = n * s / shares, end = n * (s + 1) / shares;
        try {
            classifyShare(tool, table, rows + begin, end - begin, prep, out + begin);
        } catch (...) {
            errors[s] = std::current_exception();
        }
    };
    std::vector<std::thread> pool;
    for (std::size_t s = 1; s < shares; ++s) pool.emplace_back(work, s);
    work(0);
    for (std::thread& t : pool) t.join();
    // Shares follow the rows in order: the first error is the first failing row's.
    for (const std::exception_ptr& e : errors)
        if (e) std::rethrow_exception(e);
}

std::string describeParams(const tqClassifierTrainParams& params) {
    if (auto* knn = dynamic_cast<const tqClassifierTrainParamsKNN*>(&params)) {
        std::string text = "knn (k = " + std::to_string(knn->k());
        if (auto* norm = dynamic_cast<const tqPatternDistanceMetricNorm*>(knn->distanceMetric().get()))
            text += ", norm order " + exactNumber(norm->order());
        return text + ")";
    }
    return "bayes";
}

Model MethodSetup::fit(const DataTable& table, const std::vector<long>& categories,
                       const std::vector<std::size_t>& rows, const Preprocessing& prep) const {
    if (!learns()) return built;
    Model model;
    model.method = method;
    trainTool(model.tool, *params, table, categories, rows, prep);
    return model;
}

std::string MethodSetup::describe() const {
    return learns() ? describeParams(*params) : cli::describe(built);
}

tqClassifierCosts MethodSetup::costs() const { return learns() ? costsOf(*params) : costsOf(built); }

MethodSetup setUpMethod(const MethodOptions& options, const DataTable& table, const LabelMap& labels) {
    MethodSetup setup;
    setup.method = options.method;
    setup.built.method = options.method;
    if (options.method == "tree") {
        const tqPtrHandle<tqDecisionTree> tree =
            readTreeFile(options.treeFile, table.columns, labels, table.file);
        setup.built.tool.train(*tree);
    } else if (options.method == "rules") {
        setup.built.rules = readRulesFile(options.rulesFile, table.columns, labels, table.file);
    } else {
        setup.params = buildParams(options, table, labels);
    }
    return setup;
}

tqClassifierCosts costsOf(const Model& model) {
    if (model.method == "tree" || model.method == "rules") return tqClassifierCosts(1.0);
    return costsOf(*model.tool.trainParams());
}

std::string describe(const Model& model) {
    if (model.method == "tree") {
        const TreeSummary s = summarize(*model.tool.decisionTree());
        return "tree (" + std::to_string(s.nodes) + (s.nodes == 1 ? " inner node, " : " inner nodes, ") +
               std::to_string(s.leaves) + (s.leaves == 1 ? " leaf)" : " leaves)");
    }
    if (model.method == "rules") {
        const std::size_t n = model.rules.table.rules().size();
        return "rules (" + std::to_string(n) + (n == 1 ? " rule" : " rules") + ", threshold " +
               exactNumber(model.rules.threshold) + ")";
    }
    return describeParams(*model.tool.trainParams());
}

void checkRows(const Model& model, const DataTable& table, const std::vector<std::size_t>& rows,
               const Preprocessing& prep) {
    if (model.method == "knn" || model.method == "bayes")
        checkRows(*model.tool.trainParams(), table, rows, prep);
}

void classifyInThreads(const Model& model, const DataTable& table, const std::size_t* rows, std::size_t count,
                       const Preprocessing& prep, long threads, tqClassifierResult* out) {
    if (model.method != "rules") return classifyInThreads(model.tool, table, rows, count, prep, threads, out);
    for (std::size_t i = 0; i < count; ++i) {
        try {
            out[i] = model.rules.classify(rowPattern(table, rows[i], prep));
        } catch (const std::exception& e) {
            throw InputError(located(table.file, table.lines[rows[i]], 0,
                                     std::string("classification failed: ") + e.what()));
        }
    }
}

}  // namespace cli
