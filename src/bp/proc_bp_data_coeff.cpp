// TnelProcBPData: the fixed-coefficient and MAP-coefficient methods.
#include <algorithm>
#include <cmath>
#include <span>

#include <nel/bp/proc_bp_data.h>
#include "bp/bp_numeric.h"
#include "bp/bp_ratio_tables.h"
#include "dsp/filter_design.h"

namespace {

constexpr int kFilterWorkLength = 1600;     // work array of the amplitude low-pass
constexpr float kPulseFilterCutoff = 5.0f;  // cycles over the pulse sequence
constexpr int kMaxRuns = 5;                 // closed in-band runs examined by SearchBPValue

// Runs of consecutive in-band pulses in [s0, e0]; a run is closed by the first
// pulse after it that is out of the band. The longest closed run, else the open
// one, goes to [rs, re]; false when no pulse is in the band.
bool InBandRun(const tagBPV_PULSE_FEATURE_POINT* p, int s0, int e0, float TL, float TH, int& rs, int& re) {
  int runFirst[kMaxRuns], runLast[kMaxRuns];
  int closed = 0;
  int openFirst = -1, openLast = -1;
  for (int i = s0; i <= e0 && closed < kMaxRuns; ++i) {
    const float a = static_cast<float>(p[i].Amplitude);
    if (TL <= a && a <= TH) {
      if (openFirst < 0) openFirst = i;
      openLast = i;
    } else if (openFirst >= 0) {
      runFirst[closed] = openFirst;
      runLast[closed] = openLast;
      ++closed;
      openFirst = -1;
    }
  }
  if (closed > 0) {
    int best = 0;
    for (int r = 1; r < closed; ++r)
      if (runLast[r] - runFirst[r] > runLast[best] - runFirst[best]) best = r;
    rs = runFirst[best];
    re = runLast[best];
  } else if (openFirst >= 0) {
    rs = openFirst;
    re = openLast;
  } else {
    return false;
  }
  return true;
}

// Steepest rise towards the maximum.
void SteepestRise(const tagBPV_PULSE_FEATURE_POINT* p, int s, int e, int c, int16_t* outPos, int16_t* outPressure) {
  int k = s;
  int best = 0;
  for (int i = e; i >= s + 1; --i) {
    const auto d = static_cast<int16_t>(static_cast<int64_t>(p[i].Amplitude) - p[i - 1].Amplitude);
    if (d >= 0 && d >= best) {
      best = d;
      k = i;
    }
  }
  if (best <= 1) k = (s <= c && c <= e) ? c : (s + e) / 2;
  *outPos = static_cast<int16_t>(k);
  if (c > k)
    *outPressure = nel::bp::TruncTo<int16_t>((p[k + 1].Pressure + p[k].Pressure) * 0.5);
  else if (c < k)
    *outPressure = nel::bp::TruncTo<int16_t>((p[k].Pressure + p[k - 1].Pressure) * 0.5);
  else
    *outPressure = nel::bp::TruncTo<int16_t>(p[k].Pressure);
}

// Diastolic side: largest relative drop; a zero-amplitude pulse is passed over.
// See docs/decisions.md, "Coefficient-method edge cases".
void LargestRelativeDrop(const tagBPV_PULSE_FEATURE_POINT* p, int s, int e, int c, int16_t* outPos,
                         int16_t* outPressure) {
  int k = -1;
  float best = -9999.0f;
  for (int i = s; i <= e - 2; ++i) {
    if (p[i].Amplitude == 0) continue;
    const float drop = static_cast<float>(p[i].Amplitude - static_cast<int64_t>(p[i + 1].Amplitude)) /
                       static_cast<float>(p[i].Amplitude);
    if (drop > best) {
      best = drop;
      k = i;
    }
  }
  if (k < 0) return;
  *outPos = static_cast<int16_t>(k);
  if (c > k)
    *outPressure = nel::bp::TruncTo<int16_t>((p[k + 1].Pressure + p[k].Pressure + 1) * 0.5);
  else if (c < k)
    *outPressure = nel::bp::TruncTo<int16_t>((p[k].Pressure + p[k - 1].Pressure + 1) * 0.5);
  else
    *outPressure = nel::bp::TruncTo<int16_t>(p[k].Pressure);
}

}  // namespace

