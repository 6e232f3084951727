// Feature patterns: the unit every classifier trains on and classifies.
#ifndef CLASTOOL_PATTERN_H
#define CLASTOOL_PATTERN_H

#include <cstddef>
#include <vector>

#include "platform/archive.h"
#include "platform/handle.h"
#include "platform/persistent.h"

// An ordered list of real-valued measurements, each valid or invalid (missing). An invalid
// measurement keeps its stored value, but the accessors refuse or hide it unless asked not to.
// Patterns are shared through tqPtrHandle_const<tqFeaturePattern> and never change after
// construction except by assignment and loading.
//
// Archive layout (version 0): the tqPersistent level, the measurements (vector of double),
// the validity flags (vector<bool>). Another version throws tqArchive::UnknownVersion
// without text, line 0.
class tqFeaturePattern : public tqPersistent, public tqRepBase {
public:
    // Makes every measurement valid, then marks each entry of invalidIndices invalid
    // (repeats allowed). Throws tqClassifierDefs::BadIndex
    //   "Feature measurement indices must be >= 0" for a negative index,
    //   "Feature measurement indices must be < number of features" for one past the end.
    tqFeaturePattern(const std::vector<double>& measurements = {},
                     const std::vector<long>& invalidIndices = {});
    tqFeaturePattern(const tqFeaturePattern& other);
    tqFeaturePattern& operator=(const tqFeaturePattern& other);
    ~tqFeaturePattern() override;

    // Inline, with numInvalid: training and every run ask them of each pattern.
    long numMeasurements() const { return static_cast<long>(measurements_.size()); }
    long numInvalid() const { return numInvalid_; }
    // The indices of the invalid measurements, ascending, each once.
    std::vector<long> invalidFeatureIndices() const;

    // Throws BadIndex "Feature measurement indices must be >= 0" for a negative index;
    // false for an index at or beyond the end.
    bool isValid(long index) const;

    // The stored measurement at index. Throws BadIndex for a negative index. When the
    // measurement is not valid (or index is at or beyond the end): with requireValid throws
    // tqClassifierDefs::BadFeatures "The measurement for the specified measurement index is
    // not valid."; without it returns the stored value, or 0.0 beyond the end.
    double featureMeasurement(long index, bool requireValid) const;

    // The whole measurement vector, invalid entries included. With requireValid and any
    // invalid measurement throws BadFeatures "Access to full feature vector requires that
    // all features are valid."
    const std::vector<double>& featureMeasurements(bool requireValid) const {
        if (requireValid && numInvalid_ > 0) refuseIncomplete_();
        return measurements_;
    }

    // Equal lengths, measurements equal by == (so NaN never compares equal, and the stored
    // values of invalid measurements count) and equal validity flags.
    bool operator==(const tqFeaturePattern& other) const;
    bool operator!=(const tqFeaturePattern& other) const;

    static tq_Instantiator sExemplar;

protected:
    void dispatchSerialize(tqArchive& ar) override;
    void serialize_(tqArchive& ar, unsigned char version);

private:
    static tqPersistent* make();
    [[noreturn]] static void refuseIncomplete_();

    // What a run reads first (the measurements' bounds and the invalid count) lies together,
    // so that the object's first read usually brings all of it in one cache line.
    std::vector<double> measurements_;
    long numInvalid_ = 0;         // the false entries of validity_
    std::vector<bool> validity_;  // same length as measurements_; true: valid
};

// A read-only view of many patterns held as the rows of a caller's matrix, for batch
// classification without a pattern object per row. Row i holds its measurements at
// values[i * rowStride + j], j < dimension; validity, when not null, has the same layout and
// marks a measurement invalid with 0. The view does not own the memory; the caller keeps it
// alive and unchanged for the length of a call.
struct tqPatternRows {
    const double* values = nullptr;
    const unsigned char* validity = nullptr;  // null: every measurement is valid
    std::size_t rows = 0;
    std::size_t dimension = 0;
    std::size_t rowStride = 0;  // in elements, at least dimension

    bool isValid(std::size_t row, std::size_t j) const {
        return validity == nullptr || validity[row * rowStride + j] != 0;
    }
    const double* row(std::size_t i) const { return values + i * rowStride; }
    // Rows [begin, end) of this view.
    tqPatternRows slice(std::size_t begin, std::size_t end) const;
    // Row i as a pattern object (its invalid measurements keep their stored values).
    tqFeaturePattern pattern(std::size_t i) const;
};

#endif
