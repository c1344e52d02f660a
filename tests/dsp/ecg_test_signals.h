// Synthetic ECG in the unit's counts for the ECG analyser tests.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <vector>

#include "dsp/ecg_analyser.h"

namespace nel::testing {

using dsp::EcgAnalyser;
using dsp::EcgBeatRecord;

inline constexpr int16_t kBaseline = 2130;

struct Complex {
  int32_t at;         // sample index of the peak
  int32_t amplitude;  // counts above the baseline
  int32_t halfWidth;  // samples from the foot to the peak
};

// Triangular complexes on a flat baseline.
inline std::vector<int16_t> Ecg(int32_t length, const std::vector<Complex>& complexes) {
  std::vector<int32_t> v(static_cast<size_t>(length), kBaseline);
  for (const Complex& c : complexes)
    for (int32_t t = -c.halfWidth; t <= c.halfWidth; ++t) {
      const int32_t i = c.at + t;
      if (i < 0 || i >= length) continue;
      v[static_cast<size_t>(i)] += c.amplitude * (c.halfWidth - std::abs(t)) / c.halfWidth;
    }
  return {v.begin(), v.end()};
}

// Regular beats every `rr` samples from `first` while before `end`.
inline std::vector<Complex> Regular(int32_t first, int32_t end, int32_t rr, int32_t amplitude = 800,
                                    int32_t halfWidth = 20) {
  std::vector<Complex> out;
  for (int32_t t = first; t < end; t += rr) out.push_back({t, amplitude, halfWidth});
  return out;
}

struct Run {
  std::vector<EcgBeatRecord> beats;  // as reported
  std::vector<int16_t> rate;         // heart rate after each sample
};

inline Run Feed(EcgAnalyser& a, const std::vector<int16_t>& samples) {
  Run r;
  r.rate.reserve(samples.size());
  for (int16_t s : samples) {
    EcgBeatRecord b{};
    int16_t hr = -1;
    if (a.ProcessSample(s, &b, &hr) == 1) r.beats.push_back(b);
    r.rate.push_back(hr);
  }
  return r;
}

}  // namespace nel::testing
