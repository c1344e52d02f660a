#include <nel/analysis/cvrr_ana.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <new>

#include "dsp/ecg_analyser.h"
#include "link/hardware_info_file.h"
#include "platform/paths.h"

namespace {

// Display value to AD count: truncate(datum * value + base) in single precision, passed on as a 16-bit sample;
// out of range or not a number gives 0x80000000. See docs/decisions.md, "CVRR arithmetic".
int16_t ToCount(float value, int32_t base, int32_t datum) {
  const float v = static_cast<float>(datum) * value + static_cast<float>(base);
  int32_t i = INT32_MIN;
  if (std::isfinite(v) && v > -2147483648.0f && v < 2147483648.0f) i = static_cast<int32_t>(v);
  return static_cast<int16_t>(i);
}

template <typename T>
T* NewZeroed(int64_t n) {
  if (n <= 0) return nullptr;
  return new (std::nothrow) T[static_cast<size_t>(n)]();
}

constexpr int32_t kBeatsPerSecondCap = 4;
constexpr double kOutlierLow = -40.0;  // percent of MeanRR
constexpr double kOutlierHigh = 60.0;
constexpr double kOver = 50.0;  // ms

// Keeps the intervals within kOutlierLow..kOutlierHigh percent of meanRR, in order; returns how many.
int32_t KeepPlausibleIntervals(int32_t* rr, int32_t count, float meanRR) {
  int32_t kept = 0;
  for (int32_t j = 0; j < count; ++j) {
    const double dev = (rr[j] - static_cast<double>(meanRR)) * 100.0 / meanRR;
    if (dev < kOutlierLow || dev > kOutlierHigh) continue;
    rr[kept++] = rr[j];
  }
  return kept;
}

// Mean, range and spread of the intervals kept (a.RRCount of them, at least one).
void SpreadStatistics(TnelCVRRAna& a) {
  int64_t sum = 0;
  int32_t longest = 0;
  int32_t shortest = 99999;
  for (int32_t j = 0; j < a.RRCount; ++j) {
    sum += a.RR[j];
    longest = std::max(longest, a.RR[j]);
    shortest = std::min(shortest, a.RR[j]);
  }
  a.MeanRR = static_cast<float>(static_cast<double>(sum) / a.RRCount);
  a.HeartRate = static_cast<float>(a.MeanRate);

  double devSum = 0.0;
  int32_t over = 0;
  for (int32_t j = 0; j < a.RRCount; ++j) {
    const double dev = std::fabs(a.RR[j] - static_cast<double>(a.MeanRR));
    devSum += dev;
    if (dev > kOver) ++over;
  }
  a.Over50Count = static_cast<int16_t>(std::min<int32_t>(over, INT16_MAX));
  a.RRRange = longest - shortest;
  a.MeanDev = static_cast<float>(devSum / a.RRCount);
  a.Over50Ratio = static_cast<float>(static_cast<double>(a.Over50Count) / a.RRCount);
  // A zero mean or zero longest interval (only at absurd sample rates) leaves 0.
  a.CVRR = a.MeanRR > 0.0f ? static_cast<float>(a.MeanDev * 100.0 / a.MeanRR) : 0.0f;
  a.MinMaxRatio = longest > 0 ? static_cast<float>(static_cast<double>(shortest) / longest) : 0.0f;
}

}  // namespace

TnelCVRRAna::TnelCVRRAna(const float* ecg, int32_t length, int32_t sampleRate)
    : RCount(0),
      RPos(nullptr),
      MeanRR(0),
      HeartRate(0),
      CVRR(0),
      MeanDev(0),
      Over50Count(0),
      Over50Ratio(0),
      RRRange(0),
      MinMaxRatio(0),
      RRCount(0),
      RR(nullptr),
      Conclusion(0),
      DataLen(ecg && length > 0 ? length : 0),
      SampleRate(sampleRate),
      RCap(0),
      Marks(nullptr),
      MeanRate(0) {
  Marks = NewZeroed<uint8_t>(DataLen);
  if (!Marks) DataLen = 0;
  if (SampleRate > 0) {
    // Four beats per second, and never more than one per sample.
    const int64_t cap = static_cast<int64_t>(DataLen) * kBeatsPerSecondCap / SampleRate;
    RCap = static_cast<int32_t>(std::min<int64_t>(cap, DataLen));
  }
  RPos = NewZeroed<int32_t>(RCap);
  RR = NewZeroed<int32_t>(RCap);
  if (!RPos || !RR) RCap = 0;

  nel::dsp::EcgAnalyser& detector = nel::dsp::SharedEcgAnalyser();
  detector.Reset();
  detector.StartConclusion();
  ECG_QRSAnalysis(ecg);
  detector.PauseConclusion();
  Conclusion = detector.GetConclusion(&MeanRate);
  CountECGParameter();
}

TnelCVRRAna::TnelCVRRAna(const TnelCVRRAna& other) : RPos(nullptr), RR(nullptr), RCap(0), Marks(nullptr) {
  CopyFrom(other);
}

