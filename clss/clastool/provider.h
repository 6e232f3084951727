// Labelled data for training: numbered feature patterns, each with a category label.
#ifndef CLASTOOL_PROVIDER_H
#define CLASTOOL_PROVIDER_H

#include <string>
#include <vector>

#include "clss/clastool/pattern.h"
#include "platform/archive.h"
#include "platform/handle.h"
#include "platform/persistent.h"

// What training reads: a numbered list of patterns with labels. A label is a category
// number (0 or more) or -1, the unknown label. The base has no data of its own.
//
// Archive layout of this level (version 0): the tqPersistent level. Another version throws
// tqArchive::UnknownVersion without text, line 0.
class tqClassifierDataProvider : public tqPersistent, public tqRepBase {
public:
    tqClassifierDataProvider();
    ~tqClassifierDataProvider() override;

    virtual std::string name() const = 0;
    virtual std::string description() const = 0;
    virtual long numMeasurements() const = 0;
    virtual long numPatterns() const = 0;
    // index in [0, numPatterns()); implementations throw tqClassifierDefs::BadIndex otherwise.
    virtual tqPtrHandle_const<tqFeaturePattern> featurePattern(long index) const = 0;
    virtual long categoryLabel(long index) const = 0;

protected:
    void dispatchSerialize(tqArchive& ar) override;
    // Whether other holds the same data; derived classes first check other's class. The
    // base has nothing to compare and returns true.
    virtual bool isEqual_(const tqClassifierDataProvider& other) const;

    // A copy is a new object with its own count; the base copies nothing.
    tqClassifierDataProvider(const tqClassifierDataProvider& other);
    tqClassifierDataProvider& operator=(const tqClassifierDataProvider& other);
    void serialize_(tqArchive& ar, unsigned char version);
};

// The in-memory provider: a name, a description, shared patterns and their labels.
// Patterns are shared, never copied: adding, replacing, copying and featurePattern all pass
// handles to the same pattern objects.
//
// Invariants kept by the setters: every label is 0 or more, or -1; all patterns have as many
// measurements as the first one.
//
// Archive layout (version 0): the tqClassifierDataProvider level, name, description, the
// patterns (vector of handles), the labels (vector of long). Another version throws
// tqArchive::UnknownVersion without text, line 0. Loading does not repeat the setters'
// checks, but refuses pattern and label vectors of different lengths.
class tqClassifierDataProviderMemory : public tqClassifierDataProvider {
public:
    tqClassifierDataProviderMemory();
    tqClassifierDataProviderMemory(const tqClassifierDataProviderMemory& other);
    tqClassifierDataProviderMemory& operator=(const tqClassifierDataProviderMemory& other);
    ~tqClassifierDataProviderMemory() override;

    // Appends one pattern and its label. Checks, in order:
    //   - if the provider is not empty: a null pattern throws tqBadPointer; a pattern with a
    //     different number of measurements throws tqClassifierDefs::BadFeatures "Feature
    //     pattern must have the same number of measurements as the rest of the data."
    //     (the first pattern is accepted as it is, null included);
    //   - a label below 0 other than -1 throws tqClassifierDefs::BadLabel "Category labels
    //     must be >= 0 or unknown".
    void addData(const tqPtrHandle_const<tqFeaturePattern>& pattern, long label);

    // Replaces all patterns and labels (name and description stay). Checks everything first:
    //   - different lengths: BadFeatures "The number of the feature patterns must be equal to
    //     the number of category labels";
    //   - with two or more patterns, in order: a null one throws tqBadPointer, one whose
    //     number of measurements differs from the first's throws BadFeatures "Feature
    //     patterns must all have the same number of measurements";
    //   - a label below 0 other than -1: BadLabel "Category labels must be >= 0 or unknown".
    void data(const std::vector<tqPtrHandle_const<tqFeaturePattern>>& patterns,
              const std::vector<long>& labels);

    void setName(const std::string& name);
    void setDescription(const std::string& description);
    std::string name() const override;
    std::string description() const override;

    // 0 without patterns, else the first pattern's count (tqBadPointer if it is null).
    long numMeasurements() const override;
    long numPatterns() const override;
    // Throws BadIndex "Feature pattern index must be >=0 and < number of patterns."
    // The handle may be null if a null one was stored.
    tqPtrHandle_const<tqFeaturePattern> featurePattern(long index) const override;
    // The stored handles themselves, for scans over every pattern that should not pay a
    // virtual call and a counted copy per pattern.
    const std::vector<tqPtrHandle_const<tqFeaturePattern>>& patterns() const { return patterns_; }
    // Throws BadIndex "Category label index must be >=0 and < number of patterns."
    long categoryLabel(long index) const override;
    // The stored labels, labels()[i] belonging to patterns()[i], for the same scans.
    const std::vector<long>& labels() const { return labels_; }

    // Same class, same number of patterns, patterns equal by value in order (a null handle
    // on either side throws tqBadPointer), then names, descriptions and labels.
    bool operator==(const tqClassifierDataProviderMemory& other) const;
    bool operator!=(const tqClassifierDataProviderMemory& other) const;

    static tq_Instantiator sExemplar;

protected:
    void dispatchSerialize(tqArchive& ar) override;
    bool isEqual_(const tqClassifierDataProvider& other) const override;
    void serialize_(tqArchive& ar, unsigned char version);

private:
    static tqPersistent* make();

    std::string name_;
    std::string description_;
    std::vector<tqPtrHandle_const<tqFeaturePattern>> patterns_;
    std::vector<long> labels_;  // labels_[i] belongs to patterns_[i]
};

#endif