void TnelProcBPData::ResetResult(int16_t count, tagBPV_PULSE_FEATURE_POINT* pulses) {
  SBPPos = DBPPos = MAPPos = 0;
  SBP = DBP = MAP = -1;
  PulseNum = count;
  Pulse = pulses;
}

void TnelProcBPData::MapCoeff_PulseFilte(int16_t count, tagBPV_PULSE_FEATURE_POINT* pulses, float cutoff) {
  const int N = count;
  if (N < 10 || N > nel::bp::kBPMaxPulseCount) return;
  // Cut-off as a fraction of the per-pulse rate; half the rate or more, or a cut-off the design rejects, leaves
  // the amplitudes as they are.
  // See docs/decisions.md, "Coefficient-method edge cases".
  const float relative = cutoff / static_cast<float>(N);
  double taps[nel::bp::kBPMaxPulseCount];
  if (!(relative < 0.5f) || !nel::dsp::DesignLowpass(relative, std::span<double>(taps, static_cast<size_t>(N)))) {
    return;
  }
  // The amplitudes, zero-padded to the work length, through the N-tap filter
  // from a zero state; output i + N/2 is pulse i's new amplitude (the filter's
  // delay taken out). Only those outputs are computed: each depends on inputs
  // up to its own index alone, so they equal those of filtering the whole
  // work array. Sums run from tap 0 upwards in double precision.
  double work[kFilterWorkLength] = {};
  for (int i = 0; i < N; ++i) work[i] = pulses[i].Amplitude;
  for (int i = 0; i < N; ++i) {
    const int out = i + N / 2;
    double y = 0.0;
    for (int k = 0; k < N && k <= out; ++k) y += taps[k] * work[out - k];
    pulses[i].Amplitude = nel::bp::TruncTo<int32_t>(y);
  }
}

int TnelProcBPData::ChooseMaximum(int16_t count, tagBPV_PULSE_FEATURE_POINT* pulses) {
  const int N = count;
  int32_t raw[nel::bp::kBPMaxPulseCount];
  for (int i = 0; i < N; ++i) raw[i] = pulses[i].Amplitude;
  const int m0 = nel::bp::FirstMaximum(pulses, N);
  MapCoeff_PulseFilte(count, pulses, kPulseFilterCutoff);
  const int m1 = nel::bp::FirstMaximum(pulses, N);
  if (m1 < 1 || m1 > N - 2) return -1;
  const int m = std::abs(m1 - m0) <= 2 ? m0 : m1;
  pulses[m].Amplitude = raw[m];
  if (m > 0) pulses[m - 1].Amplitude = raw[m - 1];
  if (m < N - 1) pulses[m + 1].Amplitude = raw[m + 1];
  return m;
}

bool TnelProcBPData::SimCoeff_ProcGetBPData(int16_t count, tagBPV_PULSE_FEATURE_POINT* pulses,
                                            tagTYPE_BPVMEASUE_MODE mode, bool firstCall) {
  const int N = count;
  ResetResult(count, pulses);
  if (firstCall) {
    if (ChooseMaximum(count, pulses) < 0) return false;
    if (mode == BPVMODE_INFLATE) nel::bp::ReversePulses(pulses, N);
  }
  MAPPos = static_cast<int16_t>(nel::bp::FirstMaximum(pulses, N - 1));
  MAP = nel::bp::TruncTo<int16_t>(pulses[MAPPos].Pressure);
  MaxAmplitude = pulses[MAPPos].Amplitude;
  SimCoeff_GetProductRatio(MAP, &SBPRatioHigh, &SBPRatioLow, &DBPRatioHigh, &DBPRatioLow);
  SearchBPValue(SBPRatioHigh, SBPRatioLow, 1, static_cast<int16_t>(MAPPos - 1), &SBPPos, &SBP, true);
  SearchBPValue(DBPRatioHigh, DBPRatioLow, static_cast<int16_t>(MAPPos + 1), static_cast<int16_t>(N - 1), &DBPPos, &DBP,
                false);
  return true;
}

