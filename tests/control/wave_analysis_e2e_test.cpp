// A wave record taken as a host takes it (BP measurement, hold at 60 mmHg,
// hold released with the cuffs inflated, 15 s record) on the virtual unit and
// analysed with the measured pressures, against the subject's truth.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <vector>

#include <nel/analysis/data_ana.h>
#include "../common/facade_rig.h"

namespace {

using nel::test::FacadeRig;

// Index error allowed: the measured systolic pressures carry the oscillometric
// error of each cuff (a few mmHg on this subject).
constexpr double kAbiTolerance = 0.05;
// The analysis reports the mean of the detector's once-a-second rates,
// including the first seconds of its learning pass.
constexpr double kHeartRateTolerance = 5.0;
// Foot-to-foot delays within a few samples on clean waves; the velocity is
// the path difference over 0.9 times the delay.
constexpr double kPwvRelTolerance = 0.15;
// The filter bank delivers pulse waves and the PCG this many frames behind their input.
constexpr long kPulseLag = 1000;
// Mean foot-to-foot delay error (ms) between two sites: the arms share their
// offset; an ankle foot comes 0 to 2 ms later after its foot than an arm's
// (tangent method on the unit's cuff wave: +19 ms arm, +19 to +21 ms ankle).
constexpr double kArmDelayTolerance = 2.0;
constexpr double kArmAnkleDelayExpected = 1.0;
constexpr double kArmAnkleDelayTolerance = 4.0;
// Heart-sound marks: where the 50 ms energy window first passes the threshold,
// 30 records on; measured +12 ms (S1) and +1 ms (S2) after the true onsets.
constexpr int kSoundWindowMs = 25;

// Record index of the mark `value` at position `pos` nearest to p within ±window; -1 when none.
int NearestMark(const std::vector<tagSAVE_WAVEDATA>& rec, int pos, uint8_t value, long p, int window) {
  int best = -1;
  for (long i = std::max(0L, p - window); i <= std::min<long>(static_cast<long>(rec.size()) - 1, p + window); ++i)
    if (rec[i].Mark[pos] == value && (best < 0 || std::labs(i - p) < std::labs(best - p))) best = static_cast<int>(i);
  return best;
}

double Mean(const std::vector<double>& v) {
  double s = 0;
  for (double x : v) s += x;
  return v.empty() ? 1e9 : s / static_cast<double>(v.size());
}

TEST(WaveAnalysisE2E, RecordAtHeldPressureGivesTheSubjectsIndicesRateAndVelocity) {
  nel::sim::SubjectConfig subject = nel::sim::QuietSubject();
  subject.seed = 7;
  subject.heart_rate_bpm = 66;
  subject.height_cm = 176;
  subject.pwv_cm_s = 1500;
  subject.site[nel::sim::kRAnk].sbp = 144;  // ABI 1.18 and 0.82 against the right arm's 122
  subject.site[nel::sim::kLAnk].sbp = 100;
  subject.site[nel::sim::kLAnk].dbp = 64;
  FacadeRig rig(subject);
  ASSERT_TRUE(rig.started) << rig.error;
  // The frame stored as record 0, counted from the first frame taken (a
  // recording pass stores from its first frame).
  long recordStart = -1;
  bool recording = false;
  rig.on_pass = [&](int n) {
    int stored = 0;
    rig.hb.WaveRecord_DataAssign(&stored);
    if (recording && recordStart < 0 && stored > 0) recordStart = rig.taken - n;
  };
  ASSERT_TRUE(rig.Open(true));

  bool sel[6] = {true, true, true, true, false, false};
  ASSERT_TRUE(rig.hb.BPMeasure_Start(BPMEASURE_SIMULTANEOUS, 220, sel, 66));
  ASSERT_TRUE(rig.RunUntil(90, [&] { return rig.Status().BPMeasureEnd; }));
  tagLIMBRESULT limbs[4];
  const tagHMID_DATA st = rig.Status();
  for (int k = 0; k < 4; ++k) {
    ASSERT_GT(st.BPResult[k].SBP, 0) << k;
    limbs[k] = {st.BPResult[k].SBP, st.BPResult[k].DBP, st.BPResult[k].MAP};
  }
  rig.hb.BPMeasure_Cancel();

  rig.hb.FixPressure_Start(60);
  ASSERT_TRUE(rig.RunUntil(40, [&] { return rig.Status().FixPressureEnd; }));
  rig.hb.FixPressure_Cancel(false);
  ASSERT_TRUE(rig.hb.WaveRecord_Start());
  recording = true;
  ASSERT_TRUE(rig.RunUntil(20, [&] { return rig.Status().WaveRecordEnd; }));
  int count = 0;
  tagSAVE_WAVEDATA* rec = rig.hb.WaveRecord_DataAssign(&count);
  ASSERT_EQ(count, TnelHardBase::kWaveRecordCapacity);
  std::vector<tagSAVE_WAVEDATA> records(rec, rec + count);
  rig.hb.CancelAllProcess();
  const auto truth = rig.Truth();
  ASSERT_GE(recordStart, 0);
  rig.hb.CloseHardware();  // the analysis drives the process-wide ECG detector

  const tagTYPE_NEL_WAVEDATA kinds[6] = {WAVE_ECG, WAVE_PCG, WAVE_RBRA, WAVE_LBRA, WAVE_RANK, WAVE_LANK};
  TnelDataAna ana(6, kinds, records.data(), count, 1000);
  ana.SetBPData(true, limbs);
  ASSERT_TRUE(ana.Analysis(true, 176, 0.0f, false));

  EXPECT_NEAR(ana.RightABI, truth["abi"]["right"].get<double>(), kAbiTolerance);
  EXPECT_NEAR(ana.LeftABI, truth["abi"]["left"].get<double>(), kAbiTolerance);
  EXPECT_NEAR(ana.HeartRate, subject.heart_rate_bpm, kHeartRateTolerance);
  const double expected[2] = {truth["bapwv_cm_s"]["right"].get<double>() / 0.9,
                              truth["bapwv_cm_s"]["left"].get<double>() / 0.9};
  EXPECT_NEAR(ana.RightPWV, expected[0], kPwvRelTolerance * expected[0]);
  EXPECT_NEAR(ana.LeftPWV, expected[1], kPwvRelTolerance * expected[1]);

  // Every beat of the record has its heart sounds and its four feet.
  int r = 0, s1 = 0, s2 = 0, feet[4] = {};
  for (const auto& x : records) {
    r += x.Mark[0] == MARK_ECG_R;
    s1 += x.Mark[1] == MARK_PCG_S1;
    s2 += x.Mark[1] == MARK_PCG_S2;
    for (int s = 0; s < 4; ++s) feet[s] += x.Mark[2 + s] == MARK_PULSE_FOOT;
  }
  EXPECT_GE(r, 15);
  EXPECT_GE(s1, r - 2);
  EXPECT_GE(s2, r - 2);
  for (int s = 0; s < 4; ++s) EXPECT_GE(feet[s], r - 3) << s;

  // Feet and heart sounds against the true events, through the filter bank's delay.
  const long base = truth["stream_start_frame"].get<long>() + recordStart - kPulseLag;
  const auto& beats = truth["beats"];
  const char* site[4] = {"rbra", "lbra", "rank", "lank"};
  std::vector<double> armArm, armAnkle, sound[2];
  const size_t nb = beats["foot_s"]["lank"].size();
  for (size_t b = 0; b < nb; ++b) {
    long p[4];
    int m[4];
    for (int s = 0; s < 4; ++s) {
      p[s] = std::lround(beats["foot_s"][site[s]][b].get<double>() * 1000.0) - base;
      m[s] = NearestMark(records, 2 + s, MARK_PULSE_FOOT, p[s] + 20, 60);
    }
    if (p[0] < 200 || p[3] >= count - 200 || std::find(m, m + 4, -1) != m + 4) continue;
    armArm.push_back((m[0] - m[1]) - (p[0] - p[1]));
    armAnkle.push_back((m[2] - m[0]) - (p[2] - p[0]));
    armAnkle.push_back((m[3] - m[1]) - (p[3] - p[1]));
  }
  EXPECT_GE(armArm.size(), 10u);
  EXPECT_NEAR(Mean(armArm), 0.0, kArmDelayTolerance);
  EXPECT_NEAR(Mean(armAnkle), kArmAnkleDelayExpected, kArmAnkleDelayTolerance);
  const char* onset[2] = {"s1_onset_s", "s2_onset_s"};
  for (int k = 0; k < 2; ++k) {
    int inRecord = 0;
    for (const auto& t : beats[onset[k]]) {
      const long p = std::lround(t.get<double>() * 1000.0) - base;
      if (p < 200 || p >= count - 200) continue;
      ++inRecord;
      const int mk = NearestMark(records, 1, k == 0 ? MARK_PCG_S1 : MARK_PCG_S2, p, kSoundWindowMs);
      if (mk >= 0) sound[k].push_back(mk - p);
    }
    EXPECT_GE(static_cast<int>(sound[k].size()), inRecord - 2) << onset[k];
  }
}

}  // namespace
