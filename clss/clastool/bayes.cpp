#include "clss/clastool/bayes.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <map>
#include <string>
#include <type_traits>
#include <typeinfo>
#include <unordered_map>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
// The batch's row blocks are also built for AVX2, taken where the processor has it.
#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#define CLASTOOL_BAYES_AVX2 1
#endif

#include "clss/clastool/bayesparams.h"
#include "clss/clastool/categorymodel.h"
#include "clss/clastool/errors.h"
#include "clss/clastool/pdf.h"
#include "clss/clastool/provider.h"
#include "clss/clastool/result.h"
#include "clss/clastool/simd.h"
#include "platform/archive.h"
#include "platform/attention.h"
#include "platform/exception.h"
#include "platform/mvn.h"

namespace {

const tqClassifierTrainParamsBayesian& asBayesian(const tqClassifierTrainParams& params) {
    // The framework hands a technique only parameters of its own kind; a cast failure here
    // would be a framework fault, reported as std::bad_cast rather than undefined behaviour.
    return dynamic_cast<const tqClassifierTrainParamsBayesian&>(params);
}

// The attention check: a pending abort request ends the run with its exception.
inline void attentionCheck() {
    const long status = tfAttentionCheck();
    if (status != 0) tfThrowExceptionOnFailure(status);
}

// A valid measurement must be a number: NaN or infinity would silently poison a category's
// estimate in training and give a plausible wrong answer in a run. "No value" is said with
// the invalid flag. The message is only built for a refusal: which pattern, then index.
// complete: the pattern has no invalid measurement (the caller has counted them).
template <class Which>
void checkFinite(const tqFeaturePattern& pattern, bool complete, Which&& which) {
    const std::vector<double>& values = pattern.featureMeasurements(false);
    for (std::size_t j = 0; j < values.size(); ++j)
        if (!std::isfinite(values[j]) && (complete || pattern.isValid(static_cast<long>(j))))
            throw tqClassifierDefs::BadFeatures(std::string(which()) + ": measurement " +
                                                tfStr(static_cast<long>(j)) + " is valid but not a finite number.");
}

// The category model as one that rates rows, or null. Models are of exactly this class
// (trained or loaded), so comparing the type is enough and costs less per run than a cast
// that searches the class hierarchy; any other model is rated through its pattern path.
const tq_CategoryModelBayesian* rowRater(const tqPtrHandle<tq_CategoryModel>& handle) {
    const tq_CategoryModel* model = handle.get();
    if (!model || typeid(*model) != typeid(tq_CategoryModelBayesian)) return nullptr;
    const auto* bayes = static_cast<const tq_CategoryModelBayesian*>(model);
    return bayes->ratesRows_() ? bayes : nullptr;
}

// Whether every valid measurement of batch row i is finite (what checkFinite accepts).
bool rowIsFinite(const tqPatternRows& rows, std::size_t i) {
    const double* values = rows.row(i);
    for (std::size_t j = 0; j < rows.dimension; ++j)
        if (!std::isfinite(values[j]) && rows.isValid(i, j)) return false;
    return true;
}

// Patterns lie scattered over the heap, and training waits on each one's cache lines more
// than it works on them: the memory provider's pattern a little ahead is fetched early, and
// the measurements of one nearer, whose object has arrived by then.
void prefetchPattern(const tqClassifierDataProviderMemory& memory, std::size_t i) {
    constexpr std::size_t kAhead = 8;
    const auto& patterns = memory.patterns();
    if (i + 2 * kAhead < patterns.size()) __builtin_prefetch(patterns[i + 2 * kAhead].get());
    if (i + kAhead < patterns.size())
        __builtin_prefetch(patterns[i + kAhead]->featureMeasurements(false).data());
}

// Whether every measurement of every row is valid.
bool allValid(const tqPatternRows& rows) {
    if (!rows.validity) return true;
    for (std::size_t i = 0; i < rows.rows; ++i)
        for (std::size_t j = 0; j < rows.dimension; ++j)
            if (!rows.isValid(i, j)) return false;
    return true;
}

// Gives every category's normal densities the same floor per measurement: tqMVNRelativeFloor
// times the measurement's standard deviation over all categories, pooled from their
// estimates (count, mean, variance), so that a loaded classifier finds the same floors as
// the trained one. A measurement that never varied gets 0 and is left out everywhere. The
// pooled variance is formed in units of the largest deviation, so no square overflows.
void setScaleFloors(const std::vector<tqPtrHandle<tq_CategoryModel>>& models) {
    struct Normal {
        tq_PDFMultivariateNormal* pdf;
        const std::vector<long>* group;
    };
    struct Part {
        double n, mean, variance;
    };
    std::vector<Normal> normals;
    std::map<long, std::vector<Part>> parts;
    for (const tqPtrHandle<tq_CategoryModel>& handle : models) {
        const auto* model = dynamic_cast<const tq_CategoryModelBayesian*>(handle.get());
        if (!model) continue;
        for (std::size_t g = 0; g < model->pdfs().size() && g < model->groups().size(); ++g) {
            auto* pdf = dynamic_cast<tq_PDFMultivariateNormal*>(model->pdfs()[g].get());
            const long n = pdf ? pdf->count_() : 0;
            if (n <= 0) continue;
            const std::vector<long>& group = model->groups()[g];
            const tqNMMatrix mean = pdf->mean(), cov = pdf->covariance();
            if (mean.cols() != static_cast<long>(group.size())) continue;
            normals.push_back({pdf, &group});
            for (long p = 0; p < mean.cols(); ++p)
                parts[group[static_cast<std::size_t>(p)]].push_back(
                    {static_cast<double>(n), mean.element(0, p), std::max(cov.element(p, p), 0.0)});
        }
    }
    std::map<long, double> floors;
    for (const auto& entry : parts) {
        // Means are taken relative to the first one, so that categories with the same mean
        // give exactly 0 between them, wherever that mean lies.
        const double reference = entry.second.front().mean;
        double total = 0.0, grand = 0.0, unit = 0.0, pooled = 0.0;
        for (const Part& part : entry.second) total += part.n;
        for (const Part& part : entry.second) grand += part.n / total * (part.mean - reference);
        for (const Part& part : entry.second)
            unit = std::max({unit, std::sqrt(part.variance), std::fabs(part.mean - reference - grand)});
        for (const Part& part : entry.second) {
            const double deviation = (part.mean - reference - grand) / unit;
            pooled += part.n / total * (part.variance / unit / unit + deviation * deviation);
        }
        const double floor = tqMVNRelativeFloor * unit * std::sqrt(pooled);
        floors[entry.first] = unit > 0.0 && std::isfinite(floor) ? floor : 0.0;
    }
    for (const Normal& normal : normals) {
        std::vector<double> own;
        for (long index : *normal.group) own.push_back(floors[index]);
        normal.pdf->scaleFloors_(own);
    }
}

}  // namespace

