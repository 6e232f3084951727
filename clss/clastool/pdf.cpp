#include "clss/clastool/pdf.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>

#include "clss/clastool/errors.h"
#include "clss/clastool/logfactorial.h"
#include "platform/archive.h"
#include "platform/exception.h"

namespace {

// The kernel reports failures as statuses; the converter registered for its group turns
// them into classifier errors. Testing for success here first keeps the common path free
// of a call into the foundation.
inline void check(long status) {
    if (status != tqMVNSuccess) tfThrowExceptionOnFailure(status);
}

// One kernel record, destroyed on every path out of the scope that marshals into it.
class ScopedRecord {
public:
    ScopedRecord() { check(tfMVNRecordConstruct(&record_)); }
    ~ScopedRecord() { tfMVNRecordDestroy(&record_); }
    ScopedRecord(const ScopedRecord&) = delete;
    ScopedRecord& operator=(const ScopedRecord&) = delete;
    tqMVNRecord* get() { return &record_; }

private:
    tqMVNRecord record_;
};

// A kernel list of records, destroyed on every path out of its scope.
class ScopedRecordList {
public:
    explicit ScopedRecordList(long size) {
        check(tfMVNRecordListConstruct(&list_));
        try {
            check(tfMVNRecordListResize(&list_, size));
            check(tfMVNRecordListData(&list_, &records_));
        } catch (...) {
            tfMVNRecordListDestroy(&list_);
            throw;
        }
    }
    ~ScopedRecordList() { tfMVNRecordListDestroy(&list_); }
    ScopedRecordList(const ScopedRecordList&) = delete;
    ScopedRecordList& operator=(const ScopedRecordList&) = delete;
    tqMVNRecord* record(long i) { return records_ + i; }
    const tqMVNRecordList* get() const { return &list_; }

private:
    tqMVNRecordList list_;
    tqMVNRecord* records_ = nullptr;
};

// Marshals a group's measurements into a record: every value, and the invalid positions.
void marshal(tqMVNRecord* record, const tq_GroupMeasurements& group) {
    double* values = nullptr;
    check(tfMVNDoubleListResize(&record->measurements, group.size));
    check(tfMVNDoubleListData(&record->measurements, &values));
    for (long i = 0; i < group.size; ++i) values[i] = group.values[i];
    std::int32_t* invalid = nullptr;
    check(tfMVNIntListResize(&record->invalid, group.numInvalid));
    check(tfMVNIntListData(&record->invalid, &invalid));
    for (long i = 0; i < group.numInvalid; ++i) invalid[i] = group.invalid[i];
}

// Marshals a pattern into a record: all measurements, invalid ones with their stored
// values, and the ascending invalid indices.
void marshal(tqMVNRecord* record, const tqFeaturePattern& pattern) {
    const std::vector<double>& all = pattern.featureMeasurements(false);
    const std::vector<long> invalidIndices = pattern.invalidFeatureIndices();
    double* values = nullptr;
    check(tfMVNDoubleListResize(&record->measurements, static_cast<long>(all.size())));
    check(tfMVNDoubleListData(&record->measurements, &values));
    for (std::size_t i = 0; i < all.size(); ++i) values[i] = all[i];
    std::int32_t* invalid = nullptr;
    check(tfMVNIntListResize(&record->invalid, static_cast<long>(invalidIndices.size())));
    check(tfMVNIntListData(&record->invalid, &invalid));
    for (std::size_t i = 0; i < invalidIndices.size(); ++i)
        invalid[i] = static_cast<std::int32_t>(invalidIndices[i]);
}

// A group sub-pattern as a pattern object.
tqFeaturePattern toPattern(const tq_GroupMeasurements& group) {
    std::vector<double> values(group.values, group.values + group.size);
    std::vector<long> invalid(group.invalid, group.invalid + group.numInvalid);
    return tqFeaturePattern(values, invalid);
}

// Truncation toward zero to a 32-bit integer, saturating instead of overflowing.
long truncateToInt32(double x) {
    if (std::isnan(x)) return 0;
    if (x >= 2147483647.0) return 2147483647L;
    if (x <= -2147483648.0) return -2147483647L - 1;
    return static_cast<long>(static_cast<std::int32_t>(x));
}

}  // namespace

