// TnelDataAna::Analysis: the checks of the record, then the analysis wave by
// wave in the order the steps depend on each other (ECG beats, heart sounds,
// pulse waves, results).
#include <cmath>
#include <cstdint>

#include <nel/analysis/data_ana.h>

namespace {

// First sample of the listed waves that is not a number or lies beyond
// kDataAnaSampleLimit: waves in kind order, records in order. False when none.
bool FindBadSample(const tagSAVE_WAVEDATA* rec, int32_t n, const int16_t (&index)[8], int32_t& kind, int32_t& record) {
  for (int32_t k = WAVE_ECG; k <= WAVE_LTOE; ++k) {
    const int16_t pos = index[k];
    if (pos < 0) continue;
    for (int32_t i = 0; i < n; ++i) {
      const float v = rec[i].Wave[pos];
      if (!(std::fabs(v) <= kDataAnaSampleLimit)) {  // NaN fails every comparison
        kind = k;
        record = i;
        return true;
      }
    }
  }
  return false;
}

}  // namespace

const char* DataAnaResultText(int32_t result) {
  switch (result) {
    case DATAANA_NOT_RUN: return "not analysed yet";
    case DATAANA_COMPLETE: return "complete";
    case DATAANA_NO_RECORD: return "no record to analyse";
    case DATAANA_BAD_SAMPLE_RATE: return "sample rate not supported (the analysis needs 1000 samples per second)";
    case DATAANA_BAD_SAMPLE: return "a wave holds a sample that is not a number or beyond 1e9 in magnitude";
    case DATAANA_NO_HEART_SOUNDS: return "no heart sounds found";
    case DATAANA_NO_MEMORY: return "out of memory";
    default: return "unknown result";
  }
}

bool TnelDataAna::Analysis(bool ankleMode, int32_t height, float pwvFactor, bool filter) {
  Height = height;
  PWVFactor = pwvFactor;
  BadSampleKind = -1;
  BadSampleRecord = -1;
  // A refused record is not touched, and no result is left from an earlier call.
  auto refuse = [this](int32_t result) {
    InitAnaResultData();
    AnaResult = result;
    return false;
  };
  if (WaveData == nullptr || WorkBuf == nullptr || DiffBuf == nullptr) return refuse(DATAANA_NO_RECORD);
  if (SampleRate != kDataAnaSampleRate) return refuse(DATAANA_BAD_SAMPLE_RATE);
  if (FindBadSample(WaveData, DataLen, WaveIndex, BadSampleKind, BadSampleRecord)) return refuse(DATAANA_BAD_SAMPLE);

  for (int32_t i = 0; i < DataLen; ++i)
    for (auto& m : WaveData[i].Mark) m = 0;

  auto load = [this](int kind) {
    CurWaveKind = kind;
    CurWaveIndex = WaveIndex[kind];
    for (int32_t i = 0; i < DataLen; ++i) WorkBuf[i] = WaveData[i].Wave[CurWaveIndex];
  };
  if (WaveIndex[WAVE_ECG] != -1) {
    load(WAVE_ECG);
    MF_ProcECGWaveDataAnalysis(WorkBuf);  // always true: without memory the record has no beats
  }
  if (WaveIndex[WAVE_PCG] != -1) {
    load(WAVE_PCG);
    AnaResult = DATAANA_NO_HEART_SOUNDS;  // the PCG step sets DATAANA_NO_MEMORY itself
    if (!MF_ProcPCGWaveDataAnalysis(WorkBuf)) return false;
  }
  for (int kind = WAVE_RBRA; kind <= WAVE_LTOE; ++kind) {
    if (WaveIndex[kind] == -1) continue;
    load(kind);
    MF_ProcBPWaveDataAnalysis(WorkBuf, filter);  // always true
    // The stored wave is replaced by its filtered form, which the results read.
    if (filter && DataLen <= INT16_MAX) {
      load(kind);
      FLY_LOWGAP_Filter(WorkBuf, static_cast<int16_t>(DataLen), 8.0f);
      for (int32_t i = 0; i < DataLen; ++i) WaveData[i].Wave[CurWaveIndex] = WorkBuf[i];
    }
  }
  GetAnaResult(ankleMode, height);
  AnaResult = DATAANA_COMPLETE;
  return true;
}
