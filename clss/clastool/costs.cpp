#include "clss/clastool/costs.h"

#include <cmath>
#include <cstddef>

#include "clss/clastool/errors.h"

namespace {

const char* const kArchiveWhere = "clss/clastool/clastool";
constexpr long kFrequenciesVersionLine = 523;
constexpr long kCostsVersionLine = 436;

// Written as negated comparisons so that NaN, which is neither > 0 nor >= 0, is refused too.
void checkFrequency(double frequency) {
    if (!(frequency > 0.0)) throw tqClassifierDefs::BadParams("Category frequencies must be > 0.0");
    // An infinite frequency would make every share inf / inf = NaN at classification time.
    if (std::isinf(frequency)) throw tqClassifierDefs::BadParams("Category frequencies must be finite");
}

void checkCost(double cost) {
    if (!(cost >= 0.0)) throw tqClassifierDefs::BadParams("Costs must be >= 0.0");
}

void checkLabel(long label) {
    if (label < 0) throw tqClassifierDefs::BadLabel("Category labels must be >= 0");
}

void checkDifferent(long a, long b) {
    if (a == b) throw tqClassifierDefs::BadLabel("Category labels must be different");
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// tqClassifierFrequencies

tqClassifierFrequencies::tqClassifierFrequencies(double defaultFrequency)
    : defaultFrequency_(defaultFrequency) {
    checkFrequency(defaultFrequency);
}

tqClassifierFrequencies::tqClassifierFrequencies(const tqClassifierFrequencies& other) = default;
tqClassifierFrequencies& tqClassifierFrequencies::operator=(const tqClassifierFrequencies& other) = default;
tqClassifierFrequencies::~tqClassifierFrequencies() = default;

double tqClassifierFrequencies::defaultCategoryFrequency() const { return defaultFrequency_; }

void tqClassifierFrequencies::defaultCategoryFrequency(double frequency) {
    checkFrequency(frequency);
    defaultFrequency_ = frequency;
}

void tqClassifierFrequencies::categoryFrequencyOverride(long label, double frequency) {
    checkFrequency(frequency);
    const long index = freqOverrideIndex_(label);
    if (index >= 0) {
        overrideFrequencies_[static_cast<std::size_t>(index)] = frequency;
        return;
    }
    overrideLabels_.reserve(overrideLabels_.size() + 1);
    overrideFrequencies_.reserve(overrideFrequencies_.size() + 1);
    overrideLabels_.push_back(label);
    overrideFrequencies_.push_back(frequency);
}

double tqClassifierFrequencies::categoryFrequency(long label) const {
    const long index = freqOverrideIndex_(label);
    return index >= 0 ? overrideFrequencies_[static_cast<std::size_t>(index)] : defaultFrequency_;
}

void tqClassifierFrequencies::clearFrequencyOverrides() {
    overrideLabels_.clear();
    overrideFrequencies_.clear();
}

long tqClassifierFrequencies::freqOverrideIndex_(long label) const {
    checkLabel(label);
    for (std::size_t i = 0; i < overrideLabels_.size(); ++i)
        if (overrideLabels_[i] == label) return static_cast<long>(i);
    return -1;
}

bool tqClassifierFrequencies::operator==(const tqClassifierFrequencies& other) const {
    return defaultFrequency_ == other.defaultFrequency_ && overrideLabels_ == other.overrideLabels_ &&
           overrideFrequencies_ == other.overrideFrequencies_;
}

bool tqClassifierFrequencies::operator!=(const tqClassifierFrequencies& other) const {
    return !(*this == other);
}

tqArchive& operator||(tqArchive& ar, tqClassifierFrequencies& frequencies) {
    unsigned char version = 0;
    ar || version;
    tqArchive::checkVersion(version, kArchiveWhere, kFrequenciesVersionLine);
    if (ar.isStoring())
        return ar || frequencies.defaultFrequency_ || frequencies.overrideLabels_ ||
               frequencies.overrideFrequencies_;

    // The look-ups index the frequencies by the position of a label, so the two vectors
    // must have the same length; nothing changes until everything has been read.
    double defaultFrequency = 0.0;
    std::vector<long> labels;
    std::vector<double> values;
    ar || defaultFrequency || labels || values;
    if (labels.size() != values.size())
        throw tqArchive::Malformed("tqClassifierFrequencies: the label and frequency counts differ");
    frequencies.defaultFrequency_ = defaultFrequency;
    frequencies.overrideLabels_.swap(labels);
    frequencies.overrideFrequencies_.swap(values);
    return ar;
}

// ---------------------------------------------------------------------------------------------
// tqClassifierCosts

tqClassifierCosts::tqClassifierCosts(double defaultCost) : defaultCost_(defaultCost) {
    checkCost(defaultCost);
}

tqClassifierCosts::tqClassifierCosts(const tqClassifierCosts& other) = default;
tqClassifierCosts& tqClassifierCosts::operator=(const tqClassifierCosts& other) = default;
tqClassifierCosts::~tqClassifierCosts() = default;

double tqClassifierCosts::defaultMisclassificationCost() const { return defaultCost_; }

void tqClassifierCosts::defaultMisclassificationCost(double cost) {
    checkCost(cost);
    defaultCost_ = cost;
}

void tqClassifierCosts::misclassificationCostOverride(long a, long b, double cost) {
    checkCost(cost);
    checkDifferent(a, b);
    const long index = misclOverrideIndex_(a, b);
    if (index >= 0) {
        overrideCosts_[static_cast<std::size_t>(index)] = cost;
        return;
    }
    firstLabels_.reserve(firstLabels_.size() + 1);
    secondLabels_.reserve(secondLabels_.size() + 1);
    overrideCosts_.reserve(overrideCosts_.size() + 1);
    firstLabels_.push_back(a);
    secondLabels_.push_back(b);
    overrideCosts_.push_back(cost);
}

double tqClassifierCosts::misclassificationCost(long a, long b) const {
    checkDifferent(a, b);
    const long index = misclOverrideIndex_(a, b);
    return index >= 0 ? overrideCosts_[static_cast<std::size_t>(index)] : defaultCost_;
}

void tqClassifierCosts::clearMisclassificationOverrides() {
    firstLabels_.clear();
    secondLabels_.clear();
    overrideCosts_.clear();
}

long tqClassifierCosts::misclOverrideIndex_(long a, long b) const {
    checkLabel(a);
    checkLabel(b);
    for (std::size_t i = 0; i < firstLabels_.size(); ++i)
        if (firstLabels_[i] == a && secondLabels_[i] == b) return static_cast<long>(i);
    return -1;
}

bool tqClassifierCosts::operator==(const tqClassifierCosts& other) const {
    return defaultCost_ == other.defaultCost_ && firstLabels_ == other.firstLabels_ &&
           secondLabels_ == other.secondLabels_ && overrideCosts_ == other.overrideCosts_;
}

bool tqClassifierCosts::operator!=(const tqClassifierCosts& other) const { return !(*this == other); }

tqArchive& operator||(tqArchive& ar, tqClassifierCosts& costs) {
    unsigned char version = 0;
    ar || version;
    tqArchive::checkVersion(version, kArchiveWhere, kCostsVersionLine);
    if (ar.isStoring())
        return ar || costs.defaultCost_ || costs.firstLabels_ || costs.secondLabels_ || costs.overrideCosts_;

    double defaultCost = 0.0;
    std::vector<long> first;
    std::vector<long> second;
    std::vector<double> values;
    ar || defaultCost || first || second || values;
    if (first.size() != second.size() || first.size() != values.size())
        throw tqArchive::Malformed("tqClassifierCosts: the label and cost counts differ");
    costs.defaultCost_ = defaultCost;
    costs.firstLabels_.swap(first);
    costs.secondLabels_.swap(second);
    costs.overrideCosts_.swap(values);
    return ar;
}
