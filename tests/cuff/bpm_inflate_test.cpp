// The inflation controller driving a real TnelHardCtl whose unit, at the other
// end of a pseudo-terminal, records the pump and valve commands.
#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include <nel/cuff/bpm_inflate.h>
#include "../common/unit_link.h"

namespace {

using nel::test::PneumaticCommand;
using nel::test::Pump;
using nel::test::UnitLink;
using nel::test::Valve;
using Commands = std::vector<PneumaticCommand>;

void Feed(TnelBPMInflate& c, int calls, float pressure) {
  for (int k = 0; k < calls; ++k) c.Process(pressure);
}

class InflateTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(link_.opened); }
  Commands Sent() { return link_.Sent(); }
  // A limb controller inflating after its pre-inflation, with `back` as the
  // average three periods before the period about to complete.
  TnelBPMInflate LimbInBand(float back, int level = 6500) {
    TnelBPMInflate c(&link_.ctl, 100, BP_RBRA);
    c.State = 2;
    c.Started = true;
    c.PreInflate = false;
    c.PumpSpeed = level;
    c.AvgHistory[0] = back;
    c.HistoryPos = 3;
    return c;
  }
  UnitLink link_;
};

TEST_F(InflateTest, PumpStartsOnTheHundredAndFirstEmptyCall) {
  TnelBPMInflate c(&link_.ctl, 100, BP_RBRA);
  Feed(c, 50, 5.0f);
  c.Process(5.1f);  // not empty: the count starts again
  Feed(c, 100, 5.0f);
  EXPECT_FALSE(c.Started);
  EXPECT_TRUE(Sent().empty());
  c.Process(0.0f);
  EXPECT_TRUE(c.Started);
  EXPECT_TRUE(c.SampleEnable);
  EXPECT_EQ(c.PumpSpeed, 8700);
  EXPECT_EQ(Sent(), (Commands{Valve(0, false), Pump(0, 8700)}));

  // Pre-inflation: nothing below 8 mmHg, then the running level.
  Feed(c, 20, 7.9f);
  EXPECT_TRUE(Sent().empty());
  c.Process(8.0f);
  EXPECT_FALSE(c.PreInflate);
  EXPECT_EQ(Sent(), (Commands{Valve(0, false), Pump(0, 6500)}));

  c.StartDeflate();
  EXPECT_FALSE(c.Started);
  EXPECT_EQ(c.State, 1);
  EXPECT_EQ(Sent(), (Commands{Pump(0, 0), Valve(0, true)}));
}

TEST_F(InflateTest, CuffThatNeverEmptiesNeverStartsAndNoControlDoesNothing) {
  TnelBPMInflate c(&link_.ctl, 100, BP_RBRA);
  Feed(c, 1000, 5.1f);
  EXPECT_FALSE(c.Started);
  TnelBPMInflate none(nullptr, 100, BP_RBRA);
  Feed(none, 1000, 0.0f);
  EXPECT_FALSE(none.Started);
  none.StartDeflate();
  none.CurrPulseRecognOK();
  EXPECT_TRUE(Sent().empty());
}

TEST_F(InflateTest, FirstCorrectionAfterFourAveragesThenThreeWithout) {
  TnelBPMInflate c(&link_.ctl, 100, BP_RBRA);
  Feed(c, 99, 20.0f);
  Feed(c, 101, 0.0f);  // starts the pump on the call that completes a period
  ASSERT_TRUE(c.Started);
  Feed(c, 100, 8.0f);  // pre-inflation ends; the first stored average is 8.0
  Sent();
  // Averages 8, 20, 32, 44: far too fast, but three periods back is empty
  // until the fourth average.
  Feed(c, 100, 20.0f);
  Feed(c, 100, 32.0f);
  EXPECT_TRUE(Sent().empty());
  Feed(c, 100, 44.0f);
  EXPECT_EQ(Sent(), (Commands{Valve(0, false), Pump(0, 6440)}));
  EXPECT_EQ(c.SpeedHold, 3);
  Feed(c, 300, 80.0f);  // still too fast: held for three averages
  EXPECT_TRUE(Sent().empty());
  Feed(c, 100, 104.0f);  // rate 8 against the 80 three periods back
  EXPECT_EQ(Sent(), (Commands{Valve(0, false), Pump(0, 6380)}));
}

