// PlainFilterBank: the waveform filter bank written for clarity, as the
// reference that TnelFIRFilter is checked and benchmarked against.
//
// Same chains, rings, positions and alignment as TnelFIRFilter, but frame by
// frame and slot by slot, every filter called one sample at a time and every
// output summed one tap at a time (nel::dsp::FirFilter::StepPlain). Not used by the
// library itself.
#pragma once

#include <vector>

#include <nel/link/records.h>
#include "dsp/fir_filter.h"
#include "dsp/iir_filter.h"

namespace nel::dsp {

class PlainFilterBank {
 public:
  explicit PlainFilterBank(tagTYPE_DATAPROCESSMODE mode);

  void SetWaveNumType(int count, const tagTYPE_NEL_WAVEDATA* kinds);
  void WaveFilte(const float* in, int frames);
  void GetWaveFilteResult(float* main, float* low, int frames);
  // Multiply-adds of the FIR filters WaveFilte runs for one frame (the IIR
  // high-pass not counted): the work any form of the bank does per frame.
  long TapsPerFrame() const;

  bool SignalChecking = false;

 private:
  tagTYPE_DATAPROCESSMODE mode_;
  FirstOrderIir ecgHighpass_;
  FirFilter ecgBandstop_, ecgLowpass_, pcgLowpass_, pcgHighpass_;
  std::vector<FirFilter> wide_, base_, narrow_;
  std::vector<tagTYPE_NEL_WAVEDATA> kinds_;
  std::vector<float> ring_, lowRing_;
  int read_ = 0, ecg_ = 0, pcg_ = 0, pulse_[6] = {}, basePos_[6] = {};
};

}  // namespace nel::dsp
