// TnelProcBPData: construction, entry points, acceptance rule and the KR method.
#include <nel/bp/proc_bp_data.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>

#include "bp/bp_numeric.h"
#include "bp/bp_ratio_tables.h"

float TnelProcBPData::RatioOffset = 0.0f;

namespace {

constexpr int kMinPulses = 3;
constexpr int kMaxPulses = nel::bp::kBPMaxPulseCount;
// Envelope points, the inserted maximum included; the resampling stops one short of it. Bounds of both: see
// docs/decisions.md, "Bad input".
constexpr int kEnvelopeCapacity = 800;
// The parabola scan covers at most 1000 mmHg (0.01 mmHg steps).
constexpr int kMaxScanSteps = 100000;

// Resampling at 1 mmHg steps from the first pulse's pressure down to the
// second-last one's, each value interpolated through three pulses. Once a
// pressure has a bracketing pulse pair, every lower one down to the end has
// one too (the pressures from pulse k on pass it on their way down), so the
// first pressure without one ends the resampling. Returns the number of points.
int ResampleEnvelope(const tagBPV_PULSE_FEATURE_POINT* pulses, int N, tagBPV_PULSE_FEATURE_POINT* env) {
  int n = 0;
  const float pEnd = pulses[N - 2].Pressure;
  float P = pulses[0].Pressure;
  int k = 0;
  while (P >= pEnd && n < kEnvelopeCapacity - 1) {
    while (k < N - 2 && !(pulses[k + 1].Pressure <= P && P <= pulses[k].Pressure)) ++k;
    if (k >= N - 2) break;
    const float a = nel::bp::QuadInterpolate(pulses[k].Pressure, static_cast<float>(pulses[k].Amplitude),
                                             pulses[k + 1].Pressure, static_cast<float>(pulses[k + 1].Amplitude),
                                             pulses[k + 2].Pressure, static_cast<float>(pulses[k + 2].Amplitude), P);
    env[n] = tagBPV_PULSE_FEATURE_POINT{0, 0, nel::bp::TruncTo<int32_t>(a), P};
    ++n;
    P = P - 1.0f;
  }
  return n;
}

// Flattens isolated extremes of a[0..n) (the point `keep` excepted) until
// nothing changes. Each change lowers the sum of the absolute steps between
// neighbours, so the passes end; the bound only guards the time.
void FlattenIsolatedExtremes(int32_t* a, int n, int16_t keep) {
  for (int pass = 0; pass < 4 * kEnvelopeCapacity; ++pass) {
    bool changed = false;
    for (int i = 1; i <= n - 2; ++i) {
      if (i == keep) continue;
      if ((a[i] > a[i - 1] && a[i] > a[i + 1]) || (a[i] < a[i - 1] && a[i] < a[i + 1])) {
        a[i] = static_cast<int32_t>((static_cast<int64_t>(a[i - 1]) + a[i + 1]) / 2);
        changed = true;
      }
    }
    if (!changed) break;
  }
}

// The point of s..e-1 whose amplitude is nearest to target * M (s when s >= e).
int NearestPoint(const int32_t* a, int s, int e, float target, float M) {
  int best = s;
  if (s < e) {
    int64_t bestDiff = -1;
    const float want = target * M;
    for (int k = s; k <= e - 1; ++k) {
      const int64_t diff = std::llabs(nel::bp::TruncTo<int64_t>(static_cast<float>(a[k]) - want));
      if (bestDiff < 0 || diff < bestDiff) {
        bestDiff = diff;
        best = k;
      }
    }
  }
  return best;
}

}  // namespace

TnelProcBPData::TnelProcBPData() : TnelProcBPData(BPVCAL_KR, DATAPROCESS_STANDARD, false, 0.0f) {}

TnelProcBPData::TnelProcBPData(tagTYPE_BPV_CALMETHOD method, tagTYPE_DATAPROCESSMODE mode, bool isToe,
                               float ratioOffset)
    : CalMethod(method), DataProcessMode(mode), IsToe(isToe) {
  MapSBPRatio = 0.0f;
  RatioOffset = ratioOffset;
}

