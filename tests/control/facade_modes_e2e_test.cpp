// The façade's other modes end to end on the virtual unit: toe cuffs,
// the fixed-pressure hold, the wave record, the CVRR check and
// the exercise protocol.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include <nel/bp/bpv_check.h>
#include <nel/dsp/fir_filter_bank.h>
#include "../common/facade_rig.h"

namespace {

using nel::test::FacadeRig;

using nel::sim::QuietSubject;

TEST(FacadeModesE2E, ToeCuffsAreMeasuredInTheBrachialToeCategory) {
  nel::sim::SubjectConfig subject = QuietSubject();
  subject.SetToeLines(true);
  FacadeRig rig(subject);
  ASSERT_TRUE(rig.Open(true));
  rig.hb.SetDetectCategory(DETECT_BRA_TOE);
  bool sel[6] = {false, false, false, false, true, true};
  ASSERT_TRUE(rig.hb.BPMeasure_Start(BPMEASURE_SIMULTANEOUS, 200, sel, 70));
  ASSERT_TRUE(rig.RunUntil(300, [&] { return rig.Status().BPMeasureEnd; }));
  const auto truth = rig.Truth()["sites"];
  const tagHMID_DATA st = rig.Status();
  // Positions 0 and 1 (arms) were not selected.
  EXPECT_EQ(st.BPResult[0].SBP, -1);
  EXPECT_EQ(st.BPResult[1].SBP, -1);
  // The toe cuffs are inflated in steps; their systolic pressure comes out
  // within the wider band of a little cuff.
  const char* keys[] = {"rtoe", "ltoe"};
  for (int k = 2; k < 4; ++k) {
    const double sbp = truth[keys[k - 2]]["sbp"];
    EXPECT_NEAR(st.BPResult[k].SBP, sbp, 20.0) << keys[k - 2];
  }
  rig.hb.BPMeasure_Cancel();
}

TEST(FacadeModesE2E, HoldSettlesAtSixtyThenAFifteenSecondRecordFollows) {
  FacadeRig rig(QuietSubject());
  ASSERT_TRUE(rig.Open(true));
  rig.hb.FixPressure_Start(60);
  ASSERT_TRUE(rig.RunUntil(120, [&] { return rig.Status().FixPressureEnd; }));
  float pressures[27 * 4];
  ASSERT_GT(rig.hb.GetData(nullptr, pressures, nullptr), 0);
  for (int k = 0; k < 4; ++k) {
    EXPECT_GE(pressures[k], 59.3f) << k;
    EXPECT_LE(pressures[k], 64.2f) << k;
  }

  // The record: 2000 frames of settling, then exactly 15000 frames.
  rig.hb.FixPressure_Cancel(false);
  ASSERT_TRUE(rig.hb.WaveRecord_Start());
  long frames = 0;
  rig.on_pass = [&](int n) {
    if (!rig.Status().WaveRecordEnd) frames += n;
  };
  long endFrames = -1;
  ASSERT_TRUE(rig.RunUntil(30, [&] {
    if (rig.Status().WaveRecordEnd && endFrames < 0) endFrames = frames;
    return endFrames >= 0;
  }));
  int count = 0;
  const tagSAVE_WAVEDATA* rec = rig.hb.WaveRecord_DataAssign(&count);
  EXPECT_EQ(count, 15000);
  // The last pass's frames beyond the 17000th are not stored; the pass that
  // ends the record holds frame 17000.
  EXPECT_GE(endFrames, 17000 - 27);
  EXPECT_LE(endFrames, 17000);
  // Records hold the filtered waves: the brachial pulse wave at a 60 mmHg
  // cuff pressure oscillates visibly, the unused marks stay 0.
  float lo = 1e9f, hi = -1e9f;
  for (int i = 5000; i < 15000; ++i) {
    const float v = rec[i].Wave[2];  // packed field: read by value
    lo = std::min(lo, v);
    hi = std::max(hi, v);
    ASSERT_EQ(int{rec[i].Mark[0]}, 0);
  }
  EXPECT_GT(hi - lo, 0.3f);
  rig.hb.CancelAllProcess();
}

TEST(FacadeModesE2E, ThirtySecondCVRRCheck) {
  FacadeRig rig(QuietSubject());
  ASSERT_TRUE(rig.Open(true));
  rig.hb.CVRRCheck_Start(30000);
  long frames = 0;
  rig.on_pass = [&](int n) { frames += n; };
  ASSERT_TRUE(rig.RunUntil(40, [&] { return rig.Status().CVRRCheckEnd; }));
  // The first second is not stored.
  EXPECT_GE(frames, 31000);
  EXPECT_LE(frames, 31000 + 27);
  EXPECT_EQ(rig.hb.CVRRCheck_GetCurrSavedDataLen(), 30000);
  tagCVRR_ANA_RESULT res{};
  ASSERT_TRUE(rig.hb.CVRRCheck_GetResult(&res));
  const double rate = rig.Truth()["heart_rate_bpm"];
  EXPECT_EQ(res.DataLen, 30000);
  EXPECT_NEAR(res.HeartRate, rate, 5.0);
  EXPECT_NEAR(res.RCount, 30.0 * rate / 60.0, 3.0);
  EXPECT_EQ(res.RRCount, res.RCount - 1);
  EXPECT_NEAR(res.MeanRR, 60000.0 / rate, 60.0);
  EXPECT_GT(res.CVRR, 0.0f);
  EXPECT_LT(res.CVRR, 10.0f);
  // The buffer keeps the requested length and the stored samples.
  int32_t len = 0;
  EXPECT_NE(rig.hb.CVRRCheck_AssignECGWaveData(&len), nullptr);
  EXPECT_EQ(len, 30000);
}

TEST(FacadeModesE2E, ExerciseProtocolOfTwoChecksWithAPause) {
  FacadeRig rig(QuietSubject());
  ASSERT_TRUE(rig.Open(true));
  rig.hb.ExerciseStress_Start(nel::sim::PausedExercise(2, 5));

  std::vector<int> stages;
  long frames = 0, stage2Frames = 0;
  int maxCountdown = -1, minCountdown = 1000;
  // The passes up to the one that reports the end: the rest of that clock
  // step's frames may still be processed before the run stops.
  rig.on_pass = [&](int n) {
    if (!stages.empty() && stages.back() == 1 && rig.hb.ExerciseStress_GetCurrChkNo() == 2) return;
    frames += n;
    const int s = rig.Status().ExerciseStage;
    if (stages.empty() || stages.back() != s) stages.push_back(s);
    if (s == 2) {
      stage2Frames += n;
      const int left = rig.hb.ExerciseStress_GetNextProcElapseSeconds();
      maxCountdown = std::max(maxCountdown, left);
      minCountdown = std::min(minCountdown, left);
    }
  };
  ASSERT_TRUE(rig.RunUntil(400, [&] { return rig.Status().ExerciseEnd; }));
  EXPECT_EQ(stages, (std::vector<int>{0, 1, 2, 0, 1}));
  // The pause between the checks: 5000 frames, to within one pass.
  EXPECT_GE(stage2Frames, 5000 - 27);
  EXPECT_LE(stage2Frames, 5000 + 27);
  EXPECT_EQ(maxCountdown, 5);
  EXPECT_LE(minCountdown, 1);

  tagExerciseStressRec rec{};
  ASSERT_TRUE(rig.hb.ExerciseStress_GetResult(&rec));
  EXPECT_EQ(rec.CheckNum, 2);
  const auto truth = rig.Truth();
  const char* keys[] = {"rbra", "lbra", "rank", "lank"};
  for (int c = 0; c < 2; ++c) {
    for (int p = 0; p < 4; ++p) {
      const double sbp = truth["sites"][keys[p]]["sbp"];
      const int16_t measured = rec.Check[c].BP[p][0];
      EXPECT_NEAR(measured, sbp, 15.0) << c << keys[p];
    }
    // Packed fields are read by value.
    const int16_t rightArm = rec.Check[c].BP[0][0], leftArm = rec.Check[c].BP[1][0];
    const int16_t rightAnkle = rec.Check[c].BP[2][0];
    const float rightAbi = rec.Check[c].RightABI, leftAbi = rec.Check[c].LeftABI;
    EXPECT_FLOAT_EQ(rightAbi, static_cast<float>(rightAnkle) / static_cast<float>(std::max(rightArm, leftArm)));
    EXPECT_NEAR(rightAbi, static_cast<double>(truth["abi"]["right"]), 0.1);
    EXPECT_NEAR(leftAbi, static_cast<double>(truth["abi"]["left"]), 0.1);
  }
  // Nothing beyond the configured checks starts afterwards.
  ASSERT_TRUE(rig.Run(10000));
  EXPECT_EQ(rig.hb.ExerciseStress_GetCurrChkNo(), 2);
  EXPECT_EQ(rig.Status().ExerciseStage, 2);
  rig.hb.ExerciseStress_Cancel();
}

}  // namespace

namespace {

TEST(FacadeModesE2E, HoldSettlesWithToeCuffs) {
  nel::sim::SubjectConfig subject = QuietSubject();
  subject.SetToeLines(true);
  FacadeRig rig(subject);
  ASSERT_TRUE(rig.Open(true));
  rig.hb.SetDetectCategory(DETECT_BRA_TOE);
  rig.hb.FixPressure_Start(60);
  float pressures[27 * 4];
  ASSERT_TRUE(rig.RunUntil(120, [&] { return rig.Status().FixPressureEnd; }))
      << "pressures " << (rig.hb.GetData(nullptr, pressures, nullptr), pressures[0]) << " " << pressures[1] << " "
      << pressures[2] << " " << pressures[3];
  ASSERT_GT(rig.hb.GetData(nullptr, pressures, nullptr), 0);
  for (int k = 0; k < 4; ++k) {
    EXPECT_GE(pressures[k], 59.3f) << k;
    EXPECT_LE(pressures[k], 64.2f) << k;
  }
  rig.hb.CancelAllProcess();
}

}  // namespace
