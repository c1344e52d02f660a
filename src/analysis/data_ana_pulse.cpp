// TnelDataAna: feature points of one pulse wave, beat by beat.
//
// Peak, foot and valley, and dicrotic notch of every regular beat; the feet
// are then refined by intersecting the upstroke and baseline tangents. On the
// right brachial wave the early (P) and late (T) systolic points and the
// augmentation index follow. A final check moves notches that sit far from
// the mean peak-to-notch distance.
#include <algorithm>
#include <cmath>
#include <cstdlib>

#include <nel/analysis/data_ana.h>

namespace {

constexpr int kNotchTriples = 30;  // triples the notch check collects at most

// A tangent's sample and its six-sample step; k is -1 when none was found.
struct Tangent {
  int32_t k;
  float r;
};

// Record i of wave `pos` carries a peak or an early systolic (P) mark.
bool IsPeakOrP(const tagSAVE_WAVEDATA* rec, int32_t i, int16_t pos) {
  const uint8_t mk = rec[i].Mark[pos];
  return mk == MARK_PULSE_PEAK || mk == MARK_PULSE_P;
}

// Upstroke tangent: the steepest six-sample rise after the foot f, before the
// peak and before `end`. See docs/decisions.md, "Record ends and notches".
Tangent UpstrokeTangent(const float* x, const tagSAVE_WAVEDATA* rec, int16_t pos, int32_t f, int32_t end, int32_t n) {
  Tangent t{-1, -9999.0f};
  for (int32_t k = f + 1; k < end && k + 5 < n; ++k) {
    if (IsPeakOrP(rec, k, pos)) break;
    const float r = x[k + 5] - x[k - 1];
    if (r > t.r) {
      t.r = r;
      t.k = k;
    }
  }
  return t;
}

// Baseline tangent: the flattest (most falling) six-sample step before the
// foot f, back to `lo` or to the beat's QRS onset (ecg < 0: no ECG wave).
Tangent BaselineTangent(const float* x, const tagSAVE_WAVEDATA* rec, int16_t ecg, int32_t f, int32_t lo) {
  Tangent t{-1, 9999.0f};
  for (int32_t k = f; k >= lo + 1; --k) {
    if (k - 6 < 1 || (ecg >= 0 && rec[k].Mark[ecg] == MARK_ECG_ONSET)) break;
    const float r = x[k] - x[k - 6];
    if (r < t.r) {
      t.r = r;
      t.k = k;
    }
  }
  return t;
}

}  // namespace

bool TnelDataAna::MF_ProcBPWaveDataAnalysis(float* x, bool filter) {
  const int32_t n = DataLen;
  const int16_t pos = CurWaveIndex;
  const int16_t pcg = WaveIndex[WAVE_PCG];
  float* D = DiffBuf;
  // Over 32767 samples stay unfiltered: see docs/decisions.md, "Precision and 16-bit counts".
  if (filter && n <= INT16_MAX) FLY_LOWGAP_Filter(x, static_cast<int16_t>(n), 8.0f);
  for (int32_t i = 0; i + 1 < n; ++i) D[i] = x[i + 1] - x[i];
  for (int32_t i = n > 0 ? n - 1 : 0; i < n + 10; ++i) D[i] = 0.0f;

  int32_t sum = 0, count = 0, dMax = -9999, dMin = 9999;
  for (int32_t q0 = NextOnset(1), q; q0 >= 0 && (q = NextOnset(q0 + 1)) >= 0; q0 = q) {
    const int32_t L = q - q0;
    if (!IsRegularBeat(L)) continue;
    int32_t pk = q0 + 1;
    for (int32_t i = q0 + 2; i < q; ++i)
      if (x[i] > x[pk]) pk = i;
    const int32_t P = pk + 1;  // the peak mark lies one record after the maximum
    SetMark(P, pos, MARK_PULSE_PEAK);
    int32_t ms = q0 + 1;
    for (int32_t i = q0 + 2; i < P; ++i)
      if (D[i] > D[ms]) ms = i;
    ProcessBPr(x, q0 + 2, ms, q0, q, pos);
    int32_t s = -1, s2 = -1;
    if (pcg >= 0) {
      for (int32_t i = q0 + 1; i < q && s < 0; ++i)
        if (MarkAt(i, pcg) == MARK_PCG_S2) s = i;
      for (int32_t i = q0; i < q; ++i)
        if (MarkAt(i, pcg) == MARK_PCG_S2) s2 = i;
    }
    ProcessOnceBPfanshe(x, std::max(P, s), P + L / 3);
    if (CurWaveKind == WAVE_RBRA && s2 >= 0) {
      const int32_t d = P - s2;
      sum += d;
      ++count;
      // The extremes are compared by magnitude but keep their sign.
      if (std::abs(d) > dMax) dMax = d;
      if (std::abs(d) < dMin) dMin = d;
    }
  }

  ResearchRushe(x, static_cast<tagTYPE_NEL_WAVEDATA>(CurWaveKind), pos);

  if (CurWaveKind == WAVE_RBRA && count > 2) {
    const int16_t m = static_cast<int16_t>((sum - dMin - dMax) / (count - 2));
    uint8_t code;
    if (m < -10) {  // the peak comes well before the second sound: T points on S2
      ProcessTpoint(x, pos);
      code = MARK_PULSE_P;
    } else {
      ProcessPpoint(x, pos);
      code = MARK_PULSE_T;
    }
    for (int32_t i = 1; i + 1 < n; ++i)
      if (MarkAt(i, pos) == MARK_PULSE_PEAK && MarkAt(i + 1, pos) != MARK_PULSE_PT) MarkAt(i + 1, pos) = code;
    CalculateAIx(x, WaveIndex[WAVE_RBRA]);
  }

  CheckNotchPositions(pos);
  return true;
}