// Runs of the common models (every group one measurement under a normal density) from one
// contiguous table: no model, density or kernel call per group, and no type test per run.
// Term t rates measurement index[t] as tfMVNLogValue1 does. A term left out (not
// informative) is stored as mean 0, scale 0 and normaliser 0: for a finite measurement x
// that gives 0.0 - 0.5 * (0 * 0) = +0.0, its log value, so no term needs a branch.
struct tq_BayesRunTable {
    std::vector<std::size_t> index;
    std::vector<double> mean, invScale, logNorm;
    std::vector<std::size_t> end;  // one past category k's last term
    std::size_t reach = 0;         // 1 + the largest index: a shorter pattern takes the general path
    // Whether every normaliser is a number no greater than tqMVNLogLimit: then no term of a
    // finite measurement exceeds the upper limit or is NaN (it is the normaliser less a square
    // that is >= 0 or +inf), and the upper clamp changes nothing.
    bool belowLimit = true;

    // The same terms eight categories at a time, where the categories rate the same
    // measurements in the same order (`perCategory` terms each): block b holds categories 8b to
    // 8b + 7 side by side, term by term (the lanes past the last category as left-out terms),
    // so that one step reads one value and rates the eight. Empty where the categories differ
    // in their terms, or have none.
    static constexpr std::size_t kBlockLanes = 8;
    std::size_t perCategory = 0;
    std::vector<double> laneMean, laneInvScale, laneLogNorm;

    void add(std::size_t j, const tqMVNTerms1& terms) {
        index.push_back(j);
        mean.push_back(terms.informative ? terms.mean : 0.0);
        invScale.push_back(terms.informative ? terms.invScale : 0.0);
        logNorm.push_back(terms.informative ? terms.logNorm : 0.0);
        reach = std::max(reach, j + 1);
        belowLimit = belowLimit && logNorm.back() <= tqMVNLogLimit;
    }

    void layLanes() {
        const std::size_t categories = end.size();
        if (categories == 0 || end[0] == 0) return;
        for (std::size_t k = 1; k < categories; ++k)
            if (end[k] - end[k - 1] != end[0]) return;
        for (std::size_t t = end[0]; t < index.size(); ++t)
            if (index[t] != index[t % end[0]]) return;
        perCategory = end[0];
        for (std::size_t first = 0; first < categories; first += kBlockLanes)
            for (std::size_t p = 0; p < perCategory; ++p)
                for (std::size_t lane = first; lane < first + kBlockLanes; ++lane) {
                    const bool real = lane < categories;
                    const std::size_t t = lane * perCategory + p;
                    laneMean.push_back(real ? mean[t] : 0.0);
                    laneInvScale.push_back(real ? invScale[t] : 0.0);
                    laneLogNorm.push_back(real ? logNorm[t] : 0.0);
                }
    }
};

tq_ClassifierBayesian::tq_ClassifierBayesian() = default;

tq_ClassifierBayesian::tq_ClassifierBayesian(const tq_ClassifierBayesian& other)
    : tq_Classifier(other),
      labels_(other.labels_),
      models_(other.models_),
      table_(other.table_),
      labelsChecked_(other.labelsChecked_) {}

tq_ClassifierBayesian& tq_ClassifierBayesian::operator=(const tq_ClassifierBayesian& other) {
    tq_Classifier::operator=(other);
    labels_ = other.labels_;
    models_ = other.models_;
    table_ = other.table_;
    labelsChecked_ = other.labelsChecked_;
    return *this;
}

tq_ClassifierBayesian::~tq_ClassifierBayesian() = default;

tqPtrHandle<tq_Classifier> tq_ClassifierBayesian::clone() const {
    return tqPtrHandle<tq_Classifier>(new tq_ClassifierBayesian(*this));
}

bool tq_ClassifierBayesian::operator==(const tq_ClassifierBayesian& other) const {
    if (!tq_Classifier::isEquivalent(other) || models_.size() != other.models_.size()) return false;
    for (std::size_t k = 0; k < models_.size(); ++k) {
        const auto* a = dynamic_cast<const tq_CategoryModelBayesian*>(models_[k].get());
        const auto* b = dynamic_cast<const tq_CategoryModelBayesian*>(other.models_[k].get());
        if (!a || !b || !(*a == *b)) return false;
    }
    return true;
}

bool tq_ClassifierBayesian::isEquivalent(const tq_Classifier& other) const {
    const auto* o = dynamic_cast<const tq_ClassifierBayesian*>(&other);
    return o && *this == *o;
}

void tq_ClassifierBayesian::train_(const tqClassifierDataProvider& data,
                                   const tqClassifierTrainParams& params) {
    try {
        learn_(data, asBayesian(params));
    } catch (...) {
        // A refused pattern drops what the patterns before it built: a refused training
        // leaves nothing.
        untrain_();
        throw;
    }
    setScaleFloors(models_);
    buildRunTable_();
    checkLabels_();
}

void tq_ClassifierBayesian::buildRunTable_() {
    table_.reset();
    auto table = std::make_shared<tq_BayesRunTable>();
    std::vector<std::size_t> indices;
    std::vector<tqMVNTerms1> terms;
    for (const tqPtrHandle<tq_CategoryModel>& handle : models_) {
        const tq_CategoryModelBayesian* model = rowRater(handle);
        indices.clear();
        terms.clear();
        if (!model || !model->normalTerms1_(indices, terms)) return;
        for (std::size_t t = 0; t < terms.size(); ++t) table->add(indices[t], terms[t]);
        table->end.push_back(table->index.size());
    }
    table->layLanes();
    table_ = std::move(table);
}

void tq_ClassifierBayesian::checkLabels_() {
    labelsChecked_ = labels_.size() <= tqClassifierResult::kRowCategories &&
                     tqClassifierResult::labelsPass(labels_.size(), labels_.data());
}