TnelProcBPData::~TnelProcBPData() = default;
TnelProcBPData::TnelProcBPData(const TnelProcBPData&) = default;
TnelProcBPData& TnelProcBPData::operator=(const TnelProcBPData&) = default;

tagBPIM_PARA TnelProcBPData::Result() const { return tagBPIM_PARA{SBPPos, DBPPos, MAPPos, SBP, DBP, MAP, MapSBPRatio}; }

bool TnelProcBPData::Accept(bool methodResult) const {
  if (!methodResult) return false;
  if (SBP == -1 || MAP == -1 || DBP == -1) return false;
  return SBP >= MAP + 3 && DBP <= MAP - 3;
}

bool TnelProcBPData::ProcGetBPData_First(int16_t count, tagBPV_PULSE_FEATURE_POINT* pulses, tagBPV_FILTED_DATA* filted,
                                         tagTYPE_BPVMEASUE_MODE mode) {
  if (pulses == nullptr || count < kMinPulses || count > kMaxPulses) return false;
  bool ok;
  switch (CalMethod) {
    case BPVCAL_KR:
    case BPVCAL_KR1:
    case BPVCAL_KR2: ok = KR_ProcGetBPData(count, pulses, mode, true); break;
    case BPVCAL_SIMCOEFF: ok = SimCoeff_ProcGetBPData(count, pulses, mode, true); break;
    case BPVCAL_MAPCOEFF:
      ok = IsToe ? MapCoeff_ProcGetBPData_Toe(count, pulses, mode)
                 : MapCoeff_ProcGetBPData_First(count, pulses, filted, mode);
      break;
    default: return false;
  }
  return Accept(ok);
}

bool TnelProcBPData::ProcGetBPData_Secondary(int16_t count, tagBPV_PULSE_FEATURE_POINT* pulses, float sbpRatio) {
  if (pulses == nullptr || count < kMinPulses || count > kMaxPulses) return false;
  bool ok;
  switch (CalMethod) {
    case BPVCAL_KR:
    case BPVCAL_KR1:
    case BPVCAL_KR2: ok = KR_ProcGetBPData(count, pulses, BPVMODE_INFLATE, false); break;
    case BPVCAL_SIMCOEFF: ok = SimCoeff_ProcGetBPData(count, pulses, BPVMODE_INFLATE, false); break;
    case BPVCAL_MAPCOEFF: ok = MapCoeff_ProcGetBPData_Secondary(count, pulses, sbpRatio); break;
    default: return false;
  }
  return Accept(ok);
}

// Index of the pulse a pressure value belongs to, with pressure falling along
// the array: the first pulse below v or the one before it, whichever is nearer
// (a tie goes to the lower-pressure pulse).
int16_t TnelProcBPData::NearestPulse(const tagBPV_PULSE_FEATURE_POINT* pulses, int16_t count, float v) const {
  for (int i = 0; i < count; ++i) {
    if (pulses[i].Pressure < v) {
      if (i == 0) return 0;
      return static_cast<int16_t>(v - pulses[i].Pressure <= pulses[i - 1].Pressure - v ? i : i - 1);
    }
  }
  return static_cast<int16_t>(count - 1);
}

