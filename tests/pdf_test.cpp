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

const double kLog2Pi = std::log(2.0 * M_PI);
const char* const kNoData = "No valid data has been used to train the distribution";
const char* const kSizes = "Must call clear before updating with feature vectors of different sizes";
const char* const kUntrained = "Insufficient data has been used to train the distribution";
const char* const kMultivariate = "Multivariate Binomial Distributions are not implemented";
const char* const kAboveMaxTrain =
    "Train data measurement cannot exceed its maximum value when using binomial distribution";

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

TEST(NormalPdf, OneMeasurementIsTheMaximumLikelihoodGaussian) {
    tq_PDFMultivariateNormal pdf;
    pdf.updateWithData(singles({1.0, 2.0}));
    pdf.updateWithData(singles({3.0, 6.0}));  // updates accumulate
    EXPECT_DOUBLE_EQ(pdf.mean().element(0, 0), 3.0);
    const double v = (4.0 + 1.0 + 0.0 + 9.0) / 4.0;  // divides by the count
    EXPECT_NEAR(pdf.covariance().element(0, 0), v, 1e-12);
    for (double x : {-3.0, 0.0, 3.0, 10.0})
        EXPECT_LOG_NEAR(pdf.logValue(P({x})),
                        -0.5 * (kLog2Pi + std::log(v)) - (x - 3.0) * (x - 3.0) / (2.0 * v));
}

// A correlated two-measurement estimate checked against the closed form of the 2 x 2 case;
// missing measurements give the marginal density of the valid ones.
TEST(NormalPdf, TwoMeasurementsAgreeWithTheClosedFormAndMarginalise) {
    const std::vector<tqFeaturePattern> data = {P({1.0, 2.0}), P({2.0, 2.5}), P({3.0, 4.5}), P({6.0, 7.0})};
    tq_PDFMultivariateNormal pdf;
    pdf.updateWithData(data);
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
    EXPECT_LOG_NEAR(pdf.logValue(P({5.0, 99.0}, {1})),
                    -0.5 * (kLog2Pi + std::log(s00)) - 2.0 * 2.0 / (2 * s00));
    EXPECT_LOG_NEAR(pdf.logValue(P({99.0, 1.0}, {0})),
                    -0.5 * (kLog2Pi + std::log(s11)) - 3.0 * 3.0 / (2 * s11));
    EXPECT_EQ(pdf.logValue(P({99.0, 99.0}, {0, 1})), 0.0);
}

