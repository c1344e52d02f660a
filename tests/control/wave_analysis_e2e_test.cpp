// A wave record taken as a host takes it (BP measurement, hold at 60 mmHg,
// hold released with the cuffs inflated, 15 s record) on the virtual unit and
// analysed with the measured pressures, against the subject's truth.
#include <gtest/gtest.h>

#include <vector>

#include "analysis/data_ana.h"
#include "facade_rig.h"

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

TEST(WaveAnalysisE2E, RecordAtHeldPressureGivesTheSubjectsIndicesRateAndVelocity) {
  nel::sim::SubjectConfig subject;
  subject.rhythm.clear();
  subject.seed = 7;
  subject.heart_rate_bpm = 66;
  subject.height_cm = 176;
  subject.pwv_cm_s = 1500;
  subject.site[nel::sim::kRAnk].sbp = 144;  // ABI 1.18 and 0.82 against the right arm's 122
  subject.site[nel::sim::kLAnk].sbp = 100;
  subject.site[nel::sim::kLAnk].dbp = 64;
  FacadeRig rig(subject);
  ASSERT_TRUE(rig.started) << rig.error;
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
  ASSERT_TRUE(rig.RunUntil(20, [&] { return rig.Status().WaveRecordEnd; }));
  int count = 0;
  tagSAVE_WAVEDATA* rec = rig.hb.WaveRecord_DataAssign(&count);
  ASSERT_EQ(count, TnelHardBase::kWaveRecordCapacity);
  std::vector<tagSAVE_WAVEDATA> records(rec, rec + count);
  rig.hb.CancelAllProcess();
  const auto truth = rig.Truth();
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
}

}  // namespace
