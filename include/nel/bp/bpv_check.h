// TnelBPVCheck: the blood-pressure measurement of one cuff, from start to
// result.
//
// The façade feeds every sample of the cuff (ProcPulseWave). The sequencer
// averages and decimates the AD values by 10, filters them into the two
// oscillation signals, delays the cuff pressure by 99 decimated samples so
// that it lines up with the filter outputs, drives its inflation controller
// (TnelBPMInflate) and pulse recogniser (TnelPulseRecogn), deflates the cuff
// when recognition ends and has the KR calculation (TnelProcBPData) compute
// SBP, DBP and MAP. A failed attempt is repeated up to MaxAttempts attempts.
// Every sample gets a status; a measurement log is written when the host has
// set one (SetLogFile).
//
// See docs/decisions.md, "Sequencer without parts; deflation mode" and "Measurement log".
//
// Threads: the sequencer starts no thread and takes no lock. All operations
// are called one at a time from the thread that runs the sample processing.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <vector>

#include <nel/bp/bp_records.h>
#include <nel/export.h>
#include <nel/link/records.h>

class TnelHardCtl;
class TnelBPMInflate;
class TnelPulseRecogn;
namespace nel::dsp {
class FirFilterTrio;
}

class NEL_API TnelBPVCheck {
 public:
  static constexpr int kDecimation = 10;
  static constexpr int kDelaySlots = 100;
  static constexpr int kFilterTaps = 201;
  static constexpr int kAvgPeriod = 100;
  static constexpr int kLimbRestSamples = 400;  // a limb cuff's new attempt rests 4 s
  static constexpr int kLowPressureRest = 50;

  TnelBPVCheck(int16_t dataProcessMode, tagTYPE_NEL_BPDATA channel, TnelHardCtl* hardCtl);
  ~TnelBPVCheck();
  TnelBPVCheck(const TnelBPVCheck&) = delete;
  TnelBPVCheck& operator=(const TnelBPVCheck&) = delete;

  // Called when a BP measurement starts: not active, no attempts, a fresh
  // attempt state; writes the start line to the log.
  void Initialize();
  void SetBPChlNo(tagTYPE_NEL_BPDATA channel);
  // Expected pulse rate, 25 to 250 beats per minute; anything else stores 60.
  void SetPulseRate(int16_t rate);
  // Starts the measurement: the cuff is emptied and the pump restarts once it is.
  void StartBPMeasureProcess();
  // One sample of this cuff: its AD value and its pressure in mmHg.
  tagTYPE_BPV_MEASTATUS ProcPulseWave(int32_t ad, float pressure);
  // The leading samples of a block (AD values ad[0], ad[stride], ... ; at
  // most n) for which ProcPulseWave would only add to the decimation sum, or
  // do nothing before a start, and return BPVSTA_MEASURING: fed here in one
  // loop, with the same effect. Stops before the first sample that needs the
  // whole step. Returns how many it fed (0 for a null block).
  int Accumulate(const int32_t* ad, int stride, int n);
  // Final recognition and calculation; the result goes to BPResult.
  bool ProcGetFinalBPValue(tagTYPE_BPVMEASUE_MODE mode);

  // Closes an open log; opens `path` for appending when it is not null.
  void SetLogFile(const char* path);

  // SBP, DBP, MAP of the result, or -1 each before a result is available.
  void getBPValue(int16_t* sbp, int16_t* dbp, int16_t* map) const;
  // Positions of the result in the pulse array, or 0 each before a result.
  void getBPDataPosition(int16_t* sbpPos, int16_t* dbpPos, int16_t* mapPos) const;
  float getMapSBPRatio() const { return BPResult.MapSBPRatio; }
  // The pulse count, and a copy of all 800 pulse entries.
  void getPulseFeaturePnt(tagBPV_PULSE_FEATURE_POINT* dst, int16_t* count) const;
  // The recogniser's pulse array; `count` (not null) receives the count.
  tagBPV_PULSE_FEATURE_POINT* assignPulseFeaturePnt(int16_t* count);
  // The stored sample count, and a copy of the samples.
  void getBPFilteData(tagBPV_FILTED_DATA* dst, int32_t* count) const;
  // The recogniser's sample array; `count` (not null) receives the count.
  tagBPV_FILTED_DATA* assignBPFilteData(int32_t* count);

  // The owned controller and recogniser (null when they could not be created).
  TnelBPMInflate* GetInflater() { return inflater_.get(); }
  TnelPulseRecogn* GetRecogn() { return recogn_.get(); }
  int16_t GetAttempts() const { return attempts_; }
  bool IsFinished() const { return finished_; }
  int16_t GetSkipCount() const { return skipCount_; }
  int16_t GetPulseRate() const { return pulseRate_; }
  float GetDelayedPressure() const { return delayedPressure_; }
  tagTYPE_NEL_BPDATA GetChannel() const { return channel_; }

  // ---- set directly by the façade before each measurement ------------------
  tagTYPE_BPVMEASUE_MODE MeasureMode = BPVMODE_INFLATE;
  int16_t MaxPressure = 280;  // over-pressure limit, mmHg
  int16_t MaxAttempts = 3;
  bool QuickResult = false;                             // take the calculation's outcome without retry, check or log
  tagBPIM_PARA BPResult = {0, 0, 0, -1, -1, -1, 0.0f};  // the last result

 private:
  void ResetAttemptState();
  void SecondBPMeasureProcess();
  tagTYPE_BPV_MEASTATUS StartNewAttempt();
  void Deflate();
  tagTYPE_BPV_MEASTATUS EndOfAttempt();
  bool FinalBPValue(tagTYPE_BPVMEASUE_MODE mode, bool logPulses);
  tagTYPE_BPV_MEASTATUS CheckBPValueCorrectness(tagBPIM_PARA* para, bool ok);
  bool DM_BPValueProce(int osc, int oscSmooth, float pressure);
  void WriteLogInf(const char* text);
  void WritePulseLines();
  void WriteValueLine(const char* prefix, const tagBPIM_PARA& para);

  int16_t dataProcessMode_;
  tagTYPE_NEL_BPDATA channel_;
  TnelHardCtl* hardCtl_;
  std::unique_ptr<TnelBPMInflate> inflater_;
  std::unique_ptr<TnelPulseRecogn> recogn_;
  std::FILE* logFile_ = nullptr;
  bool active_ = false;
  bool finished_ = false;
  int32_t decimAd_ = 0;
  float delayedPressure_ = 0.0f;
  bool deflateEval_ = false;
  int16_t skipCount_ = 0;
  int16_t pulseRate_ = 60;
  int16_t decimCount_ = 0;
  int32_t decimSum_ = 0;
  int16_t attempts_ = 0;
  bool restartPending_ = false;
  float pressureRing_[kDelaySlots] = {};
  int32_t ringRead_ = 0;
  int32_t ringWrite_ = kDelaySlots - 1;
  std::unique_ptr<nel::dsp::FirFilterTrio> lowpasses_;  // base line, wide, narrow: 201 taps each
  bool isToe_ = false;

  // Log line buffers, sized when a log is set.
  std::vector<char> pulseLine_;
  char textLine_[256] = {};
};