namespace {

// Four rows' values side by side: one AVX2 register where the processor has it (the callers
// below are built for both and chosen at run time), else two SSE2 registers.
typedef double RowQuad __attribute__((vector_size(32)));
typedef long long RowLanes __attribute__((vector_size(32)));

// rateFromTable_'s work on the table's lanes: eight categories per step in vectors V of two or
// four lanes (the widths the baseline and the AVX2 copies take), each lane the operations of the
// terms one after another below in their order (max and min give the clamp's values, NaN
// included, as its comparisons do; the upper one changes nothing where every normaliser lies
// below the limit). Inlined into each copy below, which is built for its own instruction set.
template <class V, bool kUpper>
__attribute__((always_inline)) inline void rateLanes(const tq_BayesRunTable& table, const double* values,
                                                     double* scores) {
    constexpr std::size_t kLanes = tq_BayesRunTable::kBlockLanes, kWidth = sizeof(V) / sizeof(double),
                          kVectors = kLanes / kWidth;
    const std::size_t categories = table.end.size(), terms = table.perCategory;
    const std::size_t* index = table.index.data();
    const double *mean = table.laneMean.data(), *invScale = table.laneInvScale.data(),
                 *logNorm = table.laneLogNorm.data();
    const V lo = V{} - tqMVNLogLimit, hi = V{} + tqMVNLogLimit;
    for (std::size_t first = 0, t = 0; first < categories; first += kLanes) {
        V sum[kVectors] = {};
        for (std::size_t p = 0; p < terms; ++p, t += kLanes) {
            const V x = V{} + values[index[p]];
            for (std::size_t h = 0; h < kVectors; ++h) {
                const std::size_t at = t + h * kWidth;
                V m, s, l;
                std::memcpy(&m, mean + at, sizeof m);
                std::memcpy(&s, invScale + at, sizeof s);
                std::memcpy(&l, logNorm + at, sizeof l);
                const V z = (x - m) * s;
                V term = l - 0.5 * (z * z);
                term = term > lo ? term : lo;
                if (kUpper) term = term < hi ? term : hi;
                sum[h] += term;
            }
        }
        double sums[kLanes];
        std::memcpy(sums, sum, sizeof sums);
        std::copy(sums, sums + std::min(kLanes, categories - first), scores + first);
    }
}

template <class V>
__attribute__((always_inline)) inline void rateLanes(const tq_BayesRunTable& table, const double* values,
                                                     double* scores) {
    if (table.belowLimit)
        rateLanes<V, false>(table, values, scores);
    else
        rateLanes<V, true>(table, values, scores);
}

typedef double LanePair __attribute__((vector_size(16)));

void rateLanesBaseline(const tq_BayesRunTable& table, const double* values, double* scores) {
    rateLanes<LanePair>(table, values, scores);
}

#ifdef CLASTOOL_BAYES_AVX2
[[gnu::target("avx2")]] void rateLanesAvx2(const tq_BayesRunTable& table, const double* values, double* scores) {
    rateLanes<RowQuad>(table, values, scores);
}
#endif

// Adds term (mean, invScale, logNorm) of measurement j of every row of block to sums[i], as
// rateFromTable_ adds it: the same operations in the same order, four rows per step, each lane
// clamped as tfMVNClampLog clamps (NaN included).
__attribute__((always_inline)) inline void addTermColumn(const tqPatternRows& block, std::size_t j, double mean,
                                                         double invScale, double logNorm, double* sums) {
    const double* x = block.values + j;
    const std::size_t stride = block.rowStride, rows = block.rows;
    const RowQuad lo = RowQuad{} - tqMVNLogLimit, hi = RowQuad{} + tqMVNLogLimit;
    std::size_t i = 0;
    for (; i + 4 <= rows; i += 4) {
        const RowQuad v = {x[i * stride], x[(i + 1) * stride], x[(i + 2) * stride], x[(i + 3) * stride]};
        const RowQuad z = (v - mean) * invScale;
        RowQuad term = logNorm - 0.5 * (z * z);
        term = term >= lo ? term : lo;
        term = term > hi ? hi : term;
        RowQuad sum;
        std::memcpy(&sum, sums + i, sizeof sum);
        sum += term;
        std::memcpy(sums + i, &sum, sizeof sum);
    }
    for (; i < rows; ++i) {
        const double z = (x[i * stride] - mean) * invScale;
        sums[i] += tfMVNClampLog(logNorm - 0.5 * (z * z));
    }
}

// rateBlockFromTable_'s work: term by term over the block (whose measurements stay in the
// first cache level), each category's sums from 0.0 in group order, as rateFromTable_ forms them
// row by row, in sums (room for the block's rows). Inlined into each copy below, which is built
// for its own instruction set.
__attribute__((always_inline)) inline void rateBlock(const tq_BayesRunTable& table, const tqPatternRows& block,
                                                     double* sums, double* scores) {
    const std::size_t numModels = table.end.size();
    std::size_t t = 0;
    for (std::size_t k = 0; k < numModels; ++k) {
        std::fill(sums, sums + block.rows, 0.0);
        for (const std::size_t end = table.end[k]; t < end; ++t)
            addTermColumn(block, table.index[t], table.mean[t], table.invScale[t], table.logNorm[t], sums);
        for (std::size_t i = 0; i < block.rows; ++i) scores[i * numModels + k] = sums[i];
    }
}

void rateBlockBaseline(const tq_BayesRunTable& table, const tqPatternRows& block, double* sums, double* scores) {
    rateBlock(table, block, sums, scores);
}

#ifdef CLASTOOL_BAYES_AVX2
[[gnu::target("avx2")]] void rateBlockAvx2(const tq_BayesRunTable& table, const tqPatternRows& block, double* sums,
                                           double* scores) {
    rateBlock(table, block, sums, scores);
}
#endif

// Below this argument exp gives exactly +0 (its result would lie under half the smallest
// subnormal, about -745.13): no call is needed for a category that far behind the best.
constexpr double kExpUnderflow = -746.0;

// The rows of a batch block (tq_Classifier::kBatchBlock, checked where the block is rated).
constexpr std::size_t kBlockRows = 256;

// The instructions the row blocks' copies below are built for: AVX2, or any x86-64 processor
// (SSE2 on pairs of lanes; the generic vector operations elsewhere).
enum class RowIsa { kBaseline, kAvx2 };

// a = a > b ? a : b lane by lane (b where either is NaN), as one maximum instruction per register:
// x86's maximum gives its second operand unless the first is greater, which is that choice
// exactly, where the compiler makes the conditional a comparison and a blend. These helpers and
// their callers are inlined into each copy by its flatten attribute, the AVX2 ones only into the
// copy built for AVX2.
template <RowIsa kIsa>
inline void keepGreater(RowQuad& a, const RowQuad& b) {
#if defined(__SSE2__)
    __m128d a2[2], b2[2];
    std::memcpy(a2, &a, sizeof a);
    std::memcpy(b2, &b, sizeof b);
    a2[0] = _mm_max_pd(a2[0], b2[0]);
    a2[1] = _mm_max_pd(a2[1], b2[1]);
    std::memcpy(&a, a2, sizeof a);
#else
    a = a > b ? a : b;
#endif
}

// The lanes of a comparison's mask (all bits or none per lane) as bits 0 to 3.
template <RowIsa kIsa>
inline unsigned laneBits(const RowLanes& mask) {
#if defined(__SSE2__)
    __m128d m2[2];
    std::memcpy(m2, &mask, sizeof mask);
    return static_cast<unsigned>(_mm_movemask_pd(m2[0]) | _mm_movemask_pd(m2[1]) << 2);
#else
    unsigned bits = 0;
    for (int lane = 0; lane < 4; ++lane) bits |= static_cast<unsigned>(mask[lane] & 1) << lane;
    return bits;
#endif
}

#ifdef CLASTOOL_BAYES_AVX2
template <>
[[gnu::target("avx2")]] inline void keepGreater<RowIsa::kAvx2>(RowQuad& a, const RowQuad& b) {
    a = (RowQuad)_mm256_max_pd((__m256d)a, (__m256d)b);
}

template <>
[[gnu::target("avx2")]] inline unsigned laneBits<RowIsa::kAvx2>(const RowLanes& mask) {
    return static_cast<unsigned>(_mm256_movemask_pd((__m256d)mask));
}
#endif

// Terms [first, last) of the table summed from 0.0 in their order for kQuads quads of rows, whose
// measurement j lies at columns[j * kBlockRows, + 4 * kQuads), into sums[0, 4 * kQuads): each
// term's constants read once for all of them. The clamp as max and min: a NaN term gives the
// lower limit, as tfMVNClampLog gives it; the upper one only where kUpper.
template <RowIsa kIsa, std::size_t kQuads, bool kUpper>
inline void rateQuads(const tq_BayesRunTable& table, std::size_t first, std::size_t last,
                      const double* columns, double* sums) {
    const RowQuad lo = RowQuad{} - tqMVNLogLimit, hi = RowQuad{} + tqMVNLogLimit;
    RowQuad sum[kQuads] = {};
    for (std::size_t t = first; t < last; ++t) {
        const double* column = columns + table.index[t] * kBlockRows;
        const double mean = table.mean[t], invScale = table.invScale[t], logNorm = table.logNorm[t];
        for (std::size_t q = 0; q < kQuads; ++q) {
            RowQuad v;
            std::memcpy(&v, column + 4 * q, sizeof v);
            const RowQuad z = (v - mean) * invScale;
            RowQuad term = logNorm - 0.5 * (z * z);
            keepGreater<kIsa>(term, lo);
            if (kUpper) term = term < hi ? term : hi;
            sum[q] += term;
        }
    }
    // Quad by quad: a copy of the whole array went through the stack in halves.
    for (std::size_t q = 0; q < kQuads; ++q) std::memcpy(sums + 4 * q, &sum[q], sizeof sum[q]);
}

// The lanes of a quad whose bits are set, packed to the front (kPacked[bits]), and how many.
struct PackedLanes {
    std::uint32_t lane[4];
    std::uint32_t count;
};
constexpr PackedLanes kPacked[16] = {
    {{0, 0, 0, 0}, 0}, {{0, 0, 0, 0}, 1}, {{1, 0, 0, 0}, 1}, {{0, 1, 0, 0}, 2},
    {{2, 0, 0, 0}, 1}, {{0, 2, 0, 0}, 2}, {{1, 2, 0, 0}, 2}, {{0, 1, 2, 0}, 3},
    {{3, 0, 0, 0}, 1}, {{0, 3, 0, 0}, 2}, {{1, 3, 0, 0}, 2}, {{0, 1, 3, 0}, 3},
    {{2, 3, 0, 0}, 2}, {{0, 2, 3, 0}, 3}, {{1, 2, 3, 0}, 3}, {{0, 1, 2, 3}, 4}};
typedef std::uint32_t Places __attribute__((vector_size(16)));

// A complete block (of at most kBatchBlock rows) rated from the table and its match scores
// formed, as rateFromTable_ and matchScoresOf_ form them row by row: the same operations in the
// same order for every row, four rows per step. The block is first copied column by column into
// columns (room for kBatchBlock rows per measurement; the rows past the last one, up to a
// multiple of four, as 0.0), so that a term reads its measurement of four rows in one load and
// every measurement is read from the caller's rows once. scores takes each category's
// log-likelihoods (kBatchBlock per category), then the arguments of exp in their places, match
// the match scores in the same places, shift each row's factor and calls the places of the exp calls
// (room for kBatchBlock per category and three more). False, with nothing rated, where a value is
// not finite.
template <RowIsa kIsa>
bool rateAndMatch(const tq_BayesRunTable& table, const tqPatternRows& block, double* columns, double* scores,
                  double* match, double* shift, std::uint32_t* calls) {
    const std::size_t rows = block.rows, padded = (rows + 3) / 4 * 4, dimension = block.dimension;
    // Four rows by four measurements per step, transposed in registers; the rest one by one.
    const std::size_t quadRows = rows / 4 * 4, quadColumns = dimension / 4 * 4;
    for (std::size_t i = 0; i < quadRows; i += 4) {
        for (std::size_t j = 0; j < quadColumns; j += 4) {
            RowQuad a, b, c, d;
            std::memcpy(&a, block.row(i) + j, sizeof a);
            std::memcpy(&b, block.row(i + 1) + j, sizeof b);
            std::memcpy(&c, block.row(i + 2) + j, sizeof c);
            std::memcpy(&d, block.row(i + 3) + j, sizeof d);
            const RowQuad t0 = __builtin_shufflevector(a, b, 0, 4, 2, 6),
                          t1 = __builtin_shufflevector(a, b, 1, 5, 3, 7),
                          t2 = __builtin_shufflevector(c, d, 0, 4, 2, 6),
                          t3 = __builtin_shufflevector(c, d, 1, 5, 3, 7);
            const RowQuad column[4] = {__builtin_shufflevector(t0, t2, 0, 1, 4, 5),
                                       __builtin_shufflevector(t1, t3, 0, 1, 4, 5),
                                       __builtin_shufflevector(t0, t2, 2, 3, 6, 7),
                                       __builtin_shufflevector(t1, t3, 2, 3, 6, 7)};
            for (std::size_t m = 0; m < 4; ++m)
                std::memcpy(columns + (j + m) * kBlockRows + i, &column[m], sizeof column[m]);
        }
        for (std::size_t q = i; q < i + 4; ++q)
            for (std::size_t j = quadColumns; j < dimension; ++j) columns[j * kBlockRows + q] = block.row(q)[j];
    }
    for (std::size_t i = quadRows; i < rows; ++i)
        for (std::size_t j = 0; j < dimension; ++j) columns[j * kBlockRows + i] = block.row(i)[j];
    // x * 0.0 is +-0 for a finite x and NaN otherwise, as finiteRow tests.
    RowQuad any = {};
    for (std::size_t j = 0; j < dimension; ++j) {
        double* column = columns + j * kBlockRows;
        for (std::size_t i = rows; i < padded; ++i) column[i] = 0.0;
        for (std::size_t i = 0; i < padded; i += 4) {
            RowQuad v;
            std::memcpy(&v, column + i, sizeof v);
            any = (RowQuad)((RowLanes)any | (RowLanes)(v * 0.0));
        }
    }
    for (int lane = 0; lane < 4; ++lane)
        if (any[lane] != 0.0 || any[lane] != any[lane]) return false;

    const std::size_t numModels = table.end.size();
    const auto rate = [&](auto upper) {
        for (std::size_t k = 0, first = 0; k < numModels; ++k) {
            const std::size_t last = table.end[k];
            std::size_t i = 0;
            for (; i + 16 <= padded; i += 16)
                rateQuads<kIsa, 4, decltype(upper)::value>(table, first, last, columns + i,
                                                           scores + k * kBlockRows + i);
            for (; i < padded; i += 4)
                rateQuads<kIsa, 1, decltype(upper)::value>(table, first, last, columns + i,
                                                           scores + k * kBlockRows + i);
            first = last;
        }
    };
    if (table.belowLimit)
        rate(std::false_type{});
    else
        rate(std::true_type{});

    // Each row's best category gives exactly 1 and one too far behind it exactly +0, four rows per
    // step; the arguments of the other categories' exp calls are left in scores and their places
    // listed in calls (a quad's places packed by a table, without a branch per category), and exp
    // is then called for them one after another, with no vector held across a call. shift has
    // room for the padded rows, whose rows of 0.0 are rated and matched as any other row.
    std::size_t listed = 0;
    for (std::size_t i = 0; i < padded; i += 4) {
        RowQuad best = RowQuad{} - std::numeric_limits<double>::infinity();
        for (std::size_t k = 0; k < numModels; ++k) {
            RowQuad s;
            std::memcpy(&s, scores + k * kBlockRows + i, sizeof s);
            best = s > best ? s : best;
        }
        const RowQuad negated = 0.0 - best;
        const RowLanes finite = best - best == 0.0;
        std::memcpy(shift + i, &negated, sizeof negated);
        for (std::size_t k = 0; k < numModels; ++k) {
            double* at = scores + k * kBlockRows + i;
            RowQuad s;
            std::memcpy(&s, at, sizeof s);
            const RowQuad argument = s + negated;
            const RowLanes one = finite & (s == best), call = ~one & ~(argument < kExpUnderflow);
            const RowQuad known = one ? RowQuad{} + 1.0 : RowQuad{};
            std::memcpy(at, &argument, sizeof argument);
            std::memcpy(match + k * kBlockRows + i, &known, sizeof known);
            const PackedLanes& packed = kPacked[laneBits<kIsa>(call)];
            Places places;
            std::memcpy(&places, packed.lane, sizeof places);
            places += static_cast<std::uint32_t>(k * kBlockRows + i);
            std::memcpy(calls + listed, &places, sizeof places);
            listed += packed.count;
        }
    }
    for (std::size_t c = 0; c < listed; ++c) match[calls[c]] = std::exp(scores[calls[c]]);
    return true;
}

__attribute__((flatten)) bool rateAndMatchBaseline(const tq_BayesRunTable& table, const tqPatternRows& block,
                                                   double* columns, double* scores, double* match,
                                                   double* shift, std::uint32_t* calls) {
    return rateAndMatch<RowIsa::kBaseline>(table, block, columns, scores, match, shift, calls);
}

#ifdef CLASTOOL_BAYES_AVX2
[[gnu::target("avx2")]] __attribute__((flatten)) bool rateAndMatchAvx2(const tq_BayesRunTable& table,
                                                                       const tqPatternRows& block,
                                                                       double* columns, double* scores,
                                                                       double* match, double* shift,
                                                                       std::uint32_t* calls) {
    return rateAndMatch<RowIsa::kAvx2>(table, block, columns, scores, match, shift, calls);
}
#endif

}  // namespace

