// TnelDataAna: pressure indices, pulse wave velocity and the per-wave results
// computed from the limb pressures and the marks of all waves.
#include <algorithm>
#include <cmath>
#include <cstdlib>

#include <nel/analysis/data_ana.h>

#include "analysis/extremes.h"

namespace {

constexpr int kMaxBeats = 40;          // complete beats the beat table holds
constexpr int kMaxIntervals = 40;      // onset-to-S2 intervals the pre-ejection period uses
constexpr int32_t kEtReference = 285;  // samples; the brachial ejection time nearer to it wins

// Complete beats of a record: per beat its start (QRS onset) and, per wave
// taken into account, its peak, foot and valley. Waves not taken into account
// (or not recorded) keep -1.
struct BeatTable {
  struct Beat {
    int32_t start;
    int32_t peak[4], foot[4], valley[4];
  };
  Beat beat[kMaxBeats];
  int count = 0;
};

// Mean with the largest and smallest value removed when there are more than
// two values; the plain mean with one or two.
int32_t TrimmedMean(int32_t sum, int32_t count, int32_t max, int32_t min) {
  return count > 2 ? (sum - min - max) / (count - 2) : sum / count;
}

int16_t ToInt16(double v) {
  if (!std::isfinite(v)) return -1;
  return static_cast<int16_t>(std::clamp(std::trunc(v), -32768.0, 32767.0));
}

// Builds the beat table over the waves at the given record positions (-1 = a
// wave that is not recorded and holds no beat back).
void BuildBeatTable(const tagSAVE_WAVEDATA* rec, int32_t n, int16_t ecgPos, const int32_t (&pos)[4], BeatTable& t) {
  t.count = 0;
  if (ecgPos < 0) return;
  BeatTable::Beat cur;
  auto clear = [&](int32_t start) {
    cur.start = start;
    for (int w = 0; w < 4; ++w) cur.peak[w] = cur.foot[w] = cur.valley[w] = -1;
  };
  clear(-1);
  for (int32_t i = 0; i < n; ++i) {
    if (rec[i].Mark[ecgPos] == MARK_ECG_ONSET) {
      if (cur.start < 0) {
        cur.start = i;
        continue;
      }
      bool complete = true;
      for (int w = 0; w < 4; ++w)
        if (pos[w] >= 0 && (cur.peak[w] < 0 || cur.foot[w] < 0 || cur.valley[w] < 0)) complete = false;
      if (!complete) {
        clear(i);
        continue;
      }
      t.beat[t.count++] = cur;
      if (t.count == kMaxBeats) return;
      clear(i);
    }
    for (int w = 0; w < 4; ++w) {
      if (pos[w] < 0) continue;
      switch (rec[i].Mark[pos[w]]) {
        case MARK_PULSE_PEAK: cur.peak[w] = i; break;
        case MARK_PULSE_FOOT: cur.foot[w] = i; break;
        case MARK_PULSE_VALLEY: cur.valley[w] = i; break;
        default: break;
      }
    }
  }
}

// Upstroke time (ms) of wave w of the table; -1 when no beat has its peak after its foot.
int16_t UpstrokeMs(const BeatTable& t, int w, int32_t fs) {
  int32_t sum = 0, count = 0, max = 0, min = 9999;
  for (int j = 0; j < t.count; ++j) {
    const int32_t r = t.beat[j].peak[w] - t.beat[j].foot[w];
    if (t.beat[j].peak[w] <= t.beat[j].foot[w]) continue;
    sum += r;
    ++count;
    max = std::max(max, r);
    min = std::min(min, r);
  }
  if (count == 0) return -1;
  return static_cast<int16_t>(static_cast<int64_t>(TrimmedMean(sum, count, max, min)) * 1000 / fs);
}

// Mean-pressure percentage of wave w (record position pos) over the beat pairs
// of the table; needs at least two beats.
int16_t MapPercentOf(const BeatTable& t, int w, const tagSAVE_WAVEDATA* rec, int32_t pos) {
  const int c = t.count;
  double sum = 0.0;
  int32_t max = 0, min = 9999;
  for (int j = 0; j + 1 < c; ++j) {
    const int32_t a = t.beat[j].foot[w];
    const int32_t e = t.beat[j + 1].foot[w] - 1;
    if (a >= e || a < 0) continue;
    const double base = (static_cast<double>(rec[e].Wave[pos]) + rec[a].Wave[pos]) / 2.0;
    const double top = rec[t.beat[j].peak[w]].Wave[pos];
    double area = 0.0;
    for (int32_t k = a; k < e; ++k) area += rec[k].Wave[pos] - base;
    double pct = area / (e - a) * 100.0 / (top - base);
    // A flat beat counts as 0: see docs/decisions.md, "Precision and 16-bit counts".
    if (!std::isfinite(pct) || pct < 0.0) pct = 0.0;
    sum += pct;
    if (pct > max) max = static_cast<int32_t>(pct);
    if (pct < min) min = static_cast<int32_t>(pct);
  }
  if (c - 1 > 2) return ToInt16((sum - max - min) / (c - 3));
  return ToInt16(sum / (c - 1));
}

// Removes the first largest or the first smallest entry of v[0..n-1].
void RemoveExtreme(float* v, int& n, bool largest) {
  int k = 0;
  for (int i = 1; i < n; ++i)
    if (largest ? v[i] > v[k] : v[i] < v[k]) k = i;
  for (int i = k + 1; i < n; ++i) v[i - 1] = v[i];
  --n;
}

// Ejection time: foot to the first notch of each beat on either arm; the arm
// whose mean is nearer the reference length wins.
int32_t EjectionSamples(const BeatTable& t, const tagSAVE_WAVEDATA* rec, const int32_t (&pos)[4]) {
  const int c = t.count;
  int32_t armMean[2] = {0, 0};
  bool armHas[2] = {false, false};
  for (int w = 0; w < 2; ++w) {
    if (pos[w] < 0) continue;
    int32_t sum = 0, count = 0, max = 0, min = 9999;
    for (int j = 0; j + 1 < c; ++j) {
      const int32_t a = t.beat[j].foot[w], b = t.beat[j + 1].foot[w];
      if (a >= b) continue;
      for (int32_t i = a; i < b; ++i) {
        if (rec[i].Mark[pos[w]] != MARK_PULSE_NOTCH) continue;
        const int32_t d = i - a;
        sum += d;
        ++count;
        max = std::max(max, d);
        min = std::min(min, d);
        break;
      }
    }
    if (count > 0) {
      armHas[w] = true;
      armMean[w] = TrimmedMean(sum, count, max, min);
    }
  }
  int32_t etSamples = -1;
  if (!armHas[0]) {
    if (armHas[1]) etSamples = armMean[1];
  } else {
    etSamples = armMean[0];
    if (armHas[1] && std::abs(armMean[1] - kEtReference) < std::abs(armMean[0] - kEtReference)) etSamples = armMean[1];
  }
  return etSamples;
}

// Pre-ejection period: QRS onset to second heart sound, minus the ejection time.
void PreEjectionPeriod(const tagSAVE_WAVEDATA* rec, int32_t n, int16_t ecg, int16_t pcg, int32_t fs, int16_t& et,
                       int16_t& pep) {
  int32_t iv[kMaxIntervals];
  int k = 0;
  if (ecg >= 0 && pcg >= 0) {
    int32_t onset = -1;
    for (int32_t i = 0; i < n && k < kMaxIntervals; ++i) {
      if (rec[i].Mark[ecg] == MARK_ECG_ONSET) onset = i;
      if (rec[i].Mark[pcg] == MARK_PCG_S2 && onset >= 0) {
        iv[k++] = i - onset;
        onset = -1;
      }
    }
  }
  if (k == 0) {
    pep = -1;
    return;
  }
  int32_t divisor = k;
  if (k >= 3) {
    nel::analysis::ZeroExtremes(iv, k);
    divisor = k - 2;
  }
  int64_t sum = 0;
  for (int j = 0; j < k; ++j) sum += iv[j];
  const int64_t qs2 = (sum * 1000 / fs) / divisor;
  if (et == -1) {
    pep = -1;
  } else {
    const int64_t d = qs2 - et;
    if (d < 0) {
      pep = -1;
      et = -1;
    } else {
      pep = ToInt16(static_cast<double>(d));
    }
  }
}

// Beat-table slot of the brachial wave the delays start from when both arms are
// recorded: d0 RAnk-RBra, d1 RAnk-LBra, d2 LAnk-RBra, d3 LAnk-LBra. False when
// no arm has a delay in range to both ankles.
bool PwvArmOfBoth(const BeatTable& t, const int32_t (&pos)[4], int32_t w1, int32_t w30, int& arm) {
  const int c = t.count;
  double sum[4] = {}, max[4] = {0, 0, 0, 0}, min[4] = {9999, 9999, 9999, 9999};
  int count[4] = {};
  for (int j = 0; j < c; ++j) {
    const auto& bt = t.beat[j];
    const int32_t d[4] = {bt.foot[2] - bt.foot[0], bt.foot[2] - bt.foot[1], bt.foot[3] - bt.foot[0],
                          bt.foot[3] - bt.foot[1]};
    const bool ank[4] = {pos[2] >= 0, pos[2] >= 0, pos[3] >= 0, pos[3] >= 0};
    for (int i = 0; i < 4; ++i) {
      if (!ank[i] || d[i] <= w1 || d[i] >= w30) continue;
      sum[i] += d[i];
      ++count[i];
      max[i] = std::max<double>(max[i], d[i]);
      min[i] = std::min<double>(min[i], d[i]);
    }
  }
  double mean[4] = {};
  for (int i = 0; i < 4; ++i)
    if (count[i] > 0) mean[i] = count[i] > 2 ? (sum[i] - max[i] - min[i]) / (count[i] - 2) : sum[i] / count[i];
  const bool right = count[0] > 0 && count[2] > 0;
  const bool left = count[1] > 0 && count[3] > 0;
  if (right && left)
    arm = mean[3] + mean[1] > mean[2] + mean[0] ? 1 : 0;
  else if (right)
    arm = 0;
  else if (left)
    arm = 1;
  else
    return false;
  return true;
}

// Velocity (cm/s) over the delays list[0..cnt-1] (samples); -1 when there is none.
float PwvVelocity(float* list, int cnt, bool recorded, int32_t fs, float dist, float factor) {
  if (!recorded || cnt == 0) return -1.0f;
  if (cnt > 4) {
    for (int r = 0; r < 2; ++r) {
      RemoveExtreme(list, cnt, true);
      RemoveExtreme(list, cnt, false);
    }
  }
  double M = 0.0;
  for (int i = 0; i < cnt; ++i) M += list[i];
  M /= cnt;
  float tt = static_cast<float>(M / fs);
  tt = tt - 0.1f * tt;  // the foot-to-foot delay is shortened by 10 %
  if (tt <= 0.0f) return -1.0f;
  const float v = dist / tt * (factor + 1.0f);
  return v > 6000.0f ? -1.0f : v;
}

// Brachial-ankle pulse wave velocity.
void BrachialAnklePwv(const BeatTable& t, const int32_t (&pos)[4], int32_t fs, float dist, float factor, float& right,
                      float& left) {
  const int32_t w1 = static_cast<int32_t>(fs * 0.01);
  const int32_t w30 = static_cast<int32_t>(fs * 0.3);
  if (dist <= 0.0f || (pos[0] < 0 && pos[1] < 0)) {
    right = left = 0.0f;
    return;
  }
  int arm;  // beat-table slot of the brachial wave the delays start from
  if (pos[0] < 0 || pos[1] < 0) {
    arm = pos[0] >= 0 ? 0 : 1;
  } else if (!PwvArmOfBoth(t, pos, w1, w30, arm)) {
    right = left = 0.0f;
    return;
  }
  float listR[kMaxBeats], listL[kMaxBeats];
  int nR = 0, nL = 0;
  for (int j = 0; j < t.count; ++j) {
    const int32_t b = t.beat[j].foot[arm];
    const int32_t dR = t.beat[j].foot[2] - b, dL = t.beat[j].foot[3] - b;
    if (pos[2] >= 0 && dR > w1 && dR < w30) listR[nR++] = static_cast<float>(dR);
    if (pos[3] >= 0 && dL > w1 && dL < w30) listL[nL++] = static_cast<float>(dL);
  }
  right = PwvVelocity(listR, nR, pos[2] >= 0, fs, dist, factor);
  left = PwvVelocity(listL, nL, pos[3] >= 0, fs, dist, factor);
}

}  // namespace

