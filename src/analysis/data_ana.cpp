// TnelDataAna: construction, inputs, copying, the zero-phase low-pass and the
// record helpers shared by the analysis steps.
#include <nel/analysis/data_ana.h>

#include <cmath>
#include <cstring>
#include <memory>
#include <new>

TnelDataAna::TnelDataAna(int16_t waveCount, const tagTYPE_NEL_WAVEDATA* kinds, tagSAVE_WAVEDATA* records,
                         int32_t recordCount, int32_t sampleRate) {
  // See docs/decisions.md, "Wave list and copies of `TnelDataAna`".
  int16_t count = waveCount < 0 ? 0 : (waveCount > 6 ? 6 : waveCount);
  if (kinds == nullptr) count = 0;
  WaveNum = count;
  WaveData = records;
  DataLen = recordCount;
  SampleRate = sampleRate;
  for (auto& w : WaveIndex) w = -1;
  for (int16_t i = 0; i < count; ++i) {
    if (kinds[i] >= WAVE_ECG && kinds[i] <= WAVE_LTOE) WaveIndex[kinds[i]] = i;
  }
  SerialNo = 0;
  PWVFactor = 0.0f;
  Height = 0;
  CurWaveKind = 0;
  CurWaveIndex = -1;
  BeatLen = 0;
  for (auto& l : LimbBP) l = {-1, -1, -1};
  WorkBuf = nullptr;
  DiffBuf = nullptr;
  AllocateBuffers();
  InitAnaResultData();
  AnaResult = DATAANA_NOT_RUN;
  BadSampleKind = -1;
  BadSampleRecord = -1;
}

// Copies own their work buffers: see docs/decisions.md, "Wave list and copies of `TnelDataAna`".
TnelDataAna::TnelDataAna(const TnelDataAna& other) : WorkBuf(nullptr), DiffBuf(nullptr) { *this = other; }

TnelDataAna& TnelDataAna::operator=(const TnelDataAna& other) {
  if (this == &other) return *this;
  ReleaseBuffers();
  HeartRate = other.HeartRate;
  RightABI = other.RightABI;
  LeftABI = other.LeftABI;
  RightBAI = other.RightBAI;
  LeftBAI = other.LeftBAI;
  RightTBI = other.RightTBI;
  LeftTBI = other.LeftTBI;
  RightBTI = other.RightBTI;
  LeftBTI = other.LeftBTI;
  RightPWV = other.RightPWV;
  LeftPWV = other.LeftPWV;
  std::memcpy(MapPercent, other.MapPercent, sizeof MapPercent);
  std::memcpy(UpstrokeTime, other.UpstrokeTime, sizeof UpstrokeTime);
  PEP = other.PEP;
  ET = other.ET;
  AIx = other.AIx;
  AnaResult = other.AnaResult;
  BadSampleKind = other.BadSampleKind;
  BadSampleRecord = other.BadSampleRecord;
  SerialNo = other.SerialNo;
  std::memcpy(WaveIndex, other.WaveIndex, sizeof WaveIndex);
  Height = other.Height;
  std::memcpy(LimbBP, other.LimbBP, sizeof LimbBP);
  CurWaveKind = other.CurWaveKind;
  CurWaveIndex = other.CurWaveIndex;
  PWVFactor = other.PWVFactor;
  WaveData = other.WaveData;
  DataLen = other.DataLen;
  WaveNum = other.WaveNum;
  SampleRate = other.SampleRate;
  BeatLen = other.BeatLen;
  if (AllocateBuffers()) {
    if (other.WorkBuf) std::memcpy(WorkBuf, other.WorkBuf, sizeof(float) * DataLen);
    if (other.DiffBuf) std::memcpy(DiffBuf, other.DiffBuf, sizeof(float) * (DataLen + 10));
  }
  return *this;
}

TnelDataAna::~TnelDataAna() { ReleaseBuffers(); }

bool TnelDataAna::AllocateBuffers() {
  // See docs/decisions.md, "Wave list and copies of `TnelDataAna`".
  if (DataLen < 1) return false;
  WorkBuf = new (std::nothrow) float[DataLen]();
  DiffBuf = new (std::nothrow) float[static_cast<size_t>(DataLen) + 10]();
  if (WorkBuf == nullptr || DiffBuf == nullptr) {
    ReleaseBuffers();
    return false;
  }
  return true;
}

void TnelDataAna::ReleaseBuffers() {
  delete[] WorkBuf;
  delete[] DiffBuf;
  WorkBuf = nullptr;
  DiffBuf = nullptr;
}

void TnelDataAna::SetSerialNo(int32_t serialNo) { SerialNo = serialNo; }

