// TnelPulseRecogn: turns the conditioned cuff signal of one measurement
// attempt into the oscillometric envelope.
//
// While the cuff inflates, the sequencer hands over one conditioned sample per
// decimated sample (PulseRecogn). The recogniser stores it, cuts the stream
// into windows of 155 samples, judges each completed window, locates the
// envelope maximum, watches the envelope fall away behind it and reports when
// the measurement can end. After the end, FinalPulseRecogn finds the single
// pulses in the stored samples, cleans the list of artefacts and leaves it in
// FeaturePoint / FeatureCount for the BP calculation and the host.
//
// Limb cuffs run their windows continuously over the slowly rising pressure;
// a toe cuff is measured in pressure steps, each window holds the samples of
// one held step and must contain one recognisable pulse.
//
// All counts are decimated samples (10 ms each). The window's pressure is the
// Pressure of the sample at the window's MinPos.
//
// Threads: called only from the thread that runs the sample processing; no
// locking. PulseRecogn and FinalPulseRecogn allocate nothing.
#pragma once

#include <cstdint>

#include <nel/bp/bp_records.h>
#include <nel/export.h>

class NEL_API TnelPulseRecogn {
 public:
  static constexpr int kMaxFilted = nel::bp::kBPMaxFiltedCount;  // 17500 samples
  static constexpr int kMaxPulses = nel::bp::kBPMaxPulseCount;   // 800 pulses
  static constexpr int kMaxWindows = 175;
  static constexpr int kWinLen = 155;
  static constexpr int kLookBack = 5;

  // Judgement of one completed window.
  enum WindowStatus : int32_t {
    WIN_VALID = 0,        // a usable pulse window
    WIN_SMALL = 1,        // amplitude too small (below MinAmp or far below the recent mean)
    WIN_LOWPRESSURE = 2,  // window pressure below 14 mmHg; ignored
    WIN_ARTEFACT = 3,     // implausible amplitude, or no pulse in a toe window
  };

  struct PulseWindow {
    int32_t MaxValue;  // largest OscSmooth in the window
    int32_t MinValue;  // smallest OscSmooth in the window
    int32_t Status;    // a WindowStatus
    int32_t Amp;       // MaxValue - MinValue
    int32_t MaxPos;    // sample index of the first occurrence of the maximum
    int32_t MinPos;    // sample index of the first occurrence of the minimum
  };

  TnelPulseRecogn();
  ~TnelPulseRecogn();
  // The recogniser owns its sample array and is never copied.
  TnelPulseRecogn(const TnelPulseRecogn&) = delete;
  TnelPulseRecogn& operator=(const TnelPulseRecogn&) = delete;

  // Stores mode, toe flag and over-pressure limit, then Initialize().
  void Initialize(tagTYPE_BPVMEASUE_MODE mode, bool isToe, int16_t maxPressure);
  // Starts a new attempt: no samples, no windows, no maximum, nothing latched.
  // The pulse list is kept until FinalPulseRecogn rebuilds it.
  void Initialize();

  // One conditioned sample: the two oscillation signals, the (delayed) cuff
  // pressure in mmHg and the inflation controller's SampleEnable.
  tagTYPE_PULSERECOGN_STATUS PulseRecogn(int32_t osc, int32_t oscSmooth, float pressure, bool sampleEnable);

  // Builds the pulse list from the stored samples and windows and marks the
  // feet and peaks in FiltedData. Called once after PRS_COMPLETE.
  void FinalPulseRecogn();

  // The pressure of window w (the Pressure of its MinPos sample).
  float WindowPressure(int w) const { return FiltedData[Windows[w].MinPos].Pressure; }

  // ---- state, in this order; read by the sequencer and the host ----------
  bool Finished = false;                     // end condition met; latched until Initialize
  bool OverPressure = false;                 // maximum pressure reached; latched until Initialize
  tagBPV_FILTED_DATA* FiltedData = nullptr;  // kMaxFilted samples; null if not allocated
  int32_t FiltedCount = 0;
  tagBPV_PULSE_FEATURE_POINT FeaturePoint[kMaxPulses] = {};
  int16_t FeatureCount = 0;
  int32_t WinLen = kWinLen;
  PulseWindow Windows[kMaxWindows] = {};
  int32_t WinCount = 0;
  bool IsToe = false;
  int16_t MaxPressure = 280;
  int32_t MAPMinAmp = 900;  // smallest amplitude of an envelope maximum (toe 570)
  int32_t MinAmp = 600;     // smallest amplitude of a valid window or pulse (toe 380)
  tagTYPE_BPVMEASUE_MODE MeasureMode = BPVMODE_INFLATE;
  int32_t LookBack = kLookBack;
  int32_t WinSampleCount = 0;  // samples collected in the current window
  int32_t MAPWin = -1;         // window taken as the envelope maximum; -1 none
  int32_t MAPAmp = 0;
  int16_t LowCount = 0;        // consecutive low windows seen by the end check
  int32_t SearchStart = 0;     // first window of the maximum search
  int32_t CutoffPressure = 0;  // pressure beyond which the envelope has ended
  int16_t FinishPressure = 125;
  bool EnvelopeEnded = false;

 private:
  void CheckMMData();
  void MAPPosiCheck();
  void InflateInterdictCheck();
  void DeflateInterdictCheck();
  void InterdictCheck(bool pressurePassed, double thresholdRatio);
  bool CheckIsContinues3PntLower() const;
  void LittleCuff_FinalPulseRecogn();
  bool LittleCuff_OnePulseRecogn(int start, int end, int maxPos, int minPos, int* peak, int* foot) const;
  void BigCuff_FinalPulseRecogn();
  // Steps of BigCuff_FinalPulseRecogn.
  int ResumeAfterDisturbed(int w) const;
  void TakeCandidatePeak(int w, int p, int32_t runMax, bool inflate, int& lastPeak);
  void RemovePulse(int index);
  // Walks back from `from` to `stop` (inclusive) for the foot of a pulse:
  // the third consecutive sample pair without a rise gives j + 3. -1 if none.
  int FindFoot(int from, int stop) const;
  int32_t Smooth(int i) const { return FiltedData[i].OscSmooth; }
};
