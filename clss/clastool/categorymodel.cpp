#include "clss/clastool/categorymodel.h"

#include <algorithm>
#include <cstdint>
#include <typeinfo>

#include "clss/clastool/errors.h"
#include "platform/archive.h"
#include "platform/exception.h"

// ---------------------------------------------------------------------------------------
// tq_CategoryModel

tq_CategoryModel::tq_CategoryModel(const tq_CategoryModel& other)
    : tqPersistent(other), tqRepBase(other), label_(other.label_), numMeasurements_(other.numMeasurements_) {}

tq_CategoryModel& tq_CategoryModel::operator=(const tq_CategoryModel& other) {
    mutating_();
    label_ = other.label_;
    numMeasurements_ = other.numMeasurements_;
    return *this;
}

tq_CategoryModel::~tq_CategoryModel() { mutating_(); }

bool tq_CategoryModel::operator==(const tq_CategoryModel& other) const {
    return label_ == other.label_ && numMeasurements_ == other.numMeasurements_;
}

void tq_CategoryModel::dispatchSerialize(tqArchive& ar) {
    serializeLevel_(ar, static_cast<tq_CategoryModel*>(this), sizeof(tq_CategoryModel),
                    [&](unsigned char v) { serialize_(ar, v); });
}

void tq_CategoryModel::serialize_(tqArchive& ar, unsigned char version) {
    tqArchive::checkVersion(version);
    tqPersistent::dispatchSerialize(ar);
    ar || label_;
    ar || numMeasurements_;
}

// ---------------------------------------------------------------------------------------
// tq_CategoryModelBayesian

namespace {

inline void check(long status) {
    if (status != tqMVNSuccess) tfThrowExceptionOnFailure(status);
}

// Scratch storage for the group sub-patterns of one pattern, for one matchScore or adapt
// call, or of one row after another: one kernel record (in a list of one), reused for every group. The
// sub-patterns are written straight into it, so that a normal density rates them without
// copying, and no group costs an allocation (the record keeps short groups inside itself; a
// larger group grows it once). What the pattern says about its length and validity is read
// once per pattern rather than once per measurement.
class GroupScratch {
public:
    explicit GroupScratch(const tqFeaturePattern& pattern)
        : pattern_(&pattern),
          all_(pattern.featureMeasurements(false).data()),
          size_(pattern.numMeasurements()),
          complete_(pattern.numInvalid() == 0) {
        makeRecord();
    }
    // For rows: set each one with row() before gathering its groups.
    GroupScratch() { makeRecord(); }
    ~GroupScratch() { tfMVNRecordListDestroy(&list_); }
    GroupScratch(const GroupScratch&) = delete;
    GroupScratch& operator=(const GroupScratch&) = delete;

    // Row `values` of `size` measurements; valid marks invalid ones with 0 (null: all valid).
    void row(const double* values, const unsigned char* valid, long size) {
        all_ = values;
        valid_ = valid;
        size_ = size;
        complete_ = valid == nullptr;
    }

    // The sub-pattern for `group`: measurement k is the pattern's measurement group[k] when
    // that is valid; otherwise it is 0.0 and listed as invalid.
    tq_GroupMeasurements gather(const std::vector<long>& group) {
        tq_GroupMeasurements view = gatherInto(group, record_);
        view.records = &list_;
        return view;
    }

    // The same sub-pattern written into another record; the view is of that record alone.
    tq_GroupMeasurements gatherInto(const std::vector<long>& group, tqMVNRecord* record) const {
        const long n = static_cast<long>(group.size());
        double* values = nullptr;
        std::int32_t* invalid = nullptr;
        check(tfMVNDoubleListResize(&record->measurements, n));
        check(tfMVNIntListResize(&record->invalid, n));
        check(tfMVNDoubleListData(&record->measurements, &values));
        check(tfMVNIntListData(&record->invalid, &invalid));
        long numInvalid = 0;
        for (long k = 0; k < n; ++k) {
            const long index = group[static_cast<std::size_t>(k)];
            if (index < 0 && pattern_) pattern_->isValid(index);  // refuses it with BadIndex
            if (index >= 0 && index < size_ && (complete_ || isValid(index))) {
                values[k] = all_[static_cast<std::size_t>(index)];
            } else {
                values[k] = 0.0;
                invalid[numInvalid++] = static_cast<std::int32_t>(k);
            }
        }
        // Shrinking keeps the storage, so the pointers stay valid.
        check(tfMVNIntListResize(&record->invalid, numInvalid));
        tq_GroupMeasurements view;
        view.values = values;
        view.size = n;
        view.invalid = invalid;
        view.numInvalid = numInvalid;
        view.record = record;
        return view;
    }

private:
    // The record is the only one of a list, so that a density can learn from it as it is.
    void makeRecord() {
        check(tfMVNRecordListConstruct(&list_));
        check(tfMVNRecordListResize(&list_, 1));
        check(tfMVNRecordListData(&list_, &record_));
    }