void TnelDataAna::SetBPData(bool ankleMode, const tagLIMBRESULT* limbs) {
  for (auto& l : LimbBP) l = {-1, -1, -1};
  if (limbs == nullptr) return;  // none measured: see docs/decisions.md, "Pressures of 0 or below"
  LimbBP[BP_RBRA] = limbs[0];
  LimbBP[BP_LBRA] = limbs[1];
  LimbBP[ankleMode ? BP_RANK : BP_RTOE] = limbs[2];
  LimbBP[ankleMode ? BP_LANK : BP_LTOE] = limbs[3];
}

void TnelDataAna::InitAnaResultData() {
  HeartRate = 0;
  RightABI = LeftABI = -1.0f;
  RightBAI = LeftBAI = -1.0f;
  RightTBI = LeftTBI = -1.0f;
  RightBTI = LeftBTI = -1.0f;
  RightPWV = LeftPWV = -1.0f;
  for (int i = 0; i < 4; ++i) {
    MapPercent[i] = -1;
    UpstrokeTime[i] = -1;
  }
  PEP = -1;
  ET = -1;
  AIx = -9999;
}

void TnelDataAna::FLY_LOWGAP_Filter(float* x, int16_t n, float cutoffHz) {
  if (x == nullptr || n < 1 || SampleRate < 1) return;
  std::unique_ptr<float[]> aBuf(new (std::nothrow) float[n + 100]());
  std::unique_ptr<float[]> bBuf(new (std::nothrow) float[n + 100]());
  if (!aBuf || !bBuf) return;
  float* a = aBuf.get();
  float* b = bBuf.get();
  // Butterworth coefficients with the cut-off corrected for the two passes.
  const long double sqrt2 = std::sqrt(2.0L);
  const long double w = static_cast<long double>(cutoffHz) * 6.2831853L / (2.0L * SampleRate);
  const long double cl = std::tan(w) * std::pow(sqrt2 + 1.0L, 0.25L);
  const long double dl = 1.0L + sqrt2 * cl + cl * cl;
  const long double a0l = cl * cl / dl;
  const float a0 = static_cast<float>(a0l);
  const float b1 = static_cast<float>(2.0L / dl - 2.0L * a0l);
  const float b2 = static_cast<float>(-(1.0L - sqrt2 * cl + cl * cl) / dl);

  long double sum = 0.0L, sumSq = 0.0L;
  for (int i = 1; i <= n; ++i) {
    a[i] = x[i - 1];
    sum += x[i - 1];
    sumSq += static_cast<long double>(x[i - 1]) * x[i - 1];
  }
  const float m = static_cast<float>(sum / n);
  const long double v = sumSq / n - static_cast<long double>(m) * m;
  const float s = v > 0.0L ? static_cast<float>(std::sqrt(v)) : 1.0f;
  for (int i = 1; i <= n; ++i) a[i] = (a[i] - m) / s;

  b[1] = a[1];
  b[2] = a[2];
  for (int k = 3; k <= n; ++k) b[k] = a0 * (a[k] + 2.0f * a[k - 1] + a[k - 2]) + b1 * b[k - 1] + b2 * b[k - 2];
  if (n >= 1) a[n] = b[n];
  if (n >= 2) a[n - 1] = b[n - 1];
  for (int k = n - 2; k >= 1; --k) a[k] = a0 * (b[k] + 2.0f * b[k + 1] + b[k + 2]) + b1 * a[k + 1] + b2 * a[k + 2];

  long double sum2 = 0.0L;
  for (int i = 1; i <= n; ++i) sum2 += a[i];
  const float m2 = static_cast<float>(sum2 / n);
  for (int i = 1; i <= n; ++i) x[i - 1] = (a[i] - m2) * s + m;
}

int32_t TnelDataAna::NextOnset(int32_t from) const {
  const int16_t ecg = WaveIndex[WAVE_ECG];
  if (ecg < 0 || WaveData == nullptr) return -1;
  for (int32_t i = from < 1 ? 1 : from; i < DataLen; ++i)
    if (WaveData[i].Mark[ecg] == MARK_ECG_ONSET) return i;
  return -1;
}

bool TnelDataAna::IsRegularBeat(int32_t len) const {
  const int32_t dev = len > BeatLen ? len - BeatLen : BeatLen - len;
  return dev <= BeatLen / 2;
}

void TnelDataAna::SetMark(int32_t record, int32_t pos, uint8_t value) {
  if (record < 0 || record >= DataLen || pos < 0 || pos >= 6) return;
  WaveData[record].Mark[pos] = value;
}
