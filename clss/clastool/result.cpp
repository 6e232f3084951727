#include "clss/clastool/result.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <type_traits>
#include <utility>

// The rows decided together are also built for AVX2, taken where the processor has it.
#if defined(__x86_64__) && defined(__GNUC__)
#define CLASTOOL_RESULT_AVX2 1
#endif

#include "clss/clastool/errors.h"
#include "clss/clastool/simd.h"
#include "platform/attention.h"
#include "platform/exception.h"

namespace {

const char* const kArchiveWhere = "clss/clastool/clastool";
constexpr long kCategoryResultVersionLine = 347;
constexpr long kResultVersionLine = 671;

bool isScore(double score) { return score >= 0.0 && score <= 1.0; }

void checkLabel(long label) {
    if (label < 0) throw tqClassifierDefs::BadLabel("Category labels must be >= 0");
}

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

namespace {

// Four values side by side: four rows of decideRows, each lane taking the operations of decide
// for its row, or four categories of one decision. Where the processor has AVX2, one register
// holds the four, else two SSE2 registers; the library is built for both where it can choose at
// run time.
constexpr std::size_t kLanes = 4;
typedef double Lanes __attribute__((vector_size(8 * kLanes)));
typedef long long LaneMask __attribute__((vector_size(8 * kLanes)));

}  // namespace

// ---------------------------------------------------------------------------------------------
// tqClassifierCategoryResult

tqClassifierCategoryResult::tqClassifierCategoryResult(long categoryLabel, double matchScore,
                                                       double classScore, double expectedCost)
    : categoryLabel_(categoryLabel),
      matchScore_(matchScore),
      classScore_(classScore),
      expectedCost_(expectedCost) {
    checkLabel(categoryLabel);
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

// The match scores' checks, in decide's order: unique labels, then scores in [0, 1].
void checkMatches(std::size_t n, const long* labels, const double* matchScores) {
    checkUniqueLabels(n, labels);
    for (std::size_t i = 0; i < n; ++i)
        if (!isScore(matchScores[i])) throw tqClassifierDefs::BadParams("Scores must be >= 0.0 and <= 1.0");
}

// The attention check, which ends the decision with its exception once an abort is requested.
inline void attend() {
    const long status = tfAttentionCheck();
    if (status != 0) tfThrowExceptionOnFailure(status);
}

// Frequencies count only relative to each other. Where their sum overflows (frequencies near
// the largest double), they are taken scaled by the power of two that brings any n of them back
// into range, into scaled[0, n), and `sum` is made again from those: exact, but for frequencies
// so far below the largest that their share rounds to 0 either way.
const double* frequenciesInRange(std::size_t n, const double* frequency, double& sum, double* scaled) {
    if (!std::isinf(sum)) return frequency;
    const double factor = std::ldexp(1.0, -1 - std::ilogb(static_cast<double>(n)));
    sum = 0.0;
    for (std::size_t i = 0; i < n; ++i) sum += scaled[i] = frequency[i] * factor;
    return scaled;
}

// The unnormalised a-posteriori weights of the decision rule from frequency[0, n) into
// weight[0, n), checked as decide documents; returns their sum.
double weighFrom(std::size_t n, const double* matchScores, const double* frequency, double* weight) {
    double frequencySum = 0.0;
    for (std::size_t i = 0; i < n; ++i) frequencySum += frequency[i];
    if (n == 0 || frequencySum == 0.0)
        throw tqClassifierDefs::BadParams("At least one of the category frequencies must be > 0.");
    CategoryScratch<double> scaled(std::isinf(frequencySum) ? n : 0);
    frequency = frequenciesInRange(n, frequency, frequencySum, scaled.data());

    // The attention check comes before each category's weight, so that a host can abandon a
    // result over many categories; the weights are formed before their sum, which keeps its order.
    for (std::size_t i = 0; i < n; ++i) {
        attend();
        weight[i] = matchScores[i] * frequency[i] / frequencySum;
    }
    double weightSum = 0.0;
    for (std::size_t i = 0; i < n; ++i) weightSum += weight[i];
    if (weightSum == 0.0)
        throw tqClassifierDefs::BadParams("At least one of the resulting classification scores must be > 0.");
    return weightSum;
}

// weighFrom with the frequencies looked up in frequencies, after checkMatches.
double weigh(std::size_t n, const long* labels, const double* matchScores,
             const tqClassifierFrequencies& frequencies, double* weight) {
    checkMatches(n, labels, matchScores);
    CategoryScratch<double> frequency(n);
    for (std::size_t i = 0; i < n; ++i) frequency[i] = frequencies.categoryFrequency(labels[i]);
    return weighFrom(n, matchScores, frequency.data(), weight);
}

// placeByCost's places by an insertion sort of positions (stable, NaN placed as the stable sort
// of whole entries placed it), order being room for n positions.
void placeByInsertion(std::size_t n, const double* cost, std::size_t* order, std::size_t* at) {
    for (std::size_t i = 0; i < n; ++i) {
        std::size_t j = i;
        for (; j > 0 && cost[i] < cost[order[j - 1]]; --j) order[j] = order[j - 1];
        order[j] = i;
    }
    for (std::size_t place = 0; place < n; ++place) at[order[place]] = place;
}

// The place at[i] of each of n entries in the order by ascending cost, ties in category order
// (the stable order the sort of whole entries gave): entry i comes after the entries of lower
// cost and those of equal cost before it. Counting needs costs that are numbers; an insertion
// sort of positions, which places a NaN as the stable sort did, takes the others.
void placeByCost(std::size_t n, const double* cost, std::size_t* at) {
    bool numbers = true;
    for (std::size_t i = 0; i < n; ++i) numbers &= cost[i] == cost[i];
    if (numbers) {
        for (std::size_t i = 0; i < n; ++i) {
            std::size_t place = 0;
            for (std::size_t j = 0; j < i; ++j) place += cost[j] <= cost[i];
            for (std::size_t j = i + 1; j < n; ++j) place += cost[j] < cost[i];
            at[i] = place;
        }
        return;
    }
    CategoryScratch<std::size_t> order(n);
    placeByInsertion(n, cost, order.data(), at);
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
    decideWeighed_(n, labels, matchScores, weight.data(), weightSum, costs, matchScoreFactorLog);
}

void tqClassifierResult::decide(std::size_t n, const long* labels, const double* matchScores,
                                const double* frequency, const tqClassifierCosts& costs,
                                double matchScoreFactorLog) {
    // Every check at once, branch-free over the categories; only where one fails are they made
    // again in their order, so that the first failing one gives its error.
    bool valid = labelsPass(n, labels);
    for (std::size_t i = 0; i < n; ++i) valid &= (matchScores[i] >= 0.0) & (matchScores[i] <= 1.0);
    if (!valid) {
        checkMatches(n, labels, matchScores);
        // The frequency lookup's own check, which the caller's lookup did not make.
        for (std::size_t i = 0; i < n; ++i) checkLabel(labels[i]);
    }
    if (n <= kRowCategories && !costs.hasMisclassificationOverrides()) {
        decideFew_(n, labels, matchScores, frequency, costs.defaultMisclassificationCost(), matchScoreFactorLog);
        return;
    }
    CategoryScratch<double> weight(n);
    const double weightSum = weighFrom(n, matchScores, frequency, weight.data());
    decideWeighed_(n, labels, matchScores, weight.data(), weightSum, costs, matchScoreFactorLog);
}

bool tqClassifierResult::labelsPass(std::size_t n, const long* labels) {
    bool pass = true;
    for (std::size_t i = 0; i < n; ++i) {
        pass &= labels[i] >= 0;
        for (std::size_t j = 0; j < i; ++j) pass &= labels[j] != labels[i];
    }
    return pass;
}

void tqClassifierResult::decideCheckedLabels(std::size_t n, const long* labels, const double* matchScores,
                                             const double* frequency, const tqClassifierCosts& costs,
                                             double matchScoreFactorLog) {
    if (n > kRowCategories || costs.hasMisclassificationOverrides()) {
        decide(n, labels, matchScores, frequency, costs, matchScoreFactorLog);
        return;
    }
    bool scores = true;
    for (std::size_t i = 0; i < n; ++i) scores &= (matchScores[i] >= 0.0) & (matchScores[i] <= 1.0);
    if (!scores) checkMatches(n, labels, matchScores);
    decideFew_(n, labels, matchScores, frequency, costs.defaultMisclassificationCost(), matchScoreFactorLog);
}

namespace {

// decideFew_'s work for count categories (at most kRowCategories), entry i's class score into
// share[i], its expected cost into cost[i] and its place into at[i]: weighFrom's checks in their
// order, then decideWeighed_'s operations in theirs. The count is a std::size_t or, for the
// usual handful of categories, a constant, which unrolls every loop over them.
template <class Count>
void decideFewOf(Count count, const double* matchScores, const double* frequency, double defaultCost, double* share,
                 double* cost, std::size_t* at) {
    const std::size_t n = count;
    double frequencySum = 0.0;
    for (std::size_t i = 0; i < n; ++i) frequencySum += frequency[i];
    if (n == 0 || frequencySum == 0.0)
        throw tqClassifierDefs::BadParams("At least one of the category frequencies must be > 0.");
    double scaled[tqClassifierResult::kRowCategories];
    frequency = frequenciesInRange(n, frequency, frequencySum, scaled);
    for (std::size_t i = 0; i < n; ++i) attend();
    double weight[tqClassifierResult::kRowCategories], term[tqClassifierResult::kRowCategories];
    for (std::size_t i = 0; i < n; ++i) weight[i] = matchScores[i] * frequency[i] / frequencySum;
    double weightSum = 0.0;
    for (std::size_t i = 0; i < n; ++i) weightSum += weight[i];
    if (weightSum == 0.0)
        throw tqClassifierDefs::BadParams("At least one of the resulting classification scores must be > 0.");
    for (std::size_t j = 0; j < n; ++j) term[j] = costTerm(defaultCost, weight[j]);
    // The sums over j in order, the own term added as +0.0 as decideWeighed_ adds it: the terms
    // before i are summed once for all i (a running sum), each sum then goes on past i.
    double before = 0.0;
    bool numbers = true;
    for (std::size_t i = 0; i < n; ++i) {
        double sum = before + 0.0;
        for (std::size_t j = i + 1; j < n; ++j) sum += term[j];
        before += term[i];
        share[i] = weight[i] / weightSum;
        cost[i] = sum / weightSum;
        numbers &= cost[i] == cost[i];
    }
    // The stable order by expected cost: counted without a branch where the costs are numbers
    // (placeByCost), else by the insertion sort.
    if (!numbers) {
        std::size_t order[tqClassifierResult::kRowCategories];
        placeByInsertion(n, cost, order, at);
        return;
    }
    for (std::size_t i = 0; i < n; ++i) {
        std::size_t place = 0;
        for (std::size_t j = 0; j < i; ++j) place += cost[j] <= cost[i];
        for (std::size_t j = i + 1; j < n; ++j) place += cost[j] < cost[i];
        at[i] = place;
    }
}

template <std::size_t N>
using Few = std::integral_constant<std::size_t, N>;

}  // namespace

void tqClassifierResult::decideFew_(std::size_t n, const long* labels, const double* matchScores,
                                    const double* frequency, double defaultCost, double matchScoreFactorLog) {
    double share[kRowCategories], cost[kRowCategories];
    std::size_t at[kRowCategories];
    switch (n) {
    case 2: decideFewOf(Few<2>(), matchScores, frequency, defaultCost, share, cost, at); break;
    case 3: decideFewOf(Few<3>(), matchScores, frequency, defaultCost, share, cost, at); break;
    case 4: decideFewOf(Few<4>(), matchScores, frequency, defaultCost, share, cost, at); break;
    case 5: decideFewOf(Few<5>(), matchScores, frequency, defaultCost, share, cost, at); break;
    case 6: decideFewOf(Few<6>(), matchScores, frequency, defaultCost, share, cost, at); break;
    case 7: decideFewOf(Few<7>(), matchScores, frequency, defaultCost, share, cost, at); break;
    case 8: decideFewOf(Few<8>(), matchScores, frequency, defaultCost, share, cost, at); break;
    default: decideFewOf(n, matchScores, frequency, defaultCost, share, cost, at); break;
    }
    placeEntries_(n, labels, matchScores, share, cost, at, matchScoreFactorLog);
}

void tqClassifierResult::decideWeighed_(std::size_t n, const long* labels, const double* matchScores,
                                        const double* weight, double weightSum, const tqClassifierCosts& costs,
                                        double matchScoreFactorLog) {
    // The expected cost of deciding i sums, over every other category j taken as the truth,
    // the cost of that mistake weighted by j's share. The labels are distinct, so no pair of
    // equal labels is ever asked for. Without overrides every pair costs the default: each
    // term is formed once, and the sums run over j for all i together, the own term added as
    // +0.0 (which leaves a sum of non-negative terms unchanged, bit for bit). Each sum runs in
    // a register, over j in order.
    CategoryScratch<double> cost(n);
    if (!costs.hasMisclassificationOverrides()) {
        const double defaultCost = costs.defaultMisclassificationCost();
        CategoryScratch<double> term(n);
        for (std::size_t j = 0; j < n; ++j) term[j] = costTerm(defaultCost, weight[j]);
        for (std::size_t i = 0; i < n; ++i) {
            double sum = 0.0;
            for (std::size_t j = 0; j < n; ++j) sum += i == j ? 0.0 : term[j];
            cost[i] = sum;
        }
    } else {
        for (std::size_t i = 0; i < n; ++i) {
            cost[i] = 0.0;
            for (std::size_t j = 0; j < n; ++j)
                if (j != i) cost[i] += costTerm(costs.misclassificationCost(labels[j], labels[i]), weight[j]);
        }
    }
    CategoryScratch<double> share(n);
    for (std::size_t i = 0; i < n; ++i) {
        share[i] = weight[i] / weightSum;
        cost[i] /= weightSum;
    }
    // Each entry is written once, at its place.
    CategoryScratch<std::size_t> at(n);
    placeByCost(n, cost.data(), at.data());
    placeEntries_(n, labels, matchScores, share.data(), cost.data(), at.data(), matchScoreFactorLog);
}

void tqClassifierResult::placeEntries_(std::size_t n, const long* labels, const double* matchScores,
                                       const double* share, const double* cost, const std::size_t* at,
                                       double matchScoreFactorLog) {
    // Everything that can fail is behind us but the room for n entries, and resize leaves the
    // vector as it was when it cannot grow. The entries are then written in place, keeping the
    // storage of the caller's result from run to run: a run allocates nothing once its result
    // has held as many categories.
    categoryResults_.resize(n);
    tqClassifierCategoryResult* built = categoryResults_.data();
    for (std::size_t i = 0; i < n; ++i) {
        // What the entry's constructor checks holds here: the labels passed the frequency
        // lookup (>= 0), the match scores were checked, a share of a sum of non-negative
        // weights lies in [0, 1], and costs are non-negative.
        tqClassifierCategoryResult& entry = built[at[i]];
        entry.categoryLabel_ = labels[i];
        entry.matchScore_ = matchScores[i];
        entry.classScore_ = share[i];
        entry.expectedCost_ = cost[i];
    }
    matchScoreFactorLog_ = matchScoreFactorLog;
}


// decideRows' work (decide), inlined into a copy for any x86-64 processor and one built for
// AVX2 where the library can choose at run time.
struct tqClassifierResult::RowDecisions {
    [[gnu::always_inline]] static inline void decide(std::size_t rows, std::size_t n, const long* labels,
                                                     const double* matchScores, std::size_t stride, const double* matchScoreFactorLogs,
                                                     const double* frequency, const tqClassifierCosts& costs,
                                                     tqClassifierResult* results);
    // decide for a count of categories that is a std::size_t or, for the usual handful, a
    // constant, which unrolls every loop over them.
    template <class Count>
    [[gnu::always_inline]] static inline void decideOf(std::size_t rows, Count count, const long* labels,
                                                       const double* matchScores, std::size_t stride, const double* matchScoreFactorLogs,
                                                       const double* frequency, const tqClassifierCosts& costs,
                                                       tqClassifierResult* results);
    static void decideBaseline(std::size_t rows, std::size_t n, const long* labels, const double* matchScores,
                               std::size_t stride, const double* matchScoreFactorLogs, const double* frequency,
                               const tqClassifierCosts& costs, tqClassifierResult* results);
#ifdef CLASTOOL_RESULT_AVX2
    [[gnu::target("avx2")]] static void decideAvx2(std::size_t rows, std::size_t n, const long* labels,
                                                   const double* matchScores, std::size_t stride, const double* matchScoreFactorLogs,
                                                   const double* frequency, const tqClassifierCosts& costs,
                                                   tqClassifierResult* results);
#endif
};

void tqClassifierResult::RowDecisions::decide(std::size_t rows, std::size_t n, const long* labels,
                                              const double* matchScores, std::size_t stride, const double* matchScoreFactorLogs,
                                              const double* frequency, const tqClassifierCosts& costs,
                                              tqClassifierResult* results) {
    switch (n) {
    case 2: return decideOf(rows, Few<2>(), labels, matchScores, stride, matchScoreFactorLogs, frequency, costs, results);
    case 3: return decideOf(rows, Few<3>(), labels, matchScores, stride, matchScoreFactorLogs, frequency, costs, results);
    case 4: return decideOf(rows, Few<4>(), labels, matchScores, stride, matchScoreFactorLogs, frequency, costs, results);
    case 5: return decideOf(rows, Few<5>(), labels, matchScores, stride, matchScoreFactorLogs, frequency, costs, results);
    case 6: return decideOf(rows, Few<6>(), labels, matchScores, stride, matchScoreFactorLogs, frequency, costs, results);
    case 7: return decideOf(rows, Few<7>(), labels, matchScores, stride, matchScoreFactorLogs, frequency, costs, results);
    case 8: return decideOf(rows, Few<8>(), labels, matchScores, stride, matchScoreFactorLogs, frequency, costs, results);
    default: return decideOf(rows, n, labels, matchScores, stride, matchScoreFactorLogs, frequency, costs, results);
    }
}

template <class Count>
void tqClassifierResult::RowDecisions::decideOf(std::size_t rows, Count numCategories, const long* labels,
                                                const double* matchScores, std::size_t stride, const double* matchScoreFactorLogs,
                                                const double* frequency, const tqClassifierCosts& costs,
                                                tqClassifierResult* results) {
    const std::size_t n = numCategories;
    // The checks of labels, which hold or fail for every row alike (>= 0 and unique), made once.
    // Where one fails, or there are too many categories for the lanes, the rows are decided one
    // by one, and the first one gives the error.
    if (!(n > 0 && n <= kRowCategories && labelsPass(n, labels))) {
        CategoryScratch<double> row(n);
        for (std::size_t r = 0; r < rows; ++r) {
            for (std::size_t k = 0; k < n; ++k) row[k] = matchScores[k * stride + r];
            results[r].decide(n, labels, row.data(), frequency, costs, matchScoreFactorLogs[r]);
        }
        return;
    }
    double frequencySum = 0.0;
    for (std::size_t i = 0; i < n; ++i) frequencySum += frequency[i];
    // The costs of each mistake, looked up once: cost[j * n + i] of deciding i when j is true.
    const bool overrides = costs.hasMisclassificationOverrides();
    const double defaultCost = costs.defaultMisclassificationCost();
    double cost[kRowCategories * kRowCategories];
    for (std::size_t j = 0; overrides && j < n; ++j)
        for (std::size_t i = 0; i < n; ++i)
            cost[j * n + i] = i == j ? 0.0 : costs.misclassificationCost(labels[j], labels[i]);
    // Each label's bits in four lanes (an integer vector taken as doubles bit for bit), for the
    // entries formed four at a time below.
    static_assert(sizeof(long) == sizeof(long long), "a label fills a lane");
    Lanes labelBits[kRowCategories];
    for (std::size_t i = 0; i < n; ++i) labelBits[i] = (Lanes)(LaneMask{} + static_cast<long long>(labels[i]));
    static_assert(sizeof(tqClassifierCategoryResult) == sizeof(Lanes), "an entry is four lanes");
    static_assert(offsetof(tqClassifierCategoryResult, matchScore_) == sizeof(double) &&
                      offsetof(tqClassifierCategoryResult, classScore_) == 2 * sizeof(double) &&
                      offsetof(tqClassifierCategoryResult, expectedCost_) == 3 * sizeof(double),
                  "an entry's lanes are its label, match score, class score and expected cost");

    const Lanes zero = {}, one = zero + 1.0, frequencySums = zero + frequencySum;
    for (std::size_t r = 0; r < rows; r += kLanes) {
        // The last rows repeat in the lanes beyond them.
        const std::size_t count = std::min(kLanes, rows - r);
        const std::size_t last = r + count - 1;
        // A lane whose row has a score outside [0, 1], or an expected cost that is not a number,
        // is decided on its own, which gives its error or its result: frequencies or weights
        // summing to 0, or frequencies summing to infinity (which decide scales), make every cost
        // 0 / 0, and a cost of infinity times a weight of 0 makes one NaN where decide adds 0; the
        // order below needs costs that are numbers.
        LaneMask irregular = {};
        Lanes match[kRowCategories], weight[kRowCategories], weightSum = zero;
        for (std::size_t k = 0; k < n; ++k) {
            const double* column = matchScores + k * stride;
            if (count == kLanes) {
                std::memcpy(&match[k], column + r, sizeof match[k]);
            } else {
                for (std::size_t lane = 0; lane < kLanes; ++lane) match[k][lane] = column[std::min(r + lane, last)];
            }
            irregular |= ~((LaneMask)(match[k] >= zero) & (LaneMask)(match[k] <= one));
            weight[k] = match[k] * (zero + frequency[k]) / frequencySums;
        }
        for (std::size_t k = 0; k < n; ++k) weightSum += weight[k];
        // decideWeighed_'s sums over j in order, the own term left out (where decideWeighed_
        // adds +0.0 to a sum that is never -0.0: the same bits).
        Lanes expected[kRowCategories], share[kRowCategories];
        for (std::size_t i = 0; i < n; ++i) {
            Lanes sum = zero;
            for (std::size_t j = 0; j < n; ++j)
                if (j != i) sum += (overrides ? cost[j * n + i] : defaultCost) * weight[j];
            expected[i] = sum / weightSum;
            share[i] = weight[i] / weightSum;
            irregular |= (LaneMask)(expected[i] != expected[i]);
        }
        // Entry i's place in the stable order by expected cost: the entries of lower cost,
        // and those of equal cost before it, which is where decideWeighed_'s insertion sort
        // puts it while no cost is NaN. Each pair j < i is compared once: where the costs are
        // numbers, e_j <= e_i counts for i, and otherwise e_i < e_j counts for j (whose count
        // starts at the entries after it). Taken in bytes, the offset of the entry's place.
        LaneMask at[kRowCategories];
        for (std::size_t i = 0; i < n; ++i) at[i] = LaneMask{} + static_cast<long long>(n - 1 - i);
        for (std::size_t i = 0; i < n; ++i)
            for (std::size_t j = 0; j < i; ++j) {
                const LaneMask before = (LaneMask)(expected[j] <= expected[i]);
                at[i] -= before;
                at[j] += before;
            }
        for (std::size_t i = 0; i < n; ++i) at[i] *= static_cast<long long>(sizeof(tqClassifierCategoryResult));
        // Each row's entries formed whole from their four lanes (label bits, match score, class
        // score, expected cost), transposed in registers: entry[i * kLanes + lane].
        Lanes entry[kRowCategories * kLanes];
        for (std::size_t i = 0; i < n; ++i) {
            const Lanes t0 = __builtin_shufflevector(labelBits[i], match[i], 0, 4, 2, 6),
                        t1 = __builtin_shufflevector(labelBits[i], match[i], 1, 5, 3, 7),
                        t2 = __builtin_shufflevector(share[i], expected[i], 0, 4, 2, 6),
                        t3 = __builtin_shufflevector(share[i], expected[i], 1, 5, 3, 7);
            entry[i * kLanes] = __builtin_shufflevector(t0, t2, 0, 1, 4, 5);
            entry[i * kLanes + 1] = __builtin_shufflevector(t1, t3, 0, 1, 4, 5);
            entry[i * kLanes + 2] = __builtin_shufflevector(t0, t2, 2, 3, 6, 7);
            entry[i * kLanes + 3] = __builtin_shufflevector(t1, t3, 2, 3, 6, 7);
        }
        for (std::size_t lane = 0; lane < count; ++lane) {
            tqClassifierResult& result = results[r + lane];
            if (irregular[lane]) {
                double row[kRowCategories];
                for (std::size_t k = 0; k < n; ++k) row[k] = match[k][lane];
                result.decide(n, labels, row, frequency, costs, matchScoreFactorLogs[r + lane]);
                continue;
            }
            for (std::size_t k = 0; k < n; ++k) attend();
            result.categoryResults_.resize(n);
            char* built = reinterpret_cast<char*>(result.categoryResults_.data());
            for (std::size_t i = 0; i < n; ++i) {
                // Through a register, in one store (a copy from memory to memory went in halves).
                const Lanes whole = entry[i * kLanes + lane];
                std::memcpy(built + at[i][lane], &whole, sizeof whole);
            }
            result.matchScoreFactorLog_ = matchScoreFactorLogs[r + lane];
        }
    }
}

void tqClassifierResult::RowDecisions::decideBaseline(std::size_t rows, std::size_t n, const long* labels,
                                                      const double* matchScores, std::size_t stride, const double* matchScoreFactorLogs,
                                                      const double* frequency, const tqClassifierCosts& costs,
                                                      tqClassifierResult* results) {
    decide(rows, n, labels, matchScores, stride, matchScoreFactorLogs, frequency, costs, results);
}

#ifdef CLASTOOL_RESULT_AVX2
void tqClassifierResult::RowDecisions::decideAvx2(std::size_t rows, std::size_t n, const long* labels,
                                                  const double* matchScores, std::size_t stride, const double* matchScoreFactorLogs,
                                                  const double* frequency, const tqClassifierCosts& costs,
                                                  tqClassifierResult* results) {
    decide(rows, n, labels, matchScores, stride, matchScoreFactorLogs, frequency, costs, results);
}
#endif

// The AVX2 copy where the processor has it and CLASTOOL_NO_SIMD leaves it on (tq_simd::useAvx2),
// else the baseline one; each lane makes decide's operations in decide's order in both (the file
// is compiled with -ffp-contract=off), hence the same bits.
void tqClassifierResult::decideRows(std::size_t rows, std::size_t n, const long* labels, const double* matchScores,
                                    std::size_t stride, const double* matchScoreFactorLogs, const double* frequency,
                                    const tqClassifierCosts& costs, tqClassifierResult* results) {
#ifdef CLASTOOL_RESULT_AVX2
    if (tq_simd::useAvx2()) {
        RowDecisions::decideAvx2(rows, n, labels, matchScores, stride, matchScoreFactorLogs, frequency, costs, results);
        return;
    }
#endif
    RowDecisions::decideBaseline(rows, n, labels, matchScores, stride, matchScoreFactorLogs, frequency, costs, results);
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
