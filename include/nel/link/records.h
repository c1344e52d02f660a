// Channels, wave kinds, detect categories and the plain records exchanged
// between the device link, the façade, the measurement objects and the host.
//
// Records handed to the host are a binary interface: field order, widths and
// packing are fixed and checked by the static_asserts at the end of this file.
#pragma once

#include <cstddef>
#include <cstdint>

// Pressure (cuff) channels; the value indexes every per-channel array.
enum tagTYPE_NEL_BPDATA : int32_t {
  BP_RBRA = 0,  // right brachial
  BP_LBRA = 1,  // left brachial
  BP_RANK = 2,  // right ankle
  BP_LANK = 3,  // left ankle
  BP_RTOE = 4,  // right toe (shares the right ankle transducer)
  BP_LTOE = 5,  // left toe (shares the left ankle transducer)
};

// Waveform kinds; the value indexes tagSAM_DATA::Wave and the AD base/datum arrays.
enum tagTYPE_NEL_WAVEDATA : int32_t {
  WAVE_ECG = 0,
  WAVE_PCG = 1,
  WAVE_RBRA = 2,
  WAVE_LBRA = 3,
  WAVE_RANK = 4,
  WAVE_LANK = 5,
  WAVE_RTOE = 6,
  WAVE_LTOE = 7,
};

// Which waves and cuffs are acquired (wave list and cuff list of each value:
// see nel::link::CategoryLayout in category_layout.h).
enum tagTYPE_DETECTCATEGORY : int32_t {
  DETECT_BRA_ANK = 0,
  DETECT_BRA_TOE = 1,
  DETECT_BRA_ANK2 = 2,
  DETECT_ECG_PCG = 3,
  DETECT_ALL = 4,
  DETECT_PULSE = 5,
  DETECT_ALL2 = 6,
};

// How several cuffs are measured.
enum tagTYPE_BPMEASUREMODE : int32_t {
  BPMEASURE_SEQUENTIAL = 0,
  BPMEASURE_RIGHT_THEN_LEFT = 1,
  BPMEASURE_SIMULTANEOUS = 2,
};

// Data process mode: only DATAPROCESS_RAW changes the filtering and the BP limit; every other value behaves as
// DATAPROCESS_STANDARD. See docs/decisions.md, "Data process mode names".
enum tagTYPE_DATAPROCESSMODE : int32_t {
  DATAPROCESS_STANDARD = 0,
  DATAPROCESS_RAW = 2,
};

#pragma pack(push, 1)

// One sample frame of the unit (1000 a second).
struct tagSAM_DATA {
  int32_t Wave[8];    // raw value per wave kind: 12-bit counts (ECG, PCG), 24-bit sign-extended counts (pulse)
  float Pressure[6];  // cuff pressure per channel, mmHg, never negative
};

// AD-to-pressure conversion of one channel: mmHg = count * Slope + Offset.
struct tagAD_FORCE_CONVERT {
  float Slope;
  float Offset;
};

// Hardware information of one unit (HardInf.ini).
struct tagHARDWAREINF {
  int32_t ComPort;     // serial port number (1 = COM1)
  int32_t ADBase[8];   // AD zero level per wave kind
  int32_t ADDatum[8];  // AD counts per display unit per wave kind
};

// One recorded sample of the wave record; records follow each other with no gap.
struct tagSAVE_WAVEDATA {
  float Wave[6];    // filtered values in wave-list order; unused positions 0
  uint8_t Mark[6];  // set per wave by the waveform analysis
};

// One received frame of the unit.
struct PACK_BUF {
  uint8_t Code;       // code of the frame being collected; 0 while none is open
  uint8_t Frame[67];  // Frame[0] the code byte, then the payload in arrival order
};

#pragma pack(pop)

#pragma pack(push, 2)

// BP result of one cuff position inside tagHMID_DATA (the record itself is
// unnamed in the interface; the name is ours).
struct tagHMID_BPRESULT {
  int16_t SBP;     // systolic, mmHg; -1 while none
  int16_t DBP;     // diastolic, mmHg; -1 while none
  int16_t MAP;     // mean, mmHg; -1 while none
  int32_t Status;  // a tagTYPE_BPV_MEASTATUS value
};

