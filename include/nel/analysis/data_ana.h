// TnelDataAna: analysis of one finished wave record.
//
// The host constructs the object over the tagSAVE_WAVEDATA array the façade
// recorded, hands over the limb pressures it measured (SetBPData) and calls
// Analysis. The analysis labels the Mark byte of every wave of every record
// (see the mark values below) and fills the public result members.
//
// Thread rules: none inside the class; one thread uses an object at a time.
// A record with an ECG is analysed through the process-wide ECG beat detector,
// so Analysis must not run while a façade is acquiring.
#pragma once

#include <cstddef>
#include <cstdint>

#include <nel/export.h>
#include <nel/link/records.h>

#pragma pack(push, 1)

// One limb's blood pressure as the host hands it over; -1 = not measured. The
// analysis treats 0 and every other negative value as not measured too.
struct tagLIMBRESULT {
  int16_t SBP;
  int16_t DBP;
  int16_t MAP;
};

#pragma pack(pop)

static_assert(sizeof(tagLIMBRESULT) == 6);
static_assert(offsetof(tagLIMBRESULT, SBP) == 0);
static_assert(offsetof(tagLIMBRESULT, DBP) == 2);
static_assert(offsetof(tagLIMBRESULT, MAP) == 4);

// Arterial path lengths estimated from the body height (GetBodyDistance).
enum tagTYPE_BODYDISTANCE : int32_t {
  BODYDISTANCE_HEART_CAROTID = 0,   // 0.2437 H - 18.9999
  BODYDISTANCE_HEART_BRACHIAL = 1,  // 0.2195 H - 2.0734
  BODYDISTANCE_HEART_FEMORAL = 2,   // 0.5643 H - 18.381
  BODYDISTANCE_HEART_ANKLE = 3,     // femoral path plus 0.2486 H + 30.709
  BODYDISTANCE_FEMORAL_ANKLE = 4,   // 0.2486 H + 30.709
  BODYDISTANCE_BRACHIAL_ANKLE = 5,  // ankle path minus brachial path
};

// Values of the Mark byte written by the analysis, per wave.
enum : uint8_t {
  MARK_ECG_R = 1,          // R peak
  MARK_ECG_ONSET = 2,      // QRS onset; a beat runs from one onset to the next
  MARK_PCG_S1 = 1,         // first heart sound
  MARK_PCG_S2 = 2,         // second heart sound
  MARK_PCG_CANDIDATE = 3,  // working value, none remains after the PCG analysis
  MARK_PULSE_PEAK = 1,     // systolic peak
  MARK_PULSE_FOOT = 2,     // start of the upstroke
  MARK_PULSE_NOTCH = 3,    // dicrotic notch
  MARK_PULSE_P = 4,        // early systolic point
  MARK_PULSE_T = 5,        // late systolic point
  MARK_PULSE_PT = 6,       // P and T on the peak (working value, kept in toe mode)
  MARK_PULSE_VALLEY = 7,   // valley before the upstroke (working value, kept in toe mode)
};

// Outcome of TnelDataAna::Analysis, kept in AnaResult; DataAnaResultText
// gives a line for the user. Every value but DATAANA_COMPLETE comes with
// Analysis returning false.
enum tagDATAANA_RESULT : int32_t {
  DATAANA_NOT_RUN = -1,         // no Analysis call yet
  DATAANA_COMPLETE = 0,         // every wave marked, the results computed
  DATAANA_NO_RECORD = 1,        // no records or no work buffers (refused)
  DATAANA_BAD_SAMPLE_RATE = 2,  // a sample rate other than kDataAnaSampleRate (refused)
  DATAANA_BAD_SAMPLE = 3,       // a wave holds a sample beyond kDataAnaSampleLimit or not a number (refused)
  DATAANA_NO_HEART_SOUNDS = 4,  // the PCG analysis found no heart sounds (for one, no ECG beats)
  DATAANA_NO_MEMORY = 5,        // a work array of the PCG analysis could not be allocated
};

