// The Python extension: a thin layer that turns NumPy arrays into the library's data and
// results. The Python side maps the caller's labels to columns 0..C-1 of the results, and each
// column to a category number of the library; NaN marks an invalid measurement. Training and
// classification run with the GIL released. Model files are read and written by the same code
// as the clastool program's (tools/modelfile.h), and the scaling and imputation a model file
// carries are applied by the program's code too (tools/preprocess.h).
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <cmath>
#include <exception>
#include <limits>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "clss/clastool/clastool.h"
#include "tools/csv.h"
#include "tools/modelfile.h"
#include "tools/preprocess.h"

namespace py = pybind11;

namespace {

// Input the bindings themselves refuse; it arrives in Python as ClastoolError, as the library's
// errors do.
struct Refused : std::runtime_error {
    using std::runtime_error::runtime_error;
};

using Matrix = py::array_t<double, py::array::c_style | py::array::forcecast>;

struct Rows {
    tqPatternRows view;
    std::vector<unsigned char> validity;  // empty when every measurement is valid
};

Rows rowsOf(const Matrix& x) {
    if (x.ndim() != 2) throw Refused("X must be a two-dimensional array.");
    Rows rows;
    rows.view.values = x.data();
    rows.view.rows = static_cast<std::size_t>(x.shape(0));
    rows.view.dimension = rows.view.rowStride = static_cast<std::size_t>(x.shape(1));
    const std::size_t n = rows.view.rows * rows.view.dimension;
    const double* v = x.data();
    if (std::any_of(v, v + n, [](double d) { return std::isnan(d); })) {
        rows.validity.resize(n);
        for (std::size_t i = 0; i < n; ++i) rows.validity[i] = std::isnan(v[i]) ? 0 : 1;
        rows.view.validity = rows.validity.data();
    }
    return rows;
}

using Labels = std::vector<long>;  // the category number of each result column

// The pickled form of archived values, in order, and back.
template <class... T>
py::bytes archived(T&... values) {
    std::ostringstream out;
    {
        tqArchive ar(out);
        (void)(ar || ... || values);
    }
    return py::bytes(out.str());
}
template <class... T>
void unarchive(const py::bytes& bytes, T&... values) {
    std::istringstream in(static_cast<std::string>(bytes));
    tqArchive ar(in);
    (void)(ar || ... || values);
}

// The category number of column `c`, which must be one.
long labelOf(const Labels& labels, std::size_t c) {
    if (c >= labels.size()) throw Refused("A class index is out of range.");
    return labels[c];
}

// y holds column indices.
tqClassifierDataProviderMemory providerOf(const Rows& rows, const py::array_t<long>& y, const Labels& labels) {
    if (static_cast<std::size_t>(y.size()) != rows.view.rows)
        throw Refused("X and y must hold the same number of patterns.");
    tqClassifierDataProviderMemory data;
    const long* codes = y.data();
    for (std::size_t i = 0; i < rows.view.rows; ++i)
        data.addData(tqPtrHandle_const<tqFeaturePattern>(new tqFeaturePattern(rows.view.pattern(i))),
                     labelOf(labels, static_cast<std::size_t>(codes[i])));
    return data;
}

// costs[a][b]: the cost of deciding column b when the truth is column a; the diagonal is not used.
tqClassifierCosts costsOf(const std::vector<std::vector<double>>& costs, const Labels& labels) {
    tqClassifierCosts result(1.0);
    for (std::size_t a = 0; a < costs.size(); ++a)
        for (std::size_t b = 0; b < costs[a].size(); ++b)
            if (a != b) result.misclassificationCostOverride(labelOf(labels, a), labelOf(labels, b), costs[a][b]);
    return result;
}

tqClassifierFrequencies frequenciesOf(const std::vector<double>& priors, const Labels& labels) {
    tqClassifierFrequencies result(1.0);
    for (std::size_t c = 0; c < priors.size(); ++c) result.categoryFrequencyOverride(labelOf(labels, c), priors[c]);
    return result;
}

tqClassifierDistributionTypes::DistributionType typeOf(const std::string& name) {
    if (name == "normal") return tqClassifierDistributionTypes::eNormal;
    if (name == "binomial") return tqClassifierDistributionTypes::eBinomial;
    throw Refused("Unknown distribution '" + name + "': use 'normal' or 'binomial'.");
}

struct BayesOptions {
    std::vector<double> priors;
    std::vector<std::vector<double>> costs;
    std::vector<std::vector<long>> groups;     // the same dependency groups for every category
    std::vector<std::string> distributions;    // per measurement; empty: all normal
    std::vector<double> maxValues;             // per measurement, for binomial ones
};

tqClassifierTrainParamsBayesian bayesParams(const BayesOptions& o, const Labels& labels) {
    tqClassifierDistributionTypes types;
    for (long c : labels) {
        for (std::size_t j = 0; j < o.distributions.size(); ++j)
            types.distributionTypeOverride(c, static_cast<long>(j), typeOf(o.distributions[j]));
        for (const auto& group : o.groups) types.setDependent(c, group);
    }
    return tqClassifierTrainParamsBayesian(types, frequenciesOf(o.priors, labels), costsOf(o.costs, labels),
                                           tqFeaturePattern(o.maxValues));
}

// A caller-built tree, flattened by the Python side so that every subtree comes before the
// nodes that refer to it: items are ("leaf", columns, class scores, expected costs),
// ("range", measurements, low, high, true item, false item), ("valid", measurements, true item,
// false item) or ("greater", measurement, measurement, true item, false item). The last item is
// the root.
tqPtrHandle<tqDecisionTree> treeOf(const py::list& items, const Labels& labels) {
    std::vector<tqPtrHandle<tqDecisionTree>> built;
    auto subtree = [&](const py::handle& index) -> const tqDecisionTree& {
        const auto i = index.cast<std::size_t>();
        if (i >= built.size()) throw Refused("A tree node refers to a subtree that is not built before it.");
        return *built[i];
    };
    for (const py::handle& entry : items) {
        const auto item = entry.cast<py::tuple>();
        const auto kind = item[0].cast<std::string>();
        if (kind == "leaf") {
            const auto columns = item[1].cast<std::vector<std::size_t>>();
            const auto scores = item[2].cast<std::vector<double>>();
            const auto costs = item[3].cast<std::vector<double>>();
            if (scores.size() != columns.size() || costs.size() != columns.size())
                throw Refused("A leaf needs one score and one cost per class.");
            std::vector<tqClassifierCategoryResult> results;
            for (std::size_t c = 0; c < columns.size(); ++c)
                results.emplace_back(labelOf(labels, columns[c]), scores[c], scores[c], costs[c]);
            built.emplace_back(new tqDecisionTreeLeaf(tqClassifierResult(results, 0.0)));
            continue;
        }
        std::size_t next = 2;
        tqPtrHandle<tqPredicateFunction> predicate;
        if (kind == "range") {
            predicate.reset(new tqRangePredicate(tqRange(item[2].cast<double>(), item[3].cast<double>()),
                                                 item[1].cast<std::vector<long>>()));
            next = 4;
        } else if (kind == "valid") {
            predicate.reset(new tqValidityPredicate(item[1].cast<std::vector<long>>()));
        } else if (kind == "greater") {
            predicate.reset(new tqComparisonPredicate(item[1].cast<long>(), item[2].cast<long>()));
            next = 3;
        } else {
            throw Refused("Unknown tree item '" + kind + "'.");
        }
        built.emplace_back(new tqDecisionTreeNode(*predicate, subtree(item[next]), subtree(item[next + 1])));
    }
    if (built.empty()) throw Refused("The tree is empty.");
    return built.back();
}

// The technique of a trained tool: "knn", "bayes" or "tree" (a tool trained from a tree keeps no
// training parameters).
std::string methodOf(const tqClassifierTool& tool) {
    tqPtrHandle_const<tqClassifierTrainParams> params;
    try {
        params = tool.trainParams();
    } catch (const tqClassifierDefs::BadMethod&) {
        return "tree";
    }
    if (dynamic_cast<const tqClassifierTrainParamsKNN*>(params.get())) return "knn";
    if (dynamic_cast<const tqClassifierTrainParamsBayesian*>(params.get())) return "bayes";
    throw Refused("The model holds a classifier of an unknown technique.");
}

// Scaling and imputation as a model file stores them: the vectors empty exactly when the step is
// not taken, one entry per measurement otherwise, finite, and scales above 0.
bool wellFormed(const cli::Preprocessing& p) {
    const auto finite = [](const std::vector<double>& v) {
        return std::all_of(v.begin(), v.end(), [](double x) { return std::isfinite(x); });
    };
    const bool scaled = p.scale != cli::Preprocessing::Scale::None, imputed = p.impute != cli::Preprocessing::Impute::None;
    return scaled == !p.centers.empty() && p.centers.size() == p.scales.size() && imputed == !p.fills.empty() &&
           (!scaled || !imputed || p.fills.size() == p.centers.size()) && finite(p.centers) && finite(p.scales) &&
           finite(p.fills) && std::all_of(p.scales.begin(), p.scales.end(), [](double x) { return x > 0.0; });
}

// A trained tool, the category number of each column of its results, the number of labelled
// rows it was trained on, and the scaling and imputation of a model trained by the program
// (none for one fitted here: a Python user scales in a pipeline).
class Model {
public:
    void fitBayes(const Matrix& x, const py::array_t<long>& y, const Labels& labels, const BayesOptions& options) {
        const Rows rows = rowsOf(x);
        const tqClassifierTrainParamsBayesian params = bayesParams(options, labels);
        train(rows, y, params, labels);
    }
    void fitKnn(const Matrix& x, const py::array_t<long>& y, const Labels& labels, long k, double p,
                const std::vector<std::vector<double>>& costs) {
        const Rows rows = rowsOf(x);
        const tqClassifierTrainParamsKNN params(k, tqPatternDistanceMetricNorm(p), costsOf(costs, labels));
        train(rows, y, params, labels);
    }
    void fitTree(const py::list& items, const Labels& labels) {
        setLabels(labels);
        const tqPtrHandle<tqDecisionTree> root = treeOf(items, labels);
        tool_.train(*root);
        rows_ = 0;
        method_ = "tree";
        prep_ = cli::Preprocessing();
    }
    // Copies retrained with new parameters, without the data: Bayes keeps its densities and
    // takes new priors and costs, KNN keeps its patterns and takes a new k, norm and costs. The
    // model itself is left alone, so that threads still running it are not disturbed.
    Model retrainedBayes(const BayesOptions& options) const { return retrained(bayesParams(options, labels_)); }
    Model retrainedKnn(long k, double p, const std::vector<std::vector<double>>& costs) const {
        return retrained(tqClassifierTrainParamsKNN(k, tqPatternDistanceMetricNorm(p), costsOf(costs, labels_)));
    }

