// The safety monitor without a unit: ceilings, the time limit, a line that
// starts above a new ceiling, and the pump lockout it sets on the hardware
// control.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include <nel/cuff/cuff_safety.h>
#include <nel/link/hard_ctl.h>

namespace {

using nel::cuff::CuffSafetyMonitor;

TEST(CuffSafety, CeilingsAreTheMaximumPlusTheMarginNeverAbove300) {
  struct Case {
    float got, want;
  };
  const Case cases[] = {
      {CuffSafetyMonitor::MeasureCeiling(100), 110.0f},  {CuffSafetyMonitor::MeasureCeiling(290), 300.0f},
      {CuffSafetyMonitor::MeasureCeiling(4464), 300.0f}, {CuffSafetyMonitor::HoldCeiling(60), 80.0f},
      {CuffSafetyMonitor::HoldCeiling(290), 300.0f},
  };
  for (const Case& c : cases) EXPECT_FLOAT_EQ(c.got, c.want);
}

// Frames of one line's pressure (the other lines at 0): the stop and the frame it came on.
struct Trace {
  float ceiling;
  std::vector<std::pair<float, int>> runs;  // pressure, frames
  tagTYPE_SAFETY_STOP stop;
  long stopFrame;  // 1-based; -1: none
  float seconds;   // reported time above 15 mmHg at the stop
};

TEST(CuffSafety, StopsOnTheFirstFrameAboveTheCeilingOrPastTheTimeLimit) {
  constexpr int kLimit = CuffSafetyMonitor::kTimeLimitFrames;
  const Trace traces[] = {
      {110, {{110.0f, 5}, {110.01f, 1}}, SAFETY_OVERPRESSURE, 6, 0.006f},
      {110, {{NAN, 1}}, SAFETY_OVERPRESSURE, 1, 0.001f},
      // A pressure that is not a number counts as pressurised too.
      {110, {{100.0f, 2000}, {NAN, 1}}, SAFETY_OVERPRESSURE, 2001, 2.001f},
      {300, {{16.0f, kLimit}}, SAFETY_NONE, -1, 0},
      {300, {{16.0f, kLimit + 1}}, SAFETY_TIME_LIMIT, kLimit + 1, 180.001f},
      // 15 mmHg is not above 15: the count starts again.
      {300, {{16.0f, kLimit - 1}, {15.0f, 1}, {16.0f, kLimit}}, SAFETY_NONE, -1, 0},
  };
  for (const Trace& t : traces) {
    CuffSafetyMonitor m(nullptr);
    m.SetCeiling(t.ceiling);
    long frame = 0, stopFrame = -1;
    tagTYPE_SAFETY_STOP stop = SAFETY_NONE;
    for (const auto& [p, n] : t.runs) {
      for (int i = 0; i < n; ++i) {
        const float lines[4] = {0.0f, 0.0f, p, 0.0f};
        ++frame;
        const tagTYPE_SAFETY_STOP s = m.CheckFrame(lines);
        if (s != SAFETY_NONE && stop == SAFETY_NONE) {
          stop = s;
          stopFrame = frame;
        }
      }
    }
    EXPECT_EQ(stop, t.stop) << "ceiling " << t.ceiling;
    EXPECT_EQ(stopFrame, t.stopFrame);
    if (t.stop != SAFETY_NONE) {
      EXPECT_EQ(m.Report().Reason, t.stop);
      EXPECT_EQ(m.Report().Line, 2);
      EXPECT_EQ(m.Report().StopCount, 1);
      EXPECT_FLOAT_EQ(m.Report().Seconds, t.seconds);
    }
  }
}

TEST(CuffSafety, ALineAboveANewCeilingIsHeldTo300UntilItComesDown) {
  CuffSafetyMonitor m(nullptr);
  const float emptying[4] = {150.0f, 0.0f, 0.0f, 0.0f};
  EXPECT_EQ(m.CheckFrame(emptying), SAFETY_NONE);
  m.SetCeiling(80.0f);  // a hold starts while the arm cuff still empties
  EXPECT_EQ(m.CheckFrame(emptying), SAFETY_NONE);
  const float down[4] = {79.0f, 0.0f, 0.0f, 0.0f};
  EXPECT_EQ(m.CheckFrame(down), SAFETY_NONE);
  const float upAgain[4] = {81.0f, 0.0f, 0.0f, 0.0f};
  EXPECT_EQ(m.CheckFrame(upAgain), SAFETY_OVERPRESSURE);
  // The line that never came down is held to 300 mmHg.
  CuffSafetyMonitor n(nullptr);
  EXPECT_EQ(n.CheckFrame(emptying), SAFETY_NONE);
  n.SetCeiling(80.0f);
  const float high[4] = {300.5f, 0.0f, 0.0f, 0.0f};
  EXPECT_EQ(n.CheckFrame(high), SAFETY_OVERPRESSURE);
}

TEST(CuffSafety, AStopLocksThePumpsOutUntilRearmed) {
  TnelHardCtl ctl;
  CuffSafetyMonitor m(&ctl);
  m.Stop(SAFETY_UNIT_SILENT, -1, 0.0f);
  EXPECT_TRUE(ctl.PumpLockout());
  EXPECT_TRUE(m.Stopped());
  // A second stop before the host starts again keeps the first reason.
  m.Stop(SAFETY_OVERPRESSURE, 0, 200.0f);
  EXPECT_EQ(m.Report().Reason, SAFETY_UNIT_SILENT);
  EXPECT_EQ(m.Report().StopCount, 1);
  m.Rearm();
  EXPECT_FALSE(ctl.PumpLockout());
  EXPECT_EQ(m.Report().Reason, SAFETY_NONE);
  EXPECT_EQ(m.Report().Line, -1);
  EXPECT_EQ(m.Report().StopCount, 1);
}

}  // namespace
