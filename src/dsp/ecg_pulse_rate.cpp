#include <nel/dsp/ecg_pulse_rate.h>

#include <cmath>
#include <limits>

#include "dsp/filter_design.h"
#include "dsp/fir_filter.h"

namespace {

constexpr int kTaps = 501;
constexpr int16_t kNoSample = -9999;

// Filter output to the 16-bit sample the detector works on: truncated toward
// zero, then kept to 16 bits as an integer conversion would (design decision:
// values beyond the int32 range are first clamped to it, so nothing is undefined).
int16_t ToSample(double v) {
  if (!(v == v)) return 0;
  const double t = std::trunc(v);
  const double lo = std::numeric_limits<int32_t>::min(), hi = std::numeric_limits<int32_t>::max();
  const int32_t i = static_cast<int32_t>(t < lo ? lo : (t > hi ? hi : t));
  return static_cast<int16_t>(static_cast<uint16_t>(static_cast<uint32_t>(i)));
}

int16_t Diff16(int16_t a, int16_t b) {
  return static_cast<int16_t>(static_cast<uint16_t>(static_cast<int>(a) - static_cast<int>(b)));
}

}  // namespace

TrwECGPulseRate::TrwECGPulseRate(int16_t sampleRate)
    : SampleRate(sampleRate),
      NotchFilter(
          std::make_unique<nel::dsp::FirFilter>(nel::dsp::BandstopTaps(kTaps, 45.0 / sampleRate, 55.0 / sampleRate))),
      LowpassFilter(std::make_unique<nel::dsp::FirFilter>(nel::dsp::LowpassTaps(kTaps, 35.0 / sampleRate))) {}

TrwECGPulseRate::~TrwECGPulseRate() = default;
TrwECGPulseRate::TrwECGPulseRate(const TrwECGPulseRate&) = default;
TrwECGPulseRate& TrwECGPulseRate::operator=(const TrwECGPulseRate&) = default;
TrwECGPulseRate::TrwECGPulseRate(TrwECGPulseRate&&) noexcept = default;
TrwECGPulseRate& TrwECGPulseRate::operator=(TrwECGPulseRate&&) noexcept = default;

TrwECGPulseRate::Filter::Filter(std::unique_ptr<nel::dsp::FirFilter> filter) : f(std::move(filter)) {}
TrwECGPulseRate::Filter::~Filter() = default;
TrwECGPulseRate::Filter::Filter(const Filter& other)
    : f(other.f ? std::make_unique<nel::dsp::FirFilter>(*other.f) : nullptr) {}
TrwECGPulseRate::Filter& TrwECGPulseRate::Filter::operator=(const Filter& other) {
  if (this == &other) return *this;
  if (!other.f)
    f.reset();
  else if (f)
    *f = *other.f;
  else
    f = std::make_unique<nel::dsp::FirFilter>(*other.f);
  return *this;
}
TrwECGPulseRate::Filter::Filter(Filter&&) noexcept = default;
TrwECGPulseRate::Filter& TrwECGPulseRate::Filter::operator=(Filter&&) noexcept = default;

int16_t TrwECGPulseRate::GetPulse() const { return NoSignal ? 0 : Pulse; }

void TrwECGPulseRate::ProcessOnceData(int16_t sample) {
  if (SampleRate <= 0) return;
  if (PrevSample == kNoSample) {  // the very first sample is only remembered
    PrevSample = sample;
    return;
  }
  const int16_t y = ToSample(LowpassFilter.f->Step(NotchFilter.f->Step(static_cast<double>(sample))));
  ProcOnceMaxFallUp(y);
  ProcOncePulseLen(y);
  PrevSample = y;
}

void TrwECGPulseRate::ProcOnceMaxFallUp(int16_t y) {
  const int16_t d = Diff16(y, PrevSample);
  if (d < MinDiff) MinDiff = d;
  if (d > MaxDiff) MaxDiff = d;
  ++SegSamples;
  if (static_cast<float>(y) > SegMax) SegMax = y;
  if (static_cast<float>(y) < SegMin) SegMin = y;
  if (SegSamples != 2 * SampleRate) return;

  // The range times 1/665 in single precision, compared in double: 133 counts
  // give 0.200000003 > 0.2 (a signal), 132 give 0.198 (none).
  const float scaled = (SegMax - SegMin) * 0.0015037594f;
  NoSignal = !(static_cast<double>(scaled) > 0.2);
  SegMax = -99999.0f;
  SegMin = 99999.0f;
  SegSamples = 0;
  SegMinDiff[SegIndex] = MinDiff;
  SegMaxDiff[SegIndex] = MaxDiff;
  ++SegIndex;
  if (SegIndex >= 4) {
    FallThreshold = CountECGRm(true);
    RiseThreshold = CountECGRm(false);
    SegIndex = 0;
    FirstSegments = false;
  } else if (FirstSegments) {
    FallThreshold = static_cast<float>(0.35 * MinDiff);
    RiseThreshold = static_cast<float>(0.35 * MaxDiff);
  }
  MinDiff = 32767;
  MaxDiff = -32767;
}

float TrwECGPulseRate::CountECGRm(bool fall) const {
  int v[4];
  for (int i = 0; i < 4; ++i) v[i] = fall ? SegMinDiff[i] : SegMaxDiff[i];
  int largest = 0, smallest = 0;
  for (int i = 1; i < 4; ++i) {
    if (v[i] > v[largest]) largest = i;
    if (v[i] < v[smallest]) smallest = i;
  }
  v[largest] = 0;
  v[smallest] = 0;
  const int sum = v[0] + v[1] + v[2] + v[3];
  return static_cast<float>(sum * 0.5 * 0.35);
}

void TrwECGPulseRate::ProcOncePulseLen(int16_t y) {
  const int16_t d = Diff16(y, PrevSample);
  const int32_t quarter = SampleRate / 4;
  if (SinceBeat != -1) {
    // Design decision: the count stops at the int32 maximum (after 24 days
    // without a beat at 1000 samples per second) instead of overflowing.
    if (SinceBeat < std::numeric_limits<int32_t>::max()) ++SinceBeat;
    if (d > RiseThreshold) RisePos = SinceBeat;
  }
  if (d < FallThreshold && !FallLatched) {
    if (++FallCount < 2) return;
    FallCount = 0;
    FallLatched = true;
    if (SinceBeat == -1) {  // the first beat only starts the count
      SinceBeat = 0;
      RisePos = -1;
      return;
    }
    if (RisePos != -1 && SinceBeat - RisePos < quarter) {
      ProcessEcgDataLen(SinceBeat);
      SinceBeat = 0;
      RisePos = -1;
    }
  } else if (d > 0) {
    FallCount = 0;
    FallLatched = false;
  }
}

void TrwECGPulseRate::ProcessEcgDataLen(int len) {
  const int64_t ms = 1000LL * len / SampleRate;
  if (ms > MaxInterval || ms < MinInterval) return;
  Interval[IntervalPos] = static_cast<int16_t>(ms);
  if (IntervalFull) {
    const int mean = (Interval[0] + Interval[1] + Interval[2]) / 3;
    Pulse = static_cast<int16_t>(60000 / mean);
  } else if (IntervalPos >= 2) {
    IntervalFull = true;
  }
  if (++IntervalPos >= 3) IntervalPos = 0;
}
