// TnelDataAna::Analysis: the analysis of a wave record, wave by wave in the
// order the steps depend on each other (ECG beats, heart sounds, pulse waves,
// results).
#include <cstdint>

#include "analysis/data_ana.h"

bool TnelDataAna::Analysis(bool ankleMode, int32_t height, float pwvFactor, bool filter) {
  Height = height;
  PWVFactor = pwvFactor;
  // Design decision: a sample rate below 1 counts as a missing record.
  if (WaveData == nullptr || WorkBuf == nullptr || DiffBuf == nullptr || SampleRate < 1) return false;
  for (int32_t i = 0; i < DataLen; ++i)
    for (auto& m : WaveData[i].Mark) m = 0;

  auto load = [this](int kind) {
    CurWaveKind = kind;
    CurWaveIndex = WaveIndex[kind];
    for (int32_t i = 0; i < DataLen; ++i) WorkBuf[i] = WaveData[i].Wave[CurWaveIndex];
  };
  if (WaveIndex[WAVE_ECG] != -1) {
    load(WAVE_ECG);
    if (!MF_ProcECGWaveDataAnalysis(WorkBuf)) return false;
  }
  if (WaveIndex[WAVE_PCG] != -1) {
    load(WAVE_PCG);
    if (!MF_ProcPCGWaveDataAnalysis(WorkBuf)) return false;
  }
  for (int kind = WAVE_RBRA; kind <= WAVE_LTOE; ++kind) {
    if (WaveIndex[kind] == -1) continue;
    load(kind);
    if (!MF_ProcBPWaveDataAnalysis(WorkBuf, filter)) return false;
    // The stored wave is replaced by its filtered form, which the results read.
    if (filter && DataLen <= INT16_MAX) {
      load(kind);
      FLY_LOWGAP_Filter(WorkBuf, static_cast<int16_t>(DataLen), 8.0f);
      for (int32_t i = 0; i < DataLen; ++i) WaveData[i].Wave[CurWaveIndex] = WorkBuf[i];
    }
  }
  GetAnaResult(ankleMode, height);
  return true;
}
