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
// Design decisions:
// - A sequencer whose controller or recogniser could not be created is still
//   constructed (nothing is thrown across the library boundary); once started
//   it deflates its cuff and reports BPVSTA_FAILED on every sample.
// - The deflation mode (MeasureMode = BPVMODE_DEFLATE) behaves as the system
//   always has: the end of recognition arms a restart, the next sample
//   reports BPVSTA_RESTART and recognition starts again; the deflation
//   evaluation never reports a result.
// - The log is opened with "a+" (text and binary mode are the same here).
//   Its line buffers are sized when the log is set, for 800 pulses of the
//   longest numbers, so a pulse list is never cut and logging allocates
//   nothing while measuring. Lines are flushed as they are written.
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
class FirFilter;
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
  TnelBPMInflate* GetInflater() { return Inflater.get(); }
  TnelPulseRecogn* GetRecogn() { return Recogn.get(); }
  int16_t GetAttempts() const { return Attempts; }
  bool IsFinished() const { return Finished; }
  int16_t GetSkipCount() const { return SkipCount; }
  int16_t GetPulseRate() const { return PulseRate; }
  float GetDelayedPressure() const { return DelayedPressure; }
  tagTYPE_NEL_BPDATA GetChannel() const { return Channel; }

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

  int16_t DataProcessMode;
  tagTYPE_NEL_BPDATA Channel;
  TnelHardCtl* HardCtl;
  std::unique_ptr<TnelBPMInflate> Inflater;
  std::unique_ptr<TnelPulseRecogn> Recogn;
  std::FILE* LogFile = nullptr;
  bool Active = false;
  bool Finished = false;
  int32_t DecimAD = 0;
  float DelayedPressure = 0.0f;
  bool DeflateEval = false;
  int16_t SkipCount = 0;
  int16_t PulseRate = 60;
  int16_t DecimCount = 0;
  int32_t DecimSum = 0;
  int16_t Attempts = 0;
  bool RestartPending = false;
  float PressureRing[kDelaySlots] = {};
  int32_t RingRead = 0;
  int32_t RingWrite = kDelaySlots - 1;
  std::unique_ptr<nel::dsp::FirFilter> WideLowpass;
  std::unique_ptr<nel::dsp::FirFilter> NarrowLowpass;
  std::unique_ptr<nel::dsp::FirFilter> BaseLowpass;
  bool IsToe = false;

  // Log line buffers, sized when a log is set.
  std::vector<char> PulseLine;
  char TextLine[256] = {};
};