float TnelProcBPData::SimCoeff_GetProductRatio(int16_t map, float* sbpHigh, float* sbpLow, float* dbpHigh,
                                               float* dbpLow) const {
  const nel::bp::SimCoeffBand b = nel::bp::kSimCoeffBand[nel::bp::MapBand(map)];
  const float g = RatioOffset;
  // The offset widens both bands.
  const float dl = static_cast<float>(b.dbpLow - 0.05 - g);
  if (sbpHigh != nullptr) *sbpHigh = static_cast<float>(b.sbpHigh + g + 0.05);
  if (sbpLow != nullptr) *sbpLow = static_cast<float>(b.sbpLow - 0.05 - g);
  if (dbpHigh != nullptr) *dbpHigh = static_cast<float>(b.dbpHigh + g + 0.05);
  if (dbpLow != nullptr) *dbpLow = dl;
  return dl;
}

bool TnelProcBPData::MapCoeff_ProcGetBPData_First(int16_t count, tagBPV_PULSE_FEATURE_POINT* pulses,
                                                  const tagBPV_FILTED_DATA* filted, tagTYPE_BPVMEASUE_MODE mode) {
  const int N = count;
  ResetResult(count, pulses);
  const int m = ChooseMaximum(count, pulses);
  if (m < 0) return false;

  // Shape ratio: mean height of the largest pulse over its period (from its
  // foot to the next pulse's foot) relative to its amplitude; without a measurable period there is none (NaN).
  // See docs/decisions.md, "Coefficient-method edge cases".
  float ratio = NAN;
  if (filted != nullptr && m + 1 < N) {
    const int a = pulses[m].FootPos;
    const int b = pulses[m + 1].FootPos;
    if (a >= 0 && b > a && b <= nel::bp::kBPMaxFiltedCount) {
      float sum = 0.0f;
      for (int j = a; j < b; ++j)
        sum += static_cast<float>(static_cast<int64_t>(filted[j].OscSmooth) - filted[a].OscSmooth);
      ratio = sum / static_cast<float>(b - a) / static_cast<float>(pulses[m].Amplitude);
    }
  }
  MapSBPRatio = ratio;
  float upper, lower;
  const float middle = MapCoeff_GetSBPProductRatio(nel::bp::TruncTo<int16_t>(pulses[m].Pressure), &upper, &lower);
  // Written as "not inside the band" so that a missing (NaN) ratio is outside.
  if (!(MapSBPRatio >= lower && MapSBPRatio <= upper)) MapSBPRatio = middle;

  if (mode == BPVMODE_INFLATE) nel::bp::ReversePulses(pulses, N);
  return MapCoeff_ProcGetBPData_Secondary(count, pulses, MapSBPRatio);
}

bool TnelProcBPData::MapCoeff_ProcGetBPData_Toe(int16_t count, tagBPV_PULSE_FEATURE_POINT* pulses,
                                                tagTYPE_BPVMEASUE_MODE mode) {
  const int N = count;
  ResetResult(count, pulses);
  const int m = ChooseMaximum(count, pulses);
  if (m < 0) return false;
  MapSBPRatio = MapCoeff_GetSBPProductRatio(nel::bp::TruncTo<int16_t>(pulses[m].Pressure), nullptr, nullptr);
  if (mode == BPVMODE_INFLATE) nel::bp::ReversePulses(pulses, N);
  return MapCoeff_ProcGetBPData_Secondary(count, pulses, MapSBPRatio);
}

