// A-priori category frequencies and misclassification costs: the inputs of the decision
// rule besides the match scores. Both hold one default plus a short list of overrides, so
// that they describe any number of categories without knowing them in advance.
#ifndef CLASTOOL_COSTS_H
#define CLASTOOL_COSTS_H

#include <vector>

#include "platform/archive.h"

// The a-priori frequency of each category label: an override if one was set for the label,
// else the default. Every frequency is > 0.0.
//
// Archive layout: version byte 0, default (double), override labels (vector of long),
// override frequencies (vector of double). Another version throws
// tqArchive::UnknownVersion("clss/clastool/clastool", 523). Loading does not repeat the
// setters' checks, but refuses label and frequency vectors of different lengths.
class tqClassifierFrequencies {
public:
    // Throws tqClassifierDefs::BadParams "Category frequencies must be > 0.0" unless
    // defaultFrequency > 0.0.
    tqClassifierFrequencies(double defaultFrequency = 1.0);
    tqClassifierFrequencies(const tqClassifierFrequencies& other);
    tqClassifierFrequencies& operator=(const tqClassifierFrequencies& other);
    ~tqClassifierFrequencies();

    double defaultCategoryFrequency() const;
    // Same check as the constructor; a failed call changes nothing.
    void defaultCategoryFrequency(double frequency);

    // Adds or replaces the override of label. Checks in order: frequency > 0.0 (BadParams
    // "Category frequencies must be > 0.0"), label >= 0 (tqClassifierDefs::BadLabel
    // "Category labels must be >= 0").
    void categoryFrequencyOverride(long label, double frequency);

    // The override of label, else the default. Throws BadLabel "Category labels must be >= 0"
    // for a negative label.
    double categoryFrequency(long label) const;

    // Removes all overrides; the default stays.
    void clearFrequencyOverrides();

    // True when some label has an override, false when every label has the default.
    bool hasFrequencyOverrides() const { return !overrideLabels_.empty(); }

    // Defaults equal and override vectors equal position by position: the same overrides
    // set in another order make the objects unequal.
    bool operator==(const tqClassifierFrequencies& other) const;
    bool operator!=(const tqClassifierFrequencies& other) const;

    friend tqArchive& operator||(tqArchive& ar, tqClassifierFrequencies& frequencies);

private:
    // The position of label among the override labels, or -1. Throws BadLabel for a
    // negative label.
    long freqOverrideIndex_(long label) const;

    double defaultFrequency_;
    std::vector<long> overrideLabels_;
    std::vector<double> overrideFrequencies_;  // parallel to overrideLabels_
};

// The cost of deciding category b for a pattern whose true category is a, for every ordered
// pair of different labels: an override if one was set for (a, b), else the default. (a, b)
// and (b, a) are different pairs; a pair of equal labels has no cost. Every cost is >= 0.0.
//
// Archive layout: version byte 0, default (double), first labels (vector of long), second
// labels (vector of long), override costs (vector of double). Another version throws
// tqArchive::UnknownVersion("clss/clastool/clastool", 436). Loading does not repeat the
// setters' checks, but refuses vectors of different lengths.
class tqClassifierCosts {
public:
    // Throws tqClassifierDefs::BadParams "Costs must be >= 0.0" unless defaultCost >= 0.0.
    tqClassifierCosts(double defaultCost = 1.0);
    tqClassifierCosts(const tqClassifierCosts& other);
    tqClassifierCosts& operator=(const tqClassifierCosts& other);
    ~tqClassifierCosts();

    double defaultMisclassificationCost() const;
    // Same check as the constructor; a failed call changes nothing.
    void defaultMisclassificationCost(double cost);

    // Adds or replaces the override of (a, b). Checks in order: cost >= 0.0 (BadParams
    // "Costs must be >= 0.0"), a != b (tqClassifierDefs::BadLabel "Category labels must be
    // different"), a >= 0, then b >= 0 (BadLabel "Category labels must be >= 0").
    void misclassificationCostOverride(long a, long b, double cost);

    // The cost of deciding b when the truth is a. Checks in order: a != b, a >= 0, b >= 0,
    // with the messages above.
    double misclassificationCost(long a, long b) const;

    // Removes all overrides; the default stays.
    void clearMisclassificationOverrides();

    // True when some pair has an override, false when every pair costs the default.
    bool hasMisclassificationOverrides() const { return !overrideCosts_.empty(); }

    // Defaults equal and the three override vectors equal position by position.
    bool operator==(const tqClassifierCosts& other) const;
    bool operator!=(const tqClassifierCosts& other) const;

    friend tqArchive& operator||(tqArchive& ar, tqClassifierCosts& costs);

private:
    // The position of the pair (a, b) among the overrides, or -1. Throws BadLabel for a
    // negative a, then for a negative b.
    long misclOverrideIndex_(long a, long b) const;

    double defaultCost_;
    std::vector<long> firstLabels_;
    std::vector<long> secondLabels_;
    std::vector<double> overrideCosts_;  // entry k is the cost of (firstLabels_[k], secondLabels_[k])
};

tqArchive& operator||(tqArchive& ar, tqClassifierFrequencies& frequencies);
tqArchive& operator||(tqArchive& ar, tqClassifierCosts& costs);

#endif
