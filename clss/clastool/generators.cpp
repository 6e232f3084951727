#include "clss/clastool/generators.h"

#include "clss/clastool/pattern.h"
#include "platform/attention.h"
#include "platform/exception.h"
#include "platform/random.h"

tq_ClassDataGenerator::tq_ClassDataGenerator(const std::vector<tqPair<double>>& parameters, long count)
    : parameters_(parameters), count_(count) {}

tqClassifierDataProviderMemory tq_ClassDataGenerator::generateData() const {
    tqRandomGaussian gaussian(1);
    // Generated data are recognised by their measurement count. A generator without measurement
    // parameters therefore generates again on every call, appending another `count` patterns of no
    // measurements to those of the calls before.
    if (data_.numMeasurements() != 0 || count_ < 1) return data_;
    // Built aside and assigned at the end, so that an abort leaves the cache untouched.
    tqClassifierDataProviderMemory data = data_;
    for (long i = 0; i < count_; ++i) {
        tfThrowExceptionOnFailure(tfAttentionCheck());
        std::vector<double> values;
        values.reserve(parameters_.size());
        for (const tqPair<double>& parameter : parameters_)
            values.push_back(gaussian.next(parameter.first, parameter.second));
        data.addData(tqPtrHandle_const<tqFeaturePattern>(new tqFeaturePattern(values)), 0);
    }
    data_ = data;
    return data_;
}

tq_TotalDataGenerator::tq_TotalDataGenerator(const std::vector<tq_ClassDataGenerator>& classes)
    : classes_(classes) {}

tqClassifierDataProviderMemory tq_TotalDataGenerator::generateData() const {
    if (data_.numMeasurements() != 0) return data_;

    tqClassifierDataProviderMemory combined;
    for (std::size_t k = 0; k < classes_.size(); ++k) {
        const tqClassifierDataProviderMemory classData = classes_[k].generateData();
        for (long j = 0; j < classData.numPatterns(); ++j)
            combined.addData(classData.featurePattern(j), static_cast<long>(k));
    }

    const long n = combined.numPatterns();
    std::vector<long> idx(static_cast<std::size_t>(n));
    for (long i = 0; i < n; ++i) idx[static_cast<std::size_t>(i)] = i;
    // Every step draws from the whole range (not only the unsettled positions): this is the
    // generator's defined order, kept so that the data are the same everywhere.
    tqRandomUniform uniform(1);
    for (long i = 0; i < n; ++i) {
        tfThrowExceptionOnFailure(tfAttentionCheck());
        long t = static_cast<long>(uniform.next(0.0, static_cast<double>(n)));
        if (t == n) t = n - 1;
        std::swap(idx[static_cast<std::size_t>(t)], idx[static_cast<std::size_t>(i)]);
    }

    // Built aside and assigned at the end, so that a failure above leaves the cache untouched.
    tqClassifierDataProviderMemory shuffled;
    for (long i = 0; i < n; ++i) {
        const long from = idx[static_cast<std::size_t>(i)];
        shuffled.addData(combined.featurePattern(from), combined.categoryLabel(from));
    }
    data_ = shuffled;
    return data_;
}
