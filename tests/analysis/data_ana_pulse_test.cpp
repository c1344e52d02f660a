// TnelDataAna: pulse-wave peaks, feet, valleys, notches, P and T points and AIx.
#include <gtest/gtest.h>

#include <vector>

#include "data_ana_access.h"

using nel::analysis::DataAnaTestAccess;
using nel_test::Record;

namespace {

constexpr int32_t kPeriod = 800;
constexpr int32_t kFootAfterOnset = 100;

struct Beats {
  std::vector<int32_t> onsets, feet;
};

// ECG onsets every 800 records from 200, a pulse foot 100 records after each.
Beats MakeBeats(Record& r, int32_t footDelay = kFootAfterOnset) {
  Beats b;
  for (int32_t q = 200; q < r.n(); q += kPeriod) {
    r.mark(q, WAVE_ECG) = MARK_ECG_ONSET;
    b.onsets.push_back(q);
    b.feet.push_back(q + footDelay);
  }
  return b;
}

TEST(PulsePoints, SyntheticBeatsGetPeaksFeetAndNotchesAtKnownPlaces) {
  Record r({WAVE_ECG, WAVE_PCG, WAVE_RBRA}, 6000);
  const Beats b = MakeBeats(r);
  nel_test::AddPulse(r, WAVE_RBRA, b.feet);
  TnelDataAna a = r.Make();
  a.BeatLen = kPeriod;
  ASSERT_TRUE(DataAnaTestAccess::Pulse(a, WAVE_RBRA));

  const auto peaks = r.Where(WAVE_RBRA, MARK_PULSE_PEAK);
  const auto feet = r.Where(WAVE_RBRA, MARK_PULSE_FOOT);
  const auto notches = r.Where(WAVE_RBRA, MARK_PULSE_NOTCH);
  const size_t beats = b.onsets.size() - 1;  // complete beats between onsets
  ASSERT_EQ(peaks.size(), beats);
  ASSERT_EQ(feet.size(), beats);
  ASSERT_EQ(notches.size(), beats);
  for (size_t j = 0; j < beats; ++j) {
    const int32_t f = b.feet[j];
    // The maximum sits at the top of the upstroke (120 ms, a little earlier on
    // the falling tail of the beat before); the mark is one record later.
    EXPECT_NEAR(peaks[j], f + 120 + 1, 3) << "beat " << j;
    // Tangent intersection: upstroke tangent at mid-rise crosses the baseline
    // 120 * (1/2 - 1/pi) = 22 ms after the foot, moved 12 samples later.
    EXPECT_NEAR(feet[j], f + 22 + 12, 4) << "beat " << j;
    // The notch is the greatest curvature before the dicrotic wave, 10 samples earlier.
    int32_t curv = f + 200;
    for (int32_t i = f + 200; i < f + 360; ++i) {
      const float c = r.wave(i + 1, WAVE_RBRA) - 2 * r.wave(i, WAVE_RBRA) + r.wave(i - 1, WAVE_RBRA);
      const float cb = r.wave(curv + 1, WAVE_RBRA) - 2 * r.wave(curv, WAVE_RBRA) + r.wave(curv - 1, WAVE_RBRA);
      if (c > cb) curv = i;
    }
    EXPECT_NEAR(notches[j], curv - 10, 2) << "beat " << j;
  }
  // Valleys stay as working marks before the feet.
  const auto valleys = r.Where(WAVE_RBRA, MARK_PULSE_VALLEY);
  ASSERT_EQ(valleys.size(), beats);
  for (size_t j = 0; j < beats; ++j) EXPECT_LE(std::abs(valleys[j] - b.feet[j]), 6);
  EXPECT_EQ(a.AIx, -9999);  // no second heart sounds: no P/T search
}

TEST(PulsePoints, AnkleFeetFollowTheWaveExactly) {
  // Two ankle waves, the left a copy of the right 37 records later.
  Record r({WAVE_ECG, WAVE_RANK, WAVE_LANK}, 6000);
  const Beats b = MakeBeats(r, 150);
  std::vector<int32_t> late;
  for (int32_t f : b.feet) late.push_back(f + 37);
  nel_test::AddPulse(r, WAVE_RANK, b.feet);
  nel_test::AddPulse(r, WAVE_LANK, late);
  TnelDataAna a = r.Make();
  a.BeatLen = kPeriod;
  ASSERT_TRUE(DataAnaTestAccess::Pulse(a, WAVE_RANK));
  ASSERT_TRUE(DataAnaTestAccess::Pulse(a, WAVE_LANK));
  const auto fr = r.Where(WAVE_RANK, MARK_PULSE_FOOT);
  const auto fl = r.Where(WAVE_LANK, MARK_PULSE_FOOT);
  ASSERT_EQ(fr.size(), fl.size());
  ASSERT_FALSE(fr.empty());
  for (size_t j = 0; j < fr.size(); ++j) {
    EXPECT_EQ(fl[j] - fr[j], 37);
    // Averaged with the first estimate: between the true foot and the tangent point.
    EXPECT_GE(fr[j], b.feet[j]);
    EXPECT_LE(fr[j], b.feet[j] + 34 + 4);
  }
}

TEST(PulsePoints, IrregularBeatsAndMissingEcgGiveNoMarks) {
  Record r({WAVE_ECG, WAVE_RBRA}, 6000);
  const Beats b = MakeBeats(r);
  nel_test::AddPulse(r, WAVE_RBRA, b.feet);
  TnelDataAna a = r.Make();
  a.BeatLen = 2000;  // every 800-record beat is irregular
  ASSERT_TRUE(DataAnaTestAccess::Pulse(a, WAVE_RBRA));
  for (uint8_t m = 1; m <= 7; ++m) EXPECT_TRUE(r.Where(WAVE_RBRA, m).empty()) << int(m);

  Record p({WAVE_RBRA}, 3000);
  nel_test::AddPulse(p, WAVE_RBRA, {300, 1100, 1900});
  TnelDataAna c = p.Make();
  c.BeatLen = kPeriod;
  ASSERT_TRUE(DataAnaTestAccess::Pulse(c, WAVE_RBRA, true));
  for (uint8_t m = 1; m <= 7; ++m) EXPECT_TRUE(p.Where(WAVE_RBRA, m).empty()) << int(m);
}

TEST(PulsePoints, RisingBeatWithoutFlatStretchGetsNoFoot) {
  // A ramp rising through the whole beat has no five non-rising steps before its steepest point.
  Record r({WAVE_ECG, WAVE_RANK}, 2000);
  r.mark(100, WAVE_ECG) = MARK_ECG_ONSET;
  r.mark(900, WAVE_ECG) = MARK_ECG_ONSET;
  for (int32_t i = 0; i < 2000; ++i) r.wave(i, WAVE_RANK) = static_cast<float>(i + 0.001 * i * i);
  TnelDataAna a = r.Make();
  a.BeatLen = kPeriod;
  ASSERT_TRUE(DataAnaTestAccess::Pulse(a, WAVE_RANK));
  EXPECT_TRUE(r.Where(WAVE_RANK, MARK_PULSE_FOOT).empty());
  EXPECT_TRUE(r.Where(WAVE_RANK, MARK_PULSE_VALLEY).empty());
  EXPECT_EQ(r.Where(WAVE_RANK, MARK_PULSE_PEAK).size(), 1u);
}

TEST(PulsePoints, RightBrachialWithSecondSoundsGetsSystolicPointsAndAIx) {
  Record r({WAVE_ECG, WAVE_PCG, WAVE_RBRA}, 8000);
  const Beats b = MakeBeats(r);
  nel_test::AddPulse(r, WAVE_RBRA, b.feet);
  // Second sounds 60 records after the peaks: the mean peak-to-S2 offset is
  // below -10, so T points sit on the second sounds and P points follow the peaks.
  for (size_t j = 0; j + 1 < b.onsets.size(); ++j) r.mark(b.feet[j] + 181, WAVE_PCG) = MARK_PCG_S2;
  TnelDataAna a = r.Make();
  a.BeatLen = kPeriod;
  ASSERT_TRUE(DataAnaTestAccess::Pulse(a, WAVE_RBRA));
  const auto t = r.Where(WAVE_RBRA, MARK_PULSE_T);
  const auto p = r.Where(WAVE_RBRA, MARK_PULSE_P);
  const auto peaks = r.Where(WAVE_RBRA, MARK_PULSE_PEAK);
  ASSERT_EQ(t.size(), b.onsets.size() - 1);
  ASSERT_EQ(p.size(), peaks.size());
  for (size_t j = 0; j < t.size(); ++j) {
    EXPECT_EQ(t[j], b.feet[j] + 181);
    EXPECT_EQ(p[j], peaks[j] + 1);
  }
  // P (just after the peak) is higher than T: negative augmentation.
  EXPECT_LT(a.AIx, 0);
  EXPECT_GT(a.AIx, -100);
}

TEST(PulsePoints, SecondSoundOnThePeakGivesCoincidingPAndT) {
  Record r({WAVE_ECG, WAVE_PCG, WAVE_RBRA}, 8000);
  const Beats b = MakeBeats(r);
  nel_test::AddPulse(r, WAVE_RBRA, b.feet);
  TnelDataAna a = r.Make();
  a.BeatLen = kPeriod;
  // First find the peaks, then put the second sounds well after them and one on a peak.
  ASSERT_TRUE(DataAnaTestAccess::Pulse(a, WAVE_RBRA));
  const auto peaks = r.Where(WAVE_RBRA, MARK_PULSE_PEAK);
  ASSERT_GE(peaks.size(), 5u);
  for (auto& rec : r.rec) rec.Mark[2] = 0;
  for (size_t j = 0; j < peaks.size(); ++j) r.mark(j == 2 ? peaks[j] : peaks[j] + 60, WAVE_PCG) = MARK_PCG_S2;
  ASSERT_TRUE(DataAnaTestAccess::Pulse(a, WAVE_RBRA));
  EXPECT_EQ(r.mark(peaks[2] + 1, WAVE_RBRA), MARK_PULSE_PT);
  EXPECT_EQ(r.mark(peaks[2], WAVE_RBRA), MARK_PULSE_PEAK);
}

TEST(PulsePoints, TpointNeverWritesPastTheRecord) {
  Record r({WAVE_ECG, WAVE_PCG, WAVE_RBRA}, 100);
  r.mark(99, WAVE_PCG) = MARK_PCG_S2;
  r.mark(99, WAVE_RBRA) = MARK_PULSE_PEAK;
  r.mark(50, WAVE_PCG) = MARK_PCG_S2;
  r.mark(50, WAVE_RBRA) = MARK_PULSE_PEAK;
  TnelDataAna a = r.Make();
  DataAnaTestAccess::Tpoint(a, 2);
  EXPECT_EQ(r.mark(51, WAVE_RBRA), MARK_PULSE_PT);
  EXPECT_EQ(r.mark(99, WAVE_RBRA), MARK_PULSE_PEAK);
}

TEST(NotchCheck, MovesOutliersAmongTheFirstThirtyTriplesOnly) {
  Record r({WAVE_RBRA}, 40 * 100 + 100);
  for (int b = 0; b < 40; ++b) {
    const int32_t f = 10 + 100 * b;
    r.mark(f, WAVE_RBRA) = MARK_PULSE_FOOT;
    r.mark(f + 20, WAVE_RBRA) = MARK_PULSE_PEAK;
    // Notch 40 after the peak, except beats 5 and 35: 70.
    r.mark(f + 20 + ((b == 5 || b == 35) ? 70 : 40), WAVE_RBRA) = MARK_PULSE_NOTCH;
  }
  TnelDataAna a = r.Make();
  DataAnaTestAccess::CheckNotches(a, 0);
  // Mean distance over 30 triples: (29 * 40 + 70) / 30 = 41; tolerance 12.
  EXPECT_EQ(r.mark(10 + 500 + 90, WAVE_RBRA), 0);
  EXPECT_EQ(r.mark(10 + 500 + 20 + 41, WAVE_RBRA), MARK_PULSE_NOTCH);
  EXPECT_EQ(r.mark(10 + 3500 + 90, WAVE_RBRA), MARK_PULSE_NOTCH);  // beyond the 30th triple
  EXPECT_EQ(r.mark(10 + 100 + 60, WAVE_RBRA), MARK_PULSE_NOTCH);   // within tolerance, kept
}

}  // namespace
