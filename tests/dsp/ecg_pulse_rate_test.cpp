#include <nel/dsp/ecg_pulse_rate.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <vector>

// Reaches the tracker's steps and state (protected) as a subclass does.
struct TrwECGPulseRateSteps : TrwECGPulseRate {
  using TrwECGPulseRate::fallThreshold_;
  using TrwECGPulseRate::noSignal_;
  using TrwECGPulseRate::prevSample_;
  using TrwECGPulseRate::ProcessEcgDataLen;
  using TrwECGPulseRate::ProcOnceMaxFallUp;
  using TrwECGPulseRate::ProcOncePulseLen;
  using TrwECGPulseRate::pulse_;
  using TrwECGPulseRate::riseThreshold_;
  using TrwECGPulseRate::sinceBeat_;
};

struct TrwECGPulseRateProbe {
  using S = TrwECGPulseRateSteps;
  TrwECGPulseRate& t;
  int16_t& PrevSample() { return t.*&S::prevSample_; }
  bool NoSignal() const { return t.*&S::noSignal_; }
  int16_t Pulse() const { return t.*&S::pulse_; }
  float& Fall() { return t.*&S::fallThreshold_; }
  float& Rise() { return t.*&S::riseThreshold_; }
  int32_t SinceBeat() const { return t.*&S::sinceBeat_; }
  // One detector step as ProcessOnceData runs it on a filtered sample.
  void Filtered(int16_t y) {
    (t.*&S::ProcOnceMaxFallUp)(y);
    (t.*&S::ProcOncePulseLen)(y);
    PrevSample() = y;
  }
  void PulseLenOnly(int16_t y) {
    (t.*&S::ProcOncePulseLen)(y);
    PrevSample() = y;
  }
  void Interval(int len) { (t.*&S::ProcessEcgDataLen)(len); }
};

