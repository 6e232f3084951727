// Loaded models that once broke the library (found by fuzzing archive loading): each archive
// below is a stored model with one part replaced, and must be refused as malformed or run
// like any model.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <cstdint>
#include <string>

#include "clss/clastool/clastool.h"
#include "clss/clastool/logfactorial.h"
#include "test_support.h"

namespace {

using tqtest::i64;

// A Bayes tool trained on one category of one measurement, normal or binomial (maximum 10).
std::string storedBayesTool(bool binomial) {
    tqClassifierDataProviderMemory data;
    for (double x : {1.0, 3.0, 4.0, 7.0, 5.0})
        data.addData(tqPtrHandle_const<tqFeaturePattern>(new tqFeaturePattern({x})), 0);
    tqClassifierDistributionTypes types;
    if (binomial) types.distributionTypeOverride(0, 0, tqClassifierDistributionTypes::eBinomial);
    tqClassifierTool tool;
    tool.train(data, tqClassifierTrainParamsBayesian(types, tqClassifierFrequencies(1.0), tqClassifierCosts(1.0),
                                                     tqFeaturePattern({10.0})));
    return tqtest::storeBytes(tool);
}

// Offset of the pointer tag in front of the last object of class `name` in `bytes`.
std::size_t lastObject(const std::string& bytes, const std::string& name) {
    const std::size_t at = bytes.rfind(name);
    EXPECT_NE(at, std::string::npos) << name;
    return at - 9;  // tag byte, then the name's length as eight bytes
}

TEST(LoadedModel, InconsistentPartsAreRefusedAsMalformedAndTheLargestTrialCountRatesQuickly) {
    const std::string normal = storedBayesTool(false), binomial = storedBayesTool(true);
    // The category model and the density are the last objects of their archives, so a suffix
    // from their tag on is exactly their pointer.
    const std::size_t model = lastObject(normal, "tq_CategoryModelBayesian");
    const std::size_t density = lastObject(normal, "tq_PDFMultivariateNormal");
    const std::size_t trials = binomial.size() - 24;  // trials, theta, maximum: the last fields
    const struct {
        const char* what;
        std::string bytes;
        const char* message;
    } cases[] = {
        {"null category model", normal.substr(0, model) + tqtest::u8(0),
         "tq_ClassifierBayesian: a category model is missing"},
        {"no category model for the label", normal.substr(0, model - 8) + i64(0),
         "tq_ClassifierBayesian: the label and category model counts differ"},
        {"null density", normal.substr(0, density) + tqtest::u8(0), "tq_CategoryModelBayesian: a density is missing"},
        {"no density for the group", normal.substr(0, density - 8) + i64(0),
         "tq_CategoryModelBayesian: the group and density counts differ"},
        {"2^40 binomial trials", binomial.substr(0, trials) + i64(std::int64_t{1} << 40) + binomial.substr(trials + 8),
         "tq_PDFBinomial: the number of trials is out of range"},
    };
    for (const auto& c : cases) {
        tqClassifierTool tool;
        EXPECT_THROW_MSG(tqtest::loadBytes(c.bytes, tool), tqArchive::Malformed, c.message) << c.what;
    }
    // A nearly constant measurement trains the most trials a binomial can have; every rating
    // summed one logarithm per trial, seconds per run (the test's time limit catches that).
    tqClassifierTool tool;
    tqtest::loadBytes(binomial.substr(0, trials) + i64(2147483647) + binomial.substr(trials + 8), tool);
    tqClassifierResult result;
    for (int i = 0; i <= 10; ++i) tool.run(tqFeaturePattern({static_cast<double>(i)}), result);
    EXPECT_EQ(result.categoryResults().at(0).categoryLabel(), 0);
}

TEST(LoadedModel, LogFactorialFromCheckpointsHasTheBitsOfTheFullSum) {
    const long stride = tq_logfactorial::kStride;
    double sum = 0.0;
    long next = 2;
    for (long j : {0L, 1L, 2L, 3L, stride - 1, stride, stride + 1, 2 * stride, 3 * stride + 7, 50 * stride + 1}) {
        for (; next <= j; ++next) sum += std::log(static_cast<double>(next));
        const double fast = tq_logfactorial::logFactorial(j);
        EXPECT_EQ(std::memcmp(&fast, &sum, sizeof sum), 0) << "j = " << j << ": " << fast << " vs " << sum;
    }
}

}  // namespace
