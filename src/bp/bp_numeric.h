// Numeric helpers of the BP value calculation: three-point quadratic
// interpolation, least-squares polynomial fit, and the float-to-integer
// conversions the calculation uses.
#pragma once

#include <cmath>
#include <utility>

#include <cstdint>
#include <limits>
#include <nel/bp/bp_records.h>

namespace nel::bp {

// Quadratic Lagrange polynomial through (x0, y0), (x1, y1), (x2, y2) evaluated
// at x, in single precision.
float QuadInterpolate(float x0, float y0, float x1, float y1, float x2, float y2, float x);

// Least-squares polynomial with `k` coefficients (1 <= k <= 20, k <= n) in
// powers of (x - mean of x), computed with the three-term recurrence of the
// polynomials orthogonal over the n sample points. coef[j] multiplies
// (x - mean)^j. The residual sums (squared, absolute, largest absolute) are
// written when their pointers are not null. Returns false, writing nothing,
// for arguments out of range. Allocates nothing.
bool PolyFit(const double* x, const double* y, int n, int k, double* coef, double* sumSquares, double* sumAbs,
             double* maxAbs);

// The top of the fitted parabola c0 + c1*d + c2*d^2 (d = q - mean): q runs
// from `from` down to `to` in steps of 0.01 (double precision, at most
// `maxSteps` of them); each q whose value, taken to single precision, is at
// least the best so far (starting at `startValue`, pressure 0) replaces it, so
// of equal values the lower pressure wins.
struct PeakScan {
  float value;
  float pressure;
};
PeakScan ParabolaPeakScan(const double* c, double mean, double from, double to, float startValue, int maxSteps);

// Truncation toward zero into an integer type, saturating at its limits, NaN giving 0: see docs/decisions.md,
// "Bad input".
template <typename Int>
Int TruncTo(double v) {
  if (std::isnan(v)) return 0;
  constexpr double kLo = static_cast<double>(std::numeric_limits<Int>::min());
  constexpr double kHi = static_cast<double>(std::numeric_limits<Int>::max());
  if (v <= kLo) return std::numeric_limits<Int>::min();
  if (v >= kHi) return std::numeric_limits<Int>::max();
  return static_cast<Int>(v);
}

// Reverses a pulse list in place (inflation lists are processed from the top).
inline void ReversePulses(tagBPV_PULSE_FEATURE_POINT* pulses, int count) {
  for (int i = 0; i < count / 2; ++i) std::swap(pulses[i], pulses[count - 1 - i]);
}

// Index of the first largest amplitude among points [0, count).
inline int FirstMaximum(const tagBPV_PULSE_FEATURE_POINT* points, int count) {
  int m = 0;
  for (int i = 1; i < count; ++i)
    if (points[i].Amplitude > points[m].Amplitude) m = i;
  return m;
}

}  // namespace nel::bp