double tq_logfactorial::logFactorial(long j) {
    if (j < 2) return 0.0;
    // Beyond the table (no trained count gets there) the sum goes on from its last checkpoint.
    const long c = std::min(j / kStride, kCount - 1);
    double sum = checkpoints[c];
    for (long i = c == 0 ? 2 : c * kStride + 1; i <= j; ++i) sum += std::log(static_cast<double>(i));
    return sum;
}

// ---------------------------------------------------------------------------------------
// tq_ProbabilityDensityFunction

tq_ProbabilityDensityFunction::tq_ProbabilityDensityFunction(const tq_ProbabilityDensityFunction& other)
    : tqPersistent(other), tqRepBase(other) {}

tq_ProbabilityDensityFunction& tq_ProbabilityDensityFunction::operator=(
    const tq_ProbabilityDensityFunction&) {
    mutating_();
    return *this;
}

tq_ProbabilityDensityFunction::~tq_ProbabilityDensityFunction() { mutating_(); }

double tq_ProbabilityDensityFunction::logValueOfGroup_(const tq_GroupMeasurements& group) const {
    return logValue(toPattern(group));
}

void tq_ProbabilityDensityFunction::updateWithGroup_(const tq_GroupMeasurements& group) {
    updateWithData(std::vector<tqFeaturePattern>(1, toPattern(group)));
}

void tq_ProbabilityDensityFunction::dispatchSerialize(tqArchive& ar) {
    serializeLevel_(ar, this, sizeof(*this), [&](unsigned char v) { serialize_(ar, v); });
}

void tq_ProbabilityDensityFunction::serialize_(tqArchive& ar, unsigned char version) {
    tqArchive::checkVersion(version);
    tqPersistent::dispatchSerialize(ar);
}

// ---------------------------------------------------------------------------------------
// tq_PDFMultivariateNormal

tq_PDFMultivariateNormal::tq_PDFMultivariateNormal() { check(tfMVNConstruct(&state_)); }

tq_PDFMultivariateNormal::tq_PDFMultivariateNormal(const tq_PDFMultivariateNormal& other)
    : tq_ProbabilityDensityFunction(other) {
    const long status = tfMVNCopyConstruct(&state_, &other.state_);
    if (status != tqMVNSuccess) {
        // The destructor does not run for an object whose constructor throws.
        tfMVNDestroy(&state_);
        tfThrowExceptionOnFailure(status);
    }
}

tq_PDFMultivariateNormal& tq_PDFMultivariateNormal::operator=(const tq_PDFMultivariateNormal& other) {
    tq_ProbabilityDensityFunction::operator=(other);
    check(tfMVNAssign(&state_, &other.state_));
    return *this;
}

tq_PDFMultivariateNormal::~tq_PDFMultivariateNormal() { tfMVNDestroy(&state_); }

double tq_PDFMultivariateNormal::logValue(const tqFeaturePattern& pattern) const {
    ScopedRecord record;
    marshal(record.get(), pattern);
    double value = 0.0;
    check(tfMVNLogValue(&state_, record.get(), &value));
    return value;
}

double tq_PDFMultivariateNormal::logValueOfGroup_(const tq_GroupMeasurements& group) const {
    double value = 0.0;
    if (group.record) {
        check(tfMVNLogValue(&state_, group.record, &value));
        return value;
    }
    ScopedRecord record;
    marshal(record.get(), group);
    check(tfMVNLogValue(&state_, record.get(), &value));
    return value;
}

void tq_PDFMultivariateNormal::addLogValues1_(long n, const double* x, std::size_t xStride,
                                              const unsigned char* valid, std::size_t validStride,
                                              double* sums, std::size_t sumStride) const {
    check(tfMVNAddLogValues1(&state_, n, x, xStride, valid, validStride, sums, sumStride));
}

