// Two-point gain calibration of up to four pressure transducers.
//
// The user lists the transducer channels (0 to 3), applies a first reference
// pressure (100 mmHg), then a second (200 mmHg); for each listed channel the
// object measures the mean AD count at both points and returns the gain and
// offset that map the first mean to 100 mmHg and the second to 200 mmHg
// (pressure = count * gain + offset, as in tagAD_FORCE_CONVERT).
//
// Driven call by call: one PressureAdjustProc call per sample frame (1 ms at
// the unit's 1000 frames per second). Every wait is a count of calls.
// The fields are plain data and may be read directly. One thread of the user
// drives the object; it has no lock. The library itself never creates one.
#pragma once

#include <cstdint>

#include <nel/export.h>
#include <nel/link/records.h>

// Result of TnelPressureAdjust::PressureAdjustProc.
enum typeADJ_RET_STYLE : int32_t {
  ADJ_NONE = 0,   // nothing to report
  ADJ_STEP1 = 1,  // apply the first reference pressure (100 mmHg), then WantedPressureOK
  ADJ_STEP2 = 2,  // first point measured: apply the second (200 mmHg), then WantedPressureOK
  ADJ_DONE = 3,   // second point measured, coefficients ready, calibration stopped
};

class NEL_API TnelPressureAdjust {
 public:
  static constexpr int32_t kSettleCalls = 2000;   // Countdown set by WantedPressureOK
  static constexpr int16_t kCollectCalls = 1001;  // samples summed per point

  TnelPressureAdjust();

  // Starts a calibration of `count` channels listed in `channels` (each 0 to 3).
  // A count outside 0 to 4 is ignored; a listed channel outside 0 to 3 ends the
  // call at once and the calibration does not start.
  void StartPressureAdjust(int* channels, int count);

  // One call per frame; `ad` holds the current AD count of each listed channel
  // in list order.
  typeADJ_RET_STYLE PressureAdjustProc(int* ad);

  // The reference pressure of the current step is applied: wait, then collect.
  void WantedPressureOK();

  // Gain and offset of list entry `index`; both 0 unless 0 <= index < ChlCount.
  void GetAdjustCoeff(float* gain, float* offset, int index);

  void StopPressureAdjust();

  // --- state, read directly by the user ---
  bool Running = false;
  int32_t Chl[nel::kTransducerCount] = {};  // listed transducer channels
  int32_t ChlCount = 0;
  bool Measuring = false;              // the reference pressure is applied; collecting
  typeADJ_RET_STYLE Step = ADJ_STEP1;  // point being calibrated: 1 or 2
  bool StepReported = false;           // the current step has been announced
  int32_t Countdown = 0;               // calls still to wait before collecting
  int16_t SampleCount = 0;
  int32_t Sum[nel::kTransducerCount] = {};   // per list entry, sum of AD counts
  int32_t Avg1[nel::kTransducerCount] = {};  // mean AD count at the first point
  int32_t Avg2[nel::kTransducerCount] = {};  // mean AD count at the second point
  float Gain[nel::kTransducerCount] = {};
  float Offset[nel::kTransducerCount] = {};
};