// The AVX2 copy where the processor has it and CLASTOOL_NO_SIMD leaves it on (tq_simd::useAvx2),
// else the baseline one; both make the same operations in the same order (the file is compiled
// with -ffp-contract=off), hence the same bits.
bool tq_ClassifierBayesian::rateAndMatch_(const tqPatternRows& block, double* columns, double* scores, double* match,
                                          double* shift, std::uint32_t* calls) const {
    static_assert(kBlockRows == kBatchBlock, "a block's columns have room for its rows");
#ifdef CLASTOOL_BAYES_AVX2
    if (tq_simd::useAvx2()) return rateAndMatchAvx2(*table_, block, columns, scores, match, shift, calls);
#endif
    return rateAndMatchBaseline(*table_, block, columns, scores, match, shift, calls);
}

// The lanes where the categories rate the same measurements, built for AVX2 where the processor has it
// and CLASTOOL_NO_SIMD leaves it on, else the baseline copy (the same operations in the same
// order either way, the file compiled with -ffp-contract=off); otherwise term by term.
void tq_ClassifierBayesian::rateFromTable_(const tq_BayesRunTable& table, const double* values,
                                           double* scores) const {
    if (table.perCategory > 0) {
#ifdef CLASTOOL_BAYES_AVX2
        if (tq_simd::useAvx2()) {
            rateLanesAvx2(table, values, scores);
            return;
        }
#endif
        rateLanesBaseline(table, values, scores);
        return;
    }
    const std::size_t* index = table.index.data();
    const double* mean = table.mean.data();
    const double* invScale = table.invScale.data();
    const double* logNorm = table.logNorm.data();
    std::size_t t = 0;
    for (std::size_t k = 0; k < table.end.size(); ++k) {
        // Summed from 0.0 in group order, as the category model sums its groups.
        double sum = 0.0;
        for (const std::size_t end = table.end[k]; t < end; ++t) {
            const double z = (values[index[t]] - mean[t]) * invScale[t];
            sum += tfMVNClampLog(logNorm[t] - 0.5 * (z * z));
        }
        scores[k] = sum;
    }
}