TEST_F(InflateTest, BandWidensEveryFiftyMmHgUpTo250) {
  struct Case {
    float pressure;
    float rise;  // over three periods
    int level;   // expected new level, 0 for none
  };
  const Case cases[] = {
      {49.9f, 12.6f, 6470},   // rate 4.2 above 2.5..4.0
      {50.0f, 12.6f, 0},      // inside 3.0..4.5
      {40.0f, 15.0f, 6440},   // rate 5.0 above 4.0 + 0.8
      {40.0f, 12.0f, 0},      // rate 4.0: upper edge inside
      {40.0f, 7.5f, 0},       // rate 2.5: lower edge inside
      {40.0f, 6.0f, 6535},    // rate 2.0
      {40.0f, 4.5f, 6535},    // rate 1.5: not below 2.5 - 1.0
      {40.0f, 4.2f, 6580},    // rate 1.4 below 2.5 - 1.0
      {300.0f, 15.6f, 0},     // rate 5.2 inside 5.0..6.5 (no wider band above 250)
      {300.0f, 20.7f, 6470},  // rate 6.9 above 6.5
      {249.9f, 20.7f, 6440},  // rate 6.9 above 6.0 + 0.8
  };
  for (const Case& k : cases) {
    TnelBPMInflate c = LimbInBand(k.pressure - k.rise);
    Feed(c, 100, k.pressure);
    const Commands sent = Sent();
    if (k.level == 0) {
      EXPECT_TRUE(sent.empty()) << k.pressure << " " << k.rise;
      EXPECT_EQ(c.PumpSpeed, 6500);
    } else {
      EXPECT_EQ(sent, (Commands{Valve(0, false), Pump(0, k.level)})) << k.pressure << " " << k.rise;
      EXPECT_EQ(c.PumpSpeed, k.level);
    }
  }
}

TEST_F(InflateTest, LevelsAreClampedTo4500And9500) {
  TnelBPMInflate fast = LimbInBand(40.0f - 30.0f, 4520);
  Feed(fast, 100, 40.0f);
  EXPECT_EQ(Sent(), (Commands{Valve(0, false), Pump(0, 4500)}));
  TnelBPMInflate slow = LimbInBand(40.0f, 9480);
  Feed(slow, 100, 40.0f);
  EXPECT_EQ(Sent(), (Commands{Valve(0, false), Pump(0, 9500)}));
  EXPECT_EQ(slow.PumpSpeed, 9500);
}

TEST_F(InflateTest, LimbCuffIgnoresPulseNotices) {
  TnelBPMInflate c = LimbInBand(30.0f);
  c.CurrPulseRecognOK();
  EXPECT_TRUE(Sent().empty());
  EXPECT_EQ(c.State, 2);
  EXPECT_EQ(c.StepCommands, 0);
}

