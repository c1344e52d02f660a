// TnelProcBPData: systolic, diastolic and mean pressure from the accepted
// pulses of one cuff measurement.
//
// Three methods, chosen at construction:
//  - KR (BPVCAL_KR, BPVCAL_KR1, BPVCAL_KR2, one computation): the amplitude
//    envelope is resampled at 1 mmHg steps, smoothed, its maximum refined with a
//    least-squares parabola (MAP), and the normalised envelope is searched for
//    the MAP-dependent characteristic ratio on each side;
//  - fixed coefficients (BPVCAL_SIMCOEFF): amplitudes low-pass filtered along
//    the pulse sequence, MAP at the largest pulse, ratio bands per MAP band;
//  - MAP coefficients (BPVCAL_MAPCOEFF): the systolic ratio measured on the
//    shape of the largest pulse (toe cuffs: the band's middle), scaled by
//    MAP-dependent adjustments.
//
// Each object serves one calculation at a time: construct, call an entry
// point, read the result block. Every call starts afresh from the array it is
// given. The pulse array belongs to the caller; the calculation may rewrite it
// (inflation lists are reversed so that pressure falls with the index; the
// coefficient methods replace amplitudes by filtered values) and every
// reported position indexes the array as the call left it.
//
// Threads: no locks. An object is used on one thread. RatioOffset is one value
// for the whole process, rewritten by every construction.
//
// A calculation allocates nothing and does no I/O, so the sequencer may run it
// inside a processing pass. Working arrays live on the stack (about 13 KiB for
// the KR method, 23 KiB for the coefficient methods).
#pragma once

#include <cstddef>
#include <cstdint>

#include <nel/bp/bp_records.h>
#include <nel/export.h>
#include <nel/link/records.h>

class NEL_API TnelProcBPData {
 public:
  TnelProcBPData();
  TnelProcBPData(tagTYPE_BPV_CALMETHOD method, tagTYPE_DATAPROCESSMODE mode, bool isToe, float ratioOffset);
  ~TnelProcBPData();
  TnelProcBPData(const TnelProcBPData&);
  TnelProcBPData& operator=(const TnelProcBPData&);

  // First calculation over `count` pulses (3 to 800) in recognition order.
  // `filted` is read only by the MAP-coefficient method of a limb cuff (the
  // recogniser's sample array, indexed by the pulses' FootPos). `mode` decides
  // whether an inflation list is reversed. True when the method succeeded and
  // the result passes the acceptance rule (SBP >= MAP + 3, DBP <= MAP - 3, none
  // of the three -1). A null array or a count outside 3 to 800 gives false and
  // touches nothing.
  bool ProcGetBPData_First(int16_t count, tagBPV_PULSE_FEATURE_POINT* pulses, tagBPV_FILTED_DATA* filted,
                           tagTYPE_BPVMEASUE_MODE mode);
  // Calculation over a list already in calculation order (never reversed);
  // `sbpRatio` is the systolic ratio used by the MAP-coefficient method.
  bool ProcGetBPData_Secondary(int16_t count, tagBPV_PULSE_FEATURE_POINT* pulses, float sbpRatio);

  // The result block as a record.
  tagBPIM_PARA Result() const;

  // Added to the characteristic ratios of every object (KR: both targets;
  // fixed coefficients: widens both bands; MAP coefficients: both adjustments).
  // Every construction stores its ratio offset here.
  static float RatioOffset;

  // ---- fields (plain data, read by the sequencer and the host) ----------
  // Result block, laid out as tagBPIM_PARA.
  int16_t SBPPos = 0;
  int16_t DBPPos = 0;
  int16_t MAPPos = 0;
  int16_t SBP = -1;
  int16_t DBP = -1;
  int16_t MAP = -1;
  float MapSBPRatio = 0.0f;
  // Ratio band of each side for the current MAP.
  float SBPRatioHigh = 0.0f;
  float SBPRatioLow = 0.0f;
  float DBPRatioHigh = 0.0f;
  float DBPRatioLow = 0.0f;
  int32_t MaxAmplitude = 0;  // envelope maximum the amplitudes are normalised to
  tagTYPE_BPV_CALMETHOD CalMethod = BPVCAL_KR;
  tagTYPE_DATAPROCESSMODE DataProcessMode = DATAPROCESS_STANDARD;
  bool IsToe = false;
  int16_t PulseNum = 0;                         // points of the array being worked on
  tagBPV_PULSE_FEATURE_POINT* Pulse = nullptr;  // the caller's array, not owned
  // Envelope index and interpolated pressure of each crossing (KR method).
  int16_t SBPIndex = 0;
  int16_t DBPIndex = 0;
  float SBPPressure = 0.0f;
  float DBPPressure = 0.0f;

