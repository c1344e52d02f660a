// Pulse lists and independent reference computations for the BP calculation tests.
#pragma once

#include <cmath>
#include <cstdint>
#include <utility>
#include <vector>

#include <nel/bp/bp_records.h>

namespace bptest {

using Pt = tagBPV_PULSE_FEATURE_POINT;

// Pulses 1 mmHg apart from p0 downwards with the given amplitudes. With this
// spacing the KR resampling hits every pulse exactly, so the envelope before
// smoothing is the amplitudes of all pulses but the last.
inline std::vector<Pt> Falling(float p0, const std::vector<int32_t>& amps) {
  std::vector<Pt> v;
  for (size_t i = 0; i < amps.size(); ++i)
    v.push_back(
        Pt{static_cast<int16_t>(100 + 50 * i), static_cast<int16_t>(90 + 50 * i), amps[i], p0 - static_cast<float>(i)});
  return v;
}

inline std::vector<int32_t> Amps(const std::vector<Pt>& v) {
  std::vector<int32_t> a;
  for (const Pt& p : v) a.push_back(p.Amplitude);
  return a;
}

inline std::vector<Pt> Reversed(std::vector<Pt> v) {
  std::vector<Pt> r(v.rbegin(), v.rend());
  return r;
}

inline bool SameList(const std::vector<Pt>& a, const std::vector<Pt>& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (a[i].Amplitude != b[i].Amplitude || a[i].Pressure != b[i].Pressure || a[i].PeakPos != b[i].PeakPos ||
        a[i].FootPos != b[i].FootPos)
      return false;
  return true;
}

// Least-squares polynomial with k coefficients in powers of (x - mean) by the
// normal equations, Gaussian elimination with partial pivoting.
inline void NormalEquationsFit(const double* x, const double* y, int n, int k, double* c) {
  long double mean = 0;
  for (int i = 0; i < n; ++i) mean += x[i];
  mean /= n;
  long double A[20][21] = {};
  for (int r = 0; r < k; ++r) {
    for (int col = 0; col < k; ++col)
      for (int i = 0; i < n; ++i) A[r][col] += std::pow(x[i] - mean, r + col);
    for (int i = 0; i < n; ++i) A[r][k] += y[i] * std::pow(x[i] - mean, r);
  }
  for (int p = 0; p < k; ++p) {
    int piv = p;
    for (int r = p + 1; r < k; ++r)
      if (std::fabs(A[r][p]) > std::fabs(A[piv][p])) piv = r;
    for (int col = 0; col <= k; ++col) std::swap(A[p][col], A[piv][col]);
    for (int r = 0; r < k; ++r) {
      if (r == p) continue;
      const long double f = A[r][p] / A[p][p];
      for (int col = p; col <= k; ++col) A[r][col] -= f * A[p][col];
    }
  }
  for (int r = 0; r < k; ++r) c[r] = static_cast<double>(A[r][k] / A[r][r]);
}

// Peak of the envelope as the KR refinement defines it, from a normal-equations
// fit of the four points: the 0.01 mmHg scan from x[0] down to x[3]; the best
// value starts at y[0], the best pressure at 0, and ties go to the lower pressure.
struct Peak {
  float pressure;
  float value;
};
inline Peak ScanFittedPeak(const double x[4], const double y[4]) {
  double c[3];
  NormalEquationsFit(x, y, 4, 3, c);
  const double mean = (x[0] + x[1] + x[2] + x[3]) / 4;
  Peak best{0.0f, static_cast<float>(y[0])};
  for (double q = x[0]; q >= x[3]; q -= 0.01) {
    const double d = q - mean;
    const double f = c[0] + c[1] * d + c[2] * d * d;
    if (f >= best.value) best = Peak{static_cast<float>(q), static_cast<float>(f)};
  }
  return best;
}

}  // namespace bptest