// The analysis counts in samples of 1 ms: the ECG beat detector runs at 1000
// samples per second, and the ejection-time reference, the foot and notch
// offsets and the tangent lengths of the pulse analysis are sample counts.
inline constexpr int32_t kDataAnaSampleRate = 1000;
// Largest magnitude of a wave sample (display units); beyond it, differences
// and the low-pass's sums would leave the float range.
inline constexpr float kDataAnaSampleLimit = 1.0e9f;

// Text of a tagDATAANA_RESULT value; never null ("unknown result" for others).
NEL_API const char* DataAnaResultText(int32_t result);

class NEL_API TnelDataAna {
 public:
  // Results (initial values are set by the constructor).
  int32_t HeartRate;        // beats per minute; 0
  float RightABI, LeftABI;  // ankle-brachial index; -1.0
  float RightBAI, LeftBAI;  // brachial-ankle ratio; -1.0
  float RightTBI, LeftTBI;  // toe-brachial index; -1.0
  float RightBTI, LeftBTI;  // brachial-toe ratio; -1.0
  float RightPWV, LeftPWV;  // brachial-ankle pulse wave velocity, cm/s; -1.0
  int16_t MapPercent[4];    // mean-pressure percentage per limb slot; -1
  int16_t UpstrokeTime[4];  // upstroke time per limb slot, ms; -1
  int16_t PEP;              // pre-ejection period, ms; -1
  int16_t ET;               // ejection time, ms; -1
  int16_t AIx;              // augmentation index, percent; -9999
  int32_t AnaResult;        // outcome of the last Analysis (tagDATAANA_RESULT); DATAANA_NOT_RUN
  int32_t BadSampleKind;    // DATAANA_BAD_SAMPLE: wave kind holding the sample; -1 otherwise
  int32_t BadSampleRecord;  // DATAANA_BAD_SAMPLE: record of the sample; -1 otherwise
  // Limb slots of MapPercent and UpstrokeTime: 0 right brachial, 1 left
  // brachial, 2 right ankle or toe, 3 left ankle or toe.

  // Inputs and working state.
  int32_t SerialNo;            // set by SetSerialNo, not used by the analysis
  int16_t WaveIndex[8];        // position of each wave kind in the record; -1 = absent
  int32_t Height;              // body height, cm (last Analysis)
  tagLIMBRESULT LimbBP[6];     // pressures by channel (RBra LBra RAnk LAnk RToe LToe)
  int32_t CurWaveKind;         // kind of the wave under analysis
  int16_t CurWaveIndex;        // its position in the record
  float PWVFactor;             // velocity correction factor (last Analysis); 0
  tagSAVE_WAVEDATA* WaveData;  // the host's records, not owned
  int32_t DataLen;             // number of records
  int32_t WaveNum;             // number of waves in each record
  int32_t SampleRate;          // samples per second
  int32_t BeatLen;             // mean R-R interval in samples; 0 until the ECG analysis
  float* WorkBuf;              // DataLen floats: the wave under analysis (owned)
  float* DiffBuf;              // DataLen + 10 floats: its first differences (owned)

  // waveCount kinds (at most 6, none twice) describe the positions of the
  // records' waves; records points to recordCount records the host keeps alive.
  TnelDataAna(int16_t waveCount, const tagTYPE_NEL_WAVEDATA* kinds, tagSAVE_WAVEDATA* records, int32_t recordCount,
              int32_t sampleRate);
  TnelDataAna(const TnelDataAna& other);
  TnelDataAna& operator=(const TnelDataAna& other);
  virtual ~TnelDataAna();

