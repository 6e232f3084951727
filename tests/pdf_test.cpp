// Densities: the multivariate normal over the kernel, and the binomial.
#include "clss/clastool/pdf.h"

#include <gtest/gtest.h>

#include <cmath>

#include "clss/clastool/errors.h"
#include "test_support.h"

namespace {

using BadParams = tqClassifierDefs::BadParams;
using InsufficientTrainData = tqClassifierDefs::InsufficientTrainData;
using NotImplemented = tqClassifierDefs::NotImplemented;
using tqtest::raises;

const double kLog2Pi = std::log(2.0 * M_PI);
const char* const kNoData = "No valid data has been used to train the distribution";
const char* const kSizes = "Must call clear before updating with feature vectors of different sizes";
const char* const kUntrained = "Insufficient data has been used to train the distribution";
const char* const kMultivariate = "Multivariate Binomial Distributions are not implemented";

// Densities agree with the closed forms up to the kernel's regularisation, a relative ridge
// far below this tolerance.
#define EXPECT_LOG_NEAR(actual, expected) EXPECT_NEAR(actual, expected, 1e-6 * (1.0 + std::fabs(expected)))

tqFeaturePattern P(std::vector<double> v, std::vector<long> invalid = {}) {
    return tqFeaturePattern(v, invalid);
}

std::vector<tqFeaturePattern> singles(std::initializer_list<double> values) {
    std::vector<tqFeaturePattern> data;
    for (double v : values) data.push_back(P({v}));
    return data;
}

// ---- multivariate normal ---------------------------------------------------------------

// A correlated two-measurement estimate, updated in two steps and with every measurement
// scaled by ten, checked against the closed form of the 2 x 2 case (the covariance divides
// by the count); missing measurements give the marginal density of the valid ones.
TEST(NormalPdf, AgreesWithTheClosedFormAndMarginalises) {
    const std::vector<tqFeaturePattern> data = {P({1.0, 2.0}), P({2.0, 2.5}), P({3.0, 4.5}), P({6.0, 7.0})};
    tq_PDFMultivariateNormal pdf;
    pdf.updateWithDataNormalize({P({10.0, 20.0}), P({20.0, 25.0})}, 10.0);
    pdf.updateWithData({data[2], data[3]});
    const double m0 = 3.0, m1 = 4.0;
    double s00 = 0, s01 = 0, s11 = 0;
    for (const auto& p : data) {
        const double a = p.featureMeasurement(0, true) - m0, b = p.featureMeasurement(1, true) - m1;
        s00 += a * a / 4, s01 += a * b / 4, s11 += b * b / 4;
    }
    const double det = s00 * s11 - s01 * s01;
    for (const auto& x : {P({0.0, 0.0}), P({3.0, 4.0}), P({5.0, 1.0})}) {
        const double a = x.featureMeasurement(0, true) - m0, b = x.featureMeasurement(1, true) - m1;
        const double q = (s11 * a * a - 2 * s01 * a * b + s00 * b * b) / det;
        EXPECT_LOG_NEAR(pdf.logValue(x), -kLog2Pi - 0.5 * std::log(det) - 0.5 * q);
    }
    EXPECT_LOG_NEAR(pdf.logValue(P({5.0, 99.0}, {1})), -0.5 * (kLog2Pi + std::log(s00)) - 2.0 / s00);
    EXPECT_LOG_NEAR(pdf.logValue(P({99.0, 1.0}, {0})), -0.5 * (kLog2Pi + std::log(s11)) - 4.5 / s11);
    EXPECT_EQ(pdf.logValue(P({99.0, 99.0}, {0, 1})), 0.0);
}

TEST(NormalPdf, IncompleteRecordsStayOutAndOtherLengthsAreRefusedUntilClear) {
    tq_PDFMultivariateNormal pdf, complete;
    pdf.updateWithData({});
    pdf.updateWithData({P({1.0, 50.0}, {1}), P({7.0, 1.0}, {0})});
    EXPECT_FALSE(pdf.isValid());
    EXPECT_THROW_MSG(pdf.logValue(P({1.0, 1.0})), InsufficientTrainData, kNoData);
    pdf.updateWithData({P({1.0, 2.0}), P({3.0, 3.0}), P({100.0, 0.0}, {1})});
    complete.updateWithData({P({1.0, 2.0}), P({3.0, 3.0})});
    EXPECT_EQ(pdf, complete);
    EXPECT_THROW_MSG(pdf.updateWithData({P({1.0, 2.0}), P({1.0, 2.0, 3.0})}), BadParams, kSizes);
    EXPECT_EQ(pdf, complete);
    EXPECT_THROW_MSG(pdf.logValue(P({1.0, 2.0, 3.0})), BadParams, kSizes);
    pdf.clear();
    pdf.updateWithData({P({1.0}), P({2.0})});
    EXPECT_TRUE(pdf.isValid());
}

// ---- binomial ----------------------------------------------------------------------------

// 0, 5 and 10 out of 10 scale to 0, 0.5, 1: theta 0.5 and variance 1/6 (divided by the
// count), so n = trunc(0.25 / (1/6) + 0.5) = 2.
TEST(BinomialPdf, MethodOfMomentsOnZeroFiveTenOutOfTen) {
    tq_PDFBinomial pdf(P({10.0}));
    pdf.updateWithData(singles({0.0, 5.0, 10.0}));
    EXPECT_DOUBLE_EQ(pdf.theta(), 0.5);
    EXPECT_EQ(pdf.numTrials(), 2);
    EXPECT_NEAR(pdf.logValue(P({10.0})), 2 * std::log(0.5), 1e-15);  // n ln theta at the maximum
    EXPECT_NEAR(pdf.logValue(P({0.0})), 2 * std::log(0.5), 1e-15);
    EXPECT_NEAR(pdf.logValue(P({5.0})), std::log(0.5), 1e-15);  // one of two: 2 / 4
    EXPECT_NEAR(pdf.logValue(P({7.4})), std::log(0.5), 1e-15);  // 1.48 successes round to 1

    tq_PDFBinomial stepwise(P({10.0})), other(P({10.0}));
    for (double x : {0.0, 5.0, 10.0}) stepwise.updateWithData(singles({x}));
    EXPECT_EQ(stepwise, pdf);
    other.updateWithData(singles({10.0, 5.0, 0.0, 5.0}));  // other moments, same theta and n
    EXPECT_EQ(other, pdf);
    EXPECT_FALSE(pdf.isEquivalent(tq_PDFMultivariateNormal()));

    // Scaled data 0.2, 0.4, 0.6, 0.4: theta 0.4, variance 0.02, n = trunc(12 + 0.5) = 12.
    tq_PDFBinomial twelve(P({5.0}));
    twelve.updateWithData(singles({1.0, 2.0, 3.0, 2.0}));
    ASSERT_EQ(twelve.numTrials(), 12);
    for (int k = 0; k <= 12; ++k) {
        const double mass = std::lgamma(13.0) - std::lgamma(13.0 - k) - std::lgamma(k + 1.0) +
                            k * std::log(0.4) + (12 - k) * std::log(0.6);
        EXPECT_NEAR(twelve.logValue(P({5.0 * k / 12.0})), mass, 1e-12) << "k = " << k;
    }
}

TEST(BinomialPdf, RefusedCallsRaiseInOrderAndChangeNothing) {
    EXPECT_THROW_MSG(tq_PDFBinomial(P({3.0}, {0})), tqClassifierDefs::BadFeatures,
                     "The measurement for the specified measurement index is not valid.");
    tq_PDFBinomial pdf(P({10.0}));
    EXPECT_THROW_MSG(pdf.logValue(P({1.0, 2.0})), InsufficientTrainData, kUntrained);
    pdf.updateWithData({P({1.0}, {0})});  // only invalid data: nothing is estimated
    EXPECT_EQ(pdf, tq_PDFBinomial(P({10.0})));
    pdf.updateWithData(singles({0.0, 5.0, 10.0}));
    EXPECT_EQ(pdf.logValue(P({50.0}, {0})), 0.0);  // invalid: contributes nothing
    const tq_PDFBinomial before = pdf;
    tqtest::expectRefusals({
        {[&] { pdf.logValue(P({})); }, raises<NotImplemented>, kMultivariate},
        {[&] { pdf.logValue(P({10.5})); }, raises<BadParams>,
         "Feature measurement must be <= specified maximum value"},
        {[&] { pdf.updateWithData({P({1.0}), P({2.0, 11.0})}); }, raises<BadParams>,
         "Train data measurement cannot exceed its maximum value when using binomial distribution"},
        {[&] { pdf.updateWithData({P({1.0, 2.0})}); }, raises<NotImplemented>, kMultivariate},
    }, [&] { return pdf == before; });
    pdf.updateWithData({P({11.0}, {0})});  // an invalid 11 passes and stays out of the moments
    EXPECT_EQ(pdf, before);
    // The moments were not disturbed: one more 5 gives the estimate of 0, 5, 10, 5 (n = 2).
    pdf.updateWithData(singles({5.0}));
    EXPECT_EQ(pdf.numTrials(), 2);
    // Clear forgets the trials and the moments but keeps theta.
    pdf.clear();
    EXPECT_EQ(pdf.numTrials(), 0);
    EXPECT_DOUBLE_EQ(pdf.theta(), 0.5);
    pdf.updateWithData(singles({2.0, 4.0}));
    EXPECT_DOUBLE_EQ(pdf.theta(), 0.3);
    // Constant data leave no trials.
    tq_PDFBinomial constant(P({4.0}));
    constant.updateWithData(singles({1.0, 1.0, 1.0}));
    EXPECT_DOUBLE_EQ(constant.theta(), 0.25);
    EXPECT_THROW_MSG(constant.logValue(P({1.0})), InsufficientTrainData, kUntrained);
}

// ---- archives ----------------------------------------------------------------------------

TEST(PdfArchive, RoundTripsRateIdenticallyMatchTheGoldenFilesAndRefuseDamage) {
    auto normal = [] {
        tq_PDFMultivariateNormal pdf;
        pdf.updateWithData(
            {P({1.0, 2.0, 0.5}), P({2.0, 2.5, 0.25}), P({3.0, 4.5, 1.0}), P({6.0, 7.0, -1.0})});
        return pdf;
    };
    auto binomial = [] {
        tq_PDFBinomial pdf(P({5.0}));
        pdf.updateWithData(singles({1.0, 2.0, 3.0, 2.0}));
        return pdf;
    };
    // Both densities: the golden file loads to an equal density that rates as the original does;
    // damage is refused. A truncated binomial once kept the fields read before the cut.
    auto holds = [](const char* name, auto pdf, auto make, const std::vector<tqFeaturePattern>& probes) {
        decltype(pdf) golden;
        EXPECT_TRUE(tqtest::archiveHolds(name, pdf, golden));
        EXPECT_EQ(golden, pdf);
        for (const auto& x : probes) EXPECT_EQ(golden.logValue(x), pdf.logValue(x));
        tqtest::expectArchiveRefusals(tqtest::storeBytes(pdf), make, {{0, "", 0}, {1, "", 0}});
        return golden;
    };
    holds("pdf_normal.bin", normal(), [] { return tq_PDFMultivariateNormal(); },
          {P({0.0, 0.0, 0.0}), P({3.0, 4.0, 1.0}, {2}), P({5.0, 1.0, 0.0}, {0, 1})});
    tq_PDFBinomial loadedBinomial =
        holds("pdf_binomial.bin", binomial(), [] { return tq_PDFBinomial(); }, {P({2.5})});
    // The moments are not stored: one update estimates from that pattern alone.
    loadedBinomial.updateWithData(singles({4.0}));
    EXPECT_DOUBLE_EQ(loadedBinomial.theta(), 0.8);
}

}  // namespace
