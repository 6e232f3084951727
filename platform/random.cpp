// Deterministic generators: xoshiro256** seeded through SplitMix64, and Marsaglia's polar
// method for normal draws. Both are fixed algorithms on exact integer arithmetic, so a seed
// gives the same draws on every platform.
#include "platform/random.h"

#include <cmath>

namespace {
std::uint64_t splitMix64(std::uint64_t& x) {
    std::uint64_t z = (x += 0x9E3779B97F4A7C15ULL);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
}

std::uint64_t rotl(std::uint64_t x, int k) { return (x << k) | (x >> (64 - k)); }
}  // namespace

tqRandomUniform::tqRandomUniform(long seed) {
    // SplitMix64 never yields four zero words in a row, the one state xoshiro must avoid.
    std::uint64_t x = static_cast<std::uint64_t>(seed);
    for (auto& word : state_) word = splitMix64(x);
}

std::uint64_t tqRandomUniform::nextBits() {
    const std::uint64_t result = rotl(state_[1] * 5, 7) * 9;
    const std::uint64_t t = state_[1] << 17;
    state_[2] ^= state_[0];
    state_[3] ^= state_[1];
    state_[1] ^= state_[2];
    state_[0] ^= state_[3];
    state_[2] ^= t;
    state_[3] = rotl(state_[3], 45);
    return result;
}

double tqRandomUniform::next(double a, double b) {
    // The top 53 bits give a multiple of 2^-53 in [0, 1), exactly representable.
    const double u = static_cast<double>(nextBits() >> 11) * 0x1.0p-53;
    const double x = a + (b - a) * u;
    // Rounding can land on b itself when b - a is large relative to a; keep the interval open.
    if (x >= b && b > a) return std::nextafter(b, a);
    return x;
}

tqRandomGaussian::tqRandomGaussian(long seed) : uniform_(seed) {}

double tqRandomGaussian::next(double mean, double sigma) {
    if (haveSpare_) {
        haveSpare_ = false;
        return mean + sigma * spare_;
    }
    double u = 0.0;
    double v = 0.0;
    double s = 0.0;
    do {
        u = uniform_.next(-1.0, 1.0);
        v = uniform_.next(-1.0, 1.0);
        s = u * u + v * v;
    } while (s >= 1.0 || s == 0.0);
    const double m = std::sqrt(-2.0 * std::log(s) / s);
    spare_ = v * m;
    haveSpare_ = true;
    return mean + sigma * u * m;
}
