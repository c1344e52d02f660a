// TnelBPMInflate: drives the pump of one cuff while its blood pressure is
// measured on the inflation slope.
//
// The controller waits until the cuff is empty, starts the pump and then keeps
// the inflation at the pace the pulse recognition needs:
// - limb cuffs (channels 0 to 3) inflate continuously; once per averaging
//   period the inflation rate is measured and the pump level trimmed so that
//   the rate stays inside a band that widens with the pressure;
// - toe cuffs (channels 4 and 5) inflate in steps of 7 mmHg; each step is held
//   while one pulse window is recorded, and the next starts when the sequencer
//   reports the window done (CurrPulseRecognOK).
// Pump and valve are commanded only through TnelHardCtl (StartInflate,
// RapidDeflate). Lengths are counted in calls of Process: one per decimated
// sample (10 ms), so the averaging period of 100 calls is 1 s.
//
// Threads: called only from the thread that runs the sample processing; no
// locking. The controller owns nothing; copying copies every field.
#pragma once

#include <cstdint>

#include <nel/export.h>
#include <nel/link/records.h>

class TnelHardCtl;

class NEL_API TnelBPMInflate {
 public:
  static constexpr int kHistory = 10;
  static constexpr float kEmptySlot = -999.0f;

  TnelBPMInflate(TnelHardCtl* hardCtl, int avgPeriod, tagTYPE_NEL_BPDATA channel);

  // Stores the three values, clears TargetHits, sets IsToe, then Initialize().
  void Initialize(TnelHardCtl* hardCtl, int avgPeriod, tagTYPE_NEL_BPDATA channel);
  // Back to waiting for an empty cuff with no averages; keeps SampleEnable and
  // the toe step fields (HoldCount, StepTarget, StepLevel, StepCommands).
  void Initialize();
  // Starts a fresh attempt: opens the valve with the pump off and waits for
  // the cuff to empty. The averages of the previous attempt are kept.
  void StartDeflate();
  // One call per decimated sample with the undelayed cuff pressure in mmHg.
  // Does nothing without a hardware control.
  void Process(float pressure);
  // A pulse window was completed (or the pressure is still below 14 mmHg):
  // a toe cuff starts its next step; a limb cuff ignores it.
  void CurrPulseRecognOK();

  // ---- state, in this order; Started and SampleEnable are read by the sequencer
  tagTYPE_NEL_BPDATA Channel = BP_RBRA;
  int32_t PumpSpeed = 0;           // level last commanded to a limb cuff
  bool Started = false;            // the pump has been started in this attempt
  bool SampleEnable = false;       // the recogniser may take samples now
  TnelHardCtl* HardCtl = nullptr;  // not owned
  int32_t AvgPeriod = 100;
  int32_t State = 1;  // 1 waiting for an empty cuff, 2 inflating, 3 toe step measuring
  int32_t AvgCount = 0;
  float AvgSum = 0.0f;
  float AvgPressure = 0.0f;  // mean of the last completed averaging period
  bool AvgReady = false;     // set for the call that completed a period
  int32_t EmptyCount = 0;    // consecutive calls at or below 5 mmHg while waiting
  bool PreInflate = true;
  float AvgHistory[kHistory] = {};  // last ten averages; kEmptySlot marks an empty slot
  int16_t HistoryPos = 0;
  int16_t SpeedHold = 0;  // averaging periods to wait after a level change
  bool IsToe = false;
  int32_t StepTick = 0;      // calls towards the next quarter period of a toe step
  int32_t HoldCount = -1;    // calls holding the current toe step; -1 while inflating
  float StepTarget = 0.0f;   // pressure the current toe step aims at
  int32_t StepLevel = 32;    // third value of the toe pump commands, 10 to 100
  int16_t TargetHits = 0;    // quarter-period checks at or above the pre-inflation target
  int32_t StepCommands = 0;  // pump commands of the current toe step

 private:
  void RateControl(float pressure);
  void StepControl(float pressure);
  void StartPump(int level, int third);
};
