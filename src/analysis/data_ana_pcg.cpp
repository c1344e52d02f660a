// TnelDataAna: first and second heart sound of each beat in the phonocardiogram.
//
// The PCG is turned into a Shannon-energy envelope of its normalised first
// difference; stretches above a threshold taken from the per-second maxima are
// heart-sound candidates. Regular beats with two candidates give the first
// and second sound directly, beats with one candidate complete the pair from
// the envelope, and the mean offsets of those beats place the sounds of the
// remaining beats. A last check removes pairs whose S1-S2 interval is far from
// the trimmed mean.
#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <memory>
#include <new>

#include <nel/analysis/data_ana.h>
#include "analysis/extremes.h"
#include "analysis/heart_sound_envelope.h"

namespace {

struct Stats {
  int32_t sum = 0, count = 0, max = 0, min = 9999;
  void Add(int32_t v) {
    sum += v;
    ++count;
    if (v > max) max = v;
    if (v < min) min = v;
  }
};

// Trimmed mean of st (plain mean up to three values) into out; false when st is empty.
bool TrimmedMeanOf(const Stats& st, int32_t& out) {
  if (st.count > 3)
    out = (st.sum - st.min - st.max) / (st.count - 2);
  else if (st.count > 0)
    out = st.sum / st.count;
  else
    return false;
  return true;
}

}  // namespace

namespace nel::analysis {

bool PcgEnvelope(const float* x, int32_t n, int32_t windowLen, float* d, float* E, int32_t& m) {
  m = 0;
  if (n < 2) return false;
  float g = 0.0f;
  for (int32_t i = 1; i < n; ++i) g = std::max(g, std::fabs(x[i] - x[i - 1]));
  if (g == 0.0f) g = 1.0f;
  for (int32_t i = 1; i < n; ++i) d[i] = (x[i] - x[i - 1]) / g;
  d[0] = d[1];
  // Each sample's energy term is computed once; every window sums its own terms.
  std::unique_ptr<double[]> term(new (std::nothrow) double[n]);
  if (!term) return false;
  for (int32_t i = 0; i < n; ++i) {
    const double s = static_cast<double>(d[i]) * d[i];
    term[i] = s * std::log(s + 1e-8);
  }
  const int32_t w = windowLen < 0 ? 0 : windowLen;
  m = n - w > 0 ? n - w : 0;
  for (int32_t j = 0; j < m; ++j) {
    double e = 0.0;
    for (int32_t k = 0; k < w; ++k) e += term[j + k];
    E[j] = static_cast<float>(-e);
  }
  return true;
}

float PcgThreshold(const float* E, int32_t m, int32_t n, int32_t fs) {
  float B[50] = {};
  for (int32_t j = 0; j < m; ++j) {
    const int32_t b = j / fs;
    if (b >= 50) break;
    B[b] = std::max(B[b], std::fabs(E[j]));
  }
  const int32_t nb = std::min(n / fs, 50);
  // See docs/decisions.md, "Heart-sound arrays and threshold".
  if (nb <= 2) return 5.0f;
  ZeroExtremes(B, nb);
  double S = 0.0;
  for (int32_t i = 0; i < nb; ++i) S += B[i];
  return static_cast<float>(S / (nb - 2) * 0.3);
}

}  // namespace nel::analysis

int32_t TnelDataAna::MF_ProcPCGOtherPCGPoint(const float* y, int32_t len) {
  int32_t p = 1;
  float best = -99999.0f;
  for (int32_t i = 0; i < len - 1; ++i) {
    if (y[i] > best) {
      best = y[i];
      p = i;
    }
  }
  const float t = y[p] * 0.6666667f;
  for (int32_t i = p; i < len; ++i)
    if (y[i] < t) return i;
  return p;
}

