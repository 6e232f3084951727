// Distribution types and dependency sets: which probability distribution models each
// (category label, measurement index) pair, and which measurements of a category are
// modelled jointly.
#ifndef CLASTOOL_DISTRIBUTIONS_H
#define CLASTOOL_DISTRIBUTIONS_H

#include <vector>

class tqArchive;

// A plain value. Labels and indices are open-ended non-negative numbers: nothing here
// knows how many categories or measurements the data will have. Every type value is
// accepted; an unusable one only fails when a category model is built from it.
//
// Invariants: the override lists are parallel, hold at most one entry per (label, index)
// pair, in order of first insertion; the dependency lists are parallel; within one label
// the sets are disjoint and free of repeats, and a pair inside a set of its label cannot
// receive an override. Sets of different labels are independent. The order of entries is
// part of the value (equality, archive, and the order of measurements inside a group).
//
// Failures leave the object unchanged:
//   BadLabel  "Cateogory labels must be >= 0"            a label < 0
//   BadIndex  "Feature measurement indices must be >= 0"  an index < 0
//   BadParams (see the operations below)
class tqClassifierDistributionTypes {
public:
    // A fixed underlying type, so that any stored value (also an unknown one) is representable.
    enum DistributionType : unsigned long { eNormal = 0, eBinomial = 1, ePoisson = 2, eUniform = 3 };

    explicit tqClassifierDistributionTypes(DistributionType defaultType = eNormal);
    tqClassifierDistributionTypes(const tqClassifierDistributionTypes&) = default;
    tqClassifierDistributionTypes& operator=(const tqClassifierDistributionTypes&) = default;
    ~tqClassifierDistributionTypes() = default;

    // The type of every pair without an override. Setting it leaves overrides and sets alone.
    DistributionType defaultDistributionType() const { return defaultType_; }
    void defaultDistributionType(DistributionType type) { defaultType_ = type; }

    // Gives (label, index) its own type. A type equal to the current default returns at
    // once without checks and without touching an existing override. Throws BadParams
    // "Cannot override distribution type of a feature measurement that is already part of
    // a dependency set." when the index lies in a set of that label (checked before the
    // label and index themselves).
    void distributionTypeOverride(long label, long index, DistributionType type);

    // The override of (label, index), else the default. Dependency sets are not consulted.
    DistributionType distributionType(long label, long index) const;

    // Removes every override; the default and the dependency sets stay.
    void clearDistributionOverrides();

    // Declares the given indices of `label` dependent (repeats dropped, first occurrence
    // kept). Every existing set of the label that shares an index with them is merged with
    // them into one set, placed where the first such set was: that set's indices, then the
    // new ones, then the other merged sets' indices in list order. An empty list changes
    // nothing (after the label check). Throws BadParams "The distribution types of
    // dependent feature measurements must be the same." when the given indices do not all
    // have the type of the first.
    void setDependent(long label, const std::vector<long>& indices);

    // True when one set of `label` holds all the given indices (false for an empty list).
    bool isDependent(long label, const std::vector<long>& indices) const;

    // Every field, lists position by position.
    bool operator==(const tqClassifierDistributionTypes& other) const;
    bool operator!=(const tqClassifierDistributionTypes& other) const { return !(*this == other); }

    friend tqArchive& operator||(tqArchive& ar, tqClassifierDistributionTypes& types);

private:
    // Training reads the dependency sets to form the measurement groups of a category.
    friend class tq_ClassifierBayesian;

    // Position of the override of (label, index), or -1; checks label, then index.
    long distOverrideIndex_(long label, long index) const;

    DistributionType defaultType_;
    std::vector<long> overrideLabels_;
    std::vector<long> overrideIndices_;
    std::vector<DistributionType> overrideTypes_;
    std::vector<long> depLabels_;
    std::vector<std::vector<long>> depSets_;
};

// Archive form: version byte 0, default type (unsigned long), override labels, override
// indices, override types, dependency labels, dependency sets (each a list: version byte
// 0, count, elements). Loading refuses another version byte with tqArchive::UnknownVersion.
tqArchive& operator||(tqArchive& ar, tqClassifierDistributionTypes& types);
// A type passes as its value, an unsigned long.
tqArchive& operator||(tqArchive& ar, tqClassifierDistributionTypes::DistributionType& type);

#endif