void TnelDataAna::CheckNotchPositions(int16_t pos) {
  // Triples of (foot, peak, notch) in record order, at most kNotchTriples; a
  // notch closes the triple of the foot and peak seen since the last one.
  int32_t foot[kNotchTriples], peak[kNotchTriples], notch[kNotchTriples];
  int32_t c = 0, curFoot = -1, curPeak = -1;
  for (int32_t i = 0; i < DataLen && c < kNotchTriples; ++i) {
    const uint8_t mk = MarkAt(i, pos);
    if (mk == MARK_PULSE_PEAK) {
      curPeak = i;
    } else if (mk == MARK_PULSE_FOOT) {
      curFoot = i;
    } else if (mk == MARK_PULSE_NOTCH && curFoot >= 0 && curPeak >= 0) {
      foot[c] = curFoot;
      peak[c] = curPeak;
      notch[c] = i;
      ++c;
      curFoot = curPeak = -1;
    }
  }
  if (c >= 1) {
    int32_t rise = 0, fall = 0;
    for (int32_t j = 0; j < c; ++j) {
      rise += peak[j] - foot[j];
      fall += notch[j] - peak[j];
    }
    for (int32_t j = 0; j < c; ++j)
      CompareBPFansheRuRPosi(WorkBuf, foot[j], peak[j], notch[j], rise / c, fall / c, pos);
  }
}

int32_t TnelDataAna::ProcessBPr(float* x, int32_t a, int32_t b, int32_t /*beatStart*/, int32_t /*beatEnd*/,
                                int16_t pos) {
  if (a >= b - 1) return -1;
  const float* D = DiffBuf;
  int32_t k1 = a;
  float best = -99999.0f;
  for (int32_t k = a; k < b - 1; ++k) {
    if (x[k + 1] - x[k] > best) {
      best = x[k + 1] - x[k];
      k1 = k;
    }
  }
  // Walk back from the steepest point to five non-rising steps; the lowest
  // value met on the way is the valley.
  int32_t v = k1, run = 0;
  bool stopped = false;
  for (int32_t k = k1 - 1; k >= a + 1; --k) {
    if (x[k] <= x[v]) v = k;
    run = x[k + 1] <= x[k] ? run + 1 : 0;
    if (run == 5) {
      stopped = true;
      break;
    }
  }
  if (!stopped) return -1;
  // Foot: greatest positive curvature on the early upstroke.
  int32_t f = v;
  float bestDD = -99999.0f;
  for (int32_t k = v; k <= (v + b) / 2 - 3; ++k) {
    const float dd = D[k + 1] - D[k];
    if (dd > 0.0f && dd > bestDD) {
      bestDD = dd;
      f = k + 1;
    }
  }
  SetMark(f, pos, MARK_PULSE_FOOT);
  SetMark(v, pos, MARK_PULSE_VALLEY);
  return f;
}