void tq_ClassifierBayesian::rateBlockFromTable_(const tq_BayesRunTable& table, const tqPatternRows& block,
                                                double* scores) const {
    double sums[kBatchBlock];
#ifdef CLASTOOL_BAYES_AVX2
    if (tq_simd::useAvx2()) {
        rateBlockAvx2(table, block, sums, scores);
        return;
    }
#endif
    rateBlockBaseline(table, block, sums, scores);
}

namespace {

// Whether values [0, n) of from are all finite, copied to `to` on the way where kCopy. x * 0.0
// is +-0 for a finite x and NaN otherwise, and the bits of those products or'ed together are a
// NaN if one is: the whole row tells in one test, without a branch or a long chain per value.
template <bool kCopy>
bool finiteRow(const double* from, std::size_t n, double* to = nullptr) {
    std::size_t j = 0;
    bool finite = true;
#if defined(__SSE2__)
    const __m128d zero = _mm_setzero_pd();
    __m128d any = zero;
    for (; j + 2 <= n; j += 2) {
        const __m128d v = _mm_loadu_pd(from + j);
        if (kCopy) _mm_storeu_pd(to + j, v);
        any = _mm_or_pd(any, _mm_mul_pd(v, zero));
    }
    finite = _mm_movemask_pd(_mm_cmpneq_pd(any, zero)) == 0;
#endif
    for (; j < n; ++j) {
        if (kCopy) to[j] = from[j];
        finite = finite && std::isfinite(from[j]);
    }
    return finite;
}

// A category's patterns not yet learned, copied into contiguous rows, so that its model
// learns them group by group over contiguous data (a kernel update per group and block
// rather than per group and pattern, and no pattern object read twice).
struct PendingRows {
    static constexpr std::size_t kBlock = 512;
    std::vector<double> values;
    std::vector<unsigned char> valid;
    std::size_t rows = 0;
    bool anyInvalid = false;