    // (decisions, class scores, expected costs); a category that is no candidate for a
    // pattern has class score 0 and expected cost NaN. Without withCosts the costs are None:
    // predict and predict_proba do not pay for an array they drop.
    py::tuple run(const Matrix& x, int jobs, bool withCosts) const {
        const Rows rows = checkedRows(x);
        const auto n = static_cast<py::ssize_t>(rows.view.rows);
        const auto columns = static_cast<py::ssize_t>(labels_.size());
        py::array_t<long> decisions(n);
        py::array_t<double> scores({n, columns});
        py::array_t<double> costs(withCosts ? std::vector<py::ssize_t>{n, columns} : std::vector<py::ssize_t>{0, columns});
        const Outputs out{decisions.mutable_data(), scores.mutable_data(), withCosts ? costs.mutable_data() : nullptr};
        {
            py::gil_scoped_release release;
            inThreads(rows.view.rows, jobs, [&](std::size_t begin, std::size_t end) { runRange(rows.view, begin, end, out); });
        }
        if (!withCosts) return py::make_tuple(decisions, scores, py::none());
        return py::make_tuple(decisions, scores, costs);
    }

    // The class scores alone, as run gives them, through the library's scores-only batch call,
    // which writes them straight into the array: no result per row is built.
    py::array_t<double> scores(const Matrix& x, int jobs) const {
        const Rows rows = checkedRows(x);
        const std::size_t columns = labels_.size();
        py::array_t<double> scores({static_cast<py::ssize_t>(rows.view.rows), static_cast<py::ssize_t>(columns)});
        double* out = scores.mutable_data();
        py::gil_scoped_release release;
        inThreads(rows.view.rows, jobs, [&](std::size_t begin, std::size_t end) {
            std::vector<double> values;
            std::vector<unsigned char> validity;
            // Prepared rows go through a buffer a block at a time; rows as given, in one call.
            const std::size_t block = prep_.active() ? kBlock : end - begin;
            for (std::size_t first = begin; first < end; first += block) {
                const std::size_t last = std::min(end, first + block);
                tool_.runBatchScores(prepared(rows.view.slice(first, last), first, values, validity),
                                     labels_.data(), columns, out + first * columns);
            }
        });
        return scores;
    }