float TnelDataAna::GetBodyDistance(int16_t height, tagTYPE_BODYDISTANCE kind) {
  const float H = height;
  const float brachial = 0.2195f * H - 2.0734f;
  const float femoral = 0.5643f * H - 18.381f;
  const float femoralAnkle = 0.2486f * H + 30.709f;
  switch (kind) {
    case BODYDISTANCE_HEART_CAROTID: return 0.2437f * H - 18.9999f;
    case BODYDISTANCE_HEART_BRACHIAL: return brachial;
    case BODYDISTANCE_HEART_FEMORAL: return femoral;
    case BODYDISTANCE_HEART_ANKLE: return femoral + femoralAnkle;
    case BODYDISTANCE_FEMORAL_ANKLE: return femoralAnkle;
    case BODYDISTANCE_BRACHIAL_ANKLE: return (femoral + femoralAnkle) - brachial;
    default: return 1.0f;
  }
}

bool TnelDataAna::GetAnaResult(bool ankleMode, int32_t height) {
  AIx = std::clamp<int16_t>(AIx, -50, 50);
  const auto sbp = [this](int ch) { return LimbBP[ch].SBP; };
  // Only a positive pressure is measured: 0 would divide by zero and a negative
  // one gives no index, the same as -1.
  const auto present = [&](int ch) { return sbp(ch) > 0; };
  auto larger = [&](int c0, int c1) -> float {
    if (!present(c0)) return sbp(c1);
    if (!present(c1)) return sbp(c0);
    return std::max(sbp(c0), sbp(c1));
  };
  const bool haveArm = present(BP_RBRA) || present(BP_LBRA);
  const float R = larger(BP_RBRA, BP_LBRA);
  if (ankleMode) {
    if (haveArm && present(BP_RANK)) RightABI = sbp(BP_RANK) / R;
    if (haveArm && present(BP_LANK)) LeftABI = sbp(BP_LANK) / R;
    if (present(BP_RANK) || present(BP_LANK)) {
      const float A = larger(BP_RANK, BP_LANK);
      if (present(BP_RBRA)) RightBAI = sbp(BP_RBRA) / A;
      if (present(BP_LBRA)) LeftBAI = sbp(BP_LBRA) / A;
    }
    GetABIAnaResult(height);
    return true;
  }
  if (haveArm && present(BP_RTOE)) RightTBI = sbp(BP_RTOE) / R;
  if (haveArm && present(BP_LTOE)) LeftTBI = sbp(BP_LTOE) / R;
  if (present(BP_RTOE) || present(BP_LTOE)) {
    const float T = larger(BP_RTOE, BP_LTOE);
    if (present(BP_RBRA)) RightBTI = sbp(BP_RBRA) / T;
    if (present(BP_LBRA)) LeftBTI = sbp(BP_LBRA) / T;
  }
  GetOtherPulseWaveAnaResult(WAVE_RTOE, WaveIndex[WAVE_RTOE], &MapPercent[2], &UpstrokeTime[2], nullptr);
  GetOtherPulseWaveAnaResult(WAVE_LTOE, WaveIndex[WAVE_LTOE], &MapPercent[3], &UpstrokeTime[3], nullptr);
  GetOtherPulseWaveAnaResult(WAVE_RBRA, WaveIndex[WAVE_RBRA], &MapPercent[0], &UpstrokeTime[0], nullptr);
  GetOtherPulseWaveAnaResult(WAVE_LBRA, WaveIndex[WAVE_LBRA], &MapPercent[1], &UpstrokeTime[1], nullptr);
  return true;
}