    // Appends pattern (of `dimension` measurements; complete: no invalid one), checking as it
    // copies that its valid measurements are finite: false, with nothing appended, where one
    // is not (the caller refuses the pattern with checkFinite's message).
    bool add(const tqFeaturePattern& pattern, std::size_t dimension, bool complete) {
        if (values.empty()) {
            values.resize(kBlock * dimension);
            valid.resize(kBlock * dimension);
        }
        const double* from = pattern.featureMeasurements(false).data();
        double* to = values.data() + rows * dimension;
        if (complete) {
            if (!finiteRow<true>(from, dimension, to)) return false;
            if (anyInvalid) std::fill_n(valid.data() + rows * dimension, dimension, 1);
        } else {
            // Flags are written once a row of the block has an invalid measurement, the
            // complete rows before it all valid at once; the finiteness test as finiteRow's.
            if (!anyInvalid) {
                std::fill(valid.begin(), valid.begin() + static_cast<std::ptrdiff_t>(rows * dimension), 1);
                anyInvalid = true;
            }
            unsigned char* flags = valid.data() + rows * dimension;
            double zero = 0.0;
            for (std::size_t j = 0; j < dimension; ++j) {
                to[j] = from[j];
                flags[j] = pattern.isValid(static_cast<long>(j)) ? 1 : 0;
                if (flags[j]) zero += from[j] * 0.0;
            }
            if (zero != 0.0) return false;
        }
        ++rows;
        return true;
    }

    // Teaches model the pending rows, and forgets them.
    void flush(tq_CategoryModelBayesian& model, std::size_t dimension) {
        if (rows == 0) return;
        const tqPatternRows block{values.data(), anyInvalid ? valid.data() : nullptr, rows, dimension, dimension};
        rows = 0;
        anyInvalid = false;
        model.adaptRows_(block);
    }
};

}  // namespace

void tq_ClassifierBayesian::categoryGroups_(const tqClassifierDistributionTypes& types, long label, long m,
                    std::vector<std::vector<long>>& groups,
                    std::vector<tqClassifierDistributionTypes::DistributionType>& groupTypes) {
    std::vector<bool> covered(static_cast<std::size_t>(m > 0 ? m : 0), false);
    for (long j = 0; j < m; ++j) {
        if (covered[static_cast<std::size_t>(j)]) continue;
        const std::vector<long>* set = nullptr;
        for (std::size_t s = 0; s < types.depLabels_.size() && !set; ++s)
            if (types.depLabels_[s] == label)
                for (long index : types.depSets_[s])
                    if (index == j) {
                        set = &types.depSets_[s];
                        break;
                    }
        if (set) {
            groups.push_back(*set);
            for (long index : *set)
                if (index < m) covered[static_cast<std::size_t>(index)] = true;
        } else {
            groups.push_back({j});
        }
        groupTypes.push_back(types.distributionType(label, j));
    }
}

void tq_ClassifierBayesian::learn_(const tqClassifierDataProvider& data,
                                   const tqClassifierTrainParamsBayesian& bayes) {
    const tqClassifierDistributionTypes& types = bayes.distributionTypes();
    const long n = data.numPatterns();
    const long m = data.numMeasurements();
    const std::size_t dimension = static_cast<std::size_t>(m > 0 ? m : 0);
    // Position of each label in labels_: the first kScanned by a scan of labels_ (a table's
    // hash costs more than comparing a few labels), the others by a lookup table, which keeps
    // training one cheap pass however many categories there are. One pass, since reading a
    // million scattered patterns costs more than learning from them.
    constexpr std::size_t kScanned = 8;
    std::unordered_map<long, std::size_t> position;
    // The models being trained (exactly of their class: made here) and their pending rows.
    // A pattern of another length than m, or a model with groups rows cannot give, learns
    // on its own after the rows before it.
    std::vector<tq_CategoryModelBayesian*> trained;
    std::vector<PendingRows> pending;
    std::vector<bool> byRows;
    // The in-memory provider's patterns and labels are read in place: a virtual call and a
    // counted handle copy per pattern (on a cold cache line) cost a quarter of the training.
    const auto* memory = typeid(data) == typeid(tqClassifierDataProviderMemory)
                             ? static_cast<const tqClassifierDataProviderMemory*>(&data)
                             : nullptr;
    // The pending rows check their measurements as they copy them; a pattern learned on its
    // own is checked first.
    const auto learnPattern = [&](std::size_t k, long i, const tqFeaturePattern& pattern, bool complete) {
        const auto which = [i] { return "Training pattern " + tfStr(i); };
        if (byRows[k] && pattern.numMeasurements() == m) {
            if (!pending[k].add(pattern, dimension, complete)) checkFinite(pattern, complete, which);
            if (pending[k].rows == PendingRows::kBlock) pending[k].flush(*trained[k], dimension);
        } else {
            checkFinite(pattern, complete, which);
            pending[k].flush(*trained[k], dimension);
            trained[k]->adapt(pattern, nullptr, 0);
        }
    };
    long lastLabel = -1;
    std::size_t lastPosition = 0;
    tqPtrHandle_const<tqFeaturePattern> fetched;
    for (long i = 0; i < n; ++i) {
        const auto row = static_cast<std::size_t>(i);
        if (memory) prefetchPattern(*memory, row);
        const long label = memory ? memory->labels()[row] : data.categoryLabel(i);
        if (label == -1) continue;
        const tqPtrHandle_const<tqFeaturePattern>& pattern =
            memory ? memory->patterns()[row] : (fetched = data.featurePattern(i));
        const bool complete = pattern->numInvalid() == 0;

        // Patterns of one label often come in runs: the last label's position is tried first,
        // then the few labels' own list, and the lookup table only beyond kScanned labels.
        if (label == lastLabel) {
            learnPattern(lastPosition, i, *pattern, complete);
            continue;
        }
        std::size_t at = 0;
        const std::size_t scanned = std::min(labels_.size(), kScanned);
        while (at < scanned && labels_[at] != label) ++at;
        if (at == scanned) {
            const auto found = position.find(label);
            at = found == position.end() ? labels_.size() : found->second;
        }
        if (at == labels_.size()) {
            // A refused pattern is refused as such, before its category is built (which may
            // fail on its own account).
            const std::vector<double>& values = pattern->featureMeasurements(false);
            if (!complete || !finiteRow<false>(values.data(), values.size()))
                checkFinite(*pattern, complete, [i] { return "Training pattern " + tfStr(i); });
            std::vector<std::vector<long>> groups;
            std::vector<tqClassifierDistributionTypes::DistributionType> groupTypes;
            categoryGroups_(types, label, m, groups, groupTypes);
            auto* model = new tq_CategoryModelBayesian(label, groups, groupTypes, bayes.maxMeasurementValues());
            models_.push_back(tqPtrHandle<tq_CategoryModel>(model));
            labels_.push_back(label);
            trained.push_back(model);
            pending.emplace_back();
            byRows.push_back(model->ratesRows_());
            if (at >= kScanned) position.emplace(label, at);
        }
        lastLabel = label;
        lastPosition = at;
        learnPattern(lastPosition, i, *pattern, complete);
    }
    for (std::size_t k = 0; k < trained.size(); ++k) pending[k].flush(*trained[k], dimension);
}