    // What a loaded model shows as its estimator's parameters: the technique, k and p (KNN),
    // the priors (Bayes) in column order, and the cost matrix by columns.
    py::dict settings() const {
        py::dict out;
        out["method"] = method_;
        if (method_ == "tree") return out;
        const tqPtrHandle_const<tqClassifierTrainParams> params = tool_.trainParams();
        const tqClassifierCosts* costs = nullptr;
        if (const auto* knn = dynamic_cast<const tqClassifierTrainParamsKNN*>(params.get())) {
            out["k"] = knn->k();
            if (const auto* norm = dynamic_cast<const tqPatternDistanceMetricNorm*>(knn->distanceMetric().get()))
                out["p"] = norm->order();
            costs = &knn->misclassificationCosts();
        } else {
            const auto& bayes = dynamic_cast<const tqClassifierTrainParamsBayesian&>(*params);
            std::vector<double> priors;
            for (long c : labels_) priors.push_back(bayes.categoryFrequencies().categoryFrequency(c));
            out["priors"] = priors;
            costs = &bayes.misclassificationCosts();
        }
        std::vector<std::vector<double>> matrix(labels_.size(), std::vector<double>(labels_.size(), 0.0));
        for (std::size_t a = 0; a < labels_.size(); ++a)
            for (std::size_t b = 0; b < labels_.size(); ++b)
                if (a != b) matrix[a][b] = costs->misclassificationCost(labels_[a], labels_[b]);
        out["costs"] = matrix;
        return out;
    }