void tq_PDFMultivariateNormal::updateWithData(const std::vector<tqFeaturePattern>& data) {
    updateWithDataNormalize(data, 1.0);
}

void tq_PDFMultivariateNormal::updateWithDataNormalize(const std::vector<tqFeaturePattern>& data,
                                                       double normalization) {
    ScopedRecordList records(static_cast<long>(data.size()));
    for (std::size_t i = 0; i < data.size(); ++i) marshal(records.record(static_cast<long>(i)), data[i]);
    check(tfMVNUpdateWithNormalization(&state_, records.get(), normalization));
}

void tq_PDFMultivariateNormal::updateWithGroup_(const tq_GroupMeasurements& group) {
    updateGroupNormalize_(group, 1.0);
}

void tq_PDFMultivariateNormal::updateGroupNormalize_(const tq_GroupMeasurements& group,
                                                     double normalization) {
    if (group.records) {
        check(tfMVNUpdateWithNormalization(&state_, group.records, normalization));
        return;
    }
    ScopedRecordList records(1);
    marshal(records.record(0), group);
    check(tfMVNUpdateWithNormalization(&state_, records.get(), normalization));
}

void tq_PDFMultivariateNormal::clear() {
    tqMVNState fresh;
    check(tfMVNConstruct(&fresh));
    const long status = tfMVNAssign(&state_, &fresh);
    tfMVNDestroy(&fresh);
    check(status);
}

tqNMMatrix tq_PDFMultivariateNormal::mean() const {
    long rows = 0, cols = 0;
    const double* elements = nullptr;
    check(tfMVNMean(&state_, &rows, &cols, &elements));
    tqNMMatrix m(rows, cols);
    for (long r = 0; r < rows; ++r)
        for (long c = 0; c < cols; ++c) m.element(r, c) = elements[r * cols + c];
    return m;
}

tqNMMatrix tq_PDFMultivariateNormal::covariance() const {
    long rows = 0, cols = 0;
    const double* elements = nullptr;
    check(tfMVNCovariance(&state_, &rows, &cols, &elements));
    tqNMMatrix m(rows, cols);
    for (long r = 0; r < rows; ++r)
        for (long c = 0; c < cols; ++c) m.element(r, c) = elements[r * cols + c];
    return m;
}

bool tq_PDFMultivariateNormal::isValid() const { return count_() > 0; }

long tq_PDFMultivariateNormal::count_() const {
    long count = 0;
    check(tfMVNCount(&state_, &count));
    return count;
}

void tq_PDFMultivariateNormal::scaleFloors_(const std::vector<double>& floors) {
    check(tfMVNSetScaleFloors(&state_, static_cast<long>(floors.size()), floors.data()));
}

bool tq_PDFMultivariateNormal::operator==(const tq_PDFMultivariateNormal& other) const {
    long count = 0, otherCount = 0;
    check(tfMVNCount(&state_, &count));
    check(tfMVNCount(&other.state_, &otherCount));
    return count == otherCount && mean() == other.mean() && covariance() == other.covariance();
}

bool tq_PDFMultivariateNormal::isEquivalent(const tq_ProbabilityDensityFunction& other) const {
    const auto* o = dynamic_cast<const tq_PDFMultivariateNormal*>(&other);
    return o && *this == *o;
}

tqPersistent* tq_PDFMultivariateNormal::make() { return new tq_PDFMultivariateNormal(); }

void tq_PDFMultivariateNormal::dispatchSerialize(tqArchive& ar) {
    serializeLevel_(ar, this, sizeof(*this), [&](unsigned char v) { serialize_(ar, v); });
}

