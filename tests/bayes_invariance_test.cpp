// Properties of Bayesian decisions: they do not depend on the units or offsets of a
// measurement, sound estimates rate as their maximum-likelihood Gaussian, and unusable input
// is refused with an error that says what is wrong.
#include <gtest/gtest.h>

#include <cctype>
#include <cmath>
#include <fstream>
#include <limits>
#include <map>
#include <sstream>

#include "clss/clastool/clastool.h"
#include "platform/random.h"
#include "test_support.h"

namespace {

using DT = tqClassifierDistributionTypes;
using Rows = std::vector<std::vector<double>>;  // measurements, then the label
const double kNaN = std::numeric_limits<double>::quiet_NaN();
const double kInf = std::numeric_limits<double>::infinity();

tqClassifierDataProviderMemory provider(const Rows& rows) {
    tqClassifierDataProviderMemory data;
    for (const auto& r : rows)
        data.addData(tqPtrHandle_const<tqFeaturePattern>(new tqFeaturePattern({r.begin(), r.end() - 1})),
                     static_cast<long>(r.back()));
    return data;
}

// The log density of x's measurements `group` under a normal density's own estimate, by a
// Cholesky factorisation in long double; adds the magnitudes of its terms to `size`.
long double logDensity(const tq_PDFMultivariateNormal& pdf, const std::vector<double>& x,
                       const std::vector<long>& group, long double& size) {
    const tqNMMatrix mean = pdf.mean(), cov = pdf.covariance();
    const long d = mean.cols();
    std::vector<long double> l(d * d), z(d);
    long double value = -0.5L * d * std::log(2 * M_PIl);
    for (long j = 0; j < d; ++j) {
        for (long i = j; i < d; ++i) {
            long double v = cov.element(i, j);
            for (long m = 0; m < j; ++m) v -= l[i * d + m] * l[j * d + m];
            l[i * d + j] = i == j ? std::sqrt(v) : v / l[j * d + j];
        }
        z[j] = x[group[j]] - static_cast<long double>(mean.element(0, j));
        for (long m = 0; m < j; ++m) z[j] -= l[j * d + m] * z[m];
        z[j] /= l[j * d + j];
        value -= std::log(l[j * d + j]) + 0.5L * z[j] * z[j];
        size += std::fabs(std::log(l[j * d + j])) + 0.5L * z[j] * z[j] + 1;
    }
    return value;
}

// Four categories over five measurements with every kind of degenerate estimate: measurement
// 2 is constant within category 0 (within every category if `everywhere`, so that it
// decides), category 3 has one pattern, measurement 4 is constant over all data, and
// category 1 models measurements 0 and 3 jointly (strongly correlated).
Rows degenerateData(bool everywhere, Rows& probes) {
    tqRandomGaussian g(5);
    Rows rows;
    for (int k = 0; k < 3; ++k)
        for (int i = 0; i < 30; ++i) {
            const double x0 = g.next(1.5 * k, 1.0);
            rows.push_back({x0, g.next(0.5 * k, 2.0), k == 0 || everywhere ? 0.7 + 1.2 * k : g.next(k, 1.0),
                            k == 1 ? 2 * x0 + g.next(0, 0.1) : g.next(0, 1), 4.25, double(k)});
        }
    rows.push_back({1.0, 1.0, 1.0, 1.0, 4.25, 3.0});
    probes = {{0.2, 0.1, 0.7, 0.3, 4.25, 0}, {1.0, 1.0, 1.0, 1.0, 4.25, 0}, {1.4, 0.4, 0.7, 2.5, 7.0, 0}};
    for (int i = 0; i < 40; ++i)
        probes.push_back({g.next(1.5, 2), g.next(0.5, 2), g.next(1, 1.5), g.next(1, 2), 4.25, 0});
    return rows;
}

// The decision and the class score of every label, for every probe.
std::vector<std::pair<long, std::map<long, double>>> outcomes(const Rows& rows, const Rows& probes) {
    DT t;
    t.setDependent(1, {0, 3});
    tqClassifierTool tool;
    tool.train(provider(rows), tqClassifierTrainParamsBayesian(t));
    std::vector<std::pair<long, std::map<long, double>>> out;
    for (const auto& p : probes) {
        tqClassifierResult r;
        tool.run(tqFeaturePattern({p.begin(), p.end() - 1}), r);
        out.emplace_back(r.categoryResults()[0].categoryLabel(), std::map<long, double>());
        for (const auto& c : r.categoryResults()) out.back().second[c.categoryLabel()] = c.classScore();
    }
    return out;
}

// Shifting a measurement by up to 1e6 spreads ('+'), or scaling it by any factor from 1e-150
// to 1e150 ('*'; also 3e153, where the scatter of 30 records would overflow if deviations were
// squared before they are scaled), in training and run data alike, keeps every decision, and
// the class scores within 1e-9 while the shift is at most 1e4 spreads. Dropping the measurement that is
// constant over all training data ('-') changes no class score at all.
TEST(BayesInvariance, OffsetsAndUnitsOfAMeasurementChangeNoDecision) {
    struct Case {
        bool everywhere;
        int j;
        char how;
        double factor;     // of the spread for a shift (of 1 for a constant measurement)
        double tolerance;  // of the class scores
    };
    const Case cases[] = {
        {false, 0, '+', 273.15, 1e-9}, {false, 2, '+', -1e4, 1e-9},  {false, 3, '+', 1e4, 1e-9},
        {false, 4, '+', 1e4, 1e-9},    {false, 2, '+', 1e6, 1},      {false, 3, '+', -1e6, 1},
        {false, 0, '*', 1e-150, 1e-9}, {false, 2, '*', 1e150, 1e-9}, {false, 3, '*', 1e-150, 1e-9},
        {false, 4, '*', 1e150, 1e-9},  {false, 1, '*', -2e5, 1e-9},  {false, 4, '-', 0, 0},
        {true, 2, '+', 273.15, 1e-9},  {true, 2, '+', -1e6, 1},      {true, 2, '*', 1e-150, 1e-9},
        {true, 2, '*', 3.7e-7, 1e-9},  {false, 0, '*', 3e153, 1e-9}};
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(1, c.how) + ::testing::PrintToString(c.factor) + " on measurement " +
                     std::to_string(c.j) + (c.everywhere ? ", constant within every category" : ""));
        Rows probes;
        const Rows rows = degenerateData(c.everywhere, probes);
        double sum = 0, sq = 0;
        for (const auto& r : rows) sum += r[c.j], sq += r[c.j] * r[c.j];
        const double spread = std::sqrt(std::max(sq / rows.size() - std::pow(sum / rows.size(), 2), 0.0));
        Rows r2 = rows, p2 = probes;
        for (Rows* set : {&r2, &p2})
            for (auto& r : *set) {
                if (c.how == '-')
                    r.erase(r.begin() + c.j);
                else
                    r[c.j] =
                        c.how == '*' ? r[c.j] * c.factor : r[c.j] + c.factor * (spread > 0 ? spread : 1.0);
            }
        const auto base = outcomes(rows, probes), moved = outcomes(r2, p2);
        for (std::size_t i = 0; i < probes.size(); ++i) {
            EXPECT_EQ(moved[i].first, base[i].first) << "probe " << i;
            for (const auto& s : base[i].second)
                EXPECT_NEAR(moved[i].second.at(s.first), s.second, c.tolerance) << "probe " << i;
        }
    }
}

