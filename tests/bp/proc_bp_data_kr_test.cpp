// The KR method end to end on pulse lists whose results are derived by hand or
// by an independent computation, and its steps on hand-worked examples.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include <nel/bp/proc_bp_data.h>
#include "bp_test_support.h"
#include "proc_bp_data_peer.h"

namespace {

using bptest::Amps;
using bptest::Falling;
using bptest::Pt;
using Peer = TnelProcBPDataTestPeer;

// 32 pulses from 150 mmHg down, 1 mmHg apart, on the parabola
// a(i) = 40000 - 144 (i - 15.25)^2 (integer coefficients: 40000 - 144 x^2 + 72 x - 9
// with x = i - 15). Inside the envelope (indices 2 to n - 3) the smoothing
// kernel (weights 1, 2, 2, 2, 2 over offsets 0, +-1, +-2; sum of w j^2 = 20)
// lowers a parabola by 144 * 20 / 9 = 320 exactly, so the fitted peak is at
// pressure 150 - 15.25 = 134.75 with value 39680.
constexpr int kParabolaCount = 32;
constexpr double kVertexIndex = 15.25;
constexpr double kPeakValue = 39680.0;

std::vector<Pt> ParabolaPulses() {
  std::vector<int32_t> amps;
  for (int i = 0; i < kParabolaCount; ++i) {
    const int x = i - 15;
    amps.push_back(40000 - 144 * x * x + 72 * x - 9);
  }
  return Falling(150.0f, amps);
}

double SmoothedParabola(int i) { return kPeakValue - 144.0 * (i - kVertexIndex) * (i - kVertexIndex); }

// Crossing of the smoothed parabola with target * peak, interpolated linearly
// between neighbouring envelope points (pressure 150 - i), on the rising
// (systolic) or falling (diastolic) side.
double ParabolaCrossing(double target, bool systolic) {
  for (int i = systolic ? 14 : 16; systolic ? i >= 2 : i <= 28; i += systolic ? -1 : 1) {
    const int j = systolic ? i + 1 : i - 1;  // the point nearer the peak
    const double rNear = SmoothedParabola(j) / kPeakValue, rFar = SmoothedParabola(i) / kPeakValue;
    if ((rFar - target) * (rNear - target) <= 0) {
      const double pFar = 150.0 - i, pNear = 150.0 - j;
      return pFar + (target - rFar) * (pNear - pFar) / (rNear - rFar);
    }
  }
  return -1000;
}

// Packed records may sit at odd addresses; their fields are compared by value
// (unary +), never bound to a reference.
struct Outcome {
  tagBPIM_PARA r;
  bool ok;
};

Outcome RunFirst(TnelProcBPData& d, std::vector<Pt>& v, tagTYPE_BPVMEASUE_MODE mode) {
  const bool ok = d.ProcGetBPData_First(static_cast<int16_t>(v.size()), v.data(), nullptr, mode);
  return {d.Result(), ok};
}

void ExpectSameResult(const tagBPIM_PARA& a, const tagBPIM_PARA& b) {
  EXPECT_EQ(+a.SBP, +b.SBP);
  EXPECT_EQ(+a.DBP, +b.DBP);
  EXPECT_EQ(+a.MAP, +b.MAP);
  EXPECT_EQ(+a.SBPPos, +b.SBPPos);
  EXPECT_EQ(+a.DBPPos, +b.DBPPos);
  EXPECT_EQ(+a.MAPPos, +b.MAPPos);
}

// ---- results on a parabolic envelope ---------------------------------------

TEST(KrMethod, ParabolicEnvelopeGivesVertexAndRatioCrossings) {
  TnelProcBPData d(BPVCAL_KR, DATAPROCESS_STANDARD, false, 0.0f);
  auto v = ParabolaPulses();
  const Outcome o = RunFirst(d, v, BPVMODE_DEFLATE);
  ASSERT_TRUE(o.ok);
  // MAP is rounded half up: 134.75 gives 135 (truncation would give 134).
  EXPECT_EQ(+o.r.MAP, 135);
  EXPECT_EQ(d.MaxAmplitude, 39680);
  // MAP 135 lies in the 104-140 band: ratios 0.5434 (systolic) and 0.59.
  EXPECT_FLOAT_EQ(d.SBPRatioHigh, 0.7434f);
  EXPECT_FLOAT_EQ(d.DBPRatioLow, 0.39f);
  const double sbp = ParabolaCrossing(0.5434, true);  // about 145.97
  const double dbp = ParabolaCrossing(0.59, false);   // about 124.13
  EXPECT_NEAR(d.SBPPressure, sbp, 2e-3);
  EXPECT_NEAR(d.DBPPressure, dbp, 2e-3);
  // Crossing pressures are truncated: 145.97 gives 145, 124.13 gives 124.
  EXPECT_EQ(+o.r.SBP, static_cast<int>(sbp));
  EXPECT_EQ(+o.r.SBP, 145);
  EXPECT_EQ(+o.r.DBP, 124);
  // Pulse i lies at 150 - i mmHg.
  EXPECT_EQ(+o.r.SBPPos, 5);
  EXPECT_EQ(+o.r.DBPPos, 26);
  // MAPPos names the pulse nearest MAP (135 mmHg: pulse 15), not the envelope
  // index of the maximum (16 after the refined peak was inserted).
  EXPECT_EQ(+o.r.MAPPos, 15);
  EXPECT_EQ(+o.r.MapSBPRatio, 0.0f);
  // The envelope (31 resampled points and the inserted peak) was worked on.
  EXPECT_EQ(d.PulseNum, 32);
}

TEST(KrMethod, InflationListsAreReversedInPlaceAndPositionsIndexTheReversedArray) {
  const auto falling = ParabolaPulses();
  TnelProcBPData d;
  auto deflate = falling;
  const Outcome od = RunFirst(d, deflate, BPVMODE_DEFLATE);
  ASSERT_TRUE(od.ok);
  EXPECT_TRUE(bptest::SameList(deflate, falling)) << "a deflation list keeps its order";

  auto inflate = bptest::Reversed(falling);  // recognition order: pressure rising
  const Outcome oi = RunFirst(d, inflate, BPVMODE_INFLATE);
  ASSERT_TRUE(oi.ok);
  EXPECT_TRUE(bptest::SameList(inflate, falling)) << "the caller keeps the reversed order";
  ExpectSameResult(oi.r, od.r);
  EXPECT_EQ(inflate[oi.r.SBPPos].Pressure, 145.0f);

  // The secondary call never reverses: a falling list gives the same result
  // and stays as it is; a rising one has an empty envelope and fails.
  auto secondary = falling;
  EXPECT_TRUE(d.ProcGetBPData_Secondary(kParabolaCount, secondary.data(), 0.0f));
  ExpectSameResult(d.Result(), od.r);
  EXPECT_TRUE(bptest::SameList(secondary, falling));
  auto rising = bptest::Reversed(falling);
  TnelProcBPData fresh;
  EXPECT_FALSE(fresh.ProcGetBPData_Secondary(kParabolaCount, rising.data(), 0.0f));
  EXPECT_TRUE(bptest::SameList(rising, bptest::Reversed(falling)));
  EXPECT_EQ(fresh.PulseNum, 0);
}

TEST(KrMethod, TheThreeKrValuesGiveIdenticalResults) {
  const auto base = ParabolaPulses();
  tagBPIM_PARA first{};
  for (auto m : {BPVCAL_KR, BPVCAL_KR1, BPVCAL_KR2}) {
    TnelProcBPData d(m, DATAPROCESS_RAW, false, 0.0f);
    auto v = base;
    const Outcome o = RunFirst(d, v, BPVMODE_DEFLATE);
    ASSERT_TRUE(o.ok) << m;
    if (m == BPVCAL_KR) first = o.r;
    ExpectSameResult(o.r, first);
  }
}

TEST(KrMethod, RatioOffsetIsProcessWideAndMovesBothCrossings) {
  TnelProcBPData first(BPVCAL_KR, DATAPROCESS_STANDARD, false, 0.0f);
  auto v = ParabolaPulses();
  ASSERT_TRUE(RunFirst(first, v, BPVMODE_DEFLATE).ok);
  EXPECT_EQ(first.SBP, 145);
  EXPECT_EQ(first.DBP, 124);

  // A second construction changes the first object's next result.
  TnelProcBPData second(BPVCAL_KR, DATAPROCESS_STANDARD, false, 0.1f);
  EXPECT_FLOAT_EQ(TnelProcBPData::RatioOffset, 0.1f);
  v = ParabolaPulses();
  ASSERT_TRUE(RunFirst(first, v, BPVMODE_DEFLATE).ok);
  // Targets 0.6434 and 0.69: both crossings move towards the maximum.
  const double sbp = ParabolaCrossing(0.6434, true);  // about 144.66
  const double dbp = ParabolaCrossing(0.69, false);   // about 125.52
  EXPECT_NEAR(first.SBPPressure, sbp, 2e-3);
  EXPECT_NEAR(first.DBPPressure, dbp, 2e-3);
  EXPECT_EQ(first.SBP, 144);
  EXPECT_EQ(first.DBP, 125);
  EXPECT_EQ(first.MAP, 135);

  // The default constructor stores an offset of 0 again.
  TnelProcBPData third;
  EXPECT_EQ(TnelProcBPData::RatioOffset, 0.0f);
  v = ParabolaPulses();
  ASSERT_TRUE(RunFirst(first, v, BPVMODE_DEFLATE).ok);
  EXPECT_EQ(first.SBP, 145);
}

// ---- where the maximum may lie -------------------------------------------

TEST(KrMethod, ShortEnvelopesFailThePositionCheck) {
  TnelProcBPData d;
  // Three pulses: the envelope runs from the first pulse's pressure down to the
  // second's. 120 to 115 gives 6 points, one short of a limb cuff's 7.
  auto shortList = std::vector<Pt>{{0, 0, 8820, 120.0f}, {0, 0, 8820, 115.0f}, {0, 0, 3220, 100.0f}};
  EXPECT_FALSE(RunFirst(d, shortList, BPVMODE_DEFLATE).ok);
  EXPECT_EQ(d.PulseNum, 6);
  EXPECT_EQ(d.MAP, -1) << "no peak refinement after a failed position check";

  // 120 to 114 gives 7 points on 9000 - 20 (p - 117)^2; smoothed, the maximum
  // is point 3 = n - 4, which a limb cuff accepts.
  TnelProcBPData e;
  auto seven = std::vector<Pt>{{0, 0, 8820, 120.0f}, {0, 0, 8820, 114.0f}, {0, 0, 3220, 100.0f}};
  RunFirst(e, seven, BPVMODE_DEFLATE);
  EXPECT_EQ(e.PulseNum, 8) << "7 points and the inserted peak";
  EXPECT_GE(e.MAP, 114);
  EXPECT_LE(e.MAP, 120);

  // Rejected before any work: too few or too many pulses, no array.
  TnelProcBPData f;
  auto two = std::vector<Pt>{{0, 0, 100, 120.0f}, {0, 0, 100, 110.0f}};
  EXPECT_FALSE(f.ProcGetBPData_First(2, two.data(), nullptr, BPVMODE_DEFLATE));
  EXPECT_FALSE(f.ProcGetBPData_First(801, two.data(), nullptr, BPVMODE_DEFLATE));
  EXPECT_FALSE(f.ProcGetBPData_First(5, nullptr, nullptr, BPVMODE_DEFLATE));
  EXPECT_FALSE(f.ProcGetBPData_Secondary(-3, two.data(), 0.0f));
  EXPECT_EQ(two[0].Pressure, 120.0f);
  TnelProcBPData unknown(static_cast<tagTYPE_BPV_CALMETHOD>(7), DATAPROCESS_STANDARD, false, 0.0f);
  auto v = ParabolaPulses();
  EXPECT_FALSE(RunFirst(unknown, v, BPVMODE_INFLATE).ok);
  EXPECT_TRUE(bptest::SameList(v, ParabolaPulses())) << "an unknown method touches nothing";
}

TEST(KrMethod, MaximumAtEnvelopeIndexTwoIsAcceptedForAToeCuffOnly) {
  // Envelope (first ten amplitudes) smoothed: 2400, 3428, 3555, 3444, 3555,
  // 3500, 2000, 1500, 1285, 1100: the first largest is index 2.
  const std::vector<int32_t> amps = {0, 4000, 2000, 8000, 3000, 2500, 2000, 1500, 1000, 500, 400};
  TnelProcBPData limb(BPVCAL_KR, DATAPROCESS_STANDARD, false, 0.0f);
  auto v = Falling(150.0f, amps);
  EXPECT_FALSE(RunFirst(limb, v, BPVMODE_DEFLATE).ok);
  EXPECT_EQ(limb.MAP, -1);

  TnelProcBPData toe(BPVCAL_KR, DATAPROCESS_STANDARD, true, 0.0f);
  v = Falling(150.0f, amps);
  RunFirst(toe, v, BPVMODE_DEFLATE);
  // Refined on points 0, 2, 4, 6 (150, 148, 146, 144 mmHg).
  const double x[4] = {150, 148, 146, 144}, y[4] = {2400, 3555, 3555, 2000};
  const bptest::Peak peak = bptest::ScanFittedPeak(x, y);
  EXPECT_EQ(toe.MAP, static_cast<int>(peak.pressure + 0.5));
  EXPECT_EQ(toe.MaxAmplitude, static_cast<int>(peak.value));
}

TEST(KrMethod, ToeMaximumOnTheSecondLastPointIsNotRefined) {
  // Envelope smoothed: 1600, 1785, 2000, 2500, 2111, 1833, 1666, 3111, 3142,
  // 2400: maximum at n - 2 = 8, at 150.5 - 8 = 142.5 mmHg.
  const std::vector<int32_t> amps = {1000, 1500, 2000, 2500, 3000, 3500, 0, 1000, 0, 10000, 0};
  TnelProcBPData toe(BPVCAL_KR, DATAPROCESS_STANDARD, true, 0.0f);
  auto v = Falling(150.5f, amps);
  EXPECT_FALSE(RunFirst(toe, v, BPVMODE_DEFLATE).ok);
  EXPECT_EQ(toe.MAP, 143) << "142.5 rounded half up";
  EXPECT_EQ(toe.MaxAmplitude, 3142);
  EXPECT_EQ(toe.PulseNum, 10) << "no point inserted";
  // Systolic side over points 0-7, flattened to 1600, 1785, 1878, 1911, 1944,
  // 2208, 2472, 3111: target 0.5411 * 3142 = 1700.1 lies in segment (0, 1),
  // which the backward search never examines; the nearest point is 1 (149.5).
  EXPECT_EQ(toe.SBP, 149);
  EXPECT_EQ(toe.SBPIndex, 1);
  // Diastolic side: only point 9 (141.5); the result breaks the acceptance rule.
  EXPECT_EQ(toe.DBP, 141);

  TnelProcBPData limb(BPVCAL_KR, DATAPROCESS_STANDARD, false, 0.0f);
  v = Falling(150.5f, amps);
  EXPECT_FALSE(RunFirst(limb, v, BPVMODE_DEFLATE).ok);
  EXPECT_EQ(limb.MAP, -1);
}

TEST(KrMethod, MaximumOnTheFourthLastPointIsFittedWithTheLastPoint) {
  const std::vector<int32_t> amps = {2000, 3000, 4000, 5000, 6000, 7000, 7600, 8000, 8000, 8000, 8000, 7000, 6000};
  // The smoothed envelope, by the smoothing itself (checked on its own below).
  std::vector<Pt> env = Falling(150.0f, amps);
  env.pop_back();
  TnelProcBPData scratch;
  Peer::Smooth(scratch, static_cast<int16_t>(env.size()), env.data());
  const int n = static_cast<int>(env.size());
  ASSERT_EQ(n, 12);
  ASSERT_EQ(env[8].Amplitude, 7911);  // the maximum, at n - 4
  for (int i = 0; i < n; ++i) ASSERT_LE(env[i].Amplitude, 7911);

  TnelProcBPData d;
  auto v = Falling(150.0f, amps);
  RunFirst(d, v, BPVMODE_DEFLATE);
  // Points m - 2, m, m + 2 and, in place of the missing m + 4, the last point m + 3.
  const double x[4] = {env[6].Pressure, env[8].Pressure, env[10].Pressure, env[11].Pressure};
  const double y[4] = {1.0 * env[6].Amplitude, 1.0 * env[8].Amplitude, 1.0 * env[10].Amplitude,
                       1.0 * env[11].Amplitude};
  const bptest::Peak peak = bptest::ScanFittedPeak(x, y);
  EXPECT_EQ(d.MAP, static_cast<int>(peak.pressure + 0.5));
  EXPECT_EQ(d.MaxAmplitude, static_cast<int>(peak.value));
  EXPECT_EQ(d.PulseNum, 13) << "the refined peak is inserted";
}

// ---- steps on hand-worked examples -----------------------------------------

std::vector<Pt> Points(const std::vector<int32_t>& amps, float p0 = 100.0f, float step = 2.0f) {
  std::vector<Pt> v;
  for (size_t i = 0; i < amps.size(); ++i) v.push_back(Pt{0, 0, amps[i], p0 - step * i});
  return v;
}

TEST(KrSmoothing, FollowsTheWeightTableForEachLength) {
  TnelProcBPData d;
  auto six = Points({10, 20, 40, 80, 160, 320});
  Peer::Smooth(d, 6, six.data());
  EXPECT_EQ(Amps(six), (std::vector<int32_t>{26, 40, 64, 128, 148, 160}));
  auto five = Points({10, 20, 40, 80, 160});
  Peer::Smooth(d, 5, five.data());
  EXPECT_EQ(Amps(five), (std::vector<int32_t>{16, 24, 48, 96, 106}));
  auto four = Points({-10, 0, 0, 0});
  Peer::Smooth(d, 4, four.data());
  EXPECT_EQ(Amps(four), (std::vector<int32_t>{-3, -4, 0, 0})) << "division truncates toward zero";
  auto three = Points({10, 500, 20});
  Peer::Smooth(d, 3, three.data());
  EXPECT_EQ(Amps(three), (std::vector<int32_t>{10, 500, 20}));
  EXPECT_EQ(six[2].Pressure, 96.0f) << "only amplitudes change";
}

TEST(KrCrossing, InterpolatesOnEachSide) {
  TnelProcBPData d;
  // 100, 98, ... mmHg; maximum 1000 at index 5.
  auto v = Points({100, 300, 500, 700, 900, 1000, 800, 600, 400, 200});
  int16_t k;
  float p;
  ASSERT_TRUE(Peer::Approach(d, v.data(), 10, 5, 1000, 0, 4, 0.55f, &k, &p, true));
  EXPECT_EQ(k, 2);
  EXPECT_FLOAT_EQ(p, 95.5f);  // 96 + (0.55 - 0.5) * (94 - 96) / 0.2
  ASSERT_TRUE(Peer::Approach(d, v.data(), 10, 5, 1000, 6, 9, 0.5f, &k, &p, false));
  EXPECT_EQ(k, 7);
  EXPECT_FLOAT_EQ(p, 85.0f);  // 86 + (0.5 - 0.6) * (84 - 86) / (0.4 - 0.6)
  // The backward search stops above segment (s, s + 1): target 0.2 lies only in
  // segment (0, 1), so the nearest point decides: |100 - 200| = |300 - 200|,
  // the first (index 0) wins.
  ASSERT_TRUE(Peer::Approach(d, v.data(), 10, 5, 1000, 0, 4, 0.2f, &k, &p, true));
  EXPECT_EQ(k, 0);
  EXPECT_EQ(p, 100.0f);
  // Start at or after the end: the start point.
  ASSERT_TRUE(Peer::Approach(d, v.data(), 10, 5, 1000, 9, 9, 0.5f, &k, &p, false));
  EXPECT_EQ(k, 9);
  EXPECT_EQ(p, 82.0f);
}

TEST(KrCrossing, FlattensIsolatedExtremesExceptTheMaximum) {
  TnelProcBPData d;
  // Pass 1: 400 -> (0 + 200) / 2 = 100, then 600 -> (200 + 400) / 2 = 300;
  // pass 2 finds 0, 100, 200, 300, 400, 800, 1000 monotone.
  auto v = Points({0, 400, 200, 600, 400, 800, 1000});
  int16_t k;
  float p;
  ASSERT_TRUE(Peer::Approach(d, v.data(), 7, 6, 1000, 0, 5, 0.35f, &k, &p, true));
  EXPECT_EQ(k, 3);            // unflattened, segment (2, 3) would enclose 0.35
  EXPECT_FLOAT_EQ(p, 93.0f);  // 94 + 0.5 * (92 - 94)
  EXPECT_EQ(v[1].Amplitude, 400) << "the caller's points are not changed";

  // An isolated peak at MAPPos stays; elsewhere it is flattened.
  auto peak = Points({0, 300, 1000, 300, 0});
  ASSERT_TRUE(Peer::Approach(d, peak.data(), 5, 2, 1000, 2, 4, 0.65f, &k, &p, false));
  EXPECT_EQ(k, 2);
  EXPECT_FLOAT_EQ(p, 95.0f);  // halfway from 1.0 to 0.3
  ASSERT_TRUE(Peer::Approach(d, peak.data(), 5, 0, 1000, 2, 4, 0.65f, &k, &p, false));
  EXPECT_EQ(k, 2) << "no segment encloses 0.65 once the peak is 300: nearest point";
  EXPECT_EQ(p, 96.0f);
}

TEST(KrCrossing, SegmentLyingOnTheTargetReportsItsFirstPoint) {
  TnelProcBPData d;
  // Ratios 1.0, 0.5, 0.5, 0.2: segment (1, 2) equals the target 0.5 at both ends.
  auto v = Points({1000, 500, 500, 200});
  int16_t k;
  float p;
  ASSERT_TRUE(Peer::Approach(d, v.data(), 4, 0, 1000, 1, 3, 0.5f, &k, &p, false));
  EXPECT_EQ(k, 1);
  EXPECT_EQ(p, 98.0f);
}

TEST(KrCrossing, ProductRatioBandsAndOffset) {
  TnelProcBPData d;
  const struct {
    int16_t map;
    float sbp, dbp;
  } rows[] = {{-5, 0.6228f, 0.5262f}, {49, 0.6228f, 0.5262f}, {50, 0.5685f, 0.592f},   {67, 0.5685f, 0.592f},
              {68, 0.5629f, 0.611f},  {83, 0.5629f, 0.611f},  {84, 0.5442f, 0.6102f},  {103, 0.5442f, 0.6102f},
              {104, 0.5434f, 0.59f},  {140, 0.5434f, 0.59f},  {141, 0.5411f, 0.5998f}, {189, 0.5411f, 0.5998f},
              {190, 0.515f, 0.5773f}, {300, 0.515f, 0.5773f}};
  for (const auto& r : rows) {
    float sh, sl, dh, dl;
    const float ret = Peer::KrRatio(d, r.map, &sh, &sl, &dh, &dl);
    EXPECT_FLOAT_EQ(sh, r.sbp + 0.2f) << r.map;
    EXPECT_FLOAT_EQ(sl, r.sbp - 0.2f) << r.map;
    EXPECT_FLOAT_EQ(dh, r.dbp + 0.2f) << r.map;
    EXPECT_FLOAT_EQ(dl, r.dbp - 0.2f) << r.map;
    EXPECT_EQ(ret, sh);
  }
  TnelProcBPData withOffset(BPVCAL_KR, DATAPROCESS_STANDARD, false, 0.05f);
  float sh, sl;
  Peer::KrRatio(withOffset, 120, &sh, &sl, nullptr, nullptr);
  EXPECT_FLOAT_EQ(sh, 0.7934f);
  EXPECT_FLOAT_EQ(sl, 0.3934f);
  TnelProcBPData reset;  // offset back to 0 for the other tests
}

TEST(KrPositions, ValueHalfwayBetweenPulsesMapsToTheLaterIndex) {
  TnelProcBPData d;
  auto v = Points({1, 1, 1}, 150.0f, 10.0f);  // 150, 140, 130
  EXPECT_EQ(Peer::Nearest(d, v.data(), 3, 145.0f), 1);
  EXPECT_EQ(Peer::Nearest(d, v.data(), 3, 146.0f), 0);
  EXPECT_EQ(Peer::Nearest(d, v.data(), 3, 144.0f), 1);
  EXPECT_EQ(Peer::Nearest(d, v.data(), 3, 151.0f), 0);
  EXPECT_EQ(Peer::Nearest(d, v.data(), 3, 150.0f), 0) << "on pulse 0: nearer than 140";
  EXPECT_EQ(Peer::Nearest(d, v.data(), 3, 125.0f), 2) << "none below: the last pulse";
}

TEST(Acceptance, NeedsThreeMmHgEitherSideAndNoMissingValue) {
  TnelProcBPData d;
  EXPECT_TRUE(Peer::Judge(d, 103, 97, 100, true));
  EXPECT_FALSE(Peer::Judge(d, 102, 97, 100, true));
  EXPECT_FALSE(Peer::Judge(d, 103, 98, 100, true));
  EXPECT_FALSE(Peer::Judge(d, 103, 97, 100, false));
  EXPECT_FALSE(Peer::Judge(d, -1, -10, 2, true)) << "SBP missing";
  EXPECT_FALSE(Peer::Judge(d, 10, -1, 2, true)) << "DBP missing, though -1 <= 2 - 3";
  EXPECT_FALSE(Peer::Judge(d, 5, -5, -1, true)) << "MAP missing";
  // A MAP of 0 (the refinement found no fitted value reaching its first
  // point) is rejected with any non-negative DBP.
  EXPECT_FALSE(Peer::Judge(d, 120, 0, 0, true));
}

// ---- corrupt input ------------------------------------------------------------

TEST(BadInput, CorruptPressuresEndQuicklyWithoutAResult) {
  const float inf = std::numeric_limits<float>::infinity();
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const std::vector<std::vector<float>> lists = {
      {120, 120, 120, 120, 120, 120, 120, 120},  // every interpolation divides by zero
      {inf, 130, 120, 110, 100, 90, 80, 70},     // P - 1 stays infinite
      {1e30f, 130, 120, 110, 100, 90, 80, 70},   // P - 1 rounds back to P
      {nan, 130, 120, 110, 100, 90, 80, 70},    {130, 120, nan, 100, 90, 80, 70, 60},
  };
  for (auto method : {BPVCAL_KR, BPVCAL_SIMCOEFF, BPVCAL_MAPCOEFF}) {
    for (bool toe : {false, true}) {
      for (const auto& pressures : lists) {
        std::vector<Pt> v;
        for (size_t i = 0; i < pressures.size(); ++i)
          v.push_back(Pt{0, static_cast<int16_t>(-5 + 10 * static_cast<int>(i)),
                         static_cast<int32_t>(1000 + 300 * i - 40 * i * i), pressures[i]});
        TnelProcBPData d(method, DATAPROCESS_STANDARD, toe, 0.0f);
        d.ProcGetBPData_First(static_cast<int16_t>(v.size()), v.data(), nullptr, BPVMODE_DEFLATE);
        EXPECT_LE(d.PulseNum, 800);
        EXPECT_GE(d.PulseNum, 0);
      }
    }
  }
  // All equal pressures leave a one-point envelope; an infinite first pressure
  // fills the envelope to its bound.
  TnelProcBPData d;
  auto flat = Falling(120.0f, {500, 600, 700, 800, 900});
  for (auto& p : flat) p.Pressure = 120.0f;
  EXPECT_FALSE(RunFirst(d, flat, BPVMODE_DEFLATE).ok);
  EXPECT_EQ(d.PulseNum, 1);
  auto endless = Falling(130.0f, {500, 600, 700, 800, 900});
  endless[0].Pressure = inf;
  EXPECT_FALSE(RunFirst(d, endless, BPVMODE_DEFLATE).ok);
  EXPECT_EQ(d.PulseNum, 799);
}

TEST(BadInput, WidePressureSpanIsBoundedAndLongListsWork) {
  // 2000 to 0 mmHg would resample 1001 points; the envelope stops at 799.
  TnelProcBPData d;
  auto wide = std::vector<Pt>{{0, 0, 100, 2000.0f}, {0, 0, 900, 1000.0f}, {0, 0, 100, 0.0f}};
  RunFirst(d, wide, BPVMODE_DEFLATE);
  EXPECT_LE(d.PulseNum, 800);
  // 800 pulses, 0.25 mmHg apart, on a parabola peaking at 110 mmHg: every
  // method runs over the full list.
  std::vector<int32_t> amps;
  for (int i = 0; i < 800; ++i) {
    const double p = 210.0 - 0.25 * i;
    amps.push_back(static_cast<int32_t>(20000 - 2.0 * (p - 110.0) * (p - 110.0)));
  }
  for (auto method : {BPVCAL_KR, BPVCAL_SIMCOEFF, BPVCAL_MAPCOEFF}) {
    TnelProcBPData m(method, DATAPROCESS_STANDARD, false, 0.0f);
    std::vector<Pt> v;
    for (int i = 0; i < 800; ++i) v.push_back(Pt{0, 0, amps[i], 210.0f - 0.25f * i});
    EXPECT_TRUE(m.ProcGetBPData_First(800, v.data(), nullptr, BPVMODE_DEFLATE)) << method;
    EXPECT_NEAR(m.MAP, 110, 1) << method;
  }
}

}  // namespace