TnelCVRRAna& TnelCVRRAna::operator=(const TnelCVRRAna& other) {
  if (this != &other) {
    Release();
    CopyFrom(other);
  }
  return *this;
}

TnelCVRRAna::~TnelCVRRAna() { Release(); }

void TnelCVRRAna::Release() {
  delete[] RPos;
  delete[] RR;
  delete[] Marks;
  RPos = RR = nullptr;
  Marks = nullptr;
}

void TnelCVRRAna::CopyFrom(const TnelCVRRAna& o) {
  RCount = o.RCount;
  MeanRR = o.MeanRR;
  HeartRate = o.HeartRate;
  CVRR = o.CVRR;
  MeanDev = o.MeanDev;
  Over50Count = o.Over50Count;
  Over50Ratio = o.Over50Ratio;
  RRRange = o.RRRange;
  MinMaxRatio = o.MinMaxRatio;
  RRCount = o.RRCount;
  Conclusion = o.Conclusion;
  DataLen = o.DataLen;
  SampleRate = o.SampleRate;
  RCap = o.RCap;
  MeanRate = o.MeanRate;
  RPos = NewZeroed<int32_t>(RCap);
  RR = NewZeroed<int32_t>(RCap);
  Marks = NewZeroed<uint8_t>(DataLen);
  if ((RCap > 0 && (!RPos || !RR)) || (DataLen > 0 && !Marks)) {
    // Out of memory: an empty result rather than a half copy.
    Release();
    RCap = DataLen = RCount = RRCount = 0;
    return;
  }
  if (RCap > 0) {
    std::memcpy(RPos, o.RPos, sizeof(int32_t) * static_cast<size_t>(RCap));
    std::memcpy(RR, o.RR, sizeof(int32_t) * static_cast<size_t>(RCap));
  }
  if (DataLen > 0) std::memcpy(Marks, o.Marks, static_cast<size_t>(DataLen));
}

uint8_t* TnelCVRRAna::GetECGRResult() { return Marks; }

void TnelCVRRAna::PutGetHardwareInf(tagHARDWAREINF* info, bool read, int32_t bed) {
  if (!read) return;
  // The file beside the executable, never the façade's parameter file path.
  const std::string path = nel::platform::JoinPath(nel::platform::ExecutableFolder(), nel::link::kHardwareInfoFileName);
  nel::link::ReadHardwareInfo(path, bed, info);
}

bool TnelCVRRAna::ECG_QRSAnalysis(const float* ecg) {
  tagHARDWAREINF info{};
  PutGetHardwareInf(&info, true, 0);
  const int32_t base = info.ADBase[WAVE_ECG];
  const int32_t datum = info.ADDatum[WAVE_ECG];
  nel::dsp::EcgAnalyser& detector = nel::dsp::SharedEcgAnalyser();

  // First pass: the detector learns its thresholds and templates.
  for (int32_t i = 0; i < DataLen; ++i) detector.ProcessSample(ToCount(ecg[i], base, datum), nullptr, nullptr);
  // Second pass: beats found in it are marked; indices are relative to its start.
  for (int32_t i = 0; i < DataLen; ++i) {
    nel::dsp::EcgBeatRecord beat{};
    if (detector.ProcessSample(ToCount(ecg[i], base, datum), &beat, nullptr) != 1) continue;
    const int64_t onset = static_cast<int64_t>(beat.Onset) - DataLen;
    const int64_t r = static_cast<int64_t>(beat.RIndex) - DataLen;
    if (onset < 0 || r < 0 || onset >= DataLen || r >= DataLen) continue;
    Marks[onset] = 2;
    Marks[r] = 1;
  }
  return true;
}

void TnelCVRRAna::CountECGParameter() {
  RCount = 0;
  for (int32_t i = 0; i < DataLen && RCount < RCap; ++i)
    if (Marks[i] == 1) RPos[RCount++] = i;

  MeanRR = HeartRate = CVRR = MeanDev = 0.0f;
  Over50Count = 0;
  Over50Ratio = 0.0f;
  RRRange = 0;
  MinMaxRatio = 0.0f;
  RRCount = 0;
  if (RCount < 3) {
    RCount = 0;
    return;
  }

  RRCount = RCount - 1;
  int64_t sum = 0;
  for (int32_t j = 0; j < RRCount; ++j) {
    RR[j] = static_cast<int32_t>(static_cast<int64_t>(RPos[j + 1] - RPos[j]) * 1000 / SampleRate);
    sum += RR[j];
  }
  MeanRR = static_cast<float>(static_cast<double>(sum) / RRCount);

  if (RRCount > 10 && MeanRR > 0.0f) {
    RRCount = KeepPlausibleIntervals(RR, RRCount, MeanRR);
    if (RRCount == 0) {
      MeanRR = 0.0f;
      return;
    }
  }
  SpreadStatistics(*this);
}