 protected:
  // The calculation's steps, open to subclasses (the unit tests reach them as one).
  enum SearchDirection { kBackward, kForward };

  bool Accept(bool methodResult) const;
  int16_t NearestPulse(const tagBPV_PULSE_FEATURE_POINT* pulses, int16_t count, float v) const;

  // KR method.
  bool KR_ProcGetBPData(int16_t count, tagBPV_PULSE_FEATURE_POINT* pulses, tagTYPE_BPVMEASUE_MODE mode, bool firstCall);
  void FitEnvelopeMaximum(tagBPV_PULSE_FEATURE_POINT* env, int& n, int& m);
  void SmoothPulse(int16_t count, tagBPV_PULSE_FEATURE_POINT* points);
  float KR_GetProductRatio(int16_t map, float* sbpHigh, float* sbpLow, float* dbpHigh, float* dbpLow) const;
  bool CountApproachingCoeffValue(const tagBPV_PULSE_FEATURE_POINT* points, int32_t maxAmplitude, int16_t start,
                                  int16_t end, float target, int16_t* outIndex, float* outPressure,
                                  SearchDirection direction) const;

  // Coefficient methods.
  bool SimCoeff_ProcGetBPData(int16_t count, tagBPV_PULSE_FEATURE_POINT* pulses, tagTYPE_BPVMEASUE_MODE mode,
                              bool firstCall);
  float SimCoeff_GetProductRatio(int16_t map, float* sbpHigh, float* sbpLow, float* dbpHigh, float* dbpLow) const;
  bool MapCoeff_ProcGetBPData_First(int16_t count, tagBPV_PULSE_FEATURE_POINT* pulses, const tagBPV_FILTED_DATA* filted,
                                    tagTYPE_BPVMEASUE_MODE mode);
  bool MapCoeff_ProcGetBPData_Toe(int16_t count, tagBPV_PULSE_FEATURE_POINT* pulses, tagTYPE_BPVMEASUE_MODE mode);
  bool MapCoeff_ProcGetBPData_Secondary(int16_t count, tagBPV_PULSE_FEATURE_POINT* pulses, float sbpRatio);
  void MapCoeff_PulseFilte(int16_t count, tagBPV_PULSE_FEATURE_POINT* pulses, float cutoff);
  float MapCoeff_GetSBPProductRatio(int16_t map, float* upper, float* lower) const;
  void MapCoeff_GetAdjustRatio(int16_t map, float* sbpAdjust, float* dbpAdjust) const;
  int16_t SearchBPValue(float high, float low, int16_t start, int16_t end, int16_t* outPos, int16_t* outPressure,
                        bool systolic);
  // Shared first step of the first-call coefficient paths: the index of the
  // chosen maximum, or -1 when the filtered maximum lies on the first or last pulse.
  int ChooseMaximum(int16_t count, tagBPV_PULSE_FEATURE_POINT* pulses);
  void ResetResult(int16_t count, tagBPV_PULSE_FEATURE_POINT* pulses);
};

// The result block is laid out as tagBPIM_PARA at the start of the object.
static_assert(offsetof(TnelProcBPData, SBPPos) == offsetof(tagBPIM_PARA, SBPPos));
static_assert(offsetof(TnelProcBPData, MAP) == offsetof(tagBPIM_PARA, MAP));
static_assert(offsetof(TnelProcBPData, MapSBPRatio) == offsetof(tagBPIM_PARA, MapSBPRatio));