    // The pickled form: the columns' category numbers, the row count, the scaling and
    // imputation, and the archived tool.
    py::bytes toBytes() {
        std::string scale = cli::scaleName(prep_.scale), impute = cli::imputeName(prep_.impute);
        return archived(labels_, rows_, scale, impute, prep_.centers, prep_.scales, prep_.fills, tool_);
    }
    static Model fromBytes(const py::bytes& bytes) {
        Model model;
        Labels labels;
        std::string scale, impute;
        cli::Preprocessing& p = model.prep_;
        unarchive(bytes, labels, model.rows_, scale, impute, p.centers, p.scales, p.fills, model.tool_);
        if (!model.tool_.isTrained()) throw Refused("The pickled model holds no trained classifier.");
        if (!cli::scaleNamed(scale, p.scale) || !cli::imputeNamed(impute, p.impute) || !wellFormed(p))
            throw Refused("The pickled model's scaling or imputation is damaged.");
        model.setLabels(labels);
        return model;
    }

    // A model file as the clastool program writes it; returns the model and what its header
    // says about labels and columns.
    static py::tuple load(const std::string& path) {
        Model model;
        const cli::ModelHeader header = cli::loadModel(path, model.tool_);
        model.rows_ = header.rows;
        model.prep_ = header.prep;
        // Columns in the order of the labels' values (integers) or texts (names), as the Python
        // side sorts its classes.
        const bool integers = header.labels.kind() == cli::LabelMap::Kind::Integers;
        std::vector<std::pair<std::string, long>> byName;
        for (std::size_t i = 0; i < header.labels.names().size(); ++i)
            byName.emplace_back(header.labels.names()[i], header.labels.categories()[i]);
        if (!integers) std::sort(byName.begin(), byName.end());
        Labels labels;
        std::vector<std::string> names;
        for (const auto& [name, category] : byName) names.push_back(name), labels.push_back(category);
        model.setLabels(labels);
        py::dict info;
        info["label_column"] = header.labelColumn;
        info["integer_labels"] = integers;
        info["names"] = names;
        info["columns"] = header.columns;
        return py::make_tuple(std::move(model), info);
    }
    // Writes a model file for the clastool program. `names` are the texts of the columns'
    // labels; they must map back to the columns' category numbers in a label map of the kind.
    void save(const std::string& path, const std::string& labelColumn, bool integerLabels,
              const std::vector<std::string>& names, const std::vector<std::string>& columns) {
        if (method_ == "tree") throw Refused("A decision tree cannot be written to a model file (pickle it instead).");
        if (names.size() != labels_.size()) throw Refused("There must be one label name per class.");
        std::vector<std::size_t> order(labels_.size());
        for (std::size_t c = 0; c < order.size(); ++c) order[c] = c;
        std::sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) { return labels_[a] < labels_[b]; });
        std::vector<std::string> ordered;
        for (std::size_t c : order) ordered.push_back(names[c]);
        cli::ModelHeader header;
        header.method = method_;
        header.labelColumn = labelColumn;
        header.labels = cli::LabelMap(integerLabels ? cli::LabelMap::Kind::Integers : cli::LabelMap::Kind::Names, ordered);
        for (std::size_t c = 0; c < names.size(); ++c)
            if (names[c].empty() || header.labels.find(names[c]) != labels_[c])
                throw Refused("The label '" + names[c] + "' cannot be written to a model file.");
        header.columns = columns;
        header.rows = rows_;
        header.prep = prep_;
        cli::saveModel(path, header, tool_);
    }

    const Labels& labels() const { return labels_; }
    const std::string& method() const { return method_; }

