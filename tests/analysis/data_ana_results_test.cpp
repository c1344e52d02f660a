// TnelDataAna: pressure indices, velocities and per-wave results from marks.
#include <gtest/gtest.h>

#include <sstream>
#include <vector>

#include "data_ana_access.h"

using nel::analysis::DataAnaTestAccess;
using nel_test::Record;

namespace {

const std::vector<tagTYPE_NEL_WAVEDATA> kBraAnk = {WAVE_ECG, WAVE_PCG, WAVE_RBRA, WAVE_LBRA, WAVE_RANK, WAVE_LANK};
// A recorded wave without marks holds every beat back, so records hold only the marked waves.
const std::vector<tagTYPE_NEL_WAVEDATA> kRightSide = {WAVE_ECG, WAVE_PCG, WAVE_RBRA, WAVE_RANK};
const std::vector<tagTYPE_NEL_WAVEDATA> kBraToe = {WAVE_ECG, WAVE_PCG, WAVE_RBRA, WAVE_LBRA, WAVE_RTOE, WAVE_LTOE};

// Marks `beats` beats of 800 records from 100 (onsets) and, on each listed
// wave, a valley, a foot `delay` records after the onset (per wave), a peak
// 120 records after the foot and a notch (300 unless given; 0 none) after the foot.
struct Wave {
  tagTYPE_NEL_WAVEDATA kind;
  int32_t delay, notch = 300;
};
void MarkBeats(Record& r, int beats, const std::vector<Wave>& waves) {
  for (int b = 0; b <= beats; ++b) {
    const int32_t q = 100 + 800 * b;
    r.mark(q, WAVE_ECG) = MARK_ECG_ONSET;
    if (b == beats) break;
    for (const Wave& w : waves) {
      r.mark(q + w.delay - 3, w.kind) = MARK_PULSE_VALLEY;
      r.mark(q + w.delay, w.kind) = MARK_PULSE_FOOT;
      r.mark(q + w.delay + 120, w.kind) = MARK_PULSE_PEAK;
      if (w.notch > 0) r.mark(q + w.delay + w.notch, w.kind) = MARK_PULSE_NOTCH;
    }
  }
}

TnelDataAna WithPressures(Record& r, bool ankle, tagLIMBRESULT l0, tagLIMBRESULT l1, tagLIMBRESULT l2,
                          tagLIMBRESULT l3) {
  TnelDataAna a = r.Make();
  const tagLIMBRESULT limbs[4] = {l0, l1, l2, l3};
  a.SetBPData(ankle, limbs);
  return a;
}

// Indices from the limb pressures (SBP/DBP per limb, 0 and negative values
// not measured) of six marked beats; in ankle mode `measured` lists the limbs
// (RBra LBra RAnk LAnk) that keep an upstroke time and a mean-pressure percentage.
TEST(PressureIndices, FromTheMeasuredPressuresOnly) {
  const struct {
    const char* limbs;  // RBra LBra, RAnk or RToe, LAnk or LToe
    bool ankle;
    float index[4];  // right and left ABI (TBI), BAI (BTI)
    const char* measured;
  } cases[] = {
      {"125/80 -1/-1 100/70 -1/-1", true, {0.8f, -1, 1.25f, -1}, "1010"},  // the right arm alone is the reference
      {"-1/-1 -1/-1 100/70 110/70", true, {-1, -1, -1, -1}, "0011"},
      {"0/80 0/78 132/80 108/70", true, {-1, -1, -1, -1}, "0011"},                           // ABI was inf
      {"0/80 120/78 132/80 108/70", true, {1.1f, 0.9f, -1, 120.0f / 132}, "0111"},           // its BAI was 0
      {"120/80 120/78 -5/80 108/70", true, {-1, 0.9f, 120.0f / 108, 120.0f / 108}, "1101"},  // ABI was negative
      {"120/80 118/0 132/80 108/70", true, {1.1f, 0.9f, 120.0f / 132, 118.0f / 132}, "1011"},
      {"-3/80 0/80 96/60 84/60", false, {-1, -1, -1, -1}, nullptr},
      {"120/80 110/80 0/60 84/60", false, {-1, 0.7f, 120.0f / 84, 110.0f / 84}, nullptr},
  };
  for (const auto& c : cases) {
    Record r(c.ankle ? kBraAnk : kBraToe, 6 * 800 + 300);
    if (c.ankle) MarkBeats(r, 6, {{WAVE_RBRA, 50}, {WAVE_LBRA, 50}, {WAVE_RANK, 150}, {WAVE_LANK, 160}});
    tagLIMBRESULT l[4];
    std::istringstream in(c.limbs);
    for (auto& x : l) {
      int sbp = 0, dbp = 0;
      char slash;
      in >> sbp >> slash >> dbp;
      x = {static_cast<int16_t>(sbp), static_cast<int16_t>(dbp), static_cast<int16_t>(dbp + 10)};
    }
    TnelDataAna a = WithPressures(r, c.ankle, l[0], l[1], l[2], l[3]);
    DataAnaTestAccess::Results(a, c.ankle, 170);
    const float got[4] = {c.ankle ? a.RightABI : a.RightTBI, c.ankle ? a.LeftABI : a.LeftTBI,
                          c.ankle ? a.RightBAI : a.RightBTI, c.ankle ? a.LeftBAI : a.LeftBTI};
    for (int i = 0; i < 4; ++i) EXPECT_FLOAT_EQ(got[i], c.index[i]) << c.limbs << ", index " << i;
    EXPECT_EQ(c.ankle ? a.RightTBI : a.RightABI, -1.0f) << c.limbs;
    for (int j = 0; c.measured && j < 4; ++j) {
      EXPECT_EQ(a.UpstrokeTime[j], c.measured[j] == '1' ? 120 : -1) << c.limbs << ", limb " << j;
      EXPECT_EQ(a.MapPercent[j] >= 0, c.measured[j] == '1') << c.limbs << ", limb " << j;
    }
  }
}

TEST(PressureIndices, AIxIsLimitedToFifty) {
  Record r(kBraAnk, 100);
  TnelDataAna a = r.Make();
  for (auto [in, out] : {std::pair<int16_t, int16_t>{73, 50}, {-12, -12}, {-51, -50}, {-9999, -50}}) {
    a.AIx = in;
    DataAnaTestAccess::Results(a, true, 170);
    EXPECT_EQ(a.AIx, out) << in;
  }
}

TEST(AnkleResults, VelocityUpstrokeEjectionAndMeanPressure) {
  Record r(kBraAnk, 8 * 800 + 300);
  // Feet: RBra at 50, LBra at 55, RAnk at 150, LAnk at 160 after the onset.
  MarkBeats(r, 8, {{WAVE_RBRA, 50}, {WAVE_LBRA, 55}, {WAVE_RANK, 150}, {WAVE_LANK, 160}});
  // Second sounds 410 to 430 records after the onsets.
  const int32_t qs2[8] = {410, 415, 420, 425, 430, 410, 415, 420};
  for (int b = 0; b < 8; ++b) r.mark(100 + 800 * b + qs2[b], WAVE_PCG) = MARK_PCG_S2;
  // RBra wave: a triangle from 60 at the foot to 100 at the peak and back to 60 at the next foot.
  for (int b = 0; b < 9; ++b) {
    const int32_t f = 100 + 800 * b + 50;
    for (int32_t i = f; i < f + 800 && i < r.n(); ++i)
      r.wave(i, WAVE_RBRA) = i < f + 120 ? 60.0f + 40.0f * (i - f) / 120 : 100.0f - 40.0f * (i - f - 120) / 680;
  }
  TnelDataAna a = WithPressures(r, true, {120, 80, 93}, {118, 78, 91}, {130, 80, 97}, {125, 75, 90});
  a.PWVFactor = 0.0f;
  ASSERT_TRUE(DataAnaTestAccess::Results(a, true, 170));
  // Both arms usable: right d0 = 100, d2 = 110; left d1 = 95, d3 = 105; the
  // left sum (200) is not larger, so the delays start from the right arm.
  const float dist = 115.2794f;
  EXPECT_NEAR(a.RightPWV, dist / (0.100f * 0.9f), 1.0f);
  EXPECT_NEAR(a.LeftPWV, dist / (0.110f * 0.9f), 1.0f);
  for (int j = 0; j < 4; ++j) EXPECT_EQ(a.UpstrokeTime[j], 120) << j;
  EXPECT_EQ(a.ET, 300);
  // Onset to S2 without the first largest (430) and first smallest (410): 2505 / 6 = 417 ms.
  EXPECT_EQ(a.PEP, 417 - 300);
  // Triangle: mean over the beat is half-way between base and top.
  EXPECT_GE(a.MapPercent[0], 49);
  EXPECT_LE(a.MapPercent[0], 50);
  // The other waves are flat at 0: top equals base, every pair counts 0.
  EXPECT_EQ(a.MapPercent[1], 0);
}

// Ejection time: the arm whose mean foot-to-notch time lies nearer 285 ms
// (right 280, left 262); onset to S2 as long as it: a pre-ejection period of 0.
TEST(AnkleResults, EjectionTimeOfTheArmNearerTheReferenceAndPreEjectionOfZero) {
  Record r(kBraAnk, 8 * 800 + 300);
  MarkBeats(r, 8, {{WAVE_RBRA, 50, 280}, {WAVE_LBRA, 50, 262}, {WAVE_RANK, 150}, {WAVE_LANK, 160}});
  // Onset to S2: 280 once the largest and smallest are left out.
  for (int b = 0; b < 8; ++b) r.mark(100 + 800 * b + (b == 0 ? 270 : b == 2 ? 290 : 280), WAVE_PCG) = MARK_PCG_S2;
  TnelDataAna a = WithPressures(r, true, {120, 80, 93}, {118, 78, 91}, {130, 80, 97}, {125, 75, 90});
  ASSERT_TRUE(DataAnaTestAccess::Results(a, true, 170));
  EXPECT_EQ(a.ET, 280);
  EXPECT_EQ(a.PEP, 0);
}

// The waves in another record order, one arm, and an arm without notches:
// the same results.
TEST(AnkleResults, AnyWaveOrderAndOneArm) {
  Record n(kBraAnk, 8 * 800 + 300);
  MarkBeats(n, 8, {{WAVE_RBRA, 50}, {WAVE_LBRA, 55, 0}, {WAVE_RANK, 150}, {WAVE_LANK, 160}});
  TnelDataAna b = WithPressures(n, true, {120, 80, 93}, {118, 78, 91}, {130, 80, 97}, {125, 75, 90});
  ASSERT_TRUE(DataAnaTestAccess::Results(b, true, 170));
  EXPECT_EQ(b.ET, 300);
  Record r({WAVE_RBRA, WAVE_ECG, WAVE_PCG, WAVE_RANK, WAVE_LANK}, 8 * 800 + 300);
  MarkBeats(r, 8, {{WAVE_RBRA, 50}, {WAVE_RANK, 150}, {WAVE_LANK, 160}});
  TnelDataAna a = WithPressures(r, true, {120, 80, 93}, {-1, -1, -1}, {130, 80, 97}, {125, 75, 90});
  ASSERT_TRUE(DataAnaTestAccess::Results(a, true, 170));
  EXPECT_EQ(a.UpstrokeTime[0], 120);
  EXPECT_EQ(a.ET, 300);
  EXPECT_NEAR(a.RightPWV, 115.2794f / (0.100f * 0.9f), 1.0f);
  EXPECT_NEAR(a.LeftPWV, 115.2794f / (0.110f * 0.9f), 1.0f);
}

TEST(AnkleResults, FactorScalesTheVelocityAndFastWavesAreRejected) {
  Record r({WAVE_ECG, WAVE_RBRA, WAVE_RANK, WAVE_LANK}, 8 * 800 + 300);
  MarkBeats(r, 8, {{WAVE_RBRA, 50}, {WAVE_RANK, 150}, {WAVE_LANK, 66}});
  TnelDataAna a = WithPressures(r, true, {120, 80, 93}, {-1, -1, -1}, {130, 80, 97}, {125, 75, 90});
  a.PWVFactor = 0.5f;
  DataAnaTestAccess::Results(a, true, 170);
  EXPECT_NEAR(a.RightPWV, 115.2794f / 0.09f * 1.5f, 1.5f);
  EXPECT_EQ(a.LeftPWV, -1.0f);       // 16 ms delay: 115 cm / 14.4 ms is above 6000 cm/s
  EXPECT_EQ(a.UpstrokeTime[1], -1);  // left arm not measured
  EXPECT_EQ(a.MapPercent[1], -1);
}

TEST(AnkleResults, DelaysAtTheExclusionLimitsAreIgnored) {
  for (auto [delay, counted] : {std::pair{10, false}, {11, true}, {299, true}, {300, false}}) {
    Record r(kRightSide, 8 * 800 + 800);
    MarkBeats(r, 8, {{WAVE_RBRA, 50}, {WAVE_RANK, 50 + delay}});
    TnelDataAna a = WithPressures(r, true, {120, 80, 93}, {-1, -1, -1}, {130, 80, 97}, {-1, -1, -1});
    a.PWVFactor = -0.99f;  // keeps even the shortest delay below the 6000 cm/s limit
    DataAnaTestAccess::Results(a, true, 170);
    if (counted)
      EXPECT_NEAR(a.RightPWV, 115.2794f / (delay * 0.0009f) * 0.01f, 0.05f) << delay;
    else
      EXPECT_EQ(a.RightPWV, -1.0f) << delay;
  }
}

TEST(AnkleResults, TrimsTwoExtremesEachSideFromMoreThanFourDelays) {
  Record r(kRightSide, 10 * 800 + 300);
  MarkBeats(r, 10, {{WAVE_RBRA, 50}, {WAVE_RANK, 150}});
  // Two beats with very short and two with very long (still valid) delays.
  const int32_t moved[4][2] = {{0, 60}, {1, 70}, {2, 280}, {3, 290}};
  for (auto [b, delay] : moved) {
    const int32_t q = 100 + 800 * b;
    r.mark(q + 150, WAVE_RANK) = 0;
    r.mark(q + 50 + delay, WAVE_RANK) = MARK_PULSE_FOOT;
  }
  TnelDataAna a = WithPressures(r, true, {120, 80, 93}, {-1, -1, -1}, {130, 80, 97}, {-1, -1, -1});
  DataAnaTestAccess::Results(a, true, 170);
  EXPECT_NEAR(a.RightPWV, 115.2794f / 0.09f, 1.0f);
}

TEST(AnkleResults, IncompleteBeatsAreNotCountedAndWorkingMarksAreCleared) {
  Record r(kRightSide, 6 * 800 + 300);
  MarkBeats(r, 6, {{WAVE_RBRA, 50}, {WAVE_RANK, 150}});
  r.mark(100 + 800 * 2 + 147, WAVE_RANK) = 0;  // beat 2 lacks its ankle valley
  r.mark(100 + 800 * 2 + 10, WAVE_RBRA) = MARK_PULSE_PT;
  TnelDataAna a = WithPressures(r, true, {120, 80, 93}, {-1, -1, -1}, {130, 80, 97}, {-1, -1, -1});
  DataAnaTestAccess::Results(a, true, 170);
  EXPECT_NEAR(a.RightPWV, 115.2794f / 0.09f, 1.0f);
  EXPECT_TRUE(r.Where(WAVE_RBRA, MARK_PULSE_VALLEY).empty());
  EXPECT_TRUE(r.Where(WAVE_RBRA, MARK_PULSE_PT).empty());
  EXPECT_FALSE(r.Where(WAVE_RBRA, MARK_PULSE_NOTCH).empty());
}

TEST(AnkleResults, NonPositivePathGivesZeroVelocity) {
  Record r(kRightSide, 4 * 800 + 300);
  MarkBeats(r, 4, {{WAVE_RBRA, 50}, {WAVE_RANK, 150}});
  TnelDataAna a = WithPressures(r, true, {120, 80, 93}, {-1, -1, -1}, {130, 80, 97}, {-1, -1, -1});
  DataAnaTestAccess::Results(a, true, -200);
  EXPECT_EQ(a.RightPWV, 0.0f);
  EXPECT_EQ(a.LeftPWV, 0.0f);
}

TEST(ToeResults, LeaveAnkleIndicesVelocitiesAndWorkingMarks) {
  Record r(kBraToe, 6 * 800 + 300);
  MarkBeats(r, 6, {{WAVE_RBRA, 50}, {WAVE_LBRA, 50}, {WAVE_RTOE, 170}, {WAVE_LTOE, 180}});
  TnelDataAna a = WithPressures(r, false, {120, 80, 93}, {110, 80, 93}, {96, 60, 70}, {84, 60, 70});
  ASSERT_TRUE(DataAnaTestAccess::Results(a, false, 170));
  EXPECT_FLOAT_EQ(a.RightTBI, 0.8f);
  EXPECT_FLOAT_EQ(a.LeftTBI, 0.7f);
  EXPECT_FLOAT_EQ(a.RightBTI, 1.25f);
  EXPECT_FLOAT_EQ(a.LeftBTI, 110.0f / 96.0f);
  EXPECT_EQ(a.RightABI, -1.0f);
  EXPECT_EQ(a.LeftBAI, -1.0f);
  EXPECT_EQ(a.RightPWV, -1.0f);
  EXPECT_EQ(a.LeftPWV, -1.0f);
  for (int j = 0; j < 4; ++j) EXPECT_EQ(a.UpstrokeTime[j], 120) << j;
  EXPECT_EQ(a.MapPercent[2], 0);  // flat waves
  EXPECT_EQ(a.ET, -1);
  EXPECT_EQ(r.Where(WAVE_RTOE, MARK_PULSE_VALLEY).size(), 6u);
}

TEST(ToeResults, PerWaveResultNeedsAWaveAndAPeakAfterItsFoot) {
  Record r(kBraToe, 4 * 800 + 300);
  MarkBeats(r, 4, {{WAVE_RTOE, 170}});
  TnelDataAna a = r.Make();
  int16_t map = 0, up = 0;
  int32_t extra = 0;
  EXPECT_TRUE(DataAnaTestAccess::Other(a, WAVE_RTOE, &map, &up, &extra));
  EXPECT_EQ(up, 120);
  EXPECT_EQ(extra, 4);
  EXPECT_FALSE(DataAnaTestAccess::Other(a, WAVE_RANK, &map, &up, &extra));  // not recorded
  EXPECT_EQ(map, -1);
  EXPECT_EQ(up, -1);
  EXPECT_EQ(extra, -1);
}

}  // namespace