void tq_ClassifierBayesian::retrain_(const tqClassifierTrainParams& params) {
    const tqClassifierTrainParamsBayesian& next = asBayesian(params);
    const tqPtrHandle_const<tqClassifierTrainParams> keptHandle = trainParams();
    const tqClassifierTrainParamsBayesian& kept = asBayesian(*keptHandle);
    // The models were built from the types and maxima; only the decision weights may change.
    if (next.distributionTypes() != kept.distributionTypes())
        throw tqClassifierDefs::BadParams(
            "Cannot retrain a Bayesian classifier with different distribution types.");
    if (next.maxMeasurementValues() != kept.maxMeasurementValues())
        throw tqClassifierDefs::BadParams(
            "Cannot retrain a Bayesian classifier with different maximum measurements values.");
}

void tq_ClassifierBayesian::trainStart_(const tqClassifierTrainParams&) {}

void tq_ClassifierBayesian::trainIncremental_(const tqFeaturePattern&, long) {}

void tq_ClassifierBayesian::untrain_() {
    models_.clear();
    labels_.clear();
    table_.reset();
    labelsChecked_ = false;
}

bool tq_ClassifierBayesian::isTrained_() const { return !models_.empty(); }

void tq_ClassifierBayesian::checkRunnable_() const {
    if (models_.empty())
        throw tqClassifierDefs::InsufficientTrainData("No valid data was provided for training.");
    const long size = models_.front()->numMeasurements();
    const tqFeaturePattern trial(std::vector<double>(static_cast<std::size_t>(size > 0 ? size : 0), 0.0));
    tqClassifierResult scratch;
    run_(trial, scratch);
}

void tq_ClassifierBayesian::run_(const tqFeaturePattern& pattern, tqClassifierResult& result) const {
    const bool complete = pattern.numInvalid() == 0;
    const std::vector<double>& values = pattern.featureMeasurements(false);
    if (!complete || !finiteRow<false>(values.data(), values.size()))
        checkFinite(pattern, complete, [] { return "The pattern"; });
    // Log-likelihoods of the usual handful of categories stay on the stack.
    constexpr std::size_t kInline = 16;
    double inlineScores[kInline];
    std::vector<double> heapScores;
    double* scores = inlineScores;
    if (models_.size() > kInline) {
        heapScores.resize(models_.size());
        scores = heapScores.data();
    }
    if (table_ && complete && values.size() >= table_->reach) {
        attentionCheck();
        rateFromTable_(*table_, values.data(), scores);
        resultOf_(scores, runParams_(), result);
        return;
    }

    // The pattern as a batch row, so that it is rated as rows are: its length and validity
    // read once rather than once per category and group.
    constexpr std::size_t kInlineRow = 64;
    unsigned char inlineValid[kInlineRow];
    std::vector<unsigned char> heapValid;
    unsigned char* valid = nullptr;
    if (!complete) {
        if (values.size() > kInlineRow) heapValid.resize(values.size());
        valid = values.size() > kInlineRow ? heapValid.data() : inlineValid;
        for (std::size_t j = 0; j < values.size(); ++j) valid[j] = pattern.isValid(static_cast<long>(j)) ? 1 : 0;
    }
    const tqPatternRows row{values.data(), valid, 1, values.size(), values.size()};

    for (std::size_t k = 0; k < models_.size(); ++k) {
        attentionCheck();
        if (const tq_CategoryModelBayesian* model = rowRater(models_[k])) {
            try {
                model->matchScores_(row, scores + k, 1);
                continue;
            } catch (...) {
                // Rated again below, which gives the failure with its full message.
            }
        }
        scores[k] = models_[k]->matchScore(pattern, nullptr, 0);
    }
    attentionCheck();
    resultOf_(scores, runParams_(), result);
}

bool tq_ClassifierBayesian::rowRaters_(std::vector<const tq_CategoryModelBayesian*>& models) const {
    for (const tqPtrHandle<tq_CategoryModel>& handle : models_) {
        const tq_CategoryModelBayesian* model = rowRater(handle);
        if (!model) return false;
        models.push_back(model);
    }
    return true;
}

bool tq_ClassifierBayesian::rateBlock_(const std::vector<const tq_CategoryModelBayesian*>& models,
                                       const tqPatternRows& block, double* scores) const {
    for (std::size_t i = 0; i < block.rows; ++i)
        if (block.validity ? !rowIsFinite(block, i) : !finiteRow<false>(block.row(i), block.dimension)) return false;
    if (table_ && block.dimension >= table_->reach && allValid(block)) {
        rateBlockFromTable_(*table_, block, scores);
        return true;
    }
    try {
        for (std::size_t k = 0; k < models.size(); ++k) models[k]->matchScores_(block, scores + k, models.size());
    } catch (...) {
        return false;
    }
    return true;
}

void tq_ClassifierBayesian::runBatch_(const tqPatternRows& rows, tqClassifierResult* results) const {
    std::vector<const tq_CategoryModelBayesian*> models;
    if (!rowRaters_(models)) {
        tq_Classifier::runBatch_(rows, results);
        return;
    }
    const tqClassifierTrainParamsBayesian& kept = runParams_();
    const std::size_t numModels = models.size();
    // One block's log-likelihoods, its match scores category by category (kBatchBlock rows
    // each) and factors, reused; the frequencies looked up once.
    std::vector<double> scores(kBatchBlock * numModels), match(kBatchBlock * numModels), shift(kBatchBlock),
        frequency(numModels), row(numModels);
    for (std::size_t k = 0; k < numModels; ++k) frequency[k] = kept.categoryFrequencies().categoryFrequency(labels_[k]);
    // Room for a block's measurements column by column, where the table rates the rows.
    std::vector<double> columns;
    std::vector<std::uint32_t> calls;
    if (table_ && rows.dimension >= table_->reach) {
        columns.resize(kBatchBlock * rows.dimension);
        // A quad's places are stored four at a time, of which the last may lie past the list.
        calls.resize(kBatchBlock * numModels + 3);
    }
    for (std::size_t begin = 0; begin < rows.rows; begin += kBatchBlock) {
        attentionCheck();
        const std::size_t end = std::min(rows.rows, begin + kBatchBlock);
        const tqPatternRows block = rows.slice(begin, end);
        bool rated;
        if (!columns.empty() && allValid(block)) {
            rated = rateAndMatch_(block, columns.data(), scores.data(), match.data(), shift.data(), calls.data());
        } else if ((rated = rateBlock_(models, block, scores.data()))) {
            for (std::size_t i = 0; i < end - begin; ++i) {
                shift[i] = matchScoresOf_(scores.data() + i * numModels, row.data());
                for (std::size_t k = 0; k < numModels; ++k) match[k * kBatchBlock + i] = row[k];
            }
        }
        if (!rated) {
            // The rows of this block one by one: the results before the failing row, then
            // that row's own error, as single runs give them.
            for (std::size_t i = begin; i < end; ++i) run_(rows.pattern(i), results[i]);
            continue;
        }
        tqClassifierResult::decideRows(end - begin, numModels, labels_.data(), match.data(), kBatchBlock, shift.data(),
                                       frequency.data(), kept.misclassificationCosts(), results + begin);
    }
}

