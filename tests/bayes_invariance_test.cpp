// Properties of Bayesian decisions: they do not depend on the units or offsets of a
// measurement, sound estimates rate as their maximum-likelihood Gaussian, and unusable input
// is refused with an error that says what is wrong.
#include <gtest/gtest.h>

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

tqClassifierTrainParamsBayesian jointParams() {
    DT t;
    t.setDependent(1, {0, 3});
    return tqClassifierTrainParamsBayesian(t);
}

// The decision and the class score of every label, for every probe.
std::vector<std::pair<long, std::map<long, double>>> outcomes(const Rows& rows, const Rows& probes) {
    tqClassifierTool tool;
    tool.train(provider(rows), jointParams());
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
// to 1e150 ('*'), in training and run data alike, keeps every decision, and the class scores
// within 1e-9 while the shift is at most 1e4 spreads. Dropping the measurement that is
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
        {true, 2, '*', 3.7e-7, 1e-9}};
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
                if (c.how == '-') r.erase(r.begin() + c.j);
                else r[c.j] = c.how == '*' ? r[c.j] * c.factor : r[c.j] + c.factor * (spread > 0 ? spread : 1.0);
            }
        const auto base = outcomes(rows, probes), moved = outcomes(r2, p2);
        for (std::size_t i = 0; i < probes.size(); ++i) {
            EXPECT_EQ(moved[i].first, base[i].first) << "probe " << i;
            for (const auto& s : base[i].second)
                EXPECT_NEAR(moved[i].second.at(s.first), s.second, c.tolerance) << "probe " << i;
        }
    }
}

// With all 30 measurements of the breast-cancer data in one group (condition numbers near
// 1e6), each category rates as the Gaussian of its own maximum-likelihood estimate, computed
// here directly in long double: no regularisation where the estimate does not need it (a
// ridge of a billionth of the variances moves these values by up to 1e-5).
TEST(BayesInvariance, SoundJointEstimatesRateAsTheirMaximumLikelihoodGaussian) {
    std::ifstream in(tqtest::goldenPath("breast_cancer.csv"));
    std::string line;
    Rows rows;
    for (std::getline(in, line); std::getline(in, line);) {  // after the header
        std::istringstream s(line);
        std::vector<double> r;
        for (std::string v; std::getline(s, v, ',');) r.push_back(std::stod(v));
        rows.push_back(r);
    }
    ASSERT_EQ(rows.size(), 569u);
    const int d = 30;
    DT t;
    std::vector<long> all(d);
    for (int j = 0; j < d; ++j) all[j] = j;
    t.setDependent(0, all);
    t.setDependent(1, all);
    tq_ClassifierBayesian c;
    c.train(provider(rows), tqClassifierTrainParamsBayesian(t), nullptr, 0);
    for (std::size_t k = 0; k < 2; ++k) {
        const auto& model = dynamic_cast<const tq_CategoryModelBayesian&>(*c.categoryModels()[k]);
        const auto& pdf = dynamic_cast<const tq_PDFMultivariateNormal&>(*model.pdfs().at(0));
        const tqNMMatrix mean = pdf.mean(), cov = pdf.covariance();
        std::vector<long double> l(d * d);  // Cholesky factor, lower triangle
        long double logDet = 0;
        for (int j = 0; j < d; ++j)
            for (int i = j; i < d; ++i) {
                long double v = cov.element(i, j);
                for (int m = 0; m < j; ++m) v -= l[i * d + m] * l[j * d + m];
                l[i * d + j] = i == j ? std::sqrt(v) : v / l[j * d + j];
                if (i == j) logDet += std::log(l[j * d + j]);
            }
        for (std::size_t p = 0; p < rows.size(); p += 7) {
            std::vector<long double> z(d);
            long double q = 0;
            for (int j = 0; j < d; ++j) {
                z[j] = rows[p][j] - static_cast<long double>(mean.element(0, j));
                for (int m = 0; m < j; ++m) z[j] -= l[j * d + m] * z[m];
                z[j] /= l[j * d + j];
                q += z[j] * z[j];
            }
            const double want = static_cast<double>(-0.5L * d * std::log(2 * M_PIl) - logDet - 0.5L * q);
            EXPECT_NEAR(model.matchScore(tqFeaturePattern({rows[p].begin(), rows[p].end() - 1}), nullptr, 0),
                        want, 1e-12 * std::fabs(want))
                << "category " << c.categoryLabels()[k] << " pattern " << p;
        }
    }
}

// Unusable input is refused with the error's class and message below, never a bare kernel
// status: a valid measurement that is not a number (in training or a run; "no value" is said
// with the invalid flag), and binomial maxima and counts that make no sense. A refused
// training builds no model, and a refused run leaves the result as it was.
TEST(BayesInvariance, UnusableMeasurementsAreRefusedWithAClearError) {
    struct Case {
        DT::DistributionType type;
        double maximum;
        Rows train;
        double probe;
        std::string error;  // class and start of the message
    };
    const Rows good = {{0, 0}, {1, 0}, {5, 1}, {6, 1}};
    const Case cases[] = {
        {DT::eNormal, 1, {{0, 0}, {1, 0}, {kNaN, 1}, {6, 1}}, 0,
         "BadFeatures: Training pattern 2: measurement 0 is valid but not a finite number."},
        {DT::eNormal, 1, {{0, 0}, {-kInf, 0}, {5, 1}}, 0, "BadFeatures: Training pattern 1: measurement 0 is"},
        {DT::eNormal, 1, good, kNaN, "BadFeatures: The pattern: measurement 0 is valid but not a finite number."},
        {DT::eNormal, 1, good, kInf, "BadFeatures: The pattern: measurement 0 is valid but not a finite"},
        {DT::eBinomial, 0, {{0, 0}, {0, 0}}, 0, "BadParams: The maximum value of a binomial measurement must be"},
        {DT::eBinomial, -10, {{-2, 0}, {-5, 0}}, 0, "BadParams: The maximum value"},
        {DT::eBinomial, kInf, {{2, 0}, {5, 0}}, 0, "BadParams: The maximum value"},
        {DT::eBinomial, 10, {{-1, 0}, {3, 0}}, 0, "BadFeatures: A binomial measurement must be a finite number >= 0"},
        {DT::eBinomial, 10, {{kNaN, 0}, {3, 0}}, 0, "BadFeatures: Training pattern 0: measurement 0 is valid"},
        {DT::eBinomial, 10, {{11, 0}, {3, 0}}, 0, "BadParams: Train data measurement cannot exceed its maximum value"},
        {DT::eBinomial, 10, {{2, 0}, {3, 0}, {5, 0}}, -1, "BadFeatures: A binomial measurement must be"},
        {DT::eBinomial, 10, {{2, 0}, {3, 0}, {5, 0}}, 10.5, "BadParams: Feature measurement must be <= specified"},
    };
    for (const Case& c : cases) {
        tqClassifierTool tool;
        tqClassifierResult r, before;
        bool trained = false;
        std::string what = "nothing";
        try {
            tool.train(provider(c.train), tqClassifierTrainParamsBayesian(DT(c.type), 1.0, 1.0, tqFeaturePattern({c.maximum})));
            trained = true;
            tool.run(tqFeaturePattern({c.train[0][0]}), r);
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