  void SetSerialNo(int32_t serialNo);
  // limbs: right brachial, left brachial, right lower limb, left lower limb;
  // the lower limbs are the ankles in ankle mode, the toes otherwise.
  void SetBPData(bool ankleMode, const tagLIMBRESULT* limbs);
  // Marks every wave and computes the results; true when AnaResult is
  // DATAANA_COMPLETE. A record it refuses (no record, a sample rate other than
  // kDataAnaSampleRate, a sample that is not a number or beyond
  // kDataAnaSampleLimit in any wave of the kind list) is left untouched (marks
  // and waves) and the results get their initial values. For a bad sample,
  // BadSampleKind and BadSampleRecord name the first one: waves in kind
  // order (ECG, PCG, RBra, ...), records in order. Positions outside the kind
  // list are not read. Without heart sounds (or memory for their analysis) it
  // stops after the PCG step; the later steps and the results do not run.
  bool Analysis(bool ankleMode, int32_t height, float pwvFactor, bool filter);

 protected:
  // The analysis steps, open to subclasses (the unit tests reach them as one).
  void InitAnaResultData();
  // Zero-phase second-order Butterworth low-pass of x[0..n-1], in place.
  void FLY_LOWGAP_Filter(float* x, int16_t n, float cutoffHz);

  // ECG features (data_ana_ecg.cpp) and heart-sound features (data_ana_pcg.cpp).
  bool MF_ProcECGWaveDataAnalysis(float* ecg);
  bool MF_ProcPCGWaveDataAnalysis(float* pcg);
  int32_t MF_ProcPCGOtherPCGPoint(const float* y, int32_t len);
  // Steps of MF_ProcPCGWaveDataAnalysis on the envelope E.
  void MarkPcgCandidates(const float* E, int32_t m, float thr, int32_t wE, int32_t wS, int16_t pcg);
  bool PcgFirstPass(const float* E, int16_t pcg, int32_t& mS1, int32_t& mS2, int32_t& bad);
  void CompletePcgPair(const float* E, int16_t pcg, int32_t q0, int32_t L, int32_t f, int32_t& s1, int32_t& s2);
  void PcgFillBeats(const float* E, int16_t pcg, int32_t mS1, int32_t mS2);
  void DropOffPcgPairs(int16_t pcg);

  // Pulse-wave feature points (data_ana_pulse.cpp).
  bool MF_ProcBPWaveDataAnalysis(float* x, bool filter);
  int32_t ProcessBPr(float* x, int32_t a, int32_t b, int32_t beatStart, int32_t beatEnd, int16_t pos);
  int32_t ProcessOnceBPfanshe(float* x, int32_t s, int32_t e);
  void CompareBPFansheRuRPosi(float* x, int32_t foot, int32_t peak, int32_t notch, int32_t avgRise, int32_t avgNotch,
                              int16_t pos);
  void ResearchRushe(float* x, tagTYPE_NEL_WAVEDATA kind, int16_t pos);
  void ResearchOneRushe(float* x, int32_t f, tagTYPE_NEL_WAVEDATA kind, int16_t pos);
  void ProcessPpoint(float* x, int16_t pos);
  void ProcessTpoint(float* x, int16_t pos);
  void CalculateAIx(float* x, int16_t pos);
  // Moves notches far from the mean peak-to-notch distance of the first beats.
  void CheckNotchPositions(int16_t pos);

  // Results (data_ana_results.cpp).
  bool GetAnaResult(bool ankleMode, int32_t height);
  bool GetABIAnaResult(int32_t height);
  bool GetOtherPulseWaveAnaResult(tagTYPE_NEL_WAVEDATA kind, int32_t position, int16_t* mapPercentOut,
                                  int16_t* upstrokeOut, int32_t* extraOut);
  float GetBodyDistance(int16_t height, tagTYPE_BODYDISTANCE kind);

  // Record access shared by the steps.
  uint8_t& MarkAt(int32_t record, int32_t pos) { return WaveData[record].Mark[pos]; }
  // Next QRS onset (ECG mark 2) in records [from, DataLen), at least record 1; -1 when none.
  int32_t NextOnset(int32_t from) const;
  bool IsRegularBeat(int32_t len) const;
  void SetMark(int32_t record, int32_t pos, uint8_t value);  // skips records outside the record
  bool AllocateBuffers();
  void ReleaseBuffers();
};
