// Deterministic random generators: the same draws for a seed on every platform and
// standard library (our own algorithms, no std:: distributions).
#ifndef TQ_PLATFORM_RANDOM_H
#define TQ_PLATFORM_RANDOM_H

#include <cstdint>

// Uniform draws from [a, b), from a 64-bit generator seeded through SplitMix64.
class tqRandomUniform {
public:
    explicit tqRandomUniform(long seed);
    double next(double a, double b);
    // The next raw 64-bit value.
    std::uint64_t nextBits();

private:
    std::uint64_t state_[4];
};

// Normal draws: next(mean, sigma), by Marsaglia's polar method over tqRandomUniform.
class tqRandomGaussian {
public:
    explicit tqRandomGaussian(long seed);
    double next(double mean, double sigma);

private:
    tqRandomUniform uniform_;
    double spare_ = 0.0;
    bool haveSpare_ = false;
};

#endif
