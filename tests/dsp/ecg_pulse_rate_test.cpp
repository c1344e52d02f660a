#include <nel/dsp/ecg_pulse_rate.h>

#include <gtest/gtest.h>

// The tracker with its steps and state (protected) opened, as a subclass may.
struct Tracker : TrwECGPulseRate {
  explicit Tracker(int16_t rate = 1000) : TrwECGPulseRate(rate) {}
  using TrwECGPulseRate::fallThreshold_;
  using TrwECGPulseRate::noSignal_;
  using TrwECGPulseRate::prevSample_;
  using TrwECGPulseRate::ProcessEcgDataLen;
  using TrwECGPulseRate::pulse_;
  using TrwECGPulseRate::riseThreshold_;
  using TrwECGPulseRate::sinceBeat_;
  // One detector step as ProcessOnceData runs it on a filtered sample.
  void Filtered(int16_t y, bool segments = true) {
    if (segments) ProcOnceMaxFallUp(y);
    ProcOncePulseLen(y);
    prevSample_ = y;
  }
};

namespace {

TEST(TrwECGPulseRate, SegmentRangeOf133CountsMeansASignal) {
  Tracker t;
  t.prevSample_ = 0;
  for (int16_t top : {133, 132, 133}) {
    for (int i = 0; i < 1999; ++i) t.Filtered(0);
    t.Filtered(top);
    EXPECT_EQ(t.noSignal_, top < 133) << top;
  }
}

TEST(TrwECGPulseRate, IntervalLimitsAndTheFourthIntervalGivesTheFirstRate) {
  Tracker t;
  for (int len : {179, 4001, 1000, 1000, 1000}) t.ProcessEcgDataLen(len);
  EXPECT_EQ(t.pulse_, 0);  // three accepted: no rate yet (the two outside were ignored)
  t.ProcessEcgDataLen(1000);
  EXPECT_EQ(t.pulse_, 60);
  EXPECT_EQ(t.GetPulse(), 0);  // no signal seen yet: masked
  t.ProcessEcgDataLen(180);    // (1000 + 1000 + 180) / 3 = 726 -> 82
  EXPECT_EQ(t.pulse_, 82);
  t.ProcessEcgDataLen(4000);  // (1000 + 180 + 4000) / 3 = 1726 -> 34
  EXPECT_EQ(t.pulse_, 34);
  for (int len : {179, 4001}) t.ProcessEcgDataLen(len);
  EXPECT_EQ(t.pulse_, 34);

  Tracker slow(500);  // counts are converted to ms at the sample rate
  for (int len : {400, 400, 400, 400, 89}) slow.ProcessEcgDataLen(len);  // 89 counts: 178 ms, ignored
  EXPECT_EQ(slow.pulse_, 75);
}

// Beats through the detector with fixed thresholds (fall below -10, rise above 10).
class BeatDetector : public ::testing::Test {
 protected:
  Tracker t;
  int16_t level = 0;
  void SetUp() override {
    t.fallThreshold_ = -10.0f;
    t.riseThreshold_ = 10.0f;
    t.prevSample_ = 0;
  }
  void Step(int16_t d) { t.Filtered(level = static_cast<int16_t>(level + d), false); }
  void Flat(int n) {
    for (int i = 0; i < n; ++i) Step(0);
  }
  // Rise, then `gap` samples later the second of two steep falls, then a small rise.
  void Beat(int gap) {
    Step(20);
    Flat(gap - 2);
    Step(-20);
    Step(-20);
    Step(1);
  }
};

TEST_F(BeatDetector, QuarterSecondRiseRule) {
  Step(-20);
  Step(-20);  // first beat: starts the count
  EXPECT_EQ(t.sinceBeat_, 0);
  Step(1);
  Flat(500);
  Beat(249);  // rise 249 samples before the fall: a beat
  EXPECT_EQ(t.sinceBeat_, 1);
  Flat(700);
  Beat(250);  // exactly a quarter second: not a beat, the count runs on
  EXPECT_EQ(t.sinceBeat_, 2 + 700 + 250 + 1);
  Flat(100);
  for (int16_t d : {10, -20, -20, 1, 20, -10, -10}) Step(d);  // steps of 10 pass neither threshold
  EXPECT_EQ(t.sinceBeat_, 2 + 700 + 250 + 1 + 100 + 7);
}

}  // namespace