bool TnelDataAna::GetOtherPulseWaveAnaResult(tagTYPE_NEL_WAVEDATA /*kind*/, int32_t position, int16_t* mapPercentOut,
                                             int16_t* upstrokeOut, int32_t* extraOut) {
  *mapPercentOut = -1;
  *upstrokeOut = -1;
  if (extraOut) *extraOut = -1;
  if (position < 0 || position >= 6) return false;
  BeatTable t;
  BuildBeatTable(WaveData, DataLen, WaveIndex[WAVE_ECG], {position, -1, -1, -1}, t);
  if (t.count < 1) return false;
  // See docs/decisions.md, "`extraOut` of `GetOtherPulseWaveAnaResult`".
  if (extraOut) *extraOut = t.count;
  *upstrokeOut = UpstrokeMs(t, 0, SampleRate);
  if (*upstrokeOut == -1) return false;
  if (t.count > 1) *mapPercentOut = MapPercentOf(t, 0, WaveData, position);
  return true;
}

bool TnelDataAna::GetABIAnaResult(int32_t height) {
  const int32_t fs = SampleRate;
  const int32_t pos[4] = {WaveIndex[WAVE_RBRA], WaveIndex[WAVE_LBRA], WaveIndex[WAVE_RANK], WaveIndex[WAVE_LANK]};
  BeatTable t;
  BuildBeatTable(WaveData, DataLen, WaveIndex[WAVE_ECG], pos, t);
  const int c = t.count;
  if (c < 1) return false;
  const auto bpPresent = [this](int ch) { return LimbBP[ch].SBP > 0 && LimbBP[ch].DBP > 0; };

  // Upstroke times.
  for (int j = 0; j < 4; ++j) {
    UpstrokeTime[j] = -1;
    if (pos[j] >= 0 && bpPresent(j)) UpstrokeTime[j] = UpstrokeMs(t, j, fs);
  }

  const int32_t etSamples = EjectionSamples(t, WaveData, pos);
  // No value and a mean of 0 both leave no ejection time.
  ET = etSamples > 0 ? ToInt16(static_cast<double>(static_cast<int64_t>(etSamples) * 1000 / fs)) : -1;

  PreEjectionPeriod(WaveData, DataLen, WaveIndex[WAVE_ECG], WaveIndex[WAVE_PCG], fs, ET, PEP);

  // Mean-pressure percentages.
  if (c > 1) {
    for (int j = 0; j < 4; ++j)
      MapPercent[j] = bpPresent(j) ? (pos[j] >= 0 ? MapPercentOf(t, j, WaveData, pos[j]) : 0) : -1;
  }

  BrachialAnklePwv(t, pos, fs, GetBodyDistance(static_cast<int16_t>(height), BODYDISTANCE_BRACHIAL_ANKLE), PWVFactor,
                   RightPWV, LeftPWV);

  // The working marks 6 and 7 are not handed to the host.
  // (WaveNum is a public field: never more positions than a record has.)
  const int32_t waves = std::clamp<int32_t>(WaveNum, 0, static_cast<int32_t>(sizeof(tagSAVE_WAVEDATA::Mark)));
  for (int32_t i = 0; i < DataLen; ++i)
    for (int32_t w = 0; w < waves; ++w)
      if (WaveData[i].Mark[w] > 5) WaveData[i].Mark[w] = 0;
  return true;
}