bool TnelProcBPData::MapCoeff_ProcGetBPData_Secondary(int16_t count, tagBPV_PULSE_FEATURE_POINT* pulses,
                                                      float sbpRatio) {
  const int N = count;
  ResetResult(count, pulses);
  const int m = nel::bp::FirstMaximum(pulses, N);
  MAPPos = static_cast<int16_t>(m);
  if (m < 1 || m > N - 2) return false;
  MAP = nel::bp::TruncTo<int16_t>(pulses[m].Pressure);
  MaxAmplitude = pulses[m].Amplitude;

  float s = sbpRatio;
  float upper, lower;
  const float middle = MapCoeff_GetSBPProductRatio(MAP, &upper, &lower);
  if (!(s >= lower && s <= upper)) s = middle;
  float ka, kd;
  MapCoeff_GetAdjustRatio(MAP, &ka, &kd);
  const float X = (1 + ka) * s;
  const float Y = (1 + kd) * (1 - s);
  SBPRatioHigh = static_cast<float>(1.3 * X);
  SBPRatioLow = static_cast<float>(0.7 * X);
  DBPRatioHigh = static_cast<float>(1.3 * Y);
  DBPRatioLow = static_cast<float>(0.7 * Y);
  SearchBPValue(SBPRatioHigh, SBPRatioLow, 1, static_cast<int16_t>(m - 1), &SBPPos, &SBP, true);
  SearchBPValue(DBPRatioHigh, DBPRatioLow, static_cast<int16_t>(m + 1), static_cast<int16_t>(N - 1), &DBPPos, &DBP,
                false);
  return true;
}

float TnelProcBPData::MapCoeff_GetSBPProductRatio(int16_t map, float* upper, float* lower) const {
  const nel::bp::ShapeRatioBand b = nel::bp::kShapeRatioBand[nel::bp::MapBand(map)];
  if (upper != nullptr) *upper = b.upper;
  if (lower != nullptr) *lower = b.lower;
  return static_cast<float>((b.upper + b.lower) * 0.5);
}

void TnelProcBPData::MapCoeff_GetAdjustRatio(int16_t map, float* sbpAdjust, float* dbpAdjust) const {
  const nel::bp::AdjustRatio r = nel::bp::kAdjustRatio[nel::bp::MapBand(map)];
  if (sbpAdjust != nullptr) *sbpAdjust = r.sbp + RatioOffset;
  if (dbpAdjust != nullptr) *dbpAdjust = r.dbp + RatioOffset;
}

// Returns 1 when the value came from an in-band run, 0 when from the crossing
// over the whole range (no pulse in the band); the callers ignore it.
int16_t TnelProcBPData::SearchBPValue(float high, float low, int16_t start, int16_t end, int16_t* outPos,
                                      int16_t* outPressure, bool systolic) {
  const tagBPV_PULSE_FEATURE_POINT* p = Pulse;
  const SearchDirection dir = systolic ? kBackward : kForward;
  const float target = static_cast<float>((high + low) * 0.5);
  const float H = high > 0.75f ? 0.75f : high;
  const float L = low < 0.3f ? 0.3f : low;
  const float TH = static_cast<float>(MaxAmplitude) * H;
  const float TL = static_cast<float>(MaxAmplitude) * L;

  int rs, re;
  if (!InBandRun(p, std::max<int>(start, 0), std::min<int>(end, PulseNum - 1), TL, TH, rs, re)) {
    int16_t k;
    float q;
    CountApproachingCoeffValue(p, MaxAmplitude, start, end, target, &k, &q, dir);
    *outPos = k;
    *outPressure = nel::bp::TruncTo<int16_t>(std::floor(q));
    return 0;
  }

  int16_t ci;
  float q;
  CountApproachingCoeffValue(p, MaxAmplitude, static_cast<int16_t>(rs), static_cast<int16_t>(re), target, &ci, &q, dir);
  const int c = ci;
  *outPos = ci;
  *outPressure = nel::bp::TruncTo<int16_t>(std::floor(q));
  if (MAP <= 70) return 1;

  // Narrowing to the pulses around the crossing.
  const int w = std::clamp((end - start) / 10, 2, 3);
  const int s = std::max(rs, c - w);
  const int e = std::min(re, c + w);
  if (e - s < 2) {
    const int k = (s + e) / 2;
    *outPos = static_cast<int16_t>(k);
    *outPressure = nel::bp::TruncTo<int16_t>(p[k].Pressure);
    return 1;
  }

  if (systolic)
    SteepestRise(p, s, e, c, outPos, outPressure);
  else
    LargestRelativeDrop(p, s, e, c, outPos, outPressure);
  return 1;
}
