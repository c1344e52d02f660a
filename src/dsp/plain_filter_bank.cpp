#include "dsp/plain_filter_bank.h"

#include "dsp/filter_design.h"

namespace nel::dsp {

PlainFilterBank::PlainFilterBank(tagTYPE_DATAPROCESSMODE mode)
    : mode_(mode),
      ecgHighpass_(0.996666666666667, -0.996672216054523, 1.0, -0.996672216054523),
      ecgBandstop_(BandstopTaps(501, 0.045, 0.055)),
      ecgLowpass_(LowpassTaps(501, 0.035)),
      pcgLowpass_(LowpassTaps(501, 0.12)),
      pcgHighpass_(HighpassTaps(501, 0.04)) {
  const auto wide = LowpassTaps(2001, 0.022), base = LowpassTaps(2001, 0.0003), narrow = LowpassTaps(2001, 0.005);
  for (int i = 0; i < 6; ++i) {
    wide_.emplace_back(wide);
    base_.emplace_back(base);
    narrow_.emplace_back(narrow);
  }
}

void PlainFilterBank::SetWaveNumType(int count, const tagTYPE_NEL_WAVEDATA* kinds) {
  kinds_.assign(kinds, kinds + count);
  ring_.assign(3000 * 14, 0.0f);
  lowRing_.assign(3000 * 6, 0.0f);
  read_ = 0;
  for (int i = 0; i < 6; ++i) pulse_[i] = basePos_[i] = 0;
  ecg_ = mode_ == DATAPROCESS_RAW ? 998 : 498;
  pcg_ = mode_ == DATAPROCESS_RAW ? 1000 : 500;
}

void PlainFilterBank::WaveFilte(const float* in, int frames) {
  const int width = static_cast<int>(kinds_.size());
  for (int f = 0; f < frames; ++f)
    for (int s = 0; s < width; ++s) {
      const double x = in[f * width + s];
      const int k = kinds_[s];
      if (k == WAVE_ECG) {
        double y = ecgHighpass_.Step(x);
        if (!(mode_ == DATAPROCESS_RAW && !SignalChecking)) y = ecgLowpass_.StepPlain(ecgBandstop_.StepPlain(y));
        ring_[ecg_ * 14] = static_cast<float>(y);
        ecg_ = (ecg_ + 1) % 3000;
      } else if (k == WAVE_PCG) {
        const double y = mode_ == DATAPROCESS_RAW ? x : pcgHighpass_.StepPlain(pcgLowpass_.StepPlain(x));
        ring_[pcg_ * 14 + 1] = static_cast<float>(y);
        pcg_ = (pcg_ + 1) % 3000;
      } else if (k >= 2 && k <= 7) {
        const int i = k - 2;
        ring_[pulse_[i] * 14 + 2 + i] = static_cast<float>(wide_[i].StepPlain(x));
        lowRing_[pulse_[i] * 6 + i] = static_cast<float>(narrow_[i].StepPlain(x));
        pulse_[i] = (pulse_[i] + 1) % 3000;
        ring_[basePos_[i] * 14 + 8 + i] = static_cast<float>(base_[i].StepPlain(x));
        basePos_[i] = (basePos_[i] + 1) % 3000;
      }
    }
}

long PlainFilterBank::TapsPerFrame() const {
  long taps = 0;
  for (const int k : kinds_) {
    if (k == WAVE_ECG && !(mode_ == DATAPROCESS_RAW && !SignalChecking))
      taps += static_cast<long>(ecgBandstop_.TapCount() + ecgLowpass_.TapCount());
    else if (k == WAVE_PCG && mode_ != DATAPROCESS_RAW)
      taps += static_cast<long>(pcgLowpass_.TapCount() + pcgHighpass_.TapCount());
    else if (k >= 2 && k <= 7)
      taps += static_cast<long>(wide_[k - 2].TapCount() + narrow_[k - 2].TapCount() + base_[k - 2].TapCount());
  }
  return taps;
}

void PlainFilterBank::GetWaveFilteResult(float* main, float* low, int frames) {
  const int width = static_cast<int>(kinds_.size());
  for (int f = 0; f < frames; ++f) {
    const float* row = &ring_[read_ * 14];
    for (int s = 0; s < width; ++s) {
      const int k = kinds_[s];
      if (k == WAVE_ECG || k == WAVE_PCG) {
        main[f * width + s] = low[f * width + s] = row[k];
      } else if (k >= 2 && k <= 7) {
        main[f * width + s] = row[k] - row[k + 6];
        low[f * width + s] = lowRing_[read_ * 6 + k - 2] - row[k + 6];
      }
    }
    read_ = (read_ + 1) % 3000;
  }
}

}  // namespace nel::dsp
