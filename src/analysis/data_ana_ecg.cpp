// TnelDataAna: R peaks, QRS onsets, heart rate and mean beat length of the
// recorded ECG, found by the CVRR analysis.
#include <cmath>
#include <new>

#include <nel/analysis/cvrr_ana.h>
#include <nel/analysis/data_ana.h>

bool TnelDataAna::MF_ProcECGWaveDataAnalysis(float* ecg) {
  const int32_t fs = SampleRate;
  float meanRR = 0.0f;
  // Without memory the record has no beats: see docs/decisions.md, "ECG step without memory".
  try {
    TnelCVRRAna cvrr(ecg, DataLen, fs);
    HeartRate = std::isfinite(cvrr.HeartRate) ? static_cast<int32_t>(cvrr.HeartRate) : 0;
    const uint8_t* marks = cvrr.GetECGRResult();
    if (marks != nullptr)
      for (int32_t i = 0; i < DataLen; ++i) WaveData[i].Mark[CurWaveIndex] = marks[i];
    meanRR = cvrr.MeanRR;
  } catch (const std::bad_alloc&) {
    HeartRate = 0;
    meanRR = 0.0f;
  }
  BeatLen = meanRR == 0.0f ? fs : static_cast<int32_t>(fs * meanRR * 0.001f);
  return true;
}