    bool isValid(long index) const {
        return pattern_ ? pattern_->isValid(index) : valid_[static_cast<std::size_t>(index)] != 0;
    }

    const tqFeaturePattern* pattern_ = nullptr;
    const double* all_ = nullptr;
    const unsigned char* valid_ = nullptr;
    long size_ = 0;
    bool complete_ = true;
    tqMVNRecordList list_;
    tqMVNRecord* record_ = nullptr;
};

const std::vector<long> kNoGroup;

// A kernel record list of its own, destroyed on every path out of the scope.
class RecordBlock {
public:
    explicit RecordBlock(long size) {
        check(tfMVNRecordListConstruct(&list_));
        const long status = tfMVNRecordListResize(&list_, size);
        if (status != tqMVNSuccess) {
            tfMVNRecordListDestroy(&list_);
            check(status);
        }
        check(tfMVNRecordListData(&list_, &records_));
    }
    ~RecordBlock() { tfMVNRecordListDestroy(&list_); }
    RecordBlock(const RecordBlock&) = delete;
    RecordBlock& operator=(const RecordBlock&) = delete;
    const tqMVNRecordList* list() const { return &list_; }
    tqMVNRecord* record(std::size_t r) { return records_ + r; }

private:
    tqMVNRecordList list_;
    tqMVNRecord* records_ = nullptr;
};

// The sub-pattern as a pattern object, for the rare paths that need one.
tqFeaturePattern subPattern(const tqFeaturePattern& pattern, const std::vector<long>& group) {
    std::vector<double> values(group.size(), 0.0);
    std::vector<long> invalid;
    for (std::size_t k = 0; k < group.size(); ++k) {
        if (pattern.isValid(group[k]))
            values[k] = pattern.featureMeasurement(group[k], false);
        else
            invalid.push_back(static_cast<long>(k));
    }
    return tqFeaturePattern(values, invalid);
}

}  // namespace

tq_CategoryModelBayesian::tq_CategoryModelBayesian() = default;

tq_CategoryModelBayesian::tq_CategoryModelBayesian(
    long label, const std::vector<std::vector<long>>& groups,
    const std::vector<tqClassifierDistributionTypes::DistributionType>& types,
    const tqFeaturePattern& maxValues)
    : groups_(groups), pdfs_(types.size()) {
    categoryLabel(label);
    long total = 0;
    for (std::size_t g = 0; g < types.size(); ++g) {
        const std::vector<long>& group = g < groups_.size() ? groups_[g] : kNoGroup;
        total += static_cast<long>(group.size());
        switch (types[g]) {
            case tqClassifierDistributionTypes::eNormal:
                pdfs_[g].reset(new tq_PDFMultivariateNormal());
                break;
            case tqClassifierDistributionTypes::eBinomial: {
                const tqFeaturePattern maxima = subPattern(maxValues, group);
                if (maxima.isValid(0))
                    pdfs_[g].reset(new tq_PDFBinomial(maxima));
                else
                    pdfs_[g].reset(new tq_PDFBinomial(tqFeaturePattern({1.0}, {})));
                break;
            }
            case tqClassifierDistributionTypes::ePoisson:
                throw tqClassifierDefs::NotImplemented("Poisson distribution is not implemented");
            case tqClassifierDistributionTypes::eUniform:
                throw tqClassifierDefs::NotImplemented("Uniform distribution is not implemented");
            default:
                throw tqClassifierDefs::BadParams("Unknown distribution type");
        }
    }
    numMeasurements(total);
}

tq_CategoryModelBayesian::tq_CategoryModelBayesian(const tq_CategoryModelBayesian& other)
    : tq_CategoryModel(other), groups_(other.groups_), pdfs_(other.pdfs_) {}

tq_CategoryModelBayesian& tq_CategoryModelBayesian::operator=(const tq_CategoryModelBayesian& other) {
    tq_CategoryModel::operator=(other);
    groups_ = other.groups_;
    pdfs_ = other.pdfs_;
    return *this;
}

