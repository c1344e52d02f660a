// The façade end to end through the real serial path to the virtual unit:
// port search, the unit's coefficient set, sampling and the processing pass.
// (The modes' results: facade_test.cpp, with the unit in the test's process.)
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

#include "../common/facade_rig.h"

namespace {

using nel::test::FacadeRig;

using nel::sim::QuietSubject;

TEST(FacadeE2E, OpensByProbingAndUsesTheUnitsCoefficients) {
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

  // 10 s of data: the heart rate of the subject from the ECG the pass hands
  // the tracker, the pressures of empty cuffs near 0.
  float pressures[27 * 6];
  tagHMID_DATA st{};
  float highest = 0.0f;
  rig.on_pass = [&](int n) {
    ASSERT_EQ(rig.hb.GetData(nullptr, pressures, &st), n);
    for (int i = 0; i < n * 4; ++i) highest = std::max(highest, std::fabs(pressures[i]));
  };
  ASSERT_TRUE(rig.Run(10000));
  EXPECT_LT(highest, 3.0f);
  EXPECT_NEAR(st.PulseRate, rig.Truth()["heart_rate_bpm"].get<double>(), 5.0);
}

}  // namespace
