// Fixed-pressure hold: brings up to six cuffs to one common pressure and keeps
// them there, so that pulse waves can be recorded at a steady cuff pressure.
//
// The user (the façade) calls StartFixPressure with the requested pressure and
// the cuff list, then CheckPressure once per sample frame (1000 per second)
// with the current pressure of each listed cuff, in list order, and reads Done.
// Each cuff is regulated on its own through the hardware control's pump and
// valve commands, on averages of 49 calls: it cycles through holding,
// inflating and deflating until it has stayed 40 consecutive averages inside
// the band [pressure - 0.7, pressure + 4.2]. When every cuff is settled, limb
// cuffs more than 2 mmHg below the middle of the band are topped up once, and
// the hold is done when each of them has reached the middle + 0.5.
//
// There is no time-out: a cuff that never settles keeps the regulation going
// until the user cancels. Commands are skipped while HardCtl is null.
// One thread drives the object (the sample-processing thread); no locking.
// Every field is public plain data: the façade reads ChlCount, Chl and Done.
#pragma once

#include <cstdint>

#include <nel/export.h>
#include <nel/link/records.h>

class TnelHardCtl;

class NEL_API TnelPressureFixed {
 public:
  static constexpr int32_t kAveragePeriod = 49;   // calls per average
  static constexpr int16_t kSettleAverages = 40;  // consecutive in-band averages to settle
  static constexpr int kToePumpLevel = 5000;
  static constexpr int kTopUpPumpLevel = 6500;

  enum : int32_t { kSettled = 0, kHolding = 1, kDeflating = 2, kInflating = 3 };

  explicit TnelPressureFixed(TnelHardCtl* hardCtl);

  // Starts a hold at `pressure` mmHg for `count` cuffs. Does nothing unless
  // 0 < count <= 6 and `channels` is given. Sends no command: the first
  // average finds the cuffs below the band and inflates them.
  void StartFixPressure(int pressure, tagTYPE_NEL_BPDATA* channels, int count);
  // One call per sample frame: pressures[i] (mmHg) belongs to Chl[i]. Does
  // nothing while not Active or for a null array.
  void CheckPressure(float* pressures);
  // Stops the hold; with `deflate`, opens every valve with the pumps off.
  // Done keeps its value.
  void CancelFixPressure(bool deflate);

  bool Done = true;
  bool Active = false;
  int32_t ChlCount = 0;
  tagTYPE_NEL_BPDATA Chl[nel::kChannelCount] = {};
  TnelHardCtl* HardCtl = nullptr;
  float Target = 0.0f;
  float Upper = 0.0f;
  float Lower = 0.0f;
  int32_t ChlState[nel::kChannelCount] = {};
  int16_t InBandCount[nel::kChannelCount] = {};
  float PressAvg[nel::kChannelCount] = {};
  int32_t AvgCount = 0;
  int32_t Wait[nel::kChannelCount] = {};
  bool AllSettled = false;

 private:
  static bool ChlIsToe(tagTYPE_NEL_BPDATA chl);
  void FinalPhase(const float* pressures);
  void Regulate(int i, float a);
  void StartInflate(int level, int i, int third);
  void StopInflate(int i);
  void RapidDeflate(int i, bool open);
};
