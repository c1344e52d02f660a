// TrwECGPulseRate: running heart rate, beats per minute, from raw ECG samples.
//
// Each sample (after the first) passes a 45-55 Hz band-stop and a 35 Hz
// low-pass (501 taps each). Every two seconds of samples form a segment: its
// peak-to-peak range decides whether an ECG is present at all (133 counts or
// more), and its steepest fall and rise set the slope thresholds (from the
// latest segment during the first six seconds, then every fourth segment from
// the middle two of the last four). A beat is the second sample falling more
// steeply than the fall threshold since the signal last rose, with a rise
// steeper than the rise threshold less than a quarter second before it. Beat
// intervals of 180 to 4000 ms are kept, and from the fourth one on the rate is
// 60000 over the mean of the last three. GetPulse reports 0 while no signal is
// present.
//
// One thread drives an instance; nothing is allocated after construction.
#pragma once

#include <cstdint>
#include <memory>

#include <nel/export.h>

namespace nel::dsp {
class FirFilter;
}

class NEL_API TrwECGPulseRate {
 public:
  // Rates of 110 or less: see docs/decisions.md, "Heart-rate tracker limits".
  explicit TrwECGPulseRate(int16_t sampleRate);
  ~TrwECGPulseRate();
  // Copies carry the filters' histories.
  TrwECGPulseRate(const TrwECGPulseRate& other);
  TrwECGPulseRate& operator=(const TrwECGPulseRate& other);
  TrwECGPulseRate(TrwECGPulseRate&&) noexcept;
  TrwECGPulseRate& operator=(TrwECGPulseRate&&) noexcept;

  // One raw ECG sample (AD counts).
  void ProcessOnceData(int16_t sample);
  // 0 while no signal is present, otherwise the last computed rate.
  int16_t GetPulse() const;

 protected:
  // The tracker's steps and state, open to subclasses (the unit tests reach them as one).
  void ProcOnceMaxFallUp(int16_t y);
  void ProcOncePulseLen(int16_t y);
  float CountECGRm(bool fall) const;
  void ProcessEcgDataLen(int len);

  int16_t sampleRate_;
  // A filter kept out of this header, copied by value with its history.
  struct Filter {
    std::unique_ptr<nel::dsp::FirFilter> f;
    explicit Filter(std::unique_ptr<nel::dsp::FirFilter> filter);
    ~Filter();
    Filter(const Filter& other);
    Filter& operator=(const Filter& other);
    Filter(Filter&&) noexcept;
    Filter& operator=(Filter&&) noexcept;
  };
  Filter notchFilter_;
  Filter lowpassFilter_;
  bool noSignal_ = true;
  float segMax_ = -99999.0f;
  float segMin_ = 99999.0f;
  int16_t pulse_ = 0;
  float fallThreshold_ = -32767.0f;
  float riseThreshold_ = 32767.0f;
  int16_t segMinDiff_[4] = {};
  int16_t segMaxDiff_[4] = {};
  int16_t segIndex_ = 0;
  int16_t minDiff_ = 32767;
  int16_t maxDiff_ = -32767;
  int16_t segSamples_ = 0;
  int16_t prevSample_ = -9999;
  bool fallLatched_ = false;
  int16_t fallCount_ = 0;
  int32_t sinceBeat_ = -1;
  int32_t risePos_ = -1;
  int16_t minInterval_ = 180;
  int16_t maxInterval_ = 4000;
  int16_t interval_[3] = {};
  int16_t intervalPos_ = 0;
  bool intervalFull_ = false;
  bool firstSegments_ = true;
};