TEST(NormalPdf, IncompleteRecordsStayOutAndOtherLengthsAreRefusedUntilClear) {
    tq_PDFMultivariateNormal pdf;
    pdf.updateWithData({});
    pdf.updateWithData({P({1.0, 50.0}, {1}), P({7.0, 1.0}, {0})});
    EXPECT_FALSE(pdf.isValid());
    EXPECT_THROW_MSG(pdf.logValue(P({1.0, 1.0})), InsufficientTrainData, kNoData);

    tq_PDFMultivariateNormal complete;
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

// A single pattern or a constant measurement has a singular covariance; the kernel
// regularises it, and the densities stay finite and still prefer the data seen.
TEST(NormalPdf, DegenerateEstimatesGiveFiniteLogValues) {
    tq_PDFMultivariateNormal one, constant;
    one.updateWithData({P({2.0, 5.0})});
    EXPECT_GT(one.logValue(P({2.0, 5.0})), one.logValue(P({3.0, 5.0})));
    EXPECT_TRUE(std::isfinite(one.logValue(P({3.0, 5.0}))));
    constant.updateWithData({P({1.0, 4.0}), P({2.0, 4.0}), P({3.0, 4.0})});
    for (const auto& x : {P({2.0, 4.0}), P({2.0, 4.5}), P({2.0, 1e6}), P({0.0, 4.0}, {0})})
        EXPECT_TRUE(std::isfinite(constant.logValue(x)));
    EXPECT_GT(constant.logValue(P({2.0, 4.0})), constant.logValue(P({2.0, 4.5})));
}

TEST(NormalPdf, NormalizationDividesEveryMeasurement) {
    tq_PDFMultivariateNormal scaled, plain;
    scaled.updateWithDataNormalize({P({10.0, 20.0}), P({30.0, 20.0}), P({20.0, 50.0})}, 10.0);
    plain.updateWithData({P({1.0, 2.0}), P({3.0, 2.0}), P({2.0, 5.0})});
    EXPECT_LOG_NEAR(scaled.logValue(P({2.0, 3.0})), plain.logValue(P({2.0, 3.0})));
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
}

TEST(BinomialPdf, LogValueIsTheBinomialMass) {
    // Scaled data 0.2, 0.4, 0.6, 0.4: theta 0.4, variance 0.02, n = trunc(12 + 0.5) = 12.
    tq_PDFBinomial pdf(P({5.0}));
    pdf.updateWithData(singles({1.0, 2.0, 3.0, 2.0}));
    ASSERT_EQ(pdf.numTrials(), 12);
    for (int k = 0; k <= 12; ++k) {
        const double mass = std::lgamma(13.0) - std::lgamma(13.0 - k) - std::lgamma(k + 1.0) +
                            k * std::log(0.4) + (12 - k) * std::log(0.6);
        EXPECT_NEAR(pdf.logValue(P({5.0 * k / 12.0})), mass, 1e-12) << "k = " << k;
    }
}

TEST(BinomialPdf, ConstructionAndConstantDataLeaveNoTrials) {
    EXPECT_THROW_MSG(tq_PDFBinomial(P({3.0}, {0})), tqClassifierDefs::BadFeatures,
                     "The measurement for the specified measurement index is not valid.");
    tq_PDFBinomial pdf(P({4.0}));
    pdf.updateWithData({P({1.0}, {0})});  // only invalid data: nothing is estimated
    EXPECT_EQ(pdf, tq_PDFBinomial(P({4.0})));
    pdf.updateWithData(singles({1.0, 1.0, 1.0}));
    EXPECT_DOUBLE_EQ(pdf.theta(), 0.25);
    EXPECT_EQ(pdf.numTrials(), 0);
    EXPECT_THROW_MSG(pdf.logValue(P({1.0})), InsufficientTrainData, kUntrained);
}

TEST(BinomialPdf, ChecksComeInOrderAndRefusedUpdatesChangeNothing) {
    tq_PDFBinomial pdf(P({10.0}));
    EXPECT_THROW_MSG(pdf.logValue(P({1.0, 2.0})), InsufficientTrainData, kUntrained);
    pdf.updateWithData(singles({0.0, 5.0, 10.0}));
    EXPECT_EQ(pdf.logValue(P({50.0}, {0})), 0.0);  // invalid: contributes nothing
    EXPECT_THROW_MSG(pdf.logValue(P({})), NotImplemented, kMultivariate);
    EXPECT_THROW_MSG(pdf.logValue(P({10.5})), BadParams,
                     "Feature measurement must be <= specified maximum value");

    const tq_PDFBinomial before = pdf;
    EXPECT_THROW_MSG(pdf.updateWithData({P({1.0}), P({2.0, 11.0})}), BadParams, kAboveMaxTrain);
    EXPECT_THROW_MSG(pdf.updateWithData({P({1.0, 2.0})}), NotImplemented, kMultivariate);
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
}

// ---- archives ----------------------------------------------------------------------------

tq_PDFMultivariateNormal trainedNormal() {
    tq_PDFMultivariateNormal pdf;
    pdf.updateWithData({P({1.0, 2.0, 0.5}), P({2.0, 2.5, 0.25}), P({3.0, 4.5, 1.0}), P({6.0, 7.0, -1.0})});
    return pdf;
}

tq_PDFBinomial trainedBinomial() {
    tq_PDFBinomial pdf(P({5.0}));
    pdf.updateWithData(singles({1.0, 2.0, 3.0, 2.0}));
    return pdf;
}

TEST(PdfArchive, RoundTripsRateIdenticallyAndMatchTheGoldenFiles) {
    tq_PDFMultivariateNormal normal = trainedNormal(), loaded, golden;
    EXPECT_TRUE(tqtest::roundTrips(normal, loaded));
    for (const auto& x : {P({0.0, 0.0, 0.0}), P({3.0, 4.0, 1.0}, {2}), P({5.0, 1.0, 0.0}, {0, 1})})
        EXPECT_EQ(loaded.logValue(x), normal.logValue(x));
    EXPECT_TRUE(tqtest::matchesGolden("pdf_normal.bin", tqtest::storeBytes(normal)));
    tqtest::loadBytes(tqtest::readFile(tqtest::goldenPath("pdf_normal.bin")), golden);
    EXPECT_EQ(golden, normal);

    tq_PDFBinomial binomial = trainedBinomial(), loadedBinomial, goldenBinomial;
    EXPECT_TRUE(tqtest::roundTrips(binomial, loadedBinomial));
    EXPECT_EQ(loadedBinomial.logValue(P({2.5})), binomial.logValue(P({2.5})));
    EXPECT_TRUE(tqtest::matchesGolden("pdf_binomial.bin", tqtest::storeBytes(binomial)));
    tqtest::loadBytes(tqtest::readFile(tqtest::goldenPath("pdf_binomial.bin")), goldenBinomial);
    EXPECT_EQ(goldenBinomial, binomial);
    // The moments are not stored: one update estimates from that pattern alone.
    loadedBinomial.updateWithData(singles({4.0}));
    EXPECT_DOUBLE_EQ(loadedBinomial.theta(), 0.8);
}

template <class Pdf>
void expectDamagedArchivesRefused(Pdf pdf) {
    const std::string bytes = tqtest::storeBytes(pdf);
    for (std::size_t level = 0; level < 2; ++level) {  // the class level, then the density level
        std::string wrong = bytes;
        wrong[level] = 1;
        Pdf target;
        EXPECT_THROW(tqtest::loadBytes(wrong, target), tqArchive::UnknownVersion);
    }
    for (std::size_t cut = 0; cut < bytes.size(); ++cut) {
        Pdf target;
        EXPECT_THROW(tqtest::loadBytes(bytes.substr(0, cut), target), tqException) << cut;
    }
}

TEST(PdfArchive, RefusesOtherVersionsAndTruncatedInput) {
    expectDamagedArchivesRefused(trainedNormal());
    expectDamagedArchivesRefused(trainedBinomial());
}

}  // namespace