private:
    void train(const Rows& rows, const py::array_t<long>& y, const tqClassifierTrainParams& params, const Labels& labels) {
        setLabels(labels);
        const tqClassifierDataProviderMemory data = providerOf(rows, y, labels);
        {
            py::gil_scoped_release release;
            tool_.train(data, params);
        }
        rows_ = static_cast<long>(rows.view.rows);
        method_ = methodOf(tool_);
        prep_ = cli::Preprocessing();  // trained here on measurements as given
    }

    Model retrained(const tqClassifierTrainParams& params) const {
        Model copy(*this);
        py::gil_scoped_release release;
        copy.tool_.retrain(params);
        return copy;
    }

    void setLabels(const Labels& labels) {
        std::vector<std::pair<long, long>> columns;
        for (std::size_t c = 0; c < labels.size(); ++c) columns.emplace_back(labels[c], static_cast<long>(c));
        std::sort(columns.begin(), columns.end());
        for (std::size_t c = 0; c < columns.size(); ++c)
            if (columns[c].first < 0 || (c > 0 && columns[c].first == columns[c - 1].first))
                throw Refused("Category numbers must be distinct and >= 0.");
        labels_ = labels;
        byLabel_ = std::move(columns);
        if (tool_.isTrained()) method_ = methodOf(tool_);
    }

    // The column of a category number, or -1 for one that has none.
    long columnOf(long label) const {
        auto it = std::lower_bound(byLabel_.begin(), byLabel_.end(), std::make_pair(label, 0L));
        return it != byLabel_.end() && it->first == label ? it->second : -1;
    }

    struct Outputs {
        long* decisions;
        double* scores;  // rows of one column per label, as costs
        double* costs;   // null: not wanted
    };

    // Rows [begin, end) block by block: the library's batch call fills one block's results, which
    // go into the outputs before the next block reuses them. Holding a result per row until the
    // end instead costs as much as the classification itself for a fast technique: the memory
    // of 100,000 results is fetched from the system anew at each call and its pages fault.
    // A model that scales or imputes classifies each block prepared into a buffer of its own.
    static constexpr std::size_t kBlock = 2048;
    void runRange(const tqPatternRows& rows, std::size_t begin, std::size_t end, const Outputs& out) const {
        const std::size_t columns = labels_.size();
        std::vector<tqClassifierResult> results(std::min(kBlock, end - begin));
        std::vector<double> values;
        std::vector<unsigned char> validity;
        for (std::size_t first = begin; first < end; first += kBlock) {
            const std::size_t last = std::min(end, first + kBlock);
            tool_.runBatch(prepared(rows.slice(first, last), first, values, validity), results.data());
            for (std::size_t i = first; i < last; ++i) {
                double* score = out.scores + i * columns;
                double* cost = out.costs ? out.costs + i * columns : nullptr;
                std::fill(score, score + columns, 0.0);
                if (cost) std::fill(cost, cost + columns, std::numeric_limits<double>::quiet_NaN());
                long decision = -1;
                for (const auto& entry : results[i - first].categoryResults()) {
                    const long c = columnOf(entry.categoryLabel());
                    if (c < 0) continue;
                    score[c] = entry.classScore();
                    if (cost) cost[c] = entry.expectedCost();
                    if (decision < 0) decision = c;
                }
                out.decisions[i] = decision;
            }
        }
    }

    // `block` (the rows from `first` on) through the model's scaling and imputation into `values`
    // and `validity`, or `block` itself when the model has none. A value that scaling takes beyond
    // the range of a double is refused, as the program refuses it.
    tqPatternRows prepared(const tqPatternRows& block, std::size_t first, std::vector<double>& values,
                           std::vector<unsigned char>& validity) const {
        if (!prep_.active()) return block;
        const std::size_t d = block.dimension;
        values.resize(std::max<std::size_t>(block.rows * d, 1));  // an address even without measurements
        validity.resize(values.size());
        for (std::size_t i = 0; i < block.rows; ++i) {
            const unsigned char* rowValid = block.validity ? block.validity + i * block.rowStride : nullptr;
            double* out = values.data() + i * d;
            unsigned char* outValid = validity.data() + i * d;
            prep_.apply(block.row(i), rowValid, d, out, outValid);
            // The buffer is the block's own, so the scaled values are checked where they are.
            for (std::size_t j = 0; j < prep_.centers.size(); ++j)
                if (outValid[j] != 0 && !std::isfinite(out[j]))
                    throw Refused("Row " + std::to_string(first + i) + ", measurement " + std::to_string(j) +
                                  ": the value is out of range once scaled by the model file's scaling.");
        }
        return tqPatternRows{values.data(), validity.data(), block.rows, d, d};
    }

    // X's rows, refused when the model's scaling or imputation covers another number of
    // measurements (a damaged pickle).
    Rows checkedRows(const Matrix& x) const {
        Rows rows = rowsOf(x);
        const std::size_t prepared = std::max(prep_.centers.size(), prep_.fills.size());
        if (prep_.active() && prepared != rows.view.dimension)
            throw Refused("The model scales or imputes " + std::to_string(prepared) + " measurements, but X has " +
                          std::to_string(rows.view.dimension) + ".");
        return rows;
    }

    // work(begin, end) over rows [0, n), split into one contiguous share per thread.
    template <class Work>
    static void inThreads(std::size_t n, int jobs, const Work& work) {
        const std::size_t threads = std::max<std::size_t>(1, std::min<std::size_t>(jobs < 1 ? 1 : jobs, n / 256 + 1));
        if (threads == 1) {
            work(std::size_t{0}, n);
            return;
        }
        std::vector<std::exception_ptr> errors(threads);
        std::vector<std::thread> pool;
        for (std::size_t t = 0; t < threads; ++t) {
            const std::size_t begin = n * t / threads, end = n * (t + 1) / threads;
            pool.emplace_back([&, t, begin, end] {
                try {
                    work(begin, end);
                } catch (...) {
                    errors[t] = std::current_exception();
                }
            });
        }
        for (auto& thread : pool) thread.join();
        for (const auto& error : errors)
            if (error) std::rethrow_exception(error);
    }

    tqClassifierTool tool_;
    Labels labels_;
    std::vector<std::pair<long, long>> byLabel_;  // (category number, column), sorted
    long rows_ = 0;
    std::string method_;
    cli::Preprocessing prep_;
};

