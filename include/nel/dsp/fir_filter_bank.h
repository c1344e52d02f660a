// TnelFIRFilter: the waveform filter bank.
//
// Every acquired wave goes through the filter chain of its kind:
//   ECG (kind 0):   first-order high-pass, then a 45-55 Hz band-stop and a 35 Hz
//                   low-pass (501 taps each); in data process mode 2 the FIR
//                   stages run only while the signal check runs.
//   PCG (kind 1):   120 Hz low-pass, then 40 Hz high-pass (501 taps each);
//                   unfiltered in data process mode 2.
//   pulse (2 to 7): three 2001-tap low-passes of the raw sample: wide band
//                   (22 Hz), baseline (0.3 Hz) and narrow band (5 Hz).
// Outputs go into two rings of 3000 rows; GetWaveFilteResult reads them back
// time-aligned: ECG 998 frames, PCG 1000 and pulse waves 1000 frames behind
// the input (ECG 998 and PCG 1000 in mode 2 too; the ECG 1498 in mode 2 while
// the signal check runs). Pulse results are differences against the baseline:
// main = wide - baseline (0.3-22 Hz), low = narrow - baseline (0.3-5 Hz).
//
// Rates are 1000 samples per second; filtering is in double precision, rings
// and results are single precision. Kinds outside 0 to 7 are passed over.
// Everything is allocated at construction; filtering allocates nothing.
// No lock of its own: the owner serialises every call.
#pragma once

#include <cstdint>
#include <memory>

#include <nel/export.h>
#include <nel/link/records.h>

namespace nel::dsp {
class FirstOrderIir;
class SymmetricFirGroup;
}  // namespace nel::dsp

class NEL_API TnelFIRFilter {
 public:
  static constexpr int kRingRows = 3000;
  static constexpr int kMaxWaves = 14;
  static constexpr int kColumns = 14;    // filteBuf_: ECG, PCG, 6 wide-band, 6 baseline
  static constexpr int kLowColumns = 6;  // pulseLowBuf_: 6 narrow-band
  static constexpr int kShortTaps = 501;
  static constexpr int kLongTaps = 2001;

  explicit TnelFIRFilter(tagTYPE_DATAPROCESSMODE mode);
  ~TnelFIRFilter();
  TnelFIRFilter(const TnelFIRFilter&) = delete;
  TnelFIRFilter& operator=(const TnelFIRFilter&) = delete;

  // Sets the frame layout (count kinds, at most 14) and resets both rings and
  // every position; the filter histories carry on. A negative count or a null
  // list gives no waves; more than 14 kinds are cut to 14.
  void SetWaveNumType(short count, const tagTYPE_NEL_WAVEDATA* kinds);

  // Designs every filter and creates its state with a zero history.
  void InitFiltePara();

  // Filters `frames` frames of waveNum_ floats each into the rings. Always true.
  bool WaveFilte(const float* frames_in, short frames);

  // Writes `frames` frames of results (same layout as the input) into both
  // blocks and advances the read position. Slots of unknown kinds are not
  // written. Null blocks or frames < 1: nothing happens.
  void GetWaveFilteResult(float* main_result, float* low_result, short frames);

  // Kept for the interface; they do nothing.
  void SetPath(const char* path);
  void CloseFile();

  // Set by the owner while its signal check runs (changes the ECG chain in mode 2).
  bool SignalChecking = false;

  tagTYPE_DATAPROCESSMODE GetDataProcessMode() const { return dataProcessMode_; }
  int32_t GetECGWritePos() const { return ecgWritePos_; }
  int32_t GetPCGWritePos() const { return pcgWritePos_; }
  int32_t GetPulseWritePos(int i) const { return (i >= 0 && i < 6) ? pulseWritePos_[i] : -1; }
  int32_t GetPulseBaseWritePos(int i) const { return (i >= 0 && i < 6) ? pulseBaseWritePos_[i] : -1; }
  int32_t GetReadPos() const { return readPos_; }
  int16_t GetWaveNum() const { return waveNum_; }

 private:
  void InitWavePosition();
  void FilterEcg(const double* x, int n);
  void FilterPcg(const double* x, int n);
  void FilterPulse(int i, const double* x, int n);

  tagTYPE_DATAPROCESSMODE dataProcessMode_;
  int32_t ecgWritePos_ = 0;
  int32_t pcgWritePos_ = 0;
  int32_t pulseWritePos_[6] = {};
  int32_t pulseBaseWritePos_[6] = {};
  int32_t readPos_ = 0;
  std::unique_ptr<float[]> filteBuf_;     // kRingRows x kColumns
  std::unique_ptr<float[]> pulseLowBuf_;  // kRingRows x kLowColumns
  std::unique_ptr<nel::dsp::FirstOrderIir> ecgHighpass_;
  std::unique_ptr<nel::dsp::SymmetricFirGroup> ecgBandstop_, ecgLowpass_, pcgLowpass_, pcgHighpass_;
  // Per pulse kind (index kind - 2) one group of three states over one input
  // history: filter 0 PulseWideLowpass, 1 PulseBaseLowpass, 2 PulseNarrowLowpass.
  std::unique_ptr<nel::dsp::SymmetricFirGroup> pulseLowpass_[6];
  int16_t waveNum_ = 0;
  tagTYPE_NEL_WAVEDATA waveType_[kMaxWaves] = {};

  // Slots of each kind 0..7 in slot order (normally at most one); derived from waveType_.
  int16_t kindSlotCount_[8] = {};
  int16_t kindSlots_[8][kMaxWaves] = {};
  std::unique_ptr<double[]> work_;  // gathered input of one kind for one chunk
};
