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
    for (std::size_t i = 0; i < table.columns.size(); ++i)
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
            Progress& progress)
        : table_(table), categories_(categories), rows_(rows), progress_(&progress) {}

    std::string name() const override { return table_.file; }
    std::string description() const override { return std::string(); }
    long numMeasurements() const override { return static_cast<long>(table_.columns.size()); }
    long numPatterns() const override { return static_cast<long>(rows_.size()); }
    tqPtrHandle_const<tqFeaturePattern> featurePattern(long index) const override {
        progress_->update(index + 1);
        return tqPtrHandle_const<tqFeaturePattern>(new tqFeaturePattern(rowPattern(table_.rows[row(index)])));
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
    Progress* progress_;
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
                 const std::vector<long>& categories, const std::vector<std::size_t>& rows) {
    const long m = static_cast<long>(table.columns.size());
    const auto valid = [&](const DataRow& row, long i) {
        return std::find(row.invalid.begin(), row.invalid.end(), i) == row.invalid.end();
    };
    if (auto* knn = dynamic_cast<const tqClassifierTrainParamsKNN*>(&params)) {
        const auto* norm = dynamic_cast<const tqPatternDistanceMetricNorm*>(knn->distanceMetric().get());
        const long double order = norm ? norm->order() : 2.0;
        for (long i = 0; i < m; ++i) {
            long double low = HUGE_VALL, high = -HUGE_VALL;
            for (std::size_t r : rows) {
                if (categories[r] < 0) continue;
                const long double v = table.rows[r].values[static_cast<std::size_t>(i)];
                low = std::min(low, v), high = std::max(high, v);
            }
            if (high > low && std::pow(high - low, order) > kSpreadLimit)
                tooWide(table, i,
                        "its values range from " + exactNumber(static_cast<double>(low)) + " to " +
                            exactNumber(static_cast<double>(high)) +
                            ", too far apart for the knn distance between two rows to stay finite");
        }
        return;
    }
    const auto& bayes = dynamic_cast<const tqClassifierTrainParamsBayesian&>(params);
    std::map<long, std::vector<std::size_t>> byCategory;
    for (std::size_t r : rows)
        if (categories[r] >= 0) byCategory[categories[r]].push_back(r);
    for (const auto& [category, members] : byCategory)
        for (long i = 0; i < m; ++i) {
            if (bayes.distributionTypes().distributionType(category, i) ==
                tqClassifierDistributionTypes::eBinomial)
                continue;
            long double sum = 0, count = 0, squares = 0;
            for (std::size_t r : members)
                if (valid(table.rows[r], i))
                    sum += table.rows[r].values[static_cast<std::size_t>(i)], ++count;
            if (count == 0) continue;
            const long double mean = sum / count;
            for (std::size_t r : members)
                if (valid(table.rows[r], i)) {
                    const long double d = table.rows[r].values[static_cast<std::size_t>(i)] - mean;
                    squares += d * d;
                }
            if (squares > kSpreadLimit)
                tooWide(table, i,
                        "its values for the label \"" + table.rows[members.front()].label +
                            "\" spread too widely around their mean for a normal distribution with a "
                            "finite variance");
        }
}

}  // namespace

void checkMethodOptions(const MethodOptions& o) {
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
        throw InputError("--method must be knn or bayes");
    }
    if (!(o.defaultCost >= 0.0)) throw InputError("--default-cost must be >= 0");
}

std::vector<long> trainingCategories(const DataTable& table, const LabelMap& labels) {
    std::vector<long> categories;
    categories.reserve(table.rows.size());
    for (const DataRow& row : table.rows)
        categories.push_back(row.label.empty() ? -1 : labels.find(row.label));
    return categories;
}