// A feature score from its Python form: ("ignore",), ("one", [x0, x1, xc, y0, y1]) or
// ("two", [x0, x1, xc, x0h, x1h, xch, y0, y1, y0h, y1h]).
tqPtrHandle<tqClsFtSc> featureScoreOf(const py::tuple& item) {
    const auto kind = item[0].cast<std::string>();
    if (kind == "ignore") return tqPtrHandle<tqClsFtSc>(new tqClassifierFeatureScoreIgnore());
    const auto v = item[1].cast<std::vector<double>>();
    if (kind == "one" && v.size() == 5) {
        auto* score = new tqClassifierFeatureScoreOneSided();
        tqPtrHandle<tqClsFtSc> handle(score);
        score->init(v[0], v[1], v[2], v[3], v[4]);
        return handle;
    }
    if (kind == "two" && v.size() == 10) {
        auto* score = new tqClassifierFeatureScoreTwoSided();
        tqPtrHandle<tqClsFtSc> handle(score);
        score->init(v[0], v[1], v[2], v[3], v[4], v[5], v[6], v[7], v[8], v[9]);
        return handle;
    }
    throw Refused("Unknown feature score '" + kind + "'.");
}

// A rule table, the category number of each column (rule labels are columns on the Python
// side) and the table's size.
class RuleTable {
public:
    // rules: (column, feature scores) in table order.
    void fit(const std::vector<std::pair<std::size_t, std::vector<py::tuple>>>& rules, const Labels& labels) {
        std::vector<tqClassifierRule> built;
        for (const auto& [column, scores] : rules) {
            std::vector<tqPtrHandle<tqClsFtSc>> handles;
            for (const py::tuple& score : scores) handles.push_back(featureScoreOf(score));
            built.emplace_back();
            built.back().init(handles, labelOf(labels, column));
        }
        table_.train(built);
        labels_ = labels;
    }