void tq_PDFMultivariateNormal::serialize_(tqArchive& ar, unsigned char version) {
    tqArchive::checkVersion(version);
    tq_ProbabilityDensityFunction::dispatchSerialize(ar);
    tqNMMatrix m = mean();
    tqNMMatrix c = covariance();
    long count = 0;
    check(tfMVNCount(&state_, &count));
    ar || m;
    ar || c;
    ar || count;
    if (ar.isLoading()) {
        // The kernel checks the shapes and the count, so a damaged archive cannot build an
        // inconsistent state; it leaves the state as it was when it refuses.
        check(tfMVNRebuild(&state_, m.rows(), m.cols(), m.data().data(), c.rows(), c.cols(), c.data().data(),
                           count));
    }
}

// ---------------------------------------------------------------------------------------
// tq_PDFBinomial

tq_PDFBinomial::tq_PDFBinomial(const tqFeaturePattern& maxValues)
    : maxValue_(maxValues.featureMeasurement(0, true)) {}

tq_PDFBinomial::tq_PDFBinomial(const tq_PDFBinomial& other)
    : tq_ProbabilityDensityFunction(other),
      numTrials_(other.numTrials_),
      theta_(other.theta_),
      maxValue_(other.maxValue_),
      moments_(other.moments_) {}

tq_PDFBinomial& tq_PDFBinomial::operator=(const tq_PDFBinomial& other) {
    tq_ProbabilityDensityFunction::operator=(other);
    moments_ = other.moments_;  // first: the only step that can fail
    numTrials_ = other.numTrials_;
    theta_ = other.theta_;
    maxValue_ = other.maxValue_;
    return *this;
}

tq_PDFBinomial::~tq_PDFBinomial() = default;

namespace {

const char* const kMultivariate = "Multivariate Binomial Distributions are not implemented";
const char* const kAboveMaxTrain =
    "Train data measurement cannot exceed its maximum value when using binomial distribution";

// The maximum scales measurements to success fractions: it must be a positive number.
void checkMaximum(double maxValue) {
    if (!(maxValue > 0.0) || !std::isfinite(maxValue))
        throw tqClassifierDefs::BadParams("The maximum value of a binomial measurement must be a finite number "
                                          "greater than 0, not " + std::to_string(maxValue));
}

// A count of successes is not negative, and it is a number.
void checkCount(double measurement) {
    if (!(measurement >= 0.0) || !std::isfinite(measurement))
        throw tqClassifierDefs::BadFeatures("A binomial measurement must be a finite number >= 0, not " +
                                            std::to_string(measurement));
}

}  // namespace

void tq_PDFBinomial::updateWithData(const std::vector<tqFeaturePattern>& data) {
    if (data.empty()) return;
    if (data.front().numMeasurements() != 1) throw tqClassifierDefs::NotImplemented(kMultivariate);
    checkMaximum(maxValue_);
    for (const tqFeaturePattern& pattern : data) {
        const std::vector<double>& values = pattern.featureMeasurements(false);
        for (std::size_t i = 0; i < values.size(); ++i) {
            if (!pattern.isValid(static_cast<long>(i))) continue;
            if (values[i] > maxValue_) throw tqClassifierDefs::BadParams(kAboveMaxTrain);
            checkCount(values[i]);
        }
    }
    moments_.updateWithDataNormalize(data, maxValue_);
    estimate_();
}

void tq_PDFBinomial::updateWithGroup_(const tq_GroupMeasurements& group) {
    if (group.size != 1) throw tqClassifierDefs::NotImplemented(kMultivariate);
    checkMaximum(maxValue_);
    if (group.numInvalid == 0) {
        if (group.values[0] > maxValue_) throw tqClassifierDefs::BadParams(kAboveMaxTrain);
        checkCount(group.values[0]);
    }
    moments_.updateGroupNormalize_(group, maxValue_);
    estimate_();
}