// Real data: each category rates as the Gaussians of its own maximum-likelihood estimates,
// evaluated here directly in long double, within 1e-12 of the terms' size, and the decisions are right
// about as often as naive Bayes and its joint counterpart get them. Iris has one group per
// measurement; the breast-cancer data have all 30 measurements in one group, with condition
// numbers near 1e6, where a ridge of a billionth of the variances moves the values by up to
// 1e-5: there is no regularisation where the estimate does not need it.
TEST(BayesInvariance, RealDataRateAsTheirMaximumLikelihoodGaussians) {
    struct Case {
        const char* file;
        std::size_t rows;
        bool joint;
        double accuracy;
    };
    for (const Case& c : {Case{"iris.csv", 150, false, 0.95}, Case{"breast_cancer.csv", 569, true, 0.96}}) {
        std::ifstream in(tqtest::goldenPath(c.file));
        std::map<std::string, double> labels;
        Rows rows;
        std::string line, v;
        for (std::getline(in, line); std::getline(in, line);) {  // after the header
            std::istringstream s(line);
            rows.emplace_back();
            while (std::getline(s, v, ','))
                rows.back().push_back(std::isdigit(v[0] & 0xff) ? std::stod(v) : 0.0);
            rows.back().back() = labels.emplace(v, labels.size()).first->second;
        }
        ASSERT_EQ(rows.size(), c.rows) << c.file;
        DT t;
        for (long label = 0; c.joint && label < 2; ++label) {
            std::vector<long> all(rows[0].size() - 1);
            for (std::size_t j = 0; j < all.size(); ++j) all[j] = static_cast<long>(j);
            t.setDependent(label, all);
        }
        tq_ClassifierBayesian classifier;
        classifier.train(provider(rows), tqClassifierTrainParamsBayesian(t), nullptr, 0);
        std::size_t correct = 0;
        for (std::size_t p = 0; p < rows.size(); ++p) {
            const tqFeaturePattern x({rows[p].begin(), rows[p].end() - 1});
            for (const auto& handle : classifier.categoryModels()) {
                const auto& model = dynamic_cast<const tq_CategoryModelBayesian&>(*handle);
                long double want = 0, size = 0;
                for (std::size_t g = 0; g < model.groups().size(); ++g)
                    want += logDensity(dynamic_cast<const tq_PDFMultivariateNormal&>(*model.pdfs()[g]),
                                       rows[p], model.groups()[g], size);
                EXPECT_NEAR(model.matchScore(x, nullptr, 0), want, 1e-12 * size) << c.file << " " << p;
            }
            tqClassifierResult r;
            classifier.run(x, r, nullptr, 0);
            correct += r.categoryResults()[0].categoryLabel() == rows[p].back();
        }
        EXPECT_GE(correct, c.accuracy * rows.size()) << c.file;
    }
}

