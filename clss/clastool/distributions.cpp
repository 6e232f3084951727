#include "clss/clastool/distributions.h"

#include <algorithm>

#include "clss/clastool/errors.h"
#include "platform/archive.h"

namespace {

const char* const kBadLabel = "Cateogory labels must be >= 0";
const char* const kBadIndex = "Feature measurement indices must be >= 0";

void checkLabel(long label) {
    if (label < 0) throw tqClassifierDefs::BadLabel(kBadLabel);
}

void checkIndices(const std::vector<long>& indices) {
    for (long index : indices)
        if (index < 0) throw tqClassifierDefs::BadIndex(kBadIndex);
}

bool contains(const std::vector<long>& set, long index) {
    return std::find(set.begin(), set.end(), index) != set.end();
}

}  // namespace

tqClassifierDistributionTypes::tqClassifierDistributionTypes(DistributionType defaultType)
    : defaultType_(defaultType) {}

long tqClassifierDistributionTypes::distOverrideIndex_(long label, long index) const {
    checkLabel(label);
    if (index < 0) throw tqClassifierDefs::BadIndex(kBadIndex);
    for (std::size_t i = 0; i < overrideLabels_.size(); ++i)
        if (overrideLabels_[i] == label && overrideIndices_[i] == index) return static_cast<long>(i);
    return -1;
}

tqClassifierDistributionTypes::DistributionType tqClassifierDistributionTypes::distributionType(
    long label, long index) const {
    const long position = distOverrideIndex_(label, index);
    return position < 0 ? defaultType_ : overrideTypes_[static_cast<std::size_t>(position)];
}

void tqClassifierDistributionTypes::distributionTypeOverride(long label, long index, DistributionType type) {
    // Asking for the default is a no-op by contract, even for an invalid pair: the default
    // already applies to every pair that has no override.
    if (type == defaultType_) return;
    for (std::size_t s = 0; s < depLabels_.size(); ++s)
        if (depLabels_[s] == label && contains(depSets_[s], index))
            throw tqClassifierDefs::BadParams(
                "Cannot override distribution type of a feature measurement that is already part of a "
                "dependency set.");
    const long position = distOverrideIndex_(label, index);
    if (position < 0) {
        overrideLabels_.push_back(label);
        overrideIndices_.push_back(index);
        overrideTypes_.push_back(type);
    } else {
        overrideTypes_[static_cast<std::size_t>(position)] = type;
    }
}

void tqClassifierDistributionTypes::clearDistributionOverrides() {
    overrideLabels_.clear();
    overrideIndices_.clear();
    overrideTypes_.clear();
}

void tqClassifierDistributionTypes::setDependent(long label, const std::vector<long>& indices) {
    checkLabel(label);
    checkIndices(indices);

    std::vector<long> unique;
    for (long index : indices)
        if (!contains(unique, index)) unique.push_back(index);
    if (unique.empty()) return;

    const DistributionType first = distributionType(label, unique.front());
    for (std::size_t i = 1; i < unique.size(); ++i)
        if (distributionType(label, unique[i]) != first)
            throw tqClassifierDefs::BadParams(
                "The distribution types of dependent feature measurements must be the same.");

    // Strike from the new indices every one that an existing set of this label already
    // holds; the sets that lose an entry this way are merged below. Removal swaps in the
    // last entry, so the order of what remains is part of the defined result.
    std::vector<long> remaining = unique;
    std::vector<bool> touched(depSets_.size(), false);
    long firstTouched = -1;
    for (std::size_t s = 0; s < depSets_.size(); ++s) {
        if (depLabels_[s] != label) continue;
        std::size_t pos = 0;
        while (pos < remaining.size()) {
            if (contains(depSets_[s], remaining[pos])) {
                remaining[pos] = remaining.back();
                remaining.pop_back();
                touched[s] = true;
            } else {
                ++pos;
            }
        }
        if (touched[s] && firstTouched < 0) firstTouched = static_cast<long>(s);
    }

    if (firstTouched < 0) {
        depLabels_.push_back(label);
        depSets_.push_back(std::move(remaining));
        return;
    }

    std::vector<long> merged = depSets_[static_cast<std::size_t>(firstTouched)];
    merged.insert(merged.end(), remaining.begin(), remaining.end());
    for (std::size_t s = static_cast<std::size_t>(firstTouched) + 1; s < depSets_.size(); ++s)
        if (touched[s]) merged.insert(merged.end(), depSets_[s].begin(), depSets_[s].end());

    std::vector<long> newLabels;
    std::vector<std::vector<long>> newSets;
    for (std::size_t s = 0; s < depSets_.size(); ++s) {
        if (static_cast<long>(s) == firstTouched) {
            newLabels.push_back(label);
            newSets.push_back(merged);
        } else if (!touched[s]) {
            newLabels.push_back(depLabels_[s]);
            newSets.push_back(depSets_[s]);
        }
    }
    depLabels_.swap(newLabels);
    depSets_.swap(newSets);
}

bool tqClassifierDistributionTypes::isDependent(long label, const std::vector<long>& indices) const {
    checkLabel(label);
    if (indices.empty()) return false;
    checkIndices(indices);
    for (std::size_t s = 0; s < depSets_.size(); ++s) {
        if (depLabels_[s] != label || !contains(depSets_[s], indices.front())) continue;
        for (long index : indices)
            if (!contains(depSets_[s], index)) return false;
        return true;
    }
    return false;
}

bool tqClassifierDistributionTypes::operator==(const tqClassifierDistributionTypes& other) const {
    return defaultType_ == other.defaultType_ && overrideLabels_ == other.overrideLabels_ &&
           overrideIndices_ == other.overrideIndices_ && overrideTypes_ == other.overrideTypes_ &&
           depLabels_ == other.depLabels_ && depSets_ == other.depSets_;
}

tqArchive& operator||(tqArchive& ar, tqClassifierDistributionTypes::DistributionType& type) {
    unsigned long value = static_cast<unsigned long>(type);
    ar || value;
    if (ar.isLoading()) type = static_cast<tqClassifierDistributionTypes::DistributionType>(value);
    return ar;
}

tqArchive& operator||(tqArchive& ar, tqClassifierDistributionTypes& types) {
    unsigned char version = 0;
    ar || version;
    tqArchive::checkVersion(version, "clss/clastool/bayes", 262);
    // Loading fills a scratch object first, so that a truncated stream leaves the target as it was.
    tqClassifierDistributionTypes loaded = types;
    ar || loaded.defaultType_;
    ar || loaded.overrideLabels_;
    ar || loaded.overrideIndices_;
    ar || loaded.overrideTypes_;
    ar || loaded.depLabels_;
    ar || loaded.depSets_;
    if (ar.isLoading()) types = std::move(loaded);
    return ar;
}