    // The column of the first rule scoring above the threshold for each row, -1 for none.
    py::array_t<long> classify(const Matrix& x, double threshold) const {
        const Rows rows = rowsOf(x);
        py::array_t<long> out(static_cast<py::ssize_t>(rows.view.rows));
        auto o = out.mutable_unchecked<1>();
        std::vector<long> decided(rows.view.rows);
        {
            py::gil_scoped_release release;
            for (std::size_t i = 0; i < rows.view.rows; ++i)
                decided[i] = table_.classifyHardThreshold(featuresOf(rows, i), threshold);
        }
        for (std::size_t i = 0; i < decided.size(); ++i) o(i) = columnOf(decided[i]);
        return out;
    }
    // Every rule's score for every row.
    py::array_t<double> scores(const Matrix& x) const {
        const Rows rows = rowsOf(x);
        const auto& rules = table_.rules();
        if (rules.empty()) throw tqClassifierDefs::NotTrained("the rule table needs to be trained before it can classify");
        py::array_t<double> out({static_cast<py::ssize_t>(rows.view.rows), static_cast<py::ssize_t>(rules.size())});
        auto o = out.mutable_unchecked<2>();
        py::gil_scoped_release release;
        for (std::size_t i = 0; i < rows.view.rows; ++i) {
            const tqClassifierFeatureVector features = featuresOf(rows, i);
            for (std::size_t r = 0; r < rules.size(); ++r) o(i, r) = rules[r].score(features);
        }
        return out;
    }

