// Synthetic data generators: reproducible random labelled data for trying out classifiers.
#ifndef CLASTOOL_GENERATORS_H
#define CLASTOOL_GENERATORS_H

#include <vector>

#include "clss/clastool/provider.h"
#include "platform/values.h"

// One category: per measurement the two parameters of a Gaussian draw (passed in order to
// tqRandomGaussian::next), and how many patterns to draw. The first generateData() draws them from
// a generator seeded with 1 and keeps them; every later call (and every copy made afterwards)
// returns the same data. Kept data are recognised by their measurement count, so a generator
// without measurement parameters appends another `count` empty patterns on each call (3, 6, 9, ...).
// Patterns are labelled 0.
//
// generateData() is const but fills the cache: one object must not generate on two threads at once.
class tq_ClassDataGenerator {
public:
    // No argument is checked; a count below 1 yields an empty data set.
    tq_ClassDataGenerator(const std::vector<tqPair<double>>& parameters = {}, long count = 0);

    tqClassifierDataProviderMemory generateData() const;

private:
    std::vector<tqPair<double>> parameters_;
    long count_ = 0;
    mutable tqClassifierDataProviderMemory data_;
};

// Several categories: the patterns of the k-th class generator get label k, and the combined set
// is shuffled (uniform generator seeded with 1). The result is cached like a class generator's;
// patterns are shared, never copied. Class generators with different numbers of measurements
// make generateData() throw tqClassifierDefs::BadFeatures from the data provider, leaving this
// generator's data as they were.
class tq_TotalDataGenerator {
public:
    // Copies the class generators with whatever they have generated already.
    tq_TotalDataGenerator(const std::vector<tq_ClassDataGenerator>& classes = {});

    tqClassifierDataProviderMemory generateData() const;

private:
    mutable std::vector<tq_ClassDataGenerator> classes_;
    mutable tqClassifierDataProviderMemory data_;
};

#endif
