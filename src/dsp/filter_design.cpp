#include "dsp/filter_design.h"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace nel::dsp {
namespace {

constexpr double kPi = std::numbers::pi;

double Sinc(double x) {
  if (x == 0.0) return 1.0;
  return std::sin(kPi * x) / (kPi * x);
}

// Ideal response of a low-pass band edge f (fraction of the sample rate) at
// offset m from the centre: 2f sinc(2f m).
double LowpassIdeal(double f, double m) { return 2.0 * f * Sinc(2.0 * f * m); }

// The window is computed on the first half and mirrored, so that designs are
// exactly symmetric (the filter bank sums mirrored input pairs once per tap pair).
double Hamming(std::size_t n, std::size_t count) {
  if (count == 1) return 1.0;
  const std::size_t half = std::min(n, count - 1 - n);
  return 0.54 - 0.46 * std::cos(2.0 * kPi * static_cast<double>(half) / static_cast<double>(count - 1));
}

bool InOpenHalfBand(double f) { return f > 0.0 && f < 0.5; }

double Offset(std::size_t n, std::size_t count) {
  return static_cast<double>(n) - 0.5 * static_cast<double>(count - 1);
}

// Multiplies by the window and divides by the gain at zero frequency (sum of
// taps) or at half the sample rate (alternating sum).
void WindowAndNormalise(std::span<double> taps, bool at_half_rate) {
  const std::size_t count = taps.size();
  double gain = 0.0;
  for (std::size_t n = 0; n < count; ++n) {
    taps[n] *= Hamming(n, count);
    gain += at_half_rate ? taps[n] * std::cos(kPi * Offset(n, count)) : taps[n];
  }
  for (double& t : taps) t /= gain;
}

}  // namespace

bool DesignLowpass(double cutoff, std::span<double> taps) {
  if (taps.empty() || !InOpenHalfBand(cutoff)) return false;
  for (std::size_t n = 0; n < taps.size(); ++n) taps[n] = LowpassIdeal(cutoff, Offset(n, taps.size()));
  WindowAndNormalise(taps, false);
  return true;
}

bool DesignHighpass(double cutoff, std::span<double> taps) {
  if (taps.empty() || taps.size() % 2 == 0 || !InOpenHalfBand(cutoff)) return false;
  for (std::size_t n = 0; n < taps.size(); ++n) {
    const double m = Offset(n, taps.size());
    taps[n] = Sinc(m) - LowpassIdeal(cutoff, m);
  }
  WindowAndNormalise(taps, true);
  return true;
}

bool DesignBandstop(double low, double high, std::span<double> taps) {
  if (taps.empty() || !InOpenHalfBand(low) || !InOpenHalfBand(high) || !(low < high)) return false;
  for (std::size_t n = 0; n < taps.size(); ++n) {
    const double m = Offset(n, taps.size());
    taps[n] = LowpassIdeal(low, m) + (Sinc(m) - LowpassIdeal(high, m));
  }
  WindowAndNormalise(taps, false);
  return true;
}

std::vector<double> LowpassTaps(int count, double cutoff) {
  if (count < 1) return {};
  std::vector<double> taps(static_cast<std::size_t>(count));
  if (!DesignLowpass(cutoff, taps)) taps.clear();
  return taps;
}

std::vector<double> HighpassTaps(int count, double cutoff) {
  if (count < 1) return {};
  std::vector<double> taps(static_cast<std::size_t>(count));
  if (!DesignHighpass(cutoff, taps)) taps.clear();
  return taps;
}

std::vector<double> BandstopTaps(int count, double low, double high) {
  if (count < 1) return {};
  std::vector<double> taps(static_cast<std::size_t>(count));
  if (!DesignBandstop(low, high, taps)) taps.clear();
  return taps;
}

}  // namespace nel::dsp