bool TnelProcBPData::KR_ProcGetBPData(int16_t count, tagBPV_PULSE_FEATURE_POINT* pulses, tagTYPE_BPVMEASUE_MODE mode,
                                      bool firstCall) {
  const int N = count;
  Pulse = pulses;
  PulseNum = count;
  SBPRatioHigh = SBPRatioLow = DBPRatioHigh = DBPRatioLow = 0.0f;

  if (firstCall && mode == BPVMODE_INFLATE) nel::bp::ReversePulses(pulses, N);

  tagBPV_PULSE_FEATURE_POINT env[kEnvelopeCapacity];
  int n = ResampleEnvelope(pulses, N, env);
  PulseNum = static_cast<int16_t>(n);

  SmoothPulse(static_cast<int16_t>(n), env);
  int m = nel::bp::FirstMaximum(env, n);

  // The maximum must leave room for the fit (limb) or for a neighbour on each
  // side (toe); an empty or short envelope fails here.
  if (IsToe ? (m < 2 || m > n - 2) : (m < 3 || m > n - 4)) return false;

  if (m <= n - 4) {
    FitEnvelopeMaximum(env, n, m);
  } else {
    // Toe cuff with the maximum on the third-last or second-last point.
    MAP = nel::bp::TruncTo<int16_t>(std::floor(env[m].Pressure + 0.5));
    MaxAmplitude = env[m].Amplitude;
  }
  MAPPos = static_cast<int16_t>(m);

  KR_GetProductRatio(MAP, &SBPRatioHigh, &SBPRatioLow, &DBPRatioHigh, &DBPRatioLow);
  const float sbpTarget = static_cast<float>((SBPRatioHigh + SBPRatioLow) * 0.5);
  const float dbpTarget = static_cast<float>((DBPRatioHigh + DBPRatioLow) * 0.5);

  CountApproachingCoeffValue(env, MaxAmplitude, 0, static_cast<int16_t>(m - 1), sbpTarget, &SBPIndex, &SBPPressure,
                             kBackward);
  CountApproachingCoeffValue(env, MaxAmplitude, static_cast<int16_t>(m + 1), static_cast<int16_t>(n - 1), dbpTarget,
                             &DBPIndex, &DBPPressure, kForward);
  SBP = nel::bp::TruncTo<int16_t>(SBPPressure);
  DBP = nel::bp::TruncTo<int16_t>(DBPPressure);

  SBPPos = NearestPulse(pulses, count, SBP);
  DBPPos = NearestPulse(pulses, count, DBP);
  // The pulse nearest MAP: see docs/decisions.md, "KR crossings and positions".
  MAPPos = NearestPulse(pulses, count, MAP);

  return SBP != -1 && DBP != -1;
}

// Limb envelope (maximum m at most the fourth-last of its n points): MAP and
// MaxAmplitude from a parabola fitted around the maximum, whose peak is
// inserted into the envelope when it lies inside it.
void TnelProcBPData::FitEnvelopeMaximum(tagBPV_PULSE_FEATURE_POINT* env, int& n, int& m) {
  // Fit points m - 2, m, m + 2 and m + 4, or the last point when m + 4 does not exist.
  // See docs/decisions.md, "KR maximum fit".
  const int far = std::min(m + 4, n - 1);
  const int idx[4] = {m - 2, m, m + 2, far};
  double x[4], y[4];
  for (int j = 0; j < 4; ++j) {
    x[j] = env[idx[j]].Pressure;
    y[j] = env[idx[j]].Amplitude;
  }
  double c[3];
  nel::bp::PolyFit(x, y, 4, 3, c, nullptr, nullptr, nullptr);
  const double mean = (x[0] + x[1] + x[2] + x[3]) / 4;

  const nel::bp::PeakScan peak =
      nel::bp::ParabolaPeakScan(c, mean, x[0], x[3], static_cast<float>(env[m - 2].Amplitude), kMaxScanSteps);
  const float bestValue = peak.value;
  const float bestPressure = peak.pressure;
  MAP = nel::bp::TruncTo<int16_t>(bestPressure + 0.5);
  MaxAmplitude = nel::bp::TruncTo<int32_t>(bestValue);

  int at = 0;
  while (at < n && !(env[at].Pressure < bestPressure)) ++at;
  if (at < n) {
    for (int j = n; j > at; --j) env[j] = env[j - 1];
    env[at] = tagBPV_PULSE_FEATURE_POINT{0, 0, MaxAmplitude, bestPressure};
    ++n;
    PulseNum = static_cast<int16_t>(n);
    m = nel::bp::FirstMaximum(env, n);
  }
}