// Status and results handed to the host by GetStatus and GetData.
struct tagHMID_DATA {
  int16_t PulseRate;             // heart rate, bpm; 0 while none
  tagHMID_BPRESULT BPResult[6];  // per cuff position of the active cuff list
  bool BPMeasureEnd;
  bool SignalCheckEnd;
  bool FixPressureEnd;
  bool WaveRecordEnd;
  bool CVRRCheckEnd;
  bool ExerciseEnd;
  int32_t ExerciseStage;
};

#pragma pack(pop)

namespace nel {

inline constexpr int kChannelCount = 6;     // cuff channels 0..5
inline constexpr int kWaveKindCount = 8;    // wave kinds 0..7
inline constexpr int kTransducerCount = 4;  // 24-bit pressure values per frame

// Built-in conversion set, used when the unit's stored set is unusable.
inline constexpr tagAD_FORCE_CONVERT kBuiltInCoeff[kChannelCount] = {
    {0.000296515907f, -18.1120796f}, {0.000290679891f, -10.5845299f}, {0.000287935487f, -10.3823795f},
    {0.00029127259f, -6.29469204f},  {0.000287935487f, -10.3823795f},  // toe channels share the ankle transducers
    {0.00029127259f, -6.29469204f},
};

// Conversion used by a sampling object before any set is loaded (all channels).
inline constexpr tagAD_FORCE_CONVERT kInitialCoeff = {0.000286553986f, -12.0426302f};

// Log name of each channel in the BP measurement log.
inline constexpr const char* kChannelLogName[kChannelCount] = {"RBra", "LBra", "RAnk", "LAnk", "RToe", "LToe"};

}  // namespace nel

// ---- binary layout ---------------------------------------------------------
static_assert(sizeof(tagTYPE_NEL_BPDATA) == 4 && sizeof(tagTYPE_NEL_WAVEDATA) == 4 &&
              sizeof(tagTYPE_DETECTCATEGORY) == 4 && sizeof(tagTYPE_BPMEASUREMODE) == 4 &&
              sizeof(tagTYPE_DATAPROCESSMODE) == 4);

static_assert(sizeof(tagSAM_DATA) == 56);
static_assert(offsetof(tagSAM_DATA, Wave) == 0);
static_assert(offsetof(tagSAM_DATA, Pressure) == 32);

static_assert(sizeof(tagAD_FORCE_CONVERT) == 8);
static_assert(offsetof(tagAD_FORCE_CONVERT, Slope) == 0);
static_assert(offsetof(tagAD_FORCE_CONVERT, Offset) == 4);

static_assert(sizeof(tagHARDWAREINF) == 68);
static_assert(offsetof(tagHARDWAREINF, ComPort) == 0);
static_assert(offsetof(tagHARDWAREINF, ADBase) == 4);
static_assert(offsetof(tagHARDWAREINF, ADDatum) == 36);

static_assert(sizeof(tagSAVE_WAVEDATA) == 30);
static_assert(offsetof(tagSAVE_WAVEDATA, Wave) == 0);
static_assert(offsetof(tagSAVE_WAVEDATA, Mark) == 24);

static_assert(sizeof(PACK_BUF) == 68);
static_assert(offsetof(PACK_BUF, Code) == 0);
static_assert(offsetof(PACK_BUF, Frame) == 1);

static_assert(sizeof(tagHMID_BPRESULT) == 10);
static_assert(offsetof(tagHMID_BPRESULT, SBP) == 0);
static_assert(offsetof(tagHMID_BPRESULT, DBP) == 2);
static_assert(offsetof(tagHMID_BPRESULT, MAP) == 4);
static_assert(offsetof(tagHMID_BPRESULT, Status) == 6);

static_assert(sizeof(bool) == 1);
static_assert(sizeof(tagHMID_DATA) == 72);
static_assert(offsetof(tagHMID_DATA, PulseRate) == 0);
static_assert(offsetof(tagHMID_DATA, BPResult) == 2);
static_assert(offsetof(tagHMID_DATA, BPMeasureEnd) == 62);
static_assert(offsetof(tagHMID_DATA, SignalCheckEnd) == 63);
static_assert(offsetof(tagHMID_DATA, FixPressureEnd) == 64);
static_assert(offsetof(tagHMID_DATA, WaveRecordEnd) == 65);
static_assert(offsetof(tagHMID_DATA, CVRRCheckEnd) == 66);
static_assert(offsetof(tagHMID_DATA, ExerciseEnd) == 67);
static_assert(offsetof(tagHMID_DATA, ExerciseStage) == 68);
