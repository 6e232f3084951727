// ln(j!) for the binomial density, as the ascending sum ln 2 + ln 3 + ... + ln j, to the bit.
//
// That sum takes one logarithm per term, and a trained binomial may have up to 2^31 - 1
// trials. Rating therefore starts from a checkpoint: the partial sum at the nearest multiple
// of kLogFactorialStride below j, which is the value the ascending sum itself passes through,
// so continuing from it adds the same terms in the same order and gives the same bits. The
// checkpoints are computed once, when the library is built (logfactorial_gen.cpp), with the
// same logarithm the library calls.
#ifndef CLASTOOL_LOGFACTORIAL_H
#define CLASTOOL_LOGFACTORIAL_H

namespace tq_logfactorial {

constexpr long kStride = 8192;
// Checkpoints 0 .. kCount - 1 cover every j up to 2^31 - 1.
constexpr long kCount = (2147483647L / kStride) + 1;
// checkpoints[c] = ln 2 + ... + ln(c * kStride), summed in ascending order (0 for c = 0).
extern const double checkpoints[kCount];

// ln(j!) as the sum of ln(i) for i = 2 .. j, in ascending order; 0 for j < 2.
double logFactorial(long j);

}  // namespace tq_logfactorial

#endif
