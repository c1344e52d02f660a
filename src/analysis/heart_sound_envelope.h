// Shannon-energy envelope of a phonocardiogram and its candidate threshold,
// the first steps of the heart-sound analysis of a wave record.
#pragma once

#include <cstdint>

namespace nel::analysis {

// Envelope of x[0..n-1] (n >= 2): the first difference normalised by its
// largest magnitude, then E[j] = -sum d^2 ln(d^2 + 1e-8) over windowLen samples
// from j, for j = 0 .. n - windowLen - 1. Writes max(n - windowLen, 0) values
// into E and returns that count. d must hold n values. False when a work array
// cannot be allocated.
bool PcgEnvelope(const float* x, int32_t n, int32_t windowLen, float* d, float* E, int32_t& m);

// Candidate threshold: 0.3 times the mean of the per-second envelope maxima of
// the first 50 s, without the largest and the smallest; 5.0 for records of
// fewer than three whole seconds.
float PcgThreshold(const float* E, int32_t m, int32_t n, int32_t fs);

}  // namespace nel::analysis