namespace {

// Synthetic ECG in AD counts: baseline 2048, a narrow R wave every period_ms,
// a broad T wave, and a little mains hum (which the band-stop removes).
std::vector<int16_t> Ecg(int period_ms, int seconds, double r_height = 800.0) {
  std::vector<int16_t> x(static_cast<std::size_t>(seconds) * 1000);
  for (std::size_t i = 0; i < x.size(); ++i) {
    const int p = static_cast<int>(i % static_cast<std::size_t>(period_ms));
    double v = 2048.0 + 30.0 * std::sin(2 * M_PI * 50.0 * static_cast<double>(i) / 1000.0);
    if (p >= 100 && p < 120) v += r_height * (p - 100) / 20.0;
    if (p >= 120 && p < 140) v += r_height * (140 - p) / 20.0;
    if (p >= 300 && p < 450) v += 0.2 * r_height * std::sin(M_PI * (p - 300) / 150.0);
    x[i] = static_cast<int16_t>(v);
  }
  return x;
}

int16_t RateAfter(const std::vector<int16_t>& x, std::vector<int16_t>* history = nullptr) {
  TrwECGPulseRate t(1000);
  for (int16_t s : x) {
    t.ProcessOnceData(s);
    if (history) history->push_back(t.GetPulse());
  }
  return t.GetPulse();
}

TEST(TrwECGPulseRate, TracksTheRateOfASyntheticEcg) {
  std::vector<int16_t> history;
  EXPECT_EQ(RateAfter(Ecg(800, 20), &history), 75);
  for (std::size_t i = 0; i < 2000; ++i) ASSERT_EQ(history[i], 0) << i;  // no rate before a segment ends
  EXPECT_EQ(RateAfter(Ecg(1000, 20)), 60);
  EXPECT_EQ(RateAfter(Ecg(500, 20)), 120);
  // Mains hum alone is removed by the band-stop: no signal, no rate.
  EXPECT_EQ(RateAfter(Ecg(800, 20, 0.0)), 0);
}

TEST(TrwECGPulseRate, FirstSampleIsRememberedNotFiltered) {
  TrwECGPulseRate t(1000);
  TrwECGPulseRateProbe p{t};
  t.ProcessOnceData(30000);
  EXPECT_EQ(p.PrevSample(), 30000);
  for (int i = 0; i < 600; ++i) {
    t.ProcessOnceData(0);
    ASSERT_EQ(p.PrevSample(), 0) << i;  // the filters never saw the 30000
  }
  TrwECGPulseRate u(1000);
  TrwECGPulseRateProbe q{u};
  u.ProcessOnceData(0);
  u.ProcessOnceData(30000);  // the second sample is filtered
  int16_t peak = 0;
  for (int i = 0; i < 600; ++i) {
    u.ProcessOnceData(0);
    peak = std::max<int16_t>(peak, q.PrevSample());
  }
  EXPECT_GT(peak, 1000);
}

TEST(TrwECGPulseRate, SegmentRangeOf133CountsMeansASignal) {
  TrwECGPulseRate t(1000);
  TrwECGPulseRateProbe p{t};
  p.PrevSample() = 0;
  auto segment = [&](int16_t top) {
    for (int i = 0; i < 1999; ++i) p.Filtered(0);
    p.Filtered(top);
  };
  segment(133);
  EXPECT_FALSE(p.NoSignal());
  segment(132);
  EXPECT_TRUE(p.NoSignal());
  segment(133);
  EXPECT_FALSE(p.NoSignal());
}

TEST(TrwECGPulseRate, ThresholdsFollowTheLatestSegmentThenTheMiddleOfFour) {
  TrwECGPulseRate t(1000);
  TrwECGPulseRateProbe p{t};
  EXPECT_EQ(p.Fall(), -32767.0f);
  EXPECT_EQ(p.Rise(), 32767.0f);
  p.PrevSample() = 0;
  // A segment whose steepest rise is `rise` and steepest fall `fall`.
  auto segment = [&](int16_t rise, int16_t fall) {
    int level = rise;
    p.Filtered(static_cast<int16_t>(level));
    level += fall;
    p.Filtered(static_cast<int16_t>(level));
    for (int i = 2; i < 2000; ++i) {  // back to 0 in steps of at most 10
      level -= std::clamp(level, -10, 10);
      p.Filtered(static_cast<int16_t>(level));
    }
  };
  segment(200, -100);
  EXPECT_FLOAT_EQ(p.Rise(), 70.0f);
  EXPECT_FLOAT_EQ(p.Fall(), -35.0f);
  segment(100, -300);
  EXPECT_FLOAT_EQ(p.Rise(), 35.0f);
  EXPECT_FLOAT_EQ(p.Fall(), -105.0f);
  segment(300, -200);
  EXPECT_FLOAT_EQ(p.Rise(), 105.0f);
  segment(300, -200);  // fourth: rises {200,100,300,300} -> middle two 200 + 300
  EXPECT_FLOAT_EQ(p.Rise(), 0.35f * 250.0f);
  EXPECT_FLOAT_EQ(p.Fall(), 0.35f * -200.0f);  // falls {-100,-300,-200,-200}: -100 and -300 drop
  segment(1000, -1000);                        // fifth and sixth: thresholds stay until the eighth
  segment(1000, -1000);
  EXPECT_FLOAT_EQ(p.Rise(), 87.5f);
  segment(50, -50);
  segment(50, -50);  // rises {1000,1000,50,50}: largest first at 0, smallest first at 2
  EXPECT_FLOAT_EQ(p.Rise(), 0.35f * 0.5f * 1050.0f);
  for (int i = 0; i < 4; ++i) segment(40, -40);  // all equal: one value dropped
  EXPECT_FLOAT_EQ(p.Rise(), 0.35f * 0.5f * 120.0f);
}

TEST(TrwECGPulseRate, IntervalLimitsAndTheFourthIntervalGivesTheFirstRate) {
  TrwECGPulseRate t(1000);
  TrwECGPulseRateProbe p{t};
  p.Interval(179);
  p.Interval(4001);
  p.Interval(1000);
  p.Interval(1000);
  p.Interval(1000);
  EXPECT_EQ(p.Pulse(), 0);  // three accepted: no rate yet (the two outside were ignored)
  p.Interval(1000);
  EXPECT_EQ(p.Pulse(), 60);
  EXPECT_EQ(t.GetPulse(), 0);  // no signal seen yet: masked
  p.Interval(180);             // (1000 + 1000 + 180) / 3 = 726 -> 82
  EXPECT_EQ(p.Pulse(), 82);
  p.Interval(4000);  // (1000 + 180 + 4000) / 3 = 1726 -> 34
  EXPECT_EQ(p.Pulse(), 34);
  p.Interval(179);
  p.Interval(4001);
  EXPECT_EQ(p.Pulse(), 34);

  TrwECGPulseRate slow(500);  // counts are converted to ms at the sample rate
  TrwECGPulseRateProbe q{slow};
  for (int i = 0; i < 4; ++i) q.Interval(400);
  EXPECT_EQ(q.Pulse(), 75);
  q.Interval(89);  // 178 ms
  EXPECT_EQ(q.Pulse(), 75);
}

// Beats through the detector with fixed thresholds (fall below -10, rise above 10).
class BeatDetector : public ::testing::Test {
 protected:
  TrwECGPulseRate t{1000};
  TrwECGPulseRateProbe p{t};
  int16_t level = 0;
  void SetUp() override {
    p.Fall() = -10.0f;
    p.Rise() = 10.0f;
    p.PrevSample() = 0;
  }
  void Step(int16_t d) { p.PulseLenOnly(level = static_cast<int16_t>(level + d)); }
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
  EXPECT_EQ(p.SinceBeat(), 0);
  Step(1);
  Flat(500);
  Beat(249);  // rise 249 samples before the fall: a beat
  EXPECT_EQ(p.SinceBeat(), 1);
  Flat(700);
  Beat(250);  // exactly a quarter second: not a beat, the count runs on
  EXPECT_EQ(p.SinceBeat(), 2 + 700 + 250 + 1);
}

TEST_F(BeatDetector, OneSteepFallIsNotABeatAndALatchedFallWaitsForARise) {
  Step(-20);
  Step(-20);
  Step(1);
  Flat(300);
  Step(20);
  Step(-20);
  Step(0);    // not steep: the fall count keeps its 1
  Step(-20);  // second steep fall: beat
  EXPECT_EQ(p.SinceBeat(), 0);
  Step(-20);
  Step(-20);  // latched: no new beat without a rise in between
  EXPECT_EQ(p.SinceBeat(), 2);
}

}  // namespace