bool TnelDataAna::MF_ProcPCGWaveDataAnalysis(float* x) {
  const int32_t n = DataLen;
  const int32_t fs = SampleRate;
  const int16_t pcg = CurWaveIndex;
  if (n <= 1 || fs < 1 || pcg < 0 || WaveData == nullptr) return false;
  const int32_t wE = static_cast<int32_t>(0.05 * fs);
  const int32_t wS = static_cast<int32_t>(0.15 * fs);

  // Arrays sized to the record, the envelope zero up to 2n: see docs/decisions.md, "Heart-sound arrays and threshold".
  std::unique_ptr<float[]> d(new (std::nothrow) float[n]);
  std::unique_ptr<float[]> E(new (std::nothrow) float[2 * static_cast<size_t>(n) + 16]());
  // n >= 2 here, so the envelope fails only for want of memory.
  int32_t m = 0;
  if (!d || !E || !nel::analysis::PcgEnvelope(x, n, wE, d.get(), E.get(), m)) {
    AnaResult = DATAANA_NO_MEMORY;
    return false;
  }

  // P1 to P3: envelope and candidate threshold.
  const float thr = nel::analysis::PcgThreshold(E.get(), m, n, fs);

  MarkPcgCandidates(E.get(), m, thr, wE, wS, pcg);
  int32_t mS1, mS2, bad;
  if (!PcgFirstPass(E.get(), pcg, mS1, mS2, bad)) return false;
  if (bad > 0) PcgFillBeats(E.get(), pcg, mS1, mS2);

  // P8: no candidate stays.
  for (int32_t i = 1; i < n; ++i)
    if (MarkAt(i, pcg) == MARK_PCG_CANDIDATE) MarkAt(i, pcg) = 0;

  DropOffPcgPairs(pcg);
  return true;
}

// P4: candidates, at least wS apart; the envelope must stay below the
// threshold for five samples before the next candidate can start.
void TnelDataAna::MarkPcgCandidates(const float* E, int32_t m, float thr, int32_t wE, int32_t wS, int16_t pcg) {
  auto above = [&](int32_t k) { return k < m && E[k] >= thr; };
  int32_t last = -1;
  for (int32_t j = 0; j < m;) {
    if (E[j] > thr && (last == -1 || j - last + 1 >= wS)) {
      last = j;
      SetMark(j + wE / 2 + 5, pcg, MARK_PCG_CANDIDATE);
      int32_t k = j + 1;
      while (k < m && (above(k) || above(k + 1) || above(k + 2) || above(k + 3) || above(k + 4))) ++k;
      j = k + 1;
    } else {
      ++j;
    }
  }
}

// P5: first pass over the regular beats.
bool TnelDataAna::PcgFirstPass(const float* E, int16_t pcg, int32_t& mS1, int32_t& mS2, int32_t& bad) {
  int32_t pairS1 = 0, pairS2 = 0, pairCount = 0;
  bad = 0;
  Stats first, second;
  for (int32_t q0 = NextOnset(1), q; q0 >= 0 && (q = NextOnset(q0 + 1)) >= 0; q0 = q) {
    const int32_t L = q - q0;
    if (!IsRegularBeat(L)) {
      for (int32_t i = q0; i < q; ++i)
        if (MarkAt(i, pcg) == MARK_PCG_CANDIDATE) MarkAt(i, pcg) = 0;
      continue;
    }
    int32_t count = 0, f = -1, s = -1;
    for (int32_t i = q0; i < q; ++i) {
      if (MarkAt(i, pcg) != MARK_PCG_CANDIDATE) continue;
      ++count;
      if (count == 1) {
        f = i;
        first.Add(f - q0);
      } else if (count == 2) {
        s = i;
        MarkAt(f, pcg) = MARK_PCG_S1;
        MarkAt(s, pcg) = MARK_PCG_S2;
        second.Add(s - q0);
      }
    }
    if (count == 1) {
      int32_t s1, s2;
      CompletePcgPair(E, pcg, q0, L, f, s1, s2);
      pairS1 += s1 - q0;
      pairS2 += s2 - q0;
      ++pairCount;
    } else if (count == 2) {
      pairS1 += f - q0;
      pairS2 += s - q0;
      ++pairCount;
    } else {
      if (f >= 0) MarkAt(f, pcg) = MARK_PCG_CANDIDATE;
      if (s >= 0) MarkAt(s, pcg) = MARK_PCG_CANDIDATE;
      ++bad;
    }
  }

  // P6: mean offsets of the first and second sound from the beat start.
  if (pairCount > 0) {
    mS1 = pairS1 / pairCount;
    mS2 = pairS2 / pairCount;
  } else if (!TrimmedMeanOf(first, mS1) || !TrimmedMeanOf(second, mS2)) {
    return false;
  }
  return true;
}

