#include "clss/clastool/provider.h"

#include <cstddef>
#include <utility>

#include "clss/clastool/errors.h"
#include "platform/exception.h"

namespace {

void checkLabel(long label) {
    if (label < 0 && label != -1) throw tqClassifierDefs::BadLabel("Category labels must be >= 0 or unknown");
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// tqClassifierDataProvider

tqClassifierDataProvider::tqClassifierDataProvider() = default;
tqClassifierDataProvider::~tqClassifierDataProvider() = default;
tqClassifierDataProvider::tqClassifierDataProvider(const tqClassifierDataProvider&)
    : tqPersistent(), tqRepBase() {}
tqClassifierDataProvider& tqClassifierDataProvider::operator=(const tqClassifierDataProvider&) {
    return *this;
}

bool tqClassifierDataProvider::isEqual_(const tqClassifierDataProvider&) const { return true; }

void tqClassifierDataProvider::dispatchSerialize(tqArchive& ar) {
    serializeLevel_(ar, this, sizeof(*this), [&](unsigned char v) { serialize_(ar, v); });
}

void tqClassifierDataProvider::serialize_(tqArchive& ar, unsigned char version) {
    tqArchive::checkVersion(version);
    tqPersistent::dispatchSerialize(ar);
}

// ---------------------------------------------------------------------------------------------
// tqClassifierDataProviderMemory

tqClassifierDataProviderMemory::tqClassifierDataProviderMemory() = default;

tqClassifierDataProviderMemory::tqClassifierDataProviderMemory(const tqClassifierDataProviderMemory& other)
    : tqClassifierDataProvider(other),
      name_(other.name_),
      description_(other.description_),
      patterns_(other.patterns_),
      labels_(other.labels_) {}

tqClassifierDataProviderMemory& tqClassifierDataProviderMemory::operator=(
    const tqClassifierDataProviderMemory& other) {
    mutating_();
    if (this == &other) return *this;
    // Copies first, so that a failed allocation leaves this provider as it was.
    std::string name(other.name_);
    std::string description(other.description_);
    std::vector<tqPtrHandle_const<tqFeaturePattern>> patterns(other.patterns_);
    std::vector<long> labels(other.labels_);
    name_.swap(name);
    description_.swap(description);
    patterns_.swap(patterns);
    labels_.swap(labels);
    return *this;
}

tqClassifierDataProviderMemory::~tqClassifierDataProviderMemory() { mutating_(); }

tqPersistent* tqClassifierDataProviderMemory::make() { return new tqClassifierDataProviderMemory(); }

void tqClassifierDataProviderMemory::addData(const tqPtrHandle_const<tqFeaturePattern>& pattern, long label) {
    if (!patterns_.empty()) {
        if (!pattern) throw tqBadPointer();
        if (pattern->numMeasurements() != numMeasurements())
            throw tqClassifierDefs::BadFeatures(
                "Feature pattern must have the same number of measurements as the rest of the data.");
    }
    checkLabel(label);
    // Reserve both before appending, so that the two vectors always grow together.
    // Geometric growth: reserving exactly one more would copy the whole vector on every call.
    if (patterns_.size() == patterns_.capacity()) patterns_.reserve(2 * patterns_.size() + 1);
    if (labels_.size() == labels_.capacity()) labels_.reserve(2 * labels_.size() + 1);
    patterns_.push_back(pattern);
    labels_.push_back(label);
}

void tqClassifierDataProviderMemory::data(const std::vector<tqPtrHandle_const<tqFeaturePattern>>& patterns,
                                          const std::vector<long>& labels) {
    if (patterns.size() != labels.size())
        throw tqClassifierDefs::BadFeatures(
            "The number of the feature patterns must be equal to the number of category labels");
    if (patterns.size() >= 2) {
        // operator-> throws tqBadPointer for a null handle, the first one included.
        const long count = patterns[0]->numMeasurements();
        for (std::size_t i = 1; i < patterns.size(); ++i)
            if (patterns[i]->numMeasurements() != count)
                throw tqClassifierDefs::BadFeatures(
                    "Feature patterns must all have the same number of measurements");
    }
    for (long label : labels) checkLabel(label);

    std::vector<tqPtrHandle_const<tqFeaturePattern>> newPatterns(patterns);
    std::vector<long> newLabels(labels);
    patterns_.swap(newPatterns);
    labels_.swap(newLabels);
}

void tqClassifierDataProviderMemory::setName(const std::string& name) { name_ = name; }
void tqClassifierDataProviderMemory::setDescription(const std::string& description) {
    description_ = description;
}
std::string tqClassifierDataProviderMemory::name() const { return name_; }
std::string tqClassifierDataProviderMemory::description() const { return description_; }

long tqClassifierDataProviderMemory::numMeasurements() const {
    if (patterns_.empty()) return 0;
    return patterns_.front()->numMeasurements();
}

long tqClassifierDataProviderMemory::numPatterns() const { return static_cast<long>(patterns_.size()); }

tqPtrHandle_const<tqFeaturePattern> tqClassifierDataProviderMemory::featurePattern(long index) const {
    if (index < 0 || index >= numPatterns())
        throw tqClassifierDefs::BadIndex("Feature pattern index must be >=0 and < number of patterns.");
    return patterns_[static_cast<std::size_t>(index)];
}

long tqClassifierDataProviderMemory::categoryLabel(long index) const {
    if (index < 0 || index >= numPatterns())
        throw tqClassifierDefs::BadIndex("Category label index must be >=0 and < number of patterns.");
    return labels_[static_cast<std::size_t>(index)];
}

bool tqClassifierDataProviderMemory::operator==(const tqClassifierDataProviderMemory& other) const {
    return isEqual_(other);
}

bool tqClassifierDataProviderMemory::operator!=(const tqClassifierDataProviderMemory& other) const {
    return !(*this == other);
}

bool tqClassifierDataProviderMemory::isEqual_(const tqClassifierDataProvider& other) const {
    const auto* that = dynamic_cast<const tqClassifierDataProviderMemory*>(&other);
    if (!that) return false;
    if (patterns_.size() != that->patterns_.size()) return false;
    for (std::size_t i = 0; i < patterns_.size(); ++i)
        if (*patterns_[i] != *that->patterns_[i]) return false;
    return name_ == that->name_ && description_ == that->description_ && labels_ == that->labels_;
}

void tqClassifierDataProviderMemory::dispatchSerialize(tqArchive& ar) {
    serializeLevel_(ar, this, sizeof(*this), [&](unsigned char v) { serialize_(ar, v); });
}

void tqClassifierDataProviderMemory::serialize_(tqArchive& ar, unsigned char version) {
    tqArchive::checkVersion(version);
    tqClassifierDataProvider::dispatchSerialize(ar);
    if (ar.isStoring()) {
        ar || name_ || description_ || patterns_ || labels_;
        return;
    }
    // Read everything before changing anything. Loaded patterns are not looked into here: an
    // object reached through a handle may be filled later in the same pass.
    std::string name;
    std::string description;
    std::vector<tqPtrHandle_const<tqFeaturePattern>> patterns;
    std::vector<long> labels;
    ar || name || description || patterns || labels;
    if (patterns.size() != labels.size())
        throw tqArchive::Malformed("tqClassifierDataProviderMemory: the pattern and label counts differ");
    name_.swap(name);
    description_.swap(description);
    patterns_.swap(patterns);
    labels_.swap(labels);
}