int32_t TnelDataAna::ProcessOnceBPfanshe(float* /*x*/, int32_t s, int32_t e) {
  const float* D = DiffBuf;
  // The window ends at the record's end: see docs/decisions.md, "Record ends and notches".
  if (e > DataLen) e = DataLen;
  if (s < 0) s = 0;
  const int32_t w = SampleRate / 30;
  auto dd = [D](int32_t k) { return D[k + 1] - D[k]; };

  int32_t sp = s;
  for (int32_t k = s, run = 0; k < e - 1; ++k) {
    run = dd(k) <= 0.0f ? run + 1 : 0;
    if (run == 4) {
      sp = k;
      break;
    }
  }
  int32_t a[2] = {}, b[2] = {}, p[2] = {};
  float best[2] = {};
  int passes = 0;
  for (int r = 0; r < 2; ++r) {
    int32_t ar = -1;
    for (int32_t k = sp, cnt = 0; k < e - 1; ++k) {
      cnt = dd(k) > 0.0f ? cnt + 1 : 0;
      if (cnt > w) {
        ar = k - cnt + 2;
        break;
      }
    }
    if (ar < 0 || ar <= sp) break;
    int32_t br = e;
    for (int32_t k = ar, cnt = 0; k < e - 1; ++k) {
      cnt = dd(k) <= 0.0f ? cnt + 1 : 0;
      if (cnt > w) {
        br = k - cnt - 1;
        break;
      }
    }
    if (br <= ar) return -1;
    p[r] = ar;
    best[r] = 0.0f;
    for (int32_t k = ar; k < br; ++k) {
      if (dd(k) > 0.0f && dd(k) > best[r]) {
        best[r] = dd(k);
        p[r] = k;
      }
    }
    a[r] = ar;
    b[r] = br;
    sp = br + 2;
    ++passes;
  }
  if (passes == 0) return -1;
  int32_t N = p[0];
  if (passes == 2 && b[1] - a[1] > b[0] - a[0] && best[1] >= best[0]) N = p[1];
  N -= 10;
  SetMark(N, CurWaveIndex, MARK_PULSE_NOTCH);
  return N;
}

void TnelDataAna::CompareBPFansheRuRPosi(float* /*x*/, int32_t /*foot*/, int32_t peak, int32_t notch,
                                         int32_t /*avgRise*/, int32_t avgNotch, int16_t pos) {
  const int32_t tol = avgNotch * 30 / 100;
  const int32_t d = notch - peak;
  if (d > avgNotch + tol || d < avgNotch - tol) {
    SetMark(notch, pos, 0);
    SetMark(peak + avgNotch, pos, MARK_PULSE_NOTCH);
  }
}

void TnelDataAna::ResearchRushe(float* x, tagTYPE_NEL_WAVEDATA kind, int16_t pos) {
  for (int32_t i = 1; i < DataLen; ++i)
    if (MarkAt(i, pos) == MARK_PULSE_FOOT) ResearchOneRushe(x, i, kind, pos);
}

void TnelDataAna::ResearchOneRushe(float* x, int32_t f, tagTYPE_NEL_WAVEDATA kind, int16_t pos) {
  const int32_t n = DataLen;
  const int16_t ecg = WaveIndex[WAVE_ECG];
  const int32_t W = BeatLen / 5;
  int32_t u = W;
  for (int32_t i = f + 1; i < n - 6; ++i) {
    if (IsPeakOrP(WaveData, i, pos)) {
      u = i - f;
      break;
    }
  }
  if (kind >= WAVE_RANK) u = std::max(std::min(u, W) / 4, 18);
  const int32_t end = f + u - 6;
  if (f + 1 >= end) return;

  const Tangent up = UpstrokeTangent(x, WaveData, pos, f, end, n);
  if (up.k < 0) return;
  const float sU = up.r * 0.16666667f;
  const int32_t pU = up.k + 3;
  const float yU = x[up.k + 3];

  // The baseline tangent reaches back a tenth of a second.
  const Tangent down = BaselineTangent(x, WaveData, ecg, f, f - SampleRate / 10);
  if (down.k < 0) return;
  const float sD = down.r * 0.16666667f;
  const int32_t pD = down.k - 3;
  const float yD = x[down.k - 3];
  if (sU == sD) return;

  const float tf = (pU * sU - pD * sD - (yU - yD)) / (sU - sD);
  if (!(tf > -1e9f && tf < 1e9f)) return;     // no usable intersection
  int32_t t = static_cast<int32_t>(tf) + 12;  // the intersection, moved 12 samples later
  if (t < 1 || t >= n) return;
  MarkAt(f, pos) = 0;
  if ((kind == WAVE_RANK || kind == WAVE_LANK) && f < t) t = (t + f) / 2;
  MarkAt(t, pos) = MARK_PULSE_FOOT;
}