// A regular beat [q0, q0 + L) with the one candidate f: the candidate is the
// first sound when it lies in the first quarter, the second otherwise, and the
// envelope gives the other.
void TnelDataAna::CompletePcgPair(const float* E, int16_t pcg, int32_t q0, int32_t L, int32_t f, int32_t& s1,
                                  int32_t& s2) {
  const int32_t q4 = L / 4;
  if (f - q0 < q4) {
    MarkAt(f, pcg) = MARK_PCG_S1;
    s2 = f + q4 + MF_ProcPCGOtherPCGPoint(E + f + q4, L / 2);
    SetMark(s2, pcg, MARK_PCG_S2);
    s1 = f;
  } else {
    MarkAt(f, pcg) = MARK_PCG_S2;
    s1 = q0 + MF_ProcPCGOtherPCGPoint(E + q0, q4);
    SetMark(s1, pcg, MARK_PCG_S1);
    s2 = f;
  }
}

// P7: beats still without sounds take the envelope maximum as the sound it
// lies nearer to and the mean offset for the other.
void TnelDataAna::PcgFillBeats(const float* E, int16_t pcg, int32_t mS1, int32_t mS2) {
  const int32_t n = DataLen;
  for (int32_t q0 = NextOnset(1), q; q0 >= 0 && (q = NextOnset(q0 + 1)) >= 0; q0 = q) {
    bool has = false;
    for (int32_t i = q0; i < q && !has; ++i) has = MarkAt(i, pcg) == MARK_PCG_S1 || MarkAt(i, pcg) == MARK_PCG_S2;
    if (has) continue;
    int32_t p = q0;
    for (int32_t i = q0 + 1; i < q; ++i)
      if (E[i] > E[p]) p = i;
    const int32_t o = p - q0;
    int32_t s1, s2;
    if (std::abs(o - mS1) < std::abs(o - mS2)) {
      s1 = p;
      s2 = q0 + mS2;
    } else {
      s2 = p;
      s1 = q0 + mS1;
    }
    if (s1 > 0 && s1 < n) MarkAt(s1, pcg) = MARK_PCG_S1;
    if (s2 > 0 && s2 < n) MarkAt(s2, pcg) = MARK_PCG_S2;
  }
}

// P9: remove pairs whose S1-S2 interval is off the trimmed mean by over 30 %.
void TnelDataAna::DropOffPcgPairs(int16_t pcg) {
  auto lastPair = [&](int32_t q0, int32_t q, int32_t& s1, int32_t& s2) {
    s1 = s2 = -1;
    for (int32_t i = q0; i < q; ++i) {
      if (MarkAt(i, pcg) == MARK_PCG_S1)
        s1 = i;
      else if (MarkAt(i, pcg) == MARK_PCG_S2)
        s2 = i;
    }
    return s1 >= 0 && s2 >= 0;
  };
  Stats gap;
  for (int32_t q0 = NextOnset(1), q; q0 >= 0 && (q = NextOnset(q0 + 1)) >= 0; q0 = q) {
    int32_t s1, s2;
    if (lastPair(q0, q, s1, s2)) gap.Add(s2 - s1);
  }
  if (gap.count > 2) {
    const int32_t M = (gap.sum - gap.min - gap.max) / (gap.count - 2);
    for (int32_t q0 = NextOnset(1), q; q0 >= 0 && (q = NextOnset(q0 + 1)) >= 0; q0 = q) {
      int32_t s1, s2;
      if (!lastPair(q0, q, s1, s2)) continue;
      const int32_t D = s2 - s1;
      if (D < 0.7 * M || D > 1.3 * M) {
        MarkAt(s1, pcg) = 0;
        MarkAt(s2, pcg) = 0;
      }
    }
  }
}
