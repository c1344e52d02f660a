// Zero-point calibration of the four pressure transducers.
//
// With the cuffs open to the air, the object watches the AD count of channels
// 0 to 3 until each is steady (spread under 0.2 mmHg over the last 2000 calls)
// and then sets that channel's Offset so that the steady count reads 0 mmHg,
// keeping its Slope. The toe channels 4 and 5 share the ankle transducers and
// receive the offsets of channels 2 and 3.
//
// A calibration that is not done after 10000 calls writes "压力校准失败!\n"
// (code page 936) to "coefficient.txt" in the executable's folder; the file is
// emptied when the object is created. Each zeroed channel sends
// "<channel>  通道零点压力校准成功!\n" to the diagnostic sink (debug string).
//
// Driven call by call: one StartPressureAdjust call per sample frame. The
// fields Finished, Busy, Success and ChlDone are the user's view of progress
// and are read directly. One thread of the user drives the object; no lock.
#pragma once

#include <cstdint>
#include <cstdio>

#include <nel/export.h>
#include <nel/link/records.h>

class NEL_API TnelZeroPressureAdjust {
 public:
  static constexpr int kRingSlots = 500;  // one sample every fourth call
  static constexpr int32_t kFirstEvaluation = 2000;
  static constexpr int32_t kGiveUpAfter = 10000;
  static constexpr int kPathChars = 512;

  // Init, then opens "coefficient.txt" beside the executable (emptying it).
  TnelZeroPressureAdjust();
  // Closes the result file.
  ~TnelZeroPressureAdjust();

  // Not copyable: see docs/decisions.md, "Result file and debug message".
  TnelZeroPressureAdjust(const TnelZeroPressureAdjust&) = delete;
  TnelZeroPressureAdjust& operator=(const TnelZeroPressureAdjust&) = delete;

  // Restarts the calibration: nothing done, nothing counted.
  void Init();

  // One call per frame: `ad` holds the AD counts of channels 0 to 3, `coeffs`
  // the six conversion records indexed by channel, read and updated in place.
  // The second and fourth arguments are not used. A null `ad` or `coeffs`
  // makes the call do nothing (it is not counted).
  void StartPressureAdjust(int* ad, float* unused, tagAD_FORCE_CONVERT* coeffs, char* unused2);

  void StopPressureAdjust();

  // --- state, read directly by the user ---
  FILE* ResultFile = nullptr;                            // "coefficient.txt"; null when it could not be created
  char Path[kPathChars] = {};                            // full name of the result file
  bool Finished = false;                                 // all channels done, or stopped
  bool Busy = true;                                      // set by every call that still has work; cleared by Stop
  bool Success = false;                                  // all four channels zeroed
  int32_t CallCount = 0;                                 // StartPressureAdjust calls so far
  bool ChlDone[nel::kTransducerCount] = {};              // channel zeroed
  int32_t Ring[nel::kTransducerCount][kRingSlots] = {};  // AD count of every fourth call, per channel
};
