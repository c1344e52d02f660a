// R-R interval variability (CVRR) of an ECG record.
//
// The whole analysis runs in the constructor: the process-wide ECG beat
// analyser is reset and fed the record twice (the first pass learns the
// thresholds and beat templates, the second marks the R peaks and QRS
// onsets), then the R-R statistics are computed from the marks. Afterwards
// the object only holds results.
//
// Thread rules: construct on the thread that owns the shared ECG analyser, and
// never while the façade acquires (both feed the same analyser; creating a
// TnelCVRRAna discards the façade's beat history). A finished object may be
// read from any thread.
#pragma once

#include <cstddef>
#include <cstdint>

#include <nel/export.h>
#include <nel/link/records.h>

#pragma pack(push, 1)
// CVRR result handed to the host.
struct tagCVRR_ANA_RESULT {
  int32_t DataLen;      // ECG samples analysed
  int32_t RCount;       // R peaks
  int32_t RPos[1200];   // R peak sample indices; the first RCount valid, the rest 0
  float MeanRR;         // ms
  float HeartRate;      // beats per minute
  float CVRR;           // percent
  float MeanDev;        // ms
  int32_t Over50Count;  // intervals deviating by more than 50 ms
  float Over50Ratio;    // fraction
  int32_t RRRange;      // ms
  float MinMaxRatio;
  int32_t RRCount;   // intervals
  int32_t RR[1200];  // intervals in ms; the first RRCount valid, the rest 0
};
#pragma pack(pop)

static_assert(sizeof(tagCVRR_ANA_RESULT) == 9644);
static_assert(offsetof(tagCVRR_ANA_RESULT, RCount) == 4);
static_assert(offsetof(tagCVRR_ANA_RESULT, RPos) == 8);
static_assert(offsetof(tagCVRR_ANA_RESULT, MeanRR) == 4808);
static_assert(offsetof(tagCVRR_ANA_RESULT, HeartRate) == 4812);
static_assert(offsetof(tagCVRR_ANA_RESULT, CVRR) == 4816);
static_assert(offsetof(tagCVRR_ANA_RESULT, MeanDev) == 4820);
static_assert(offsetof(tagCVRR_ANA_RESULT, Over50Count) == 4824);
static_assert(offsetof(tagCVRR_ANA_RESULT, Over50Ratio) == 4828);
static_assert(offsetof(tagCVRR_ANA_RESULT, RRRange) == 4832);
static_assert(offsetof(tagCVRR_ANA_RESULT, MinMaxRatio) == 4836);
static_assert(offsetof(tagCVRR_ANA_RESULT, RRCount) == 4840);
static_assert(offsetof(tagCVRR_ANA_RESULT, RR) == 4844);

class NEL_API TnelCVRRAna {
 public:
  // ecg: `length` values in display units, (raw - ADBase) / ADDatum; only read.
  // A null ecg or a length of 0 or less analyses an empty record; a sample
  // rate of 0 or less gives no R-R statistics.
  TnelCVRRAna(const float* ecg, int32_t length, int32_t sampleRate);
  // Copies own their arrays.
  TnelCVRRAna(const TnelCVRRAna& other);
  TnelCVRRAna& operator=(const TnelCVRRAna& other);
  ~TnelCVRRAna();

  // Per sample: 1 = R peak, 2 = QRS onset, 0 = nothing (DataLen bytes).
  uint8_t* GetECGRResult();

  int32_t RCount;       // R peaks found (0 when fewer than 3)
  int32_t* RPos;        // RCap entries: R peak sample indices, ascending
  float MeanRR;         // ms
  float HeartRate;      // mean rate of the detector's conclusion, per minute
  float CVRR;           // MeanDev * 100 / MeanRR, percent
  float MeanDev;        // mean absolute deviation from MeanRR, ms
  int16_t Over50Count;  // intervals deviating from MeanRR by more than 50 ms
  float Over50Ratio;    // Over50Count / RRCount
  int32_t RRRange;      // longest minus shortest interval, ms
  float MinMaxRatio;    // shortest / longest
  int32_t RRCount;      // intervals used
  int32_t* RR;          // RCap entries: the intervals used, ms
  uint32_t Conclusion;  // conclusion mask of the detector
  int32_t DataLen;      // ECG samples
  int32_t SampleRate;   // samples per second
  int32_t RCap;         // DataLen * 4 / SampleRate (four beats per second)
  uint8_t* Marks;       // DataLen bytes
  int32_t MeanRate;     // mean heart rate written by the detector's conclusion

 private:
  bool ECG_QRSAnalysis(const float* ecg);
  void CountECGParameter();
  void PutGetHardwareInf(tagHARDWAREINF* info, bool read, int32_t bed);
  void CopyFrom(const TnelCVRRAna& other);
  void Release();
};