void tq_PDFBinomial::estimate_() {
    long count = 0;
    check(tfMVNCount(&moments_.state_, &count));
    if (count < 1) return;
    long rows = 0, cols = 0;
    const double* mean = nullptr;
    const double* covariance = nullptr;
    check(tfMVNMean(&moments_.state_, &rows, &cols, &mean));
    check(tfMVNCovariance(&moments_.state_, &rows, &cols, &covariance));
    theta_ = mean[0];
    const double v = covariance[0];
    // Method of moments: a binomial of n trials has variance theta (1 - theta) / n in the
    // scaled measurement. A (nearly) constant measurement says nothing about n.
    if (std::fabs(v) > 1e-15) numTrials_ = truncateToInt32((1.0 - theta_) * theta_ / v + 0.5);
}

double tq_PDFBinomial::logValue(const tqFeaturePattern& pattern) const {
    if (numTrials_ == 0)
        throw tqClassifierDefs::InsufficientTrainData(
            "Insufficient data has been used to train the distribution");
    if (pattern.numMeasurements() != 1) throw tqClassifierDefs::NotImplemented(kMultivariate);
    if (pattern.numInvalid() > 0) return 0.0;
    return logValueOf_(pattern.featureMeasurement(0, false));
}

double tq_PDFBinomial::logValueOfGroup_(const tq_GroupMeasurements& group) const {
    if (numTrials_ == 0)
        throw tqClassifierDefs::InsufficientTrainData(
            "Insufficient data has been used to train the distribution");
    if (group.size != 1) throw tqClassifierDefs::NotImplemented(kMultivariate);
    if (group.numInvalid > 0) return 0.0;
    return logValueOf_(group.values[0]);
}

double tq_PDFBinomial::logValueOf_(double m) const {
    if (m > maxValue_)
        throw tqClassifierDefs::BadParams("Feature measurement must be <= specified maximum value");
    checkCount(m);
    const long n = numTrials_;
    const long k = truncateToInt32(m * static_cast<double>(n) / maxValue_ + 0.5);
    using tq_logfactorial::logFactorial;
    return (logFactorial(n) - (logFactorial(n - k) + logFactorial(k))) +
           std::log(theta_) * static_cast<double>(k) + std::log(1.0 - theta_) * static_cast<double>(n - k);
}

void tq_PDFBinomial::clear() {
    moments_.clear();
    numTrials_ = 0;
}

bool tq_PDFBinomial::operator==(const tq_PDFBinomial& other) const {
    return numTrials_ == other.numTrials_ && theta_ == other.theta_ && maxValue_ == other.maxValue_;
}

bool tq_PDFBinomial::isEquivalent(const tq_ProbabilityDensityFunction& other) const {
    const auto* o = dynamic_cast<const tq_PDFBinomial*>(&other);
    return o && *this == *o;
}

tqPersistent* tq_PDFBinomial::make() { return new tq_PDFBinomial(); }

void tq_PDFBinomial::dispatchSerialize(tqArchive& ar) {
    serializeLevel_(ar, this, sizeof(*this), [&](unsigned char v) { serialize_(ar, v); });
}

void tq_PDFBinomial::serialize_(tqArchive& ar, unsigned char version) {
    tqArchive::checkVersion(version);
    tq_ProbabilityDensityFunction::dispatchSerialize(ar);
    if (!ar.isLoading()) {
        ar || numTrials_ || theta_ || maxValue_;
        return;
    }
    // Training truncates the number of trials to a 32-bit integer, and ln(j!) past the
    // checkpoints (logfactorial.h) costs one logarithm per term: a count beyond that range
    // cannot be a trained model's and would make every run of the loaded model arbitrarily slow.
    long numTrials = 0;
    double theta = 0.0, maxValue = 0.0;
    ar || numTrials || theta || maxValue;
    if (numTrials < -2147483647L - 1 || numTrials > 2147483647L)
        throw tqArchive::Malformed("tq_PDFBinomial: the number of trials is out of range");
    numTrials_ = numTrials;
    theta_ = theta;
    maxValue_ = maxValue;
    // What the moments held is not stored; a loaded binomial starts accumulating afresh.
    moments_.clear();
}
