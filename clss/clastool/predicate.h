// Predicate functions: the tests that the inner nodes of a decision tree (tree.h) apply to
// a feature pattern. A predicate answers true or false; a measurement that the predicate
// needs and the pattern lacks (invalid, or beyond the pattern's end) makes it false.
//
// Predicates are persistent and counted, shared through handles and archived
// polymorphically inside trees. They are immutable after construction except through
// copy assignment.
#ifndef CLASTOOL_PREDICATE_H
#define CLASTOOL_PREDICATE_H

#include <vector>

#include "platform/archive.h"
#include "platform/handle.h"
#include "platform/persistent.h"
#include "platform/values.h"

class tqFeaturePattern;

// Abstract predicate. Copies start with a fresh reference count.
class tqPredicateFunction : public tqPersistent, public tqRepBase {
public:
    tqPredicateFunction() = default;
    ~tqPredicateFunction() override = default;

    // The answer for `pattern`. Never throws for a predicate built by its constructors.
    virtual bool outcome(const tqFeaturePattern& pattern) const = 0;
    // A new, independent copy of the concrete object.
    virtual tqPtrHandle<tqPredicateFunction> clone() const = 0;
    // True when `other` is of this class (or derived from it) with equal values. The base
    // version returns true.
    virtual bool isEqual(const tqPredicateFunction& other) const;

    void dispatchSerialize(tqArchive& ar) override;

protected:
    // Copies carry no persistence bookkeeping and no count of the source.
    tqPredicateFunction(const tqPredicateFunction&) : tqPersistent(), tqRepBase() {}
    tqPredicateFunction& operator=(const tqPredicateFunction&) { return *this; }
    void serialize_(tqArchive& ar, unsigned char version);
};

// Is measurement index1 strictly greater than measurement index2? False when either is
// missing, and false for equal values.
class tqComparisonPredicate : public tqPredicateFunction {
public:
    // Throws, checking in this order: index1 == index2 tqClassifierDefs::BadParams
    // "Measurement indices must be different."; index1 < 0, then index2 < 0,
    // tqClassifierDefs::BadIndex "Measurement index must be >= 0 and < number of measurements.".
    explicit tqComparisonPredicate(long index1 = 0, long index2 = 1);
    tqComparisonPredicate(const tqComparisonPredicate&) = default;
    tqComparisonPredicate& operator=(const tqComparisonPredicate&) = default;

    long measurementIndex1() const { return measurementIndex1_; }
    long measurementIndex2() const { return measurementIndex2_; }

    bool outcome(const tqFeaturePattern& pattern) const override;
    tqPtrHandle<tqPredicateFunction> clone() const override;
    bool isEqual(const tqPredicateFunction& other) const override;
    bool operator==(const tqComparisonPredicate& other) const { return isEqual(other); }
    bool operator!=(const tqComparisonPredicate& other) const { return !isEqual(other); }

    void dispatchSerialize(tqArchive& ar) override;

protected:
    void serialize_(tqArchive& ar, unsigned char version);

private:
    static tqPersistent* make();
    static tq_Instantiator sExemplar;

    long measurementIndex1_;
    long measurementIndex2_;
};

// Do all listed measurements lie within the range (by tqRange::isWithin)? True for an
// empty list; false when a listed measurement is missing.
class tqRangePredicate : public tqPredicateFunction {
public:
    // The full range over measurement 0.
    tqRangePredicate();
    // Throws tqClassifierDefs::BadIndex "Measurement index must be >= 0 and < number of
    // measurements." for the first negative index. Indices keep the caller's order and may
    // repeat; an empty list is accepted.
    tqRangePredicate(const tqRange& range, const std::vector<long>& indices);
    tqRangePredicate(const tqRangePredicate&) = default;
    tqRangePredicate& operator=(const tqRangePredicate&) = default;

    tqRange measurementRange() const { return measurementRange_; }
    std::vector<long> measurementIndices() const { return measurementIndices_; }

    bool outcome(const tqFeaturePattern& pattern) const override;
    tqPtrHandle<tqPredicateFunction> clone() const override;
    // Equal ranges and equal index lists, position by position.
    bool isEqual(const tqPredicateFunction& other) const override;
    bool operator==(const tqRangePredicate& other) const { return isEqual(other); }
    bool operator!=(const tqRangePredicate& other) const { return !isEqual(other); }

    void dispatchSerialize(tqArchive& ar) override;

protected:
    void serialize_(tqArchive& ar, unsigned char version);

private:
    static tqPersistent* make();
    static tq_Instantiator sExemplar;

    tqRange measurementRange_;
    std::vector<long> measurementIndices_;
};

// Are all listed measurements valid? True for an empty list.
class tqValidityPredicate : public tqPredicateFunction {
public:
    // Measurement 0.
    tqValidityPredicate();
    // Throws BadIndex as tqRangePredicate does; an empty list is accepted.
    tqValidityPredicate(const std::vector<long>& indices);
    tqValidityPredicate(const tqValidityPredicate&) = default;
    tqValidityPredicate& operator=(const tqValidityPredicate&) = default;

    std::vector<long> measurementIndices() const { return measurementIndices_; }

    bool outcome(const tqFeaturePattern& pattern) const override;
    tqPtrHandle<tqPredicateFunction> clone() const override;
    bool isEqual(const tqPredicateFunction& other) const override;
    bool operator==(const tqValidityPredicate& other) const { return isEqual(other); }
    bool operator!=(const tqValidityPredicate& other) const { return !isEqual(other); }

    void dispatchSerialize(tqArchive& ar) override;

protected:
    void serialize_(tqArchive& ar, unsigned char version);

private:
    static tqPersistent* make();
    static tq_Instantiator sExemplar;

    std::vector<long> measurementIndices_;
};

// Archive layouts, each level with its version byte 0 (another value throws
// tqArchive::UnknownVersion): predicate base, then the tqPersistent part; comparison: base,
// index 1, index 2; range: base, the range, the index vector; validity: base, the index
// vector. Loading does not repeat the constructors' checks: a loaded negative index makes
// outcome throw the feature pattern's BadIndex.

#endif
