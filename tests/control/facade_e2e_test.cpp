// The façade end to end: port search, sampling, the processing pass and every
// measurement mode, through the real serial path to the virtual unit.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include <nel/bp/bpv_check.h>
#include <nel/dsp/fir_filter_bank.h>
#include "../common/facade_rig.h"

namespace {

using nel::test::FacadeRig;

constexpr const char* kSiteKeys[] = {"rbra", "lbra", "rank", "lank", "rtoe", "ltoe"};

// Error band of one cuff's oscillometric result against the subject's truth.
constexpr double kSbpTolerance = 15.0;
constexpr double kDbpTolerance = 15.0;

using nel::sim::QuietSubject;

TEST(FacadeE2E, OpensByProbingAndDeliversConvertedWaves) {
  nel::sim::SubjectConfig subject = QuietSubject();
  // A coefficient set in the unit's memory distinct from the built-in one.
  std::array<tagAD_FORCE_CONVERT, 6> stored{};
  for (int c = 0; c < 4; ++c) stored[c] = {0.0003f + 0.00001f * c, -5.0f - c};
  stored[BP_RTOE] = stored[BP_RANK];  // toe cuffs share the ankle transducers
  stored[BP_LTOE] = stored[BP_LANK];
  subject.stored_coeff = stored;
  FacadeRig rig(subject);
  ASSERT_TRUE(rig.started) << rig.error;
  ASSERT_TRUE(rig.Open(true));
  TnelHardCtl* ctl = rig.hb.GetHardCtl();
  for (int c = 0; c < 6; ++c) {
    EXPECT_FLOAT_EQ(ctl->ADForceCoeff[c].Slope, stored[c].Slope) << c;
    EXPECT_FLOAT_EQ(ctl->ADForceCoeff[c].Offset, stored[c].Offset) << c;
  }

  // 10 s of data: ECG and PCG in display units, pulse waves around 0 mmHg
  // (empty cuffs), cuff pressures near 0, and the heart rate of the subject.
  std::vector<float> ecg;
  float waves[27 * 8], pressures[27 * 6];
  tagHMID_DATA st{};
  float ecgMax = 0.0f, ecgMin = 0.0f, pulseAbs = 0.0f;
  long frames = 0;
  rig.on_pass = [&](int n) {
    ASSERT_EQ(rig.hb.GetData(waves, pressures, &st), n);
    for (int i = 0; i < n; ++i, ++frames) {
      for (int k = 0; k < 4; ++k) EXPECT_LT(std::fabs(pressures[i * 4 + k]), 3.0f);
      if (frames < 4000) continue;  // the filters' start
      ecgMax = std::max(ecgMax, waves[i * 6]);
      ecgMin = std::min(ecgMin, waves[i * 6]);
      for (int j = 2; j < 6; ++j) pulseAbs = std::max(pulseAbs, std::fabs(waves[i * 6 + j]));
    }
  };
  ASSERT_TRUE(rig.Run(10000));
  // ECG in millivolts: the subject's R wave of 1.2 mV; pulse waves of empty
  // cuffs in mmHg: flat.
  EXPECT_GT(ecgMax - ecgMin, 0.8f);
  EXPECT_LT(ecgMax - ecgMin, 2.5f);
  EXPECT_LT(pulseAbs, 0.5f);
  EXPECT_GT(rig.passes, 10000 / 27);
  const double rate = rig.Truth()["heart_rate_bpm"];
  EXPECT_NEAR(st.PulseRate, rate, 5.0);

  // The raw values handed out are the unit's counts: ECG around its 2130 base.
  int raw[27 * 8];
  const int n = rig.hb.GetData(raw);
  ASSERT_GT(n, 0);
  int sum = 0;
  for (int i = 0; i < n; ++i) sum += raw[i * 6];
  EXPECT_NEAR(sum / n, 2130, 1000);
}

TEST(FacadeE2E, SignalCheckFindsBaseAndAmplitude) {
  FacadeRig rig(QuietSubject());
  ASSERT_TRUE(rig.Open(true));
  rig.hb.SignalCheck_Start();
  EXPECT_EQ(rig.hb.SettlingCount(), 4000);
  ASSERT_TRUE(rig.RunUntil(20, [&] { return rig.Status().SignalCheckEnd; }));
  int base[8], datum[8];
  rig.hb.SignalCheck_GetADBaseDatum(base, datum);
  // ECG: the 12-bit signal sits around 2130; its datum is not measured.
  EXPECT_NEAR(base[0], 2130, 300);
  EXPECT_EQ(datum[0], 665);
  // PCG: positive amplitude, and the datum used from now on is at least 20.
  EXPECT_GT(datum[1], 0);
  int adBase[8], adDatum[8];
  rig.hb.GetADBaseValue(adBase, adDatum);
  EXPECT_EQ(adDatum[1], std::max(datum[1], 20));
  // Pulse waves of empty cuffs: a small amplitude, forced to 10 when none.
  for (int j = 2; j < 6; ++j) EXPECT_GT(datum[j], 0) << j;
}

struct ModeCase {
  tagTYPE_BPMEASUREMODE mode;
  double maxSeconds;
};

class FacadeBPModes : public ::testing::TestWithParam<ModeCase> {};

TEST_P(FacadeBPModes, FourCuffsMeasuredNearTheSubjectsPressures) {
  FacadeRig rig(QuietSubject());
  ASSERT_TRUE(rig.Open(true));
  bool sel[6] = {true, true, true, true, false, false};
  // Order in which the cuffs start, from the pump commands' effect: the first
  // pass on which each cuff's pressure exceeds 20 mmHg.
  std::vector<int> startOrder;
  float pressures[27 * 6];
  rig.on_pass = [&](int n) {
    rig.hb.GetData(nullptr, pressures, nullptr);
    for (int k = 0; k < 4; ++k) {
      if (std::find(startOrder.begin(), startOrder.end(), k) != startOrder.end()) continue;
      if (pressures[(n - 1) * 4 + k] > 20.0f) startOrder.push_back(k);
    }
  };
  ASSERT_TRUE(rig.hb.BPMeasure_Start(GetParam().mode, 250, sel, 70));
  EXPECT_TRUE(rig.hb.SequenceFlag());
  ASSERT_TRUE(rig.RunUntil(GetParam().maxSeconds, [&] { return rig.Status().BPMeasureEnd; }));

  const auto truth = rig.Truth()["sites"];
  const tagHMID_DATA st = rig.Status();
  for (int k = 0; k < 4; ++k) {
    const double sbp = truth[kSiteKeys[k]]["sbp"];
    const double dbp = truth[kSiteKeys[k]]["dbp"];
    EXPECT_NEAR(st.BPResult[k].SBP, sbp, kSbpTolerance) << kSiteKeys[k];
    EXPECT_NEAR(st.BPResult[k].DBP, dbp, kDbpTolerance) << kSiteKeys[k];
    EXPECT_GT(st.BPResult[k].MAP, st.BPResult[k].DBP) << kSiteKeys[k];
    EXPECT_LT(st.BPResult[k].MAP, st.BPResult[k].SBP) << kSiteKeys[k];
  }
  ASSERT_EQ(startOrder.size(), 4u);
  switch (GetParam().mode) {
    case BPMEASURE_SEQUENTIAL: EXPECT_EQ(startOrder, (std::vector<int>{0, 1, 2, 3})); break;
    case BPMEASURE_RIGHT_THEN_LEFT: {
      // Both right cuffs (positions 0 and 2) before both left ones.
      const auto pos = [&](int k) { return std::find(startOrder.begin(), startOrder.end(), k) - startOrder.begin(); };
      EXPECT_LT(std::max(pos(0), pos(2)), std::min(pos(1), pos(3)));
      break;
    }
    default: break;
  }

  // The completed measurement keeps reporting completion until cancelled,
  // and those passes return before the filter bank and the heart rate.
  const long before = rig.passes;
  const int32_t readPos = rig.hb.GetFilter()->GetReadPos();
  rig.on_pass = nullptr;
  ASSERT_TRUE(rig.Run(200));
  EXPECT_GT(rig.passes, before);
  EXPECT_TRUE(rig.Status().BPMeasureEnd);
  EXPECT_EQ(rig.hb.GetFilter()->GetReadPos(), readPos);
  tagNEL_PULSEPEAK peak{};
  rig.hb.GetNELPulsePeak(&peak, 0);
  EXPECT_GT(peak.Count, 5);
  EXPECT_GE(peak.SBPPos, 0);
  EXPECT_LT(peak.SBPPos, peak.Count);
  rig.hb.BPMeasure_Cancel();
}

INSTANTIATE_TEST_SUITE_P(Modes, FacadeBPModes,
                         ::testing::Values(ModeCase{BPMEASURE_SIMULTANEOUS, 180}, ModeCase{BPMEASURE_SEQUENTIAL, 500},
                                           ModeCase{BPMEASURE_RIGHT_THEN_LEFT, 300}),
                         [](const auto& param) {
                           switch (param.param.mode) {
                             case BPMEASURE_SIMULTANEOUS: return std::string("Simultaneous");
                             case BPMEASURE_SEQUENTIAL: return std::string("Sequential");
                             default: return std::string("RightThenLeft");
                           }
                         });

}  // namespace