tq_CategoryModelBayesian::~tq_CategoryModelBayesian() = default;

double tq_CategoryModelBayesian::matchScore(const tqFeaturePattern& pattern, tqDiagObject*,
                                            unsigned long) const {
    GroupScratch scratch(pattern);
    double sum = 0.0;
    try {
        for (std::size_t g = 0; g < pdfs_.size(); ++g) {
            const std::vector<long>& group = g < groups_.size() ? groups_[g] : kNoGroup;
            const tq_GroupMeasurements view = scratch.gather(group);
            sum += pdfs_[g]->logValueOfGroup_(view);
        }
    } catch (const tqClassifierDefs::InsufficientTrainData& e) {
        // Say which category lacks data: the PDF itself does not know its label.
        throw tqClassifierDefs::InsufficientTrainData(e.message(true) + " for category " +
                                                      tfStr(categoryLabel()));
    }
    return sum;
}

void tq_CategoryModelBayesian::adapt(const tqFeaturePattern& pattern, tqDiagObject*, unsigned long) {
    GroupScratch scratch(pattern);
    for (std::size_t g = 0; g < pdfs_.size(); ++g) {
        const std::vector<long>& group = g < groups_.size() ? groups_[g] : kNoGroup;
        const tq_GroupMeasurements view = scratch.gather(group);
        pdfs_[g]->updateWithGroup_(view);
    }
}

bool tq_CategoryModelBayesian::ratesRows_() const {
    for (const std::vector<long>& group : groups_)
        for (long index : group)
            if (index < 0) return false;
    return true;
}

void tq_CategoryModelBayesian::matchScores_(const tqPatternRows& rows, double* scores,
                                            std::size_t scoreStride) const {
    for (std::size_t r = 0; r < rows.rows; ++r) scores[r * scoreStride] = 0.0;
    GroupScratch scratch;
    const long dimension = static_cast<long>(rows.dimension);
    // Group by group, as matchScore adds them, so every row's sum is formed in the same order.
    for (std::size_t g = 0; g < pdfs_.size(); ++g) {
        const std::vector<long>& group = g < groups_.size() ? groups_[g] : kNoGroup;
        const tq_ProbabilityDensityFunction& pdf = *pdfs_[g];  // an empty handle throws tqBadPointer
        // Densities are of exactly their class (trained or loaded): a type comparison per
        // group is cheaper than a cast that searches the hierarchy, on every run.
        const bool normal = typeid(pdf) == typeid(tq_PDFMultivariateNormal);
        if (normal && group.size() == 1 && group[0] < dimension) {
            const auto j = static_cast<std::size_t>(group[0]);
            static_cast<const tq_PDFMultivariateNormal&>(pdf).addLogValues1_(static_cast<long>(rows.rows), rows.values + j, rows.rowStride,
                                   rows.validity ? rows.validity + j : nullptr, rows.rowStride, scores,
                                   scoreStride);
            continue;
        }
        for (std::size_t r = 0; r < rows.rows; ++r) {
            scratch.row(rows.row(r), rows.validity ? rows.validity + r * rows.rowStride : nullptr, dimension);
            scores[r * scoreStride] += pdf.logValueOfGroup_(scratch.gather(group));
        }
    }
}