void tq_ClassifierBayesian::runBatchScores_(const tqPatternRows& rows, const ScoreColumns& columns,
                                            double* out) const {
    std::vector<const tq_CategoryModelBayesian*> models;
    if (!rowRaters_(models)) {
        tq_Classifier::runBatchScores_(rows, columns, out);
        return;
    }
    const tqClassifierTrainParamsBayesian& kept = runParams_();
    const std::size_t numModels = models.size(), width = columns.size();
    std::vector<std::size_t> columnOf(numModels);
    for (std::size_t k = 0; k < numModels; ++k) columnOf[k] = columns.column(labels_[k]);
    std::vector<double> scores(kBatchBlock * numModels), match(numModels), share(numModels);
    tqClassifierResult result;
    for (std::size_t begin = 0; begin < rows.rows; begin += kBatchBlock) {
        attentionCheck();
        const std::size_t end = std::min(rows.rows, begin + kBatchBlock);
        if (!rateBlock_(models, rows.slice(begin, end), scores.data())) {
            for (std::size_t i = begin; i < end; ++i) {
                run_(rows.pattern(i), result);
                columns.scatter(result, out + i * width);
            }
            continue;
        }
        for (std::size_t i = begin; i < end; ++i) {
            matchScoresOf_(scores.data() + (i - begin) * numModels, match.data());
            tqClassifierResult::classScores(numModels, labels_.data(), match.data(), kept.categoryFrequencies(),
                                            share.data());
            double* row = out + i * width;
            std::fill(row, row + width, 0.0);
            for (std::size_t k = 0; k < numModels; ++k)
                if (columnOf[k] < width) row[columnOf[k]] = share[k];
        }
    }
}

const tqClassifierTrainParamsBayesian& tq_ClassifierBayesian::runParams_() const {
    // The kept parameters, with the checks of trainParams() (which also counts a handle,
    // needlessly on this path): a run only happens trained, so only the missing parameters
    // of a classifier trained without them remain to be refused, by trainParams() itself.
    if (!keptParams_()) trainParams();
    const tqClassifierTrainParams& params = *keptParams_();
    // Kept parameters are of exactly this class; the comparison spares a run the cast's search.
    if (typeid(params) == typeid(tqClassifierTrainParamsBayesian))
        return static_cast<const tqClassifierTrainParamsBayesian&>(params);
    return asBayesian(params);
}

double tq_ClassifierBayesian::matchScoresOf_(const double* scores, double* match) const {
    // Scores relative to the best category: the likelihoods themselves may underflow (a
    // log-likelihood of -800 is common in many dimensions), their ratios to the best do
    // not, and the factor is handed on as its logarithm.
    const std::size_t n = models_.size();
    double best = -std::numeric_limits<double>::infinity();
    for (std::size_t k = 0; k < n; ++k)
        if (scores[k] > best) best = scores[k];
    const double shift = std::log(1.0) - best;
    // The best category's score plus the shift is exactly +0 wherever the best is finite, and
    // its match score exactly e^0 = 1, which needs no call.
    const bool finite = std::isfinite(best);
    for (std::size_t k = 0; k < n; ++k) match[k] = finite && scores[k] == best ? 1.0 : std::exp(scores[k] + shift);
    return shift;
}

void tq_ClassifierBayesian::resultOf_(const double* scores, const tqClassifierTrainParamsBayesian& kept,
                                      tqClassifierResult& result) const {
    // Match scores of the usual handful of categories stay on the stack, and the decision is
    // written into the caller's result. labels_[k] is the label of models_[k].
    const std::size_t n = models_.size();
    constexpr std::size_t kInline = 16;
    double inlineMatch[kInline], inlineFrequency[kInline];
    std::vector<double> heapMatch;
    double* match = inlineMatch;
    if (n > kInline) {
        heapMatch.resize(n);
        match = heapMatch.data();
    }
    const double shift = matchScoresOf_(scores, match);
    if (labelsChecked_) {
        // The labels were checked with the models; without overrides every frequency is the
        // default, which the lookup would give each label.
        static_assert(tqClassifierResult::kRowCategories <= kInline, "checked labels fit the frequencies");
        const tqClassifierFrequencies& frequencies = kept.categoryFrequencies();
        if (frequencies.hasFrequencyOverrides())
            for (std::size_t k = 0; k < n; ++k) inlineFrequency[k] = frequencies.categoryFrequency(labels_[k]);
        else
            std::fill(inlineFrequency, inlineFrequency + n, frequencies.defaultCategoryFrequency());
        result.decideCheckedLabels(n, labels_.data(), match, inlineFrequency, kept.misclassificationCosts(), shift);
        return;
    }
    // The usual handful of categories with labels the lookup accepts (>= 0) have their
    // frequencies looked up here, which spares the decision its own lookup; any other case
    // leaves the lookup, and its errors in their order, to the decision.
    bool lookup = n <= kInline;
    for (std::size_t k = 0; lookup && k < n; ++k) lookup = labels_[k] >= 0;
    if (lookup) {
        const tqClassifierFrequencies& frequencies = kept.categoryFrequencies();
        for (std::size_t k = 0; k < n; ++k) inlineFrequency[k] = frequencies.categoryFrequency(labels_[k]);
        result.decide(n, labels_.data(), match, inlineFrequency, kept.misclassificationCosts(), shift);
        return;
    }
    result.decide(n, labels_.data(), match, kept.categoryFrequencies(), kept.misclassificationCosts(), shift);
}

tqPersistent* tq_ClassifierBayesian::make() { return new tq_ClassifierBayesian(); }

void tq_ClassifierBayesian::dispatchSerialize(tqArchive& ar) {
    serializeLevel_(ar, this, sizeof(*this), [&](unsigned char v) { serialize_(ar, v); });
}

void tq_ClassifierBayesian::serialize_(tqArchive& ar, unsigned char version) {
    tqArchive::checkVersion(version);
    tq_Classifier::dispatchSerialize(ar);
    if (!ar.isLoading()) {
        ar || labels_;
        ar || models_;
        return;
    }
    // Loaded into locals and checked first: a run relies on one model per label.
    std::vector<long> labels;
    std::vector<tqPtrHandle<tq_CategoryModel>> models;
    ar || labels;
    ar || models;
    if (labels.size() != models.size())
        throw tqArchive::Malformed("tq_ClassifierBayesian: the label and category model counts differ");
    for (std::size_t k = 0; k < models.size(); ++k) {
        if (!models[k]) throw tqArchive::Malformed("tq_ClassifierBayesian: a category model is missing");
        if (models[k]->categoryLabel() != labels[k])
            throw tqArchive::Malformed("tq_ClassifierBayesian: a label differs from its category model's");
    }
    labels_ = std::move(labels);
    models_ = std::move(models);
    setScaleFloors(models_);
    buildRunTable_();
    checkLabels_();
}
