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
  // Design decision: a rate at which the filter band edges reach half the
  // sample rate (110 or less) leaves the filters without taps, so they output
  // 0; a rate of 0 or less makes ProcessOnceData ignore every sample.
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

 private:
  friend struct TrwECGPulseRateProbe;  // tests reach the steps and fields

  void ProcOnceMaxFallUp(int16_t y);
  void ProcOncePulseLen(int16_t y);
  float CountECGRm(bool fall) const;
  void ProcessEcgDataLen(int len);

  int16_t SampleRate;
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
  Filter NotchFilter;
  Filter LowpassFilter;
  bool NoSignal = true;
  float SegMax = -99999.0f;
  float SegMin = 99999.0f;
  int16_t Pulse = 0;
  float FallThreshold = -32767.0f;
  float RiseThreshold = 32767.0f;
  int16_t SegMinDiff[4] = {};
  int16_t SegMaxDiff[4] = {};
  int16_t SegIndex = 0;
  int16_t MinDiff = 32767;
  int16_t MaxDiff = -32767;
  int16_t SegSamples = 0;
  int16_t PrevSample = -9999;
  bool FallLatched = false;
  int16_t FallCount = 0;
  int32_t SinceBeat = -1;
  int32_t RisePos = -1;
  int16_t MinInterval = 180;
  int16_t MaxInterval = 4000;
  int16_t Interval[3] = {};
  int16_t IntervalPos = 0;
  bool IntervalFull = false;
  bool FirstSegments = true;
};
