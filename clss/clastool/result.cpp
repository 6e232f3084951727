#include "clss/clastool/result.h"

#include <algorithm>
#include <utility>

#include "clss/clastool/errors.h"
#include "platform/attention.h"
#include "platform/exception.h"

namespace {

const char* const kArchiveWhere = "clss/clastool/clastool";
constexpr long kCategoryResultVersionLine = 347;
constexpr long kResultVersionLine = 671;

bool isScore(double score) { return score >= 0.0 && score <= 1.0; }

void checkUniqueLabels(std::size_t n, const long* labels) {
    for (std::size_t i = 0; i < n; ++i)
        for (std::size_t j = i + 1; j < n; ++j)
            if (labels[i] == labels[j])
                throw tqClassifierDefs::BadParams("The category labels of the match results must be unique.");
}

void checkUniqueLabels(const std::vector<tqClassifierCategoryResult>& results) {
    for (std::size_t i = 0; i < results.size(); ++i)
        for (std::size_t j = i + 1; j < results.size(); ++j)
            if (results[i].categoryLabel() == results[j].categoryLabel())
                throw tqClassifierDefs::BadParams("The category labels of the match results must be unique.");
}

// A category that cannot be the truth (weight exactly 0) adds nothing, even at infinite cost:
// inf * 0 would be NaN and make the result depend on which scores happen to be zero.
double costTerm(double cost, double weight) { return weight == 0.0 ? 0.0 : cost * weight; }

// Entries of equal expected cost keep their order, so that ties resolve the same way on every
// platform and standard library.
bool cheaper(const tqClassifierCategoryResult& a, const tqClassifierCategoryResult& b) {
    return a.expectedCost() < b.expectedCost();
}

void orderByExpectedCost(std::vector<tqClassifierCategoryResult>& results) {
    std::stable_sort(results.begin(), results.end(), cheaper);
}

// The same order as the stable sort, without its scratch buffer from the heap. Quadratic at
// worst, as the expected costs before it are.
void orderByExpectedCost(tqClassifierCategoryResult* results, std::size_t n) {
    for (std::size_t i = 1; i < n; ++i) {
        const tqClassifierCategoryResult entry = results[i];
        std::size_t j = i;
        for (; j > 0 && cheaper(entry, results[j - 1]); --j) results[j] = results[j - 1];
        results[j] = entry;
    }
}

// Scratch space of n values. Every run builds a result, and a run should not pay for heap
// scratch space: the usual handful of categories fits on the stack.
template <typename T>
class CategoryScratch {
public:
    explicit CategoryScratch(std::size_t n) : data_(inline_) {
        if (n > kInline) {
            heap_.resize(n);
            data_ = heap_.data();
        }
    }
    CategoryScratch(const CategoryScratch&) = delete;
    CategoryScratch& operator=(const CategoryScratch&) = delete;
    T& operator[](std::size_t i) { return data_[i]; }
    T* data() { return data_; }

private:
    static constexpr std::size_t kInline = 32;
    T inline_[kInline];
    std::vector<T> heap_;
    T* data_;
};

}  // namespace

// ---------------------------------------------------------------------------------------------
// tqClassifierCategoryResult

tqClassifierCategoryResult::tqClassifierCategoryResult(long categoryLabel, double matchScore,
                                                       double classScore, double expectedCost)
    : categoryLabel_(categoryLabel),
      matchScore_(matchScore),
      classScore_(classScore),
      expectedCost_(expectedCost) {
    if (categoryLabel < 0) throw tqClassifierDefs::BadLabel("Category labels must be >= 0");
    if (!isScore(matchScore) || !isScore(classScore))
        throw tqClassifierDefs::BadParams("Scores must be >= 0.0 and <= 1.0");
    if (!(expectedCost >= 0.0)) throw tqClassifierDefs::BadParams("Costs must be >= 0.0");
}

bool tqClassifierCategoryResult::operator==(const tqClassifierCategoryResult& other) const {
    return categoryLabel_ == other.categoryLabel_ && matchScore_ == other.matchScore_ &&
           classScore_ == other.classScore_ && expectedCost_ == other.expectedCost_;
}

bool tqClassifierCategoryResult::operator!=(const tqClassifierCategoryResult& other) const {
    return !(*this == other);
}

tqArchive& operator||(tqArchive& ar, tqClassifierCategoryResult& result) {
    unsigned char version = 0;
    ar || version;
    tqArchive::checkVersion(version, kArchiveWhere, kCategoryResultVersionLine);
    return ar || result.categoryLabel_ || result.matchScore_ || result.classScore_ || result.expectedCost_;
}

// ---------------------------------------------------------------------------------------------
// tqClassifierResult

tqClassifierResult::tqClassifierResult() : matchScoreFactorLog_(0.0) {}

tqClassifierResult::tqClassifierResult(const std::vector<tqClassifierCategoryResult>& results,
                                       double matchScoreFactorLog)
    : matchScoreFactorLog_(matchScoreFactorLog) {
    checkUniqueLabels(results);
    std::vector<tqClassifierCategoryResult> ordered(results);
    orderByExpectedCost(ordered);

    double sum = 0.0;
    for (const auto& entry : ordered) sum += entry.classScore();
    if (ordered.empty() || sum == 0.0)
        throw tqClassifierDefs::BadParams("At least one of the classification scores must be > 0.");
    for (auto& entry : ordered)
        entry = tqClassifierCategoryResult(entry.categoryLabel(), entry.matchScore(),
                                           entry.classScore() / sum, entry.expectedCost());
    categoryResults_ = std::move(ordered);
}