    py::bytes toBytes() { return archived(labels_, table_); }
    static RuleTable fromBytes(const py::bytes& bytes) {
        RuleTable table;
        unarchive(bytes, table.labels_, table.table_);
        for (const tqClassifierRule& rule : table.table_.rules())
            if (table.columnOf(rule.label()) < 0) throw Refused("A pickled rule has a label without a class.");
        return table;
    }

    const Labels& labels() const { return labels_; }

private:
    // NaN, an invalid measurement, is passed on: the feature scores decide what it scores.
    static tqClassifierFeatureVector featuresOf(const Rows& rows, std::size_t i) {
        const double* row = rows.view.values + i * rows.view.rowStride;
        return tqClassifierFeatureVector(std::vector<double>(row, row + rows.view.dimension));
    }
    long columnOf(long label) const {
        auto it = std::find(labels_.begin(), labels_.end(), label);
        return label < 0 || it == labels_.end() ? -1 : static_cast<long>(it - labels_.begin());
    }

    tqClassifierRuleTable table_;
    Labels labels_;
};

}  // namespace

PYBIND11_MODULE(_clastool, m) {
    m.doc() = "Bindings of the clastool classifier library (use the estimators of the clastool package).";

    // Kept for the life of the process: the translator may run until the interpreter ends.
    static PyObject* notFitted = py::module_::import("sklearn.exceptions").attr("NotFittedError").cast<py::object>().release().ptr();
    static py::exception<tqException> error(m, "ClastoolError", PyExc_ValueError);
    py::register_exception_translator([](std::exception_ptr p) {
        try {
            if (p) std::rethrow_exception(p);
        } catch (const tqClassifierDefs::NotTrained& e) {
            PyErr_SetString(notFitted, e.what());
        } catch (const tqException& e) {
            error(e.what());
        } catch (const cli::InputError& e) {
            error(e.what());
        } catch (const Refused& e) {
            error(e.what());
        }
    });

    py::class_<BayesOptions>(m, "BayesOptions")
        .def(py::init<>())
        .def_readwrite("priors", &BayesOptions::priors)
        .def_readwrite("costs", &BayesOptions::costs)
        .def_readwrite("groups", &BayesOptions::groups)
        .def_readwrite("distributions", &BayesOptions::distributions)
        .def_readwrite("max_values", &BayesOptions::maxValues);

    py::class_<Model>(m, "Model")
        .def(py::init<>())
        .def("fit_bayes", &Model::fitBayes)
        .def("fit_knn", &Model::fitKnn)
        .def("fit_tree", &Model::fitTree)
        .def("retrained_bayes", &Model::retrainedBayes)
        .def("retrained_knn", &Model::retrainedKnn)
        .def("run", &Model::run, py::arg("x"), py::arg("jobs"), py::arg("with_costs") = true)
        .def("scores", &Model::scores)
        .def("settings", &Model::settings)
        .def("to_bytes", &Model::toBytes)
        .def_static("from_bytes", &Model::fromBytes)
        .def_static("load", &Model::load)
        .def("save", &Model::save)
        .def_property_readonly("labels", &Model::labels)
        .def_property_readonly("method", &Model::method);

    py::class_<RuleTable>(m, "RuleTable")
        .def(py::init<>())
        .def("fit", &RuleTable::fit)
        .def("classify", &RuleTable::classify)
        .def("scores", &RuleTable::scores)
        .def("to_bytes", &RuleTable::toBytes)
        .def_static("from_bytes", &RuleTable::fromBytes)
        .def_property_readonly("labels", &RuleTable::labels)
        .def_property_readonly("method", [](const RuleTable&) { return "rules"; });
}