void tq_CategoryModelBayesian::adaptRows_(const tqPatternRows& rows) {
    GroupScratch scratch;
    const long dimension = static_cast<long>(rows.dimension);
    // The one-measurement normal groups learn together, row by row: their updates are
    // independent, and interleaved they overlap rather than wait on one another. Groups are
    // learned in group order otherwise; the states are apart, so the order of the two kinds
    // does not change a bit.
    constexpr std::size_t kInline = 32;
    tqMVNState* inlineStates[kInline];
    std::size_t inlineColumns[kInline];
    std::vector<tqMVNState*> heapStates;
    std::vector<std::size_t> heapColumns;
    tqMVNState** states = inlineStates;
    std::size_t* columns = inlineColumns;
    if (pdfs_.size() > kInline) {
        heapStates.resize(pdfs_.size());
        heapColumns.resize(pdfs_.size());
        states = heapStates.data();
        columns = heapColumns.data();
    }
    std::size_t numColumns = 0;
    for (std::size_t g = 0; g < pdfs_.size(); ++g) {
        const std::vector<long>& group = g < groups_.size() ? groups_[g] : kNoGroup;
        tq_ProbabilityDensityFunction& pdf = *pdfs_[g];  // an empty handle throws tqBadPointer
        if (typeid(pdf) == typeid(tq_PDFMultivariateNormal) && group.size() == 1 && group[0] < dimension) {
            states[numColumns] = &static_cast<tq_PDFMultivariateNormal&>(pdf).state_;
            columns[numColumns++] = static_cast<std::size_t>(group[0]);
            continue;
        }
        if (typeid(pdf) == typeid(tq_PDFMultivariateNormal) &&
            std::all_of(group.begin(), group.end(), [&](long index) { return index < dimension; })) {
            // The block's rows in one kernel update, read in place.
            check(tfMVNUpdateRows(&static_cast<tq_PDFMultivariateNormal&>(pdf).state_, static_cast<long>(rows.rows),
                                  static_cast<long>(group.size()), group.data(), rows.values, rows.rowStride,
                                  rows.validity, rows.rowStride, 1.0));
            continue;
        }
        if (typeid(pdf) == typeid(tq_PDFMultivariateNormal)) {
            // Every row's sub-pattern in one record list: one kernel update for the block.
            RecordBlock block(static_cast<long>(rows.rows));
            for (std::size_t r = 0; r < rows.rows; ++r) {
                scratch.row(rows.row(r), rows.validity ? rows.validity + r * rows.rowStride : nullptr, dimension);
                scratch.gatherInto(group, block.record(r));
            }
            check(tfMVNUpdateWithNormalization(&static_cast<tq_PDFMultivariateNormal&>(pdf).state_, block.list(), 1.0));
            continue;
        }
        for (std::size_t r = 0; r < rows.rows; ++r) {
            scratch.row(rows.row(r), rows.validity ? rows.validity + r * rows.rowStride : nullptr, dimension);
            pdf.updateWithGroup_(scratch.gather(group));
        }
    }
    check(tfMVNUpdateColumns1(states, columns, static_cast<long>(numColumns), static_cast<long>(rows.rows),
                              rows.values, rows.rowStride, rows.validity, rows.rowStride, 1.0));
}

bool tq_CategoryModelBayesian::normalTerms1_(std::vector<std::size_t>& indices,
                                             std::vector<tqMVNTerms1>& terms) const {
    if (groups_.size() < pdfs_.size()) return false;
    for (std::size_t g = 0; g < pdfs_.size(); ++g) {
        const tq_ProbabilityDensityFunction* pdf = pdfs_[g].get();
        if (!pdf || typeid(*pdf) != typeid(tq_PDFMultivariateNormal) || groups_[g].size() != 1 || groups_[g][0] < 0)
            return false;
        tqMVNTerms1 own{};
        if (tfMVNTerms1Of(&static_cast<const tq_PDFMultivariateNormal*>(pdf)->state_, &own) != tqMVNSuccess)
            return false;
        indices.push_back(static_cast<std::size_t>(groups_[g][0]));
        terms.push_back(own);
    }
    return true;
}

bool tq_CategoryModelBayesian::operator==(const tq_CategoryModelBayesian& other) const {
    if (!tq_CategoryModel::operator==(other) || pdfs_.size() != other.pdfs_.size()) return false;
    for (std::size_t g = 0; g < pdfs_.size(); ++g)
        if (!pdfs_[g]->isEquivalent(*other.pdfs_[g])) return false;
    return true;
}

tqPersistent* tq_CategoryModelBayesian::make() { return new tq_CategoryModelBayesian(); }

void tq_CategoryModelBayesian::dispatchSerialize(tqArchive& ar) {
    serializeLevel_(ar, this, sizeof(*this), [&](unsigned char v) { serialize_(ar, v); });
}

void tq_CategoryModelBayesian::serialize_(tqArchive& ar, unsigned char version) {
    tqArchive::checkVersion(version);
    tq_CategoryModel::dispatchSerialize(ar);
    if (!ar.isLoading()) {
        ar || groups_;
        ar || pdfs_;
        return;
    }
    // Loaded into locals and checked first: rating a pattern relies on one density per group.
    std::vector<std::vector<long>> groups;
    std::vector<tqPtrHandle<tq_ProbabilityDensityFunction>> pdfs;
    ar || groups;
    ar || pdfs;
    if (groups.size() != pdfs.size())
        throw tqArchive::Malformed("tq_CategoryModelBayesian: the group and density counts differ");
    for (const auto& pdf : pdfs)
        if (!pdf) throw tqArchive::Malformed("tq_CategoryModelBayesian: a density is missing");
    groups_ = std::move(groups);
    pdfs_ = std::move(pdfs);
}
