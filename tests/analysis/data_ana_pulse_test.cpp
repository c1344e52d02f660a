// TnelDataAna: pulse-wave peaks, feet, valleys, notches, P and T points and AIx.
#include <gtest/gtest.h>

#include <vector>

#include "data_ana_access.h"

using nel::analysis::DataAnaTestAccess;
using nel_test::Record;

namespace {

constexpr int32_t kPeriod = 800;

struct Beats {
  std::vector<int32_t> onsets, feet;
};

// ECG onsets every 800 records from 200, a pulse foot 100 records after each.
Beats MakeBeats(Record& r) {
  Beats b;
  for (int32_t q = 200; q < r.n(); q += kPeriod) {
    r.mark(q, WAVE_ECG) = MARK_ECG_ONSET;
    b.onsets.push_back(q);
    b.feet.push_back(q + 100);
  }
  return b;
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

// The foot refinement needs a baseline tangent of six records before the foot:
// a foot closer to the record's start keeps its place.
TEST(PulsePoints, FootAtTheRecordStartKeepsItsPlace) {
  Record r({WAVE_RBRA}, 400);
  nel_test::AddPulse(r, WAVE_RBRA, {0});
  r.mark(3, WAVE_RBRA) = MARK_PULSE_FOOT;
  r.mark(120, WAVE_RBRA) = MARK_PULSE_PEAK;
  TnelDataAna a = r.Make();
  a.BeatLen = kPeriod;
  ASSERT_TRUE(DataAnaTestAccess::Pulse(a, WAVE_RBRA));
  EXPECT_EQ(r.Where(WAVE_RBRA, MARK_PULSE_FOOT), std::vector<int32_t>{3});
}

}  // namespace