void TnelProcBPData::SmoothPulse(int16_t count, tagBPV_PULSE_FEATURE_POINT* points) {
  const int n = count;
  if (n <= 3 || points == nullptr) return;
  int32_t a[kEnvelopeCapacity];
  const int len = std::min(n, kEnvelopeCapacity);
  for (int i = 0; i < len; ++i) a[i] = points[i].Amplitude;
  // Sums in 64 bits: the same integers as 32-bit sums for real amplitudes, and
  // no overflow for corrupt ones; every weighted mean fits back into 32 bits.
  auto at = [&](int i) { return static_cast<int64_t>(a[i]); };
  auto put = [&](int i, int64_t sum, int64_t div) { points[i].Amplitude = static_cast<int32_t>(sum / div); };
  if (len >= 6) {
    put(0, at(0) + 2 * (at(1) + at(2)), 5);
    put(1, at(1) + 2 * (at(0) + at(2) + at(3)), 7);
    for (int i = 2; i <= len - 3; ++i) put(i, at(i) + 2 * (at(i - 2) + at(i - 1) + at(i + 1) + at(i + 2)), 9);
    put(len - 2, at(len - 2) + 2 * (at(len - 4) + at(len - 3) + at(len - 1)), 7);
    put(len - 1, at(len - 1) + 2 * (at(len - 3) + at(len - 2)), 5);
  } else {
    put(0, at(0) + 2 * at(1), 3);
    for (int i = 1; i <= len - 2; ++i) put(i, at(i) + 2 * (at(i - 1) + at(i + 1)), 5);
    put(len - 1, at(len - 1) + 2 * at(len - 2), 3);
  }
}

float TnelProcBPData::KR_GetProductRatio(int16_t map, float* sbpHigh, float* sbpLow, float* dbpHigh,
                                         float* dbpLow) const {
  // The data process mode and the toe flag select nothing here.
  const nel::bp::KrSideRatio r = nel::bp::kKrRatio[nel::bp::MapBand(map)];
  const float off = RatioOffset;
  const auto high = [off](float ratio) { return static_cast<float>(ratio + off + 0.2); };
  const auto low = [off](float ratio) { return static_cast<float>(ratio - 0.2 + off); };
  if (sbpHigh != nullptr) *sbpHigh = high(r.sbp);
  if (sbpLow != nullptr) *sbpLow = low(r.sbp);
  if (dbpHigh != nullptr) *dbpHigh = high(r.dbp);
  if (dbpLow != nullptr) *dbpLow = low(r.dbp);
  return high(r.sbp);
}

bool TnelProcBPData::CountApproachingCoeffValue(const tagBPV_PULSE_FEATURE_POINT* points, int32_t maxAmplitude,
                                                int16_t start, int16_t end, float target, int16_t* outIndex,
                                                float* outPressure, SearchDirection direction) const {
  *outIndex = 0;
  *outPressure = -1.0f;
  const int n = std::clamp<int>(PulseNum, 0, kEnvelopeCapacity);
  // Every index read below lies in [0, n); callers stay inside, this only
  // guards against a start or end beyond the points.
  const int s = std::clamp<int>(start, 0, std::max(n - 1, 0));
  const int e = std::clamp<int>(end, -1, n - 1);
  if (n == 0) return true;

  // Isolated extremes are flattened, the maximum excepted.
  int32_t a[kEnvelopeCapacity];
  for (int i = 0; i < n; ++i) a[i] = points[i].Amplitude;
  FlattenIsolatedExtremes(a, n, MAPPos);

  const float M = static_cast<float>(maxAmplitude);
  auto ratio = [&](int k) { return static_cast<float>(a[k]) / M; };
  auto encloses = [&](int k) {
    const float r0 = ratio(k), r1 = ratio(k + 1);
    return (r0 <= target && target <= r1) || (r1 <= target && target <= r0);
  };
  auto crossing = [&](int k) {
    const float r0 = ratio(k), r1 = ratio(k + 1);
    const float p0 = points[k].Pressure, p1 = points[k + 1].Pressure;
    *outIndex = static_cast<int16_t>(k);
    // A segment lying on the target gives point k: see docs/decisions.md, "KR crossings and positions".
    *outPressure = r1 == r0 ? p0 : p0 + (target - r0) * (p1 - p0) / (r1 - r0);
    return true;
  };
  if (direction == kBackward) {
    for (int k = e - 1; k >= s + 1; --k)
      if (encloses(k)) return crossing(k);
  } else {
    for (int k = s; k <= e - 1; ++k)
      if (encloses(k)) return crossing(k);
  }

  // No segment encloses the target: the point nearest to it.
  const int best = NearestPoint(a, s, e, target, M);
  *outIndex = static_cast<int16_t>(best);
  *outPressure = points[best].Pressure;
  return true;
}
