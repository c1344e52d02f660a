// Records and enumerations of one cuff's oscillometric BP measurement: the
// conditioned cuff samples and the accepted pulses produced by the pulse
// recogniser, the result of a BP calculation, and the status and method values
// exchanged between the sequencer, the recogniser, the calculation and the host.
//
// tagBPV_FILTED_DATA and tagBPV_PULSE_FEATURE_POINT are copied to the host as
// raw arrays, so all three records are a binary interface: 1-byte packing,
// little-endian, fields in this order, no padding (asserted at the end).
#pragma once

#include <cstddef>
#include <cstdint>

// On which slope of the cuff pressure the pulses are measured.
enum tagTYPE_BPVMEASUE_MODE : int32_t {
  BPVMODE_INFLATE = 0,  // while the cuff inflates slowly (the façade's mode)
  BPVMODE_DEFLATE = 1,  // while the cuff deflates
};

// Status of one cuff's measurement, reported for every sample.
enum tagTYPE_BPV_MEASTATUS : int32_t {
  BPVSTA_MEASURING = 0,     // running (or not started); nothing to report
  BPVSTA_OK = 1,            // finished; SBP, DBP and MAP available (latched)
  BPVSTA_OVERTIME = 2,      // recogniser data limit reached; cuff deflated
  BPVSTA_FAILED = 3,        // no usable result within the attempts; cuff deflated
  BPVSTA_REMEASURE = 4,     // attempt failed, a new one has started
  BPVSTA_RESTART = 5,       // recognition restarted for a deflation evaluation
  BPVSTA_OVERPRESSURE = 6,  // cuff pressure reached the allowed maximum
  BPVSTA_STOPPED = 7,       // stopped before a result: cancelled, or every cuff stopped for safety
};

// Result of the pulse recogniser for one conditioned sample.
enum tagTYPE_PULSERECOGN_STATUS : int32_t {
  PRS_NONE = 0,          // sample taken or skipped; no window completed
  PRS_COMPLETE = 1,      // end condition met (latched)
  PRS_FAILED = 2,        // attempt failed, to be repeated (set by the sequencer)
  PRS_OVERRUN = 3,       // 17500 samples or 175 windows reached
  PRS_NOBUFFER = 4,      // no sample array
  PRS_PULSE = 5,         // one more pulse window completed and evaluated
  PRS_OVERPRESSURE = 6,  // recogniser's maximum pressure reached (latched)
};

// Calculation method of a TnelProcBPData, chosen at construction.
enum tagTYPE_BPV_CALMETHOD : int32_t {
  BPVCAL_KR = 0,        // envelope (KR) method; the sequencer's method
  BPVCAL_KR1 = 1,       // same computation as BPVCAL_KR
  BPVCAL_KR2 = 2,       // same computation as BPVCAL_KR
  BPVCAL_SIMCOEFF = 3,  // fixed ratio bands per MAP band
  BPVCAL_MAPCOEFF = 4,  // ratios from the shape of the largest pulse
};

#pragma pack(push, 1)

// One conditioned sample of the cuff signal, in arrival order; its index is
// the sample index used by the pulse list.
struct tagBPV_FILTED_DATA {
  int32_t Osc;        // wide low-pass minus baseline, truncated
  int32_t OscSmooth;  // narrow low-pass minus baseline, truncated; pulses are measured on it
  float Pressure;     // cuff pressure, mmHg, aligned with the filter outputs
  uint8_t Mark;       // 0 plain sample, 1 foot of an accepted pulse, 2 its peak
};

// One accepted pulse of the oscillometric envelope.
struct tagBPV_PULSE_FEATURE_POINT {
  int16_t PeakPos;    // sample index of the peak (maximum of OscSmooth)
  int16_t FootPos;    // sample index of the foot (the minimum starting the pulse)
  int32_t Amplitude;  // OscSmooth at the peak minus OscSmooth at the foot
  float Pressure;     // cuff pressure at the foot, mmHg
};

// Result of one BP calculation. Positions index the pulse array as the
// calculation left it; pressures are -1 when not determined.
struct tagBPIM_PARA {
  int16_t SBPPos;
  int16_t DBPPos;
  int16_t MAPPos;
  int16_t SBP;
  int16_t DBP;
  int16_t MAP;
  float MapSBPRatio;  // systolic ratio of the MAP-coefficient method; 0 otherwise
};

#pragma pack(pop)

namespace nel::bp {

inline constexpr int kBPMaxPulseCount = 800;     // entries of a pulse list
inline constexpr int kBPMaxFiltedCount = 17500;  // conditioned samples of one attempt

}  // namespace nel::bp

// ---- binary layout ---------------------------------------------------------
static_assert(sizeof(tagTYPE_BPVMEASUE_MODE) == 4 && sizeof(tagTYPE_BPV_MEASTATUS) == 4 &&
              sizeof(tagTYPE_PULSERECOGN_STATUS) == 4 && sizeof(tagTYPE_BPV_CALMETHOD) == 4);

static_assert(sizeof(tagBPV_FILTED_DATA) == 13);
static_assert(offsetof(tagBPV_FILTED_DATA, Osc) == 0);
static_assert(offsetof(tagBPV_FILTED_DATA, OscSmooth) == 4);
static_assert(offsetof(tagBPV_FILTED_DATA, Pressure) == 8);
static_assert(offsetof(tagBPV_FILTED_DATA, Mark) == 12);

static_assert(sizeof(tagBPV_PULSE_FEATURE_POINT) == 12);
static_assert(offsetof(tagBPV_PULSE_FEATURE_POINT, PeakPos) == 0);
static_assert(offsetof(tagBPV_PULSE_FEATURE_POINT, FootPos) == 2);
static_assert(offsetof(tagBPV_PULSE_FEATURE_POINT, Amplitude) == 4);
static_assert(offsetof(tagBPV_PULSE_FEATURE_POINT, Pressure) == 8);

static_assert(sizeof(tagBPIM_PARA) == 16);
static_assert(offsetof(tagBPIM_PARA, SBPPos) == 0);
static_assert(offsetof(tagBPIM_PARA, DBPPos) == 2);
static_assert(offsetof(tagBPIM_PARA, MAPPos) == 4);
static_assert(offsetof(tagBPIM_PARA, SBP) == 6);
static_assert(offsetof(tagBPIM_PARA, DBP) == 8);
static_assert(offsetof(tagBPIM_PARA, MAP) == 10);
static_assert(offsetof(tagBPIM_PARA, MapSBPRatio) == 12);
