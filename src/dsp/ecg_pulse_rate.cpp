#include <nel/dsp/ecg_pulse_rate.h>

#include <cmath>
#include <limits>

#include "dsp/filter_design.h"
#include "dsp/fir_filter.h"

namespace {

constexpr int kTaps = 501;
constexpr int16_t kNoSample = -9999;

// Filter output to the 16-bit sample the detector works on: truncated, clamped to int32, kept to 16 bits.
// See docs/decisions.md, "Heart-rate tracker arithmetic".
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
    : sampleRate_(sampleRate),
      notchFilter_(
          std::make_unique<nel::dsp::FirFilter>(nel::dsp::BandstopTaps(kTaps, 45.0 / sampleRate, 55.0 / sampleRate))),
      lowpassFilter_(std::make_unique<nel::dsp::FirFilter>(nel::dsp::LowpassTaps(kTaps, 35.0 / sampleRate))) {}

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

int16_t TrwECGPulseRate::GetPulse() const { return noSignal_ ? 0 : pulse_; }

void TrwECGPulseRate::ProcessOnceData(int16_t sample) {
  if (sampleRate_ <= 0) return;
  if (prevSample_ == kNoSample) {  // the very first sample is only remembered
    prevSample_ = sample;
    return;
  }
  const int16_t y = ToSample(lowpassFilter_.f->Step(notchFilter_.f->Step(static_cast<double>(sample))));
  ProcOnceMaxFallUp(y);
  ProcOncePulseLen(y);
  prevSample_ = y;
}

void TrwECGPulseRate::ProcOnceMaxFallUp(int16_t y) {
  const int16_t d = Diff16(y, prevSample_);
  if (d < minDiff_) minDiff_ = d;
  if (d > maxDiff_) maxDiff_ = d;
  ++segSamples_;
  if (static_cast<float>(y) > segMax_) segMax_ = y;
  if (static_cast<float>(y) < segMin_) segMin_ = y;
  if (segSamples_ != 2 * sampleRate_) return;

  // The range times 1/665 in single precision, compared in double: 133 counts
  // give 0.200000003 > 0.2 (a signal), 132 give 0.198 (none).
  const float scaled = (segMax_ - segMin_) * 0.0015037594f;
  noSignal_ = !(static_cast<double>(scaled) > 0.2);
  segMax_ = -99999.0f;
  segMin_ = 99999.0f;
  segSamples_ = 0;
  segMinDiff_[segIndex_] = minDiff_;
  segMaxDiff_[segIndex_] = maxDiff_;
  ++segIndex_;
  if (segIndex_ >= 4) {
    fallThreshold_ = CountECGRm(true);
    riseThreshold_ = CountECGRm(false);
    segIndex_ = 0;
    firstSegments_ = false;
  } else if (firstSegments_) {
    fallThreshold_ = static_cast<float>(0.35 * minDiff_);
    riseThreshold_ = static_cast<float>(0.35 * maxDiff_);
  }
  minDiff_ = 32767;
  maxDiff_ = -32767;
}

float TrwECGPulseRate::CountECGRm(bool fall) const {
  int v[4];
  for (int i = 0; i < 4; ++i) v[i] = fall ? segMinDiff_[i] : segMaxDiff_[i];
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
  const int16_t d = Diff16(y, prevSample_);
  const int32_t quarter = sampleRate_ / 4;
  if (sinceBeat_ != -1) {
    // Stops at the int32 maximum: see docs/decisions.md, "Heart-rate tracker limits".
    if (sinceBeat_ < std::numeric_limits<int32_t>::max()) ++sinceBeat_;
    if (d > riseThreshold_) risePos_ = sinceBeat_;
  }
  if (d < fallThreshold_ && !fallLatched_) {
    if (++fallCount_ < 2) return;
    fallCount_ = 0;
    fallLatched_ = true;
    if (sinceBeat_ == -1) {  // the first beat only starts the count
      sinceBeat_ = 0;
      risePos_ = -1;
      return;
    }
    if (risePos_ != -1 && sinceBeat_ - risePos_ < quarter) {
      ProcessEcgDataLen(sinceBeat_);
      sinceBeat_ = 0;
      risePos_ = -1;
    }
  } else if (d > 0) {
    fallCount_ = 0;
    fallLatched_ = false;
  }
}

void TrwECGPulseRate::ProcessEcgDataLen(int len) {
  const int64_t ms = 1000LL * len / sampleRate_;
  if (ms > maxInterval_ || ms < minInterval_) return;
  interval_[intervalPos_] = static_cast<int16_t>(ms);
  if (intervalFull_) {
    const int mean = (interval_[0] + interval_[1] + interval_[2]) / 3;
    pulse_ = static_cast<int16_t>(60000 / mean);
  } else if (intervalPos_ >= 2) {
    intervalFull_ = true;
  }
  if (++intervalPos_ >= 3) intervalPos_ = 0;
}