void TnelDataAna::ProcessPpoint(float* /*x*/, int16_t pos) {
  const int16_t pcg = WaveIndex[WAVE_PCG];
  if (pcg < 0) return;
  const float* D = DiffBuf;
  for (int32_t q0 = NextOnset(1), q; q0 >= 0 && (q = NextOnset(q0 + 1)) >= 0; q0 = q) {
    int32_t s1 = -1, s2 = -1, foot = -1, peak = -1;
    for (int32_t i = q0; i < q; ++i) {
      if (MarkAt(i, pcg) == MARK_PCG_S1) s1 = i;
      if (MarkAt(i, pcg) == MARK_PCG_S2) s2 = i;
      if (MarkAt(i, pos) == MARK_PULSE_FOOT) foot = i;
      if (MarkAt(i, pos) == MARK_PULSE_PEAK) peak = i;
    }
    if (s1 < 0 || s2 < 0 || foot < 0 || peak < 0) continue;
    const int32_t lim = std::min(peak, s2);
    const int32_t lo = foot + 5;
    int32_t found = -1;
    for (int32_t k = lim - 5; k > lo; --k) {
      bool minimum = true;
      for (int j = 1; j <= 4 && minimum; ++j) minimum = D[k] <= D[k + j] && D[k] <= D[k - j];
      if (minimum) {
        found = k;
        break;
      }
    }
    if (found < 0) {
      SetMark(peak + 1, pos, MARK_PULSE_PT);
      continue;
    }
    int32_t P = found + 1;
    float best = -99999.0f;
    for (int32_t j = found + 1; j <= lim - 3; ++j) {
      const float dd = D[j + 1] - D[j];
      if (dd > best) {
        best = dd;
        P = j;
      }
    }
    SetMark(P, pos, MARK_PULSE_P);
  }
}

void TnelDataAna::ProcessTpoint(float* /*x*/, int16_t pos) {
  const int16_t pcg = WaveIndex[WAVE_PCG];
  if (pcg < 0) return;
  for (int32_t i = 1; i < DataLen; ++i) {
    if (MarkAt(i, pcg) != MARK_PCG_S2) continue;
    if (MarkAt(i, pos) == MARK_PULSE_PEAK)
      SetMark(i + 1, pos, MARK_PULSE_PT);
    else
      MarkAt(i, pos) = MARK_PULSE_T;
  }
}

void TnelDataAna::CalculateAIx(float* x, int16_t pos) {
  AIx = -9999;
  if (pos < 0) return;
  double sumA = 0, sumB = 0, maxA = -99999, minA = 99999, maxB = -99999, minB = 99999;
  int32_t count = 0;
  for (int32_t q0 = NextOnset(1), q; q0 >= 0 && (q = NextOnset(q0 + 1)) >= 0; q0 = q) {
    int32_t foot = -1, P = -1, T = -1;
    for (int32_t i = q0 + 1; i <= q - 2; ++i) {
      const uint8_t mk = MarkAt(i, pos);
      if (mk == MARK_PULSE_FOOT) foot = i;
      if (mk == MARK_PULSE_P || mk == MARK_PULSE_PT) P = i;
      if (mk == MARK_PULSE_T || mk == MARK_PULSE_PT) T = i;
    }
    if (foot < 0 || P < 0 || T < 0) continue;
    const double A = x[P] - x[foot];
    const double B = x[T] - x[foot];
    sumA += A;
    sumB += B;
    maxA = std::max(maxA, A);
    minA = std::min(minA, A);
    maxB = std::max(maxB, B);
    minB = std::min(minB, B);
    ++count;
  }
  if (count <= 2) return;
  const double mA = (sumA - maxA - minA) / (count - 2);
  const double mB = (sumB - maxB - minB) / (count - 2);
  if (mB == 0.0) return;
  const double aix = (mB - mA) * 100.0 / mB;
  if (!std::isfinite(aix)) return;
  // Saturates at 16 bits: see docs/decisions.md, "Precision and 16-bit counts".
  AIx = static_cast<int16_t>(std::clamp(std::trunc(aix), -32768.0, 32767.0));
}
