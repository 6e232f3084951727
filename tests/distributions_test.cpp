// Distribution types and dependency sets, and the densities: the multivariate normal over the
// kernel, and the binomial.
#include "clss/clastool/distributions.h"

#include <gtest/gtest.h>

#include <cmath>

#include "clss/clastool/errors.h"
#include "clss/clastool/pdf.h"
#include "test_support.h"

namespace {

using DT = tqClassifierDistributionTypes;
using BadIndex = tqClassifierDefs::BadIndex;
using BadLabel = tqClassifierDefs::BadLabel;
using BadParams = tqClassifierDefs::BadParams;
using tqtest::raises;
using InsufficientTrainData = tqClassifierDefs::InsufficientTrainData;
using NotImplemented = tqClassifierDefs::NotImplemented;

const char* const kNoData = "No valid data has been used to train the distribution";
const char* const kSizes = "Must call clear before updating with feature vectors of different sizes";
const char* const kUntrained = "Insufficient data has been used to train the distribution";
const char* const kMultivariate = "Multivariate Binomial Distributions are not implemented";

tqFeaturePattern P(std::vector<double> v, std::vector<long> invalid = {}) {
    return tqFeaturePattern(v, invalid);
}

std::vector<tqFeaturePattern> singles(std::initializer_list<double> values) {
    std::vector<tqFeaturePattern> data;
    for (double v : values) data.push_back(P({v}));
    return data;
}

// An object built only from setDependent calls in the given order, to compare against.
DT withSets(std::initializer_list<std::pair<long, std::vector<long>>> sets) {
    DT types;
    for (const auto& s : sets) types.setDependent(s.first, s.second);
    return types;
}

// The label check, then the set check, then the index check; nothing changes.
TEST(DistributionTypes, RefusedCallsRaiseInOrderBeforeAnyChange) {
    const char* const label = "Cateogory labels must be >= 0";
    const char* const index = "Feature measurement indices must be >= 0";
    DT types = withSets({{2, {0}}});
    types.distributionTypeOverride(1, 0, DT::eBinomial);
    types.distributionTypeOverride(0, 4, DT::eBinomial);
    const DT before = types;
    types.distributionTypeOverride(-5, -5, DT::eNormal);  // equal to the default: a no-op, unchecked
    types.setDependent(0, {});
    EXPECT_EQ(types, before);
    tqtest::expectRefusals({
        {[&] { types.distributionType(-1, -1); }, raises<BadLabel>, label},
        {[&] { types.distributionType(0, -1); }, raises<BadIndex>, index},
        {[&] { types.distributionTypeOverride(0, -5, DT::eBinomial); }, raises<BadIndex>, index},
        {[&] { types.distributionTypeOverride(-1, 0, DT::eBinomial); }, raises<BadLabel>, label},
        {[&] { types.distributionTypeOverride(2, 0, DT::eBinomial); }, raises<BadParams>,
         "Cannot override distribution type of a feature measurement that is already part of a "
         "dependency set."},
        {[&] { types.setDependent(0, {1, -2}); }, raises<BadIndex>, index},
        // Only the given indices of the set's own label are compared.
        {[&] { types.setDependent(0, {3, 4}); }, raises<BadParams>,
         "The distribution types of dependent feature measurements must be the same."},
    }, [&] { return types == before; });
    types.setDependent(1, {3, 4});  // the override of (0, 4) is not label 1's
    types.setDependent(0, {3, 5});
    EXPECT_TRUE(types.isDependent(0, {5, 3}));
}

TEST(DistributionTypes, OverridesReplaceInPlaceAndTheirOrderIsPartOfTheValue) {
    DT once, twice, reversed;
    once.distributionTypeOverride(0, 3, DT::eBinomial);
    once.distributionTypeOverride(1, 2, DT::eUniform);
    twice.distributionTypeOverride(0, 3, DT::ePoisson);
    twice.distributionTypeOverride(1, 2, DT::eUniform);
    twice.distributionTypeOverride(0, 3, DT::eBinomial);  // replaces, keeps position 0
    twice.distributionTypeOverride(0, 3, DT::eNormal);    // the default again removes nothing
    EXPECT_EQ(once, twice);
    reversed.distributionTypeOverride(1, 2, DT::eUniform);
    reversed.distributionTypeOverride(0, 3, DT::eBinomial);
    EXPECT_NE(once, reversed);

    // Changing the default leaves overrides alone; an override equal to the new default is kept.
    once.defaultDistributionType(DT::eBinomial);
    EXPECT_EQ(once.distributionType(1, 2), DT::eUniform);
    EXPECT_EQ(once.distributionType(5, 5), DT::eBinomial);
    EXPECT_NE(once, twice);
}

TEST(DistributionTypes, SetDependentMergesOverlappingSetsIsDependentReadsThemAndTheyArchive) {
    const struct {
        DT built, expected;
        bool equal;
    } cases[] = {
        {withSets({{0, {3, 3, 3}}}), withSets({{0, {3}}}), true},
        // Label 2 has A = {1, 2} and B = {5, 6}, label 3 has C = {1, 5}. Joining {7, 2, 5}
        // strikes 2 through A (7, 5 remain) and 5 through B (7 remains): A' = {1, 2, 7, 5, 6}.
        {withSets({{2, {1, 2}}, {2, {5, 6}}, {3, {1, 5}}, {2, {7, 2, 5}}}),
         withSets({{2, {1, 2, 7, 5, 6}}, {3, {1, 5}}}), true},
        {withSets({{2, {1, 2}}, {2, {5, 6}}, {3, {1, 5}}, {2, {7, 2, 5}}}),
         withSets({{2, {1, 2, 5, 6, 7}}, {3, {1, 5}}}), false},
        // Removal swaps in the last remaining entry: {4, 1, 8, 9} against {1} leaves {4, 9, 8}.
        {withSets({{0, {1}}, {0, {4, 1, 8, 9}}}), withSets({{0, {1, 4, 9, 8}}}), true},
        {withSets({{0, {1, 2}}, {1, {5}}}), withSets({{1, {5}}, {0, {1, 2}}}), false},
    };
    for (std::size_t i = 0; i < std::size(cases); ++i)
        EXPECT_EQ(cases[i].built == cases[i].expected, cases[i].equal) << "case " << i;
    // isDependent looks at the set of the first index.
    const DT types = withSets({{0, {1, 2, 3}}, {0, {5}}});
    for (const auto& [set, dependent] : std::vector<std::pair<std::vector<long>, bool>>{
             {{}, false}, {{3, 1}, true}, {{1, 4}, false}, {{4}, false}})
        EXPECT_EQ(types.isDependent(0, set), dependent) << set.size();
    EXPECT_FALSE(types.isDependent(1, {1, 2}));
    // The merged sets with overrides: the golden bytes, round trip and refusals.
    DT merged = cases[1].built, loaded;
    merged.distributionTypeOverride(4, 0, DT::eBinomial);
    merged.distributionTypeOverride(1, 7, DT::ePoisson);
    EXPECT_TRUE(tqtest::archiveHolds("distributiontypes.bin", merged, loaded));
    tqtest::expectArchiveRefusals(tqtest::storeBytes(merged), [] { return DT(); },
                                  {{0, "clss/clastool/bayes", 262}});
}

// ---- multivariate normal ---------------------------------------------------------------

TEST(NormalPdf, IncompleteRecordsStayOutAndOtherLengthsAreRefusedUntilClear) {
    tq_PDFMultivariateNormal pdf, complete;
    pdf.updateWithData({P({1.0, 50.0}, {1}), P({7.0, 1.0}, {0})});
    EXPECT_FALSE(pdf.isValid());
    EXPECT_THROW_MSG(pdf.logValue(P({1.0, 1.0})), InsufficientTrainData, kNoData);
    pdf.updateWithData({P({1.0, 2.0}), P({3.0, 3.0}), P({100.0, 0.0}, {1})});
    complete.updateWithData({P({1.0, 2.0}), P({3.0, 3.0})});
    EXPECT_EQ(pdf, complete);
    EXPECT_THROW_MSG(pdf.updateWithData({P({1.0, 2.0}), P({1.0, 2.0, 3.0})}), BadParams, kSizes);
    EXPECT_EQ(pdf, complete);
    pdf.clear();
    pdf.updateWithData({P({1.0}), P({2.0})});
    EXPECT_TRUE(pdf.isValid());
}

// ---- binomial ----------------------------------------------------------------------------

// 0, 5 and 10 out of 10 scale to 0, 0.5, 1: theta 0.5 and variance 1/6 (divided by the
// count), so n = trunc(0.25 / (1/6) + 0.5) = 2. Refused calls raise in order and change nothing.
TEST(BinomialPdf, MethodOfMomentsOnZeroFiveTenOutOfTenAndRefusedCalls) {
    EXPECT_THROW_MSG(tq_PDFBinomial(P({3.0}, {0})), tqClassifierDefs::BadFeatures,
                     "The measurement for the specified measurement index is not valid.");
    tq_PDFBinomial pdf(P({10.0}));
    EXPECT_THROW_MSG(pdf.logValue(P({1.0, 2.0})), InsufficientTrainData, kUntrained);
    pdf.updateWithData({P({1.0}, {0})});  // only invalid data: nothing is estimated
    EXPECT_EQ(pdf, tq_PDFBinomial(P({10.0})));
    pdf.updateWithData(singles({0.0, 5.0, 10.0}));
    EXPECT_DOUBLE_EQ(pdf.theta(), 0.5);
    EXPECT_EQ(pdf.numTrials(), 2);
    EXPECT_NEAR(pdf.logValue(P({7.4})), std::log(0.5), 1e-15);  // 1.48 successes round to 1

    tq_PDFBinomial stepwise(P({10.0}));
    for (double x : {0.0, 5.0, 10.0}) stepwise.updateWithData(singles({x}));
    EXPECT_EQ(stepwise, pdf);
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
    // Both densities: the golden file loads to a density that rates as the original does;
    // damage is refused. A truncated binomial once kept the fields read before the cut.
    auto holds = [](const char* name, auto pdf, auto make, const std::vector<tqFeaturePattern>& probes) {
        decltype(pdf) golden;
        EXPECT_TRUE(tqtest::archiveHolds(name, pdf, golden));
        for (const auto& x : probes) EXPECT_EQ(golden.logValue(x), pdf.logValue(x));
        tqtest::expectArchiveRefusals(tqtest::storeBytes(pdf), make, {{0, "", 0}, {1, "", 0}});
    };
    holds("pdf_normal.bin", normal(), [] { return tq_PDFMultivariateNormal(); },
          {P({3.0, 4.0, 1.0}, {2})});
    holds("pdf_binomial.bin", binomial(), [] { return tq_PDFBinomial(); }, {P({2.5})});
}

}  // namespace