// Unusable input is refused with the error's class and message below, never a bare kernel
// status: a valid measurement that is not a number (in training or a run; "no value" is said
// with the invalid flag), and binomial maxima and counts that make no sense. A refused
// training builds no model, and a refused run leaves the result as it was.
TEST(BayesInvariance, UnusableMeasurementsAreRefusedWithAClearError) {
    struct Case {
        bool binomial;
        double maximum;
        std::vector<double> train;  // pattern i has the label i % 2
        double probe;
        std::string error;  // class and start of the message
    };
    const Case cases[] = {
        {false, 1, {0, 5, kNaN, 6}, 0, "BadFeatures: Training pattern 2: measurement 0 is valid but not a"},
        {false, 1, {0, -kInf, 1}, 0, "BadFeatures: Training pattern 1: measurement 0 is valid"},
        {false, 1, {0, 5, 1, 6}, kNaN, "BadFeatures: The pattern: measurement 0 is valid but not a finite"},
        {false, 1, {0, 5, 1, 6}, kInf, "BadFeatures: The pattern: measurement 0 is valid"},
        {true, 0, {0, 0}, 0, "BadParams: The maximum value of a binomial measurement must be"},
        {true, -10, {-2, -5}, 0, "BadParams: The maximum value"},
        {true, kInf, {2, 5}, 0, "BadParams: The maximum value"},
        {true, 10, {-1, 3}, 0, "BadFeatures: A binomial measurement must be a finite number >= 0"},
        {true, 10, {kNaN, 3}, 0, "BadFeatures: Training pattern 0: measurement 0 is valid"},
        {true, 10, {11, 3}, 0, "BadParams: Train data measurement cannot exceed its maximum value"},
        {true, 10, {2, 3, 5, 4, 6, 5}, -1, "BadFeatures: A binomial measurement must be"},
        {true,
         10,
         {2, 3, 5, 4, 6, 5},
         10.5,
         "BadParams: Feature measurement must be <= specified maximum value"},
    };
    for (const Case& c : cases) {
        Rows rows;
        for (std::size_t i = 0; i < c.train.size(); ++i) rows.push_back({c.train[i], double(i % 2)});
        tqClassifierTool tool;
        tqClassifierResult r, before;
        bool trained = false;
        std::string what = "nothing";
        try {
            tool.train(provider(rows),
                       tqClassifierTrainParamsBayesian(DT(c.binomial ? DT::eBinomial : DT::eNormal), 1.0, 1.0,
                                                       tqFeaturePattern({c.maximum})));
            trained = true;
            tool.run(tqFeaturePattern({c.train[0]}), r);
            before = r;
            tool.run(tqFeaturePattern({c.probe}), r);
        } catch (const tqClassifierDefs::BadParams& e) {
            what = std::string("BadParams: ") + e.what();
        } catch (const tqClassifierDefs::BadFeatures& e) {
            what = std::string("BadFeatures: ") + e.what();
        } catch (const std::exception& e) {
            what = e.what();
        }
        EXPECT_EQ(what.substr(0, c.error.size()), c.error);
        EXPECT_EQ(tool.isTrained(), trained) << c.error;
        EXPECT_EQ(r, before) << c.error;
        if (trained) tool.run(tqFeaturePattern({c.probe}, {0}), r);  // no value: what works
    }
}

}  // namespace