std::vector<long> testCategories(const DataTable& table, LabelMap& labels) {
    std::vector<long> categories;
    categories.reserve(table.rows.size());
    for (const DataRow& row : table.rows) {
        if (row.label.empty()) {
            categories.push_back(-1);
            continue;
        }
        const long category = labels.add(row.label);  // the known number, or a new one
        if (category < 0)
            throw InputError(located(
                table.file, row.line, table.labelColumnPosition,
                "the label \"" + row.label + "\" is not a whole number >= 0, as the training labels are"));
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
    const long m = static_cast<long>(table.columns.size());
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

void checkRows(const tqClassifierTrainParams& params, const DataTable& table,
               const std::vector<std::size_t>& rows) {
    if (dynamic_cast<const tqClassifierTrainParamsKNN*>(&params)) {
        for (std::size_t r : rows) {
            const DataRow& row = table.rows[r];
            if (!row.invalid.empty())
                throw InputError(
                    located(table.file, row.line, table.fileColumn(row.invalid.front()),
                            "missing measurement in column \"" +
                                table.columns[static_cast<std::size_t>(row.invalid.front())] +
                                "\": the knn method needs every measurement (use --method bayes, "
                                "or fill the cell)"));
        }
        return;
    }
    const auto& bayes = dynamic_cast<const tqClassifierTrainParamsBayesian&>(params);
    const tqFeaturePattern& maxima = bayes.maxMeasurementValues();
    if (maxima.numMeasurements() == 0) return;
    // The types are the same for every category (the program sets them so); look at category 0.
    for (long i = 0; i < static_cast<long>(table.columns.size()) && i < maxima.numMeasurements(); ++i) {
        if (bayes.distributionTypes().distributionType(0, i) != tqClassifierDistributionTypes::eBinomial)
            continue;
        const double maximum = maxima.featureMeasurement(i, false);
        for (std::size_t r : rows) {
            const DataRow& row = table.rows[r];
            const double v = row.values[static_cast<std::size_t>(i)];
            bool missing = false;
            for (long bad : row.invalid) missing = missing || bad == i;
            if (!missing && (v < 0.0 || v > maximum))
                throw InputError(located(table.file, row.line, table.fileColumn(i),
                                         exactNumber(v) + " in column \"" +
                                             table.columns[static_cast<std::size_t>(i)] +
                                             "\" is outside 0 to " + exactNumber(maximum) +
                                             ", the range of its binomial distribution"));
        }
    }
}

void checkColumns(const DataTable& table, const std::vector<std::string>& columns) {
    for (std::size_t i = 0; i < table.columns.size() && i < columns.size(); ++i)
        if (table.columns[i] != columns[i])
            throw InputError(located(table.file, 1, table.fileColumn(static_cast<long>(i)),
                                     "column \"" + table.columns[i] +
                                         "\" does not match the model, which expects \"" + columns[i] +
                                         "\" here"));
    if (table.columns.size() != columns.size()) {
        std::string expected;
        for (const std::string& c : columns) expected += (expected.empty() ? "" : ", ") + c;
        throw InputError(located(table.file, 1, 0,
                                 "the file has " + std::to_string(table.columns.size()) +
                                     " measurement columns but the model expects " +
                                     std::to_string(columns.size()) + " (" + expected + ")"));
    }
}

tqFeaturePattern rowPattern(const DataRow& row) { return tqFeaturePattern(row.values, row.invalid); }

void trainTool(tqClassifierTool& tool, const tqClassifierTrainParams& params, const DataTable& table,
               const std::vector<long>& categories, const std::vector<std::size_t>& rows) {
    checkRows(params, table, rows);
    checkSpread(params, table, categories, rows);
    try {
        Progress progress("training", static_cast<long>(rows.size()));
        tool.train(RowData(table, categories, rows, progress), params, nullptr, 0);
    } catch (const std::exception& e) {
        throw InputError(table.file + ": training failed: " + e.what());
    }
    // A technique that met no labelled row may stay untrained even without the readiness check;
    // such a classifier could not be stored as a model.
    if (!tool.isTrained()) throw InputError(table.file + ": training failed: no row has a label");
}

tqClassifierResult classifyRow(const tqClassifierTool& tool, const DataTable& table, std::size_t row) {
    tqClassifierResult result;
    try {
        tool.run(rowPattern(table.rows[row]), result, nullptr, 0);
    } catch (const std::exception& e) {
        throw InputError(
            located(table.file, table.rows[row].line, 0, std::string("classification failed: ") + e.what()));
    }
    return result;
}

namespace {

void classifyShare(const tqClassifierTool& tool, const DataTable& table, const std::size_t* rows,
                   std::size_t count, std::vector<tqClassifierResult>& results) {
    const std::size_t dims = table.columns.size();
    // At least one element, so that the view has an address even without measurement columns.
    std::vector<double> values(std::max<std::size_t>(count * dims, 1));
    std::vector<unsigned char> validity(values.size(), 1);
    for (std::size_t i = 0; i < count; ++i) {
        const DataRow& row = table.rows[rows[i]];
        std::copy_n(row.values.begin(), std::min(dims, row.values.size()),
                    values.begin() + static_cast<long>(i * dims));
        for (long j : row.invalid) validity[i * dims + static_cast<std::size_t>(j)] = 0;
    }
    std::vector<tqClassifierResult> out(count);
    try {
        tool.runBatch(tqPatternRows{values.data(), validity.data(), count, dims, dims}, out.data());
    } catch (const std::exception&) {
        for (std::size_t i = 0; i < count; ++i) results[rows[i]] = classifyRow(tool, table, rows[i]);
        return;
    }
    for (std::size_t i = 0; i < count; ++i) results[rows[i]] = std::move(out[i]);
}

}  // namespace

void classifyInThreads(const tqClassifierTool& tool, const DataTable& table,
                       const std::vector<std::size_t>& rows, long threads,
                       std::vector<tqClassifierResult>& results) {
    const std::size_t n = rows.size();
    std::size_t shares =
        threads > 0 ? static_cast<std::size_t>(threads) : std::max(std::thread::hardware_concurrency(), 1u);
    shares = std::max<std::size_t>(std::min(shares, n / 64), 1);  // a thread is worth it from 64 rows on
    std::vector<std::exception_ptr> errors(shares);
    const auto work = [&](std::size_t s) {
        const std::size_t begin = n * s / shares, end = n * (s + 1) / shares;
        try {
            classifyShare(tool, table, rows.data() + begin, end - begin, results);
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

}  // namespace cli
