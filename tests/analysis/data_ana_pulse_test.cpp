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

TEST(PulsePoints, IrregularBeatsGetNoMarks) {
  Record r({WAVE_ECG, WAVE_RBRA}, 6000);
  const Beats b = MakeBeats(r);
  nel_test::AddPulse(r, WAVE_RBRA, b.feet);
  TnelDataAna a = r.Make();
  a.BeatLen = 2000;  // every 800-record beat is irregular
  ASSERT_TRUE(DataAnaTestAccess::Pulse(a, WAVE_RBRA));
  for (uint8_t m = 1; m <= 7; ++m) EXPECT_TRUE(r.Where(WAVE_RBRA, m).empty()) << int(m);
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

// Second sounds `s2` records after the peaks (the peaks of a first pass): a
// mean peak-to-S2 offset below -10 puts the T points on the second sounds and
// the P points after the peaks; from -10 on the T points follow the peaks and
// the P points need first sounds. One second sound on a peak: P and T there.
TEST(PulsePoints, SecondSoundsPlaceTheSystolicPoints) {
  for (int32_t s2 : {60, 10, 7, 0}) {
    Record r({WAVE_ECG, WAVE_PCG, WAVE_RBRA}, 8000);
    const Beats b = MakeBeats(r);
    nel_test::AddPulse(r, WAVE_RBRA, b.feet);
    TnelDataAna a = r.Make();
    a.BeatLen = kPeriod;
    ASSERT_TRUE(DataAnaTestAccess::Pulse(a, WAVE_RBRA));
    const auto peaks = r.Where(WAVE_RBRA, MARK_PULSE_PEAK);
    ASSERT_EQ(peaks.size(), b.onsets.size() - 1);
    for (auto& rec : r.rec) rec.Mark[2] = 0;
    for (size_t j = 0; j < peaks.size(); ++j) r.mark(peaks[j] + (s2 == 0 && j != 2 ? 60 : s2), WAVE_PCG) = MARK_PCG_S2;
    ASSERT_TRUE(DataAnaTestAccess::Pulse(a, WAVE_RBRA));
    ASSERT_EQ(r.Where(WAVE_RBRA, MARK_PULSE_PEAK), peaks);
    const auto t = r.Where(WAVE_RBRA, MARK_PULSE_T), p = r.Where(WAVE_RBRA, MARK_PULSE_P);
    if (s2 == 0) {
      EXPECT_EQ(r.mark(peaks[2] + 1, WAVE_RBRA), MARK_PULSE_PT);
      continue;
    }
    ASSERT_EQ(t.size(), peaks.size()) << s2;
    for (size_t j = 0; j < t.size(); ++j) EXPECT_EQ(t[j], peaks[j] + (s2 == 60 ? 60 : 1)) << s2;
    EXPECT_EQ(p.size(), s2 == 60 ? peaks.size() : 0u) << s2;
    for (size_t j = 0; j < p.size(); ++j) EXPECT_EQ(p[j], peaks[j] + 1);
    // P (just after the peak) is higher than T: negative augmentation.
    if (s2 == 60) {
      EXPECT_LT(a.AIx, 0);
      EXPECT_GT(a.AIx, -100);
    } else {
      EXPECT_EQ(a.AIx, -9999);
    }
  }
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