tqClassifierResult::tqClassifierResult(const std::vector<tqClassifierCategoryResult>& results,
                                       const tqClassifierFrequencies& frequencies,
                                       const tqClassifierCosts& costs, double matchScoreFactorLog)
    : matchScoreFactorLog_(0.0) {
    const std::size_t n = results.size();
    CategoryScratch<long> labels(n);
    CategoryScratch<double> matchScores(n);
    for (std::size_t i = 0; i < n; ++i) {
        labels[i] = results[i].categoryLabel();
        matchScores[i] = results[i].matchScore();
    }
    decide(n, labels.data(), matchScores.data(), frequencies, costs, matchScoreFactorLog);
}

namespace {

// The unnormalised a-posteriori weights of the decision rule into weight[0, n), checked as
// decide documents; returns their sum. The attention check comes first in each step so that
// a host can abandon a result over many categories.
double weigh(std::size_t n, const long* labels, const double* matchScores,
             const tqClassifierFrequencies& frequencies, double* weight) {
    checkUniqueLabels(n, labels);
    for (std::size_t i = 0; i < n; ++i)
        if (!isScore(matchScores[i])) throw tqClassifierDefs::BadParams("Scores must be >= 0.0 and <= 1.0");

    CategoryScratch<double> frequency(n);
    double frequencySum = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        frequency[i] = frequencies.categoryFrequency(labels[i]);
        frequencySum += frequency[i];
    }
    if (n == 0 || frequencySum == 0.0)
        throw tqClassifierDefs::BadParams("At least one of the category frequencies must be > 0.");

    double weightSum = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        tfThrowExceptionOnFailure(tfAttentionCheck());
        weight[i] = matchScores[i] * frequency[i] / frequencySum;
        weightSum += weight[i];
    }
    if (weightSum == 0.0)
        throw tqClassifierDefs::BadParams("At least one of the resulting classification scores must be > 0.");
    return weightSum;
}

}  // namespace

void tqClassifierResult::classScores(std::size_t n, const long* labels, const double* matchScores,
                                     const tqClassifierFrequencies& frequencies, double* classScores) {
    const double weightSum = weigh(n, labels, matchScores, frequencies, classScores);
    for (std::size_t i = 0; i < n; ++i) classScores[i] /= weightSum;
}

void tqClassifierResult::decide(std::size_t n, const long* labels, const double* matchScores,
                                const tqClassifierFrequencies& frequencies, const tqClassifierCosts& costs,
                                double matchScoreFactorLog) {
    CategoryScratch<double> weight(n);
    const double weightSum = weigh(n, labels, matchScores, frequencies, weight.data());

    // The expected cost of deciding i sums, over every other category j taken as the truth,
    // the cost of that mistake weighted by j's share. The labels are distinct, so no pair of
    // equal labels is ever asked for; without overrides every pair costs the default and
    // nothing needs looking up.
    const bool uniform = !costs.hasMisclassificationOverrides();
    const double defaultCost = costs.defaultMisclassificationCost();
    // Everything that can fail is behind us but the room for n entries, and resize leaves the
    // vector as it was when it cannot grow. The entries are then written in place, keeping the
    // storage of the caller's result from run to run: a run allocates nothing once its result
    // has held as many categories.
    categoryResults_.resize(n);
    tqClassifierCategoryResult* built = categoryResults_.data();
    for (std::size_t i = 0; i < n; ++i) {
        double cost = 0.0;
        for (std::size_t j = 0; j < n; ++j)
            if (j != i)
                cost += costTerm(uniform ? defaultCost : costs.misclassificationCost(labels[j], labels[i]),
                                 weight[j]);
        // What the entry's constructor checks holds here: the labels passed the frequency
        // lookup (>= 0), the match scores were checked, a share of a sum of non-negative
        // weights lies in [0, 1], and costs are non-negative.
        tqClassifierCategoryResult& entry = built[i];
        entry.categoryLabel_ = labels[i];
        entry.matchScore_ = matchScores[i];
        entry.classScore_ = weight[i] / weightSum;
        entry.expectedCost_ = cost / weightSum;
    }
    orderByExpectedCost(built, n);
    matchScoreFactorLog_ = matchScoreFactorLog;
}

tqClassifierResult::tqClassifierResult(const tqClassifierResult& other) = default;
tqClassifierResult& tqClassifierResult::operator=(const tqClassifierResult& other) = default;
tqClassifierResult::tqClassifierResult(tqClassifierResult&& other) noexcept = default;
tqClassifierResult& tqClassifierResult::operator=(tqClassifierResult&& other) noexcept = default;
tqClassifierResult::~tqClassifierResult() = default;

bool tqClassifierResult::operator==(const tqClassifierResult& other) const {
    return categoryResults_ == other.categoryResults_ && matchScoreFactorLog_ == other.matchScoreFactorLog_;
}

bool tqClassifierResult::operator!=(const tqClassifierResult& other) const { return !(*this == other); }

tqArchive& operator||(tqArchive& ar, tqClassifierResult& result) {
    unsigned char version = 0;
    ar || version;
    tqArchive::checkVersion(version, kArchiveWhere, kResultVersionLine);
    if (ar.isStoring()) return ar || result.categoryResults_ || result.matchScoreFactorLog_;
    std::vector<tqClassifierCategoryResult> entries;
    double factorLog = 0.0;
    ar || entries || factorLog;
    result.categoryResults_.swap(entries);
    result.matchScoreFactorLog_ = factorLog;
    return ar;
}
