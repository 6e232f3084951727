// The Python extension: a thin layer that turns NumPy arrays into the library's data and
// results. Labels arrive as 0..C-1 (the Python side maps the caller's labels); NaN marks an
// invalid measurement. Training and classification run with the GIL released.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <cmath>
#include <exception>
#include <limits>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "clss/clastool/clastool.h"

namespace py = pybind11;

namespace {

using Matrix = py::array_t<double, py::array::c_style | py::array::forcecast>;

struct Rows {
    tqPatternRows view;
    std::vector<unsigned char> validity;  // empty when every measurement is valid
};

Rows rowsOf(const Matrix& x) {
    if (x.ndim() != 2) throw py::value_error("X must be a two-dimensional array.");
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

tqClassifierDataProviderMemory providerOf(const Rows& rows, const py::array_t<long>& y) {
    if (static_cast<std::size_t>(y.size()) != rows.view.rows)
        throw py::value_error("X and y must hold the same number of patterns.");
    tqClassifierDataProviderMemory data;
    const long* labels = y.data();
    for (std::size_t i = 0; i < rows.view.rows; ++i)
        data.addData(tqPtrHandle_const<tqFeaturePattern>(new tqFeaturePattern(rows.view.pattern(i))), labels[i]);
    return data;
}

// costs[a][b]: the cost of deciding b when the truth is a; the diagonal is not used.
tqClassifierCosts costsOf(const std::vector<std::vector<double>>& costs) {
    tqClassifierCosts result(1.0);
    for (std::size_t a = 0; a < costs.size(); ++a)
        for (std::size_t b = 0; b < costs[a].size(); ++b)
            if (a != b) result.misclassificationCostOverride(static_cast<long>(a), static_cast<long>(b), costs[a][b]);
    return result;
}

tqClassifierFrequencies frequenciesOf(const std::vector<double>& priors) {
    tqClassifierFrequencies result(1.0);
    for (std::size_t c = 0; c < priors.size(); ++c) result.categoryFrequencyOverride(static_cast<long>(c), priors[c]);
    return result;
}

tqClassifierDistributionTypes::DistributionType typeOf(const std::string& name) {
    if (name == "normal") return tqClassifierDistributionTypes::eNormal;
    if (name == "binomial") return tqClassifierDistributionTypes::eBinomial;
    throw py::value_error("Unknown distribution '" + name + "': use 'normal' or 'binomial'.");
}

struct BayesOptions {
    std::vector<double> priors;
    std::vector<std::vector<double>> costs;
    std::vector<std::vector<long>> groups;     // the same dependency groups for every category
    std::vector<std::string> distributions;    // per measurement; empty: all normal
    std::vector<double> maxValues;             // per measurement, for binomial ones
};

tqClassifierTrainParamsBayesian bayesParams(const BayesOptions& o, long categories) {
    tqClassifierDistributionTypes types;
    for (long c = 0; c < categories; ++c) {
        for (std::size_t j = 0; j < o.distributions.size(); ++j)
            types.distributionTypeOverride(c, static_cast<long>(j), typeOf(o.distributions[j]));
        for (const auto& group : o.groups) types.setDependent(c, group);
    }
    return tqClassifierTrainParamsBayesian(types, frequenciesOf(o.priors), costsOf(o.costs),
                                           tqFeaturePattern(o.maxValues));
}

// A trained tool and the number of categories its results are laid out for.
class Model {
public:
    void fitBayes(const Matrix& x, const py::array_t<long>& y, long categories, const BayesOptions& options) {
        const Rows rows = rowsOf(x);
        const tqClassifierTrainParamsBayesian params = bayesParams(options, categories);
        train(rows, y, params, categories);
    }
    void fitKnn(const Matrix& x, const py::array_t<long>& y, long categories, long k, double p,
                const std::vector<std::vector<double>>& costs) {
        const Rows rows = rowsOf(x);
        const tqClassifierTrainParamsKNN params(k, tqPatternDistanceMetricNorm(p), costsOf(costs));
        train(rows, y, params, categories);
    }
    // New priors and costs without the data (Bayes keeps what it learned).
    void retrainBayes(const BayesOptions& options) {
        const tqClassifierTrainParamsBayesian params = bayesParams(options, categories_);
        py::gil_scoped_release release;
        tool_.retrain(params);
    }

    // (decisions, class scores, expected costs); a category that is no candidate for a
    // pattern has class score 0 and expected cost NaN.
    py::tuple run(const Matrix& x, int jobs) const {
        const Rows rows = rowsOf(x);
        const std::size_t n = rows.view.rows;
        std::vector<tqClassifierResult> results(n);
        {
            py::gil_scoped_release release;
            runInThreads(rows.view, results, jobs);
        }
        py::array_t<long> decisions(static_cast<py::ssize_t>(n));
        py::array_t<double> scores({static_cast<py::ssize_t>(n), static_cast<py::ssize_t>(categories_)});
        py::array_t<double> costs({static_cast<py::ssize_t>(n), static_cast<py::ssize_t>(categories_)});
        auto d = decisions.mutable_unchecked<1>();
        auto s = scores.mutable_unchecked<2>();
        auto e = costs.mutable_unchecked<2>();
        for (std::size_t i = 0; i < n; ++i) {
            const auto& entries = results[i].categoryResults();
            for (long c = 0; c < categories_; ++c) s(i, c) = 0.0, e(i, c) = std::numeric_limits<double>::quiet_NaN();
            for (const auto& entry : entries) {
                if (entry.categoryLabel() >= categories_) continue;
                s(i, entry.categoryLabel()) = entry.classScore();
                e(i, entry.categoryLabel()) = entry.expectedCost();
            }
            d(i) = entries.empty() ? -1 : entries.front().categoryLabel();
        }
        return py::make_tuple(decisions, scores, costs);
    }

    py::bytes toBytes() {
        std::ostringstream out;
        {
            tqArchive ar(out);
            ar || categories_;
            ar || tool_;
        }
        return py::bytes(out.str());
    }
    static Model fromBytes(const py::bytes& bytes) {
        std::istringstream in(static_cast<std::string>(bytes));
        Model model;
        tqArchive ar(in);
        ar || model.categories_;
        ar || model.tool_;
        return model;
    }

    bool isTrained() const { return tool_.isTrained(); }
    long categories() const { return categories_; }

private:
    void train(const Rows& rows, const py::array_t<long>& y, const tqClassifierTrainParams& params, long categories) {
        const tqClassifierDataProviderMemory data = providerOf(rows, y);
        py::gil_scoped_release release;
        tool_.train(data, params);
        categories_ = categories;
    }

    void runInThreads(const tqPatternRows& rows, std::vector<tqClassifierResult>& results, int jobs) const {
        const std::size_t n = rows.rows;
        const std::size_t threads = std::max<std::size_t>(1, std::min<std::size_t>(jobs < 1 ? 1 : jobs, n / 256 + 1));
        if (threads == 1) {
            tool_.runBatch(rows, results.data());
            return;
        }
        std::vector<std::exception_ptr> errors(threads);
        std::vector<std::thread> pool;
        for (std::size_t t = 0; t < threads; ++t) {
            const std::size_t begin = n * t / threads, end = n * (t + 1) / threads;
            pool.emplace_back([&, t, begin, end] {
                try {
                    tool_.runBatch(rows.slice(begin, end), results.data() + begin);
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
    long categories_ = 0;
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
        .def("retrain_bayes", &Model::retrainBayes)
        .def("run", &Model::run)
        .def("to_bytes", &Model::toBytes)
        .def_static("from_bytes", &Model::fromBytes)
        .def_property_readonly("is_trained", &Model::isTrained)
        .def_property_readonly("categories", &Model::categories);
}