TEST_F(InflateTest, ToeCuffClimbsInHeldSteps) {
  // Toe channel 4 shares the right ankle's pneumatics (line 2).
  TnelBPMInflate c(&link_.ctl, 100, BP_RTOE);
  Feed(c, 101, 0.0f);
  ASSERT_TRUE(c.Started);
  EXPECT_FALSE(c.SampleEnable);
  EXPECT_EQ(c.StepTarget, 14.0f);
  EXPECT_EQ(Sent(), (Commands{Valve(2, false), Pump(2, 6000)}));

  // Below the target the command is repeated every 25 calls.
  Feed(c, 50, 10.0f);
  EXPECT_EQ(Sent().size(), 4u);
  EXPECT_EQ(c.StepLevel, 32);
  // Three quarter-period checks at the target start the hold.
  Feed(c, 74, 14.0f);
  EXPECT_EQ(c.HoldCount, -1);
  Feed(c, 1, 14.0f);
  EXPECT_EQ(c.HoldCount, 0);
  Feed(c, 150, 14.0f);
  EXPECT_FALSE(c.SampleEnable);
  Feed(c, 1, 14.0f);
  EXPECT_EQ(c.State, 3);
  EXPECT_TRUE(c.SampleEnable);
  EXPECT_TRUE(Sent().empty());

  // The window is done: the next step aims 7 mmHg above the last average.
  Feed(c, 100 - c.AvgCount, 14.0f);
  c.CurrPulseRecognOK();
  EXPECT_EQ(c.StepTarget, 21.0f);
  EXPECT_EQ(c.StepCommands, 1);
  EXPECT_FALSE(c.SampleEnable);
  EXPECT_EQ(Sent(), (Commands{Valve(2, false), Pump(2, 6000)}));
  // Reached with the first command and 2.5 mmHg over: next level 5 lower.
  Feed(c, 25, 23.5f);
  EXPECT_EQ(c.HoldCount, 0);
  EXPECT_EQ(c.StepLevel, 27);

  // A step that needs a second command raises the level by 5.
  Feed(c, 100 - c.AvgCount, 23.5f);
  c.CurrPulseRecognOK();
  Feed(c, 25, 25.0f);
  EXPECT_EQ(c.StepCommands, 2);
  Feed(c, 25, 30.5f);
  EXPECT_EQ(c.StepLevel, 32);
  EXPECT_EQ(Sent().size(), 4u);
}

TEST_F(InflateTest, ToeStepLevelStaysBetween10And100) {
  TnelBPMInflate c(&link_.ctl, 100, BP_LTOE);
  c.State = 2;
  c.Started = true;
  c.PreInflate = false;
  c.HoldCount = -1;
  c.StepTarget = 50.0f;
  c.StepLevel = 140;
  Feed(c, 25, 40.0f);
  EXPECT_EQ(c.StepLevel, 100);
  c.StepLevel = 3;
  Feed(c, 25, 40.0f);
  EXPECT_EQ(c.StepLevel, 10);
  EXPECT_EQ(Sent(), (Commands{Valve(3, false), Pump(3, 6000), Valve(3, false), Pump(3, 6000)}));
}

// Steps that each overshoot with their first command lower the level by 5
// every time; it stops at 10, so every step's first command still goes out.
TEST_F(InflateTest, RepeatedDownwardTuningsKeepTheToeLevelAt10) {
  TnelBPMInflate c(&link_.ctl, 100, BP_RTOE);
  c.State = 3;
  c.Started = true;
  c.PreInflate = false;
  c.AvgPressure = 20.0f;
  c.CurrPulseRecognOK();
  EXPECT_EQ(Sent(), (Commands{Valve(2, false), Pump(2, 6000)}));
  Feed(c, 25, c.StepTarget + 1.0f);  // reached at once, 1 mmHg over: the level stays
  EXPECT_EQ(c.StepLevel, 32);
  c.AvgPressure = c.StepTarget;
  for (int step = 0; step < 8; ++step) {
    c.CurrPulseRecognOK();
    EXPECT_EQ(Sent(), (Commands{Valve(2, false), Pump(2, 6000)})) << "step " << step;
    Feed(c, 25, c.StepTarget + 2.5f);  // reached at once, 2.5 mmHg over
    EXPECT_EQ(c.StepLevel, std::max(32 - 5 * (step + 1), 10)) << "step " << step;
    c.AvgPressure = c.StepTarget;
  }
}

TEST_F(InflateTest, HeldToeStepThatLosesItsPressureInflatesAgain) {
  TnelBPMInflate c(&link_.ctl, 100, BP_RTOE);
  c.State = 3;
  c.SampleEnable = true;
  c.PreInflate = false;
  c.Process(12.0f);
  EXPECT_EQ(c.State, 3);
  c.Process(11.9f);
  EXPECT_EQ(c.State, 2);
  EXPECT_TRUE(c.PreInflate);
  EXPECT_FALSE(c.SampleEnable);
  EXPECT_EQ(c.HoldCount, -1);
}

}  // namespace
