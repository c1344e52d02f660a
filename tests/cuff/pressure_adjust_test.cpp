// Two-point gain calibration: call counting, collection, gain and offset.
#include <gtest/gtest.h>

#include <vector>

#include <nel/cuff/pressure_adjust.h>

namespace {

// Runs `calls` calls with the same counts; returns every result.
std::vector<typeADJ_RET_STYLE> Feed(TnelPressureAdjust& adj, std::vector<int> ad, int calls) {
  std::vector<typeADJ_RET_STYLE> out;
  for (int k = 0; k < calls; ++k) out.push_back(adj.PressureAdjustProc(ad.data()));
  return out;
}

// Walks one point: WantedPressureOK, then calls until the point is measured.
// Returns the result of the call that completed it (0 if none did in 3000).
typeADJ_RET_STYLE MeasurePoint(TnelPressureAdjust& adj, std::vector<int> ad) {
  adj.WantedPressureOK();
  for (int k = 1; k <= 3000; ++k) {
    const typeADJ_RET_STYLE r = adj.PressureAdjustProc(ad.data());
    if (r != ADJ_NONE) return r;
  }
  return ADJ_NONE;
}

void ExpectSameState(const TnelPressureAdjust& a, const TnelPressureAdjust& b) {
  EXPECT_EQ(a.Running, b.Running);
  EXPECT_EQ(a.ChlCount, b.ChlCount);
  EXPECT_EQ(a.Measuring, b.Measuring);
  EXPECT_EQ(a.Step, b.Step);
  EXPECT_EQ(a.StepReported, b.StepReported);
  EXPECT_EQ(a.Countdown, b.Countdown);
  EXPECT_EQ(a.SampleCount, b.SampleCount);
  for (int i = 0; i < 4; ++i) {
    EXPECT_EQ(a.Chl[i], b.Chl[i]) << i;
    EXPECT_EQ(a.Sum[i], b.Sum[i]) << i;
    EXPECT_EQ(a.Avg1[i], b.Avg1[i]) << i;
    EXPECT_EQ(a.Avg2[i], b.Avg2[i]) << i;
  }
}

TEST(PressureAdjust, StartRefusesBadCountsAndChannels) {
  TnelPressureAdjust adj;
  int two[2] = {2, 3};
  adj.StartPressureAdjust(two, 2);
  ASSERT_TRUE(adj.Running);
  adj.PressureAdjustProc(two);  // step 1 announced
  const TnelPressureAdjust before = adj;

  int five[5] = {0, 1, 2, 3, 0};
  adj.StartPressureAdjust(five, 5);
  ExpectSameState(adj, before);
  adj.StartPressureAdjust(five, -1);
  ExpectSameState(adj, before);

  TnelPressureAdjust fresh;
  int withFour[3] = {1, 4, 2};
  fresh.StartPressureAdjust(withFour, 3);
  EXPECT_FALSE(fresh.Running);
  EXPECT_EQ(fresh.ChlCount, 3);
  EXPECT_EQ(fresh.Chl[0], 1);
  EXPECT_EQ(fresh.Chl[1], 0) << "the invalid channel is not stored";
  EXPECT_EQ(fresh.PressureAdjustProc(withFour), ADJ_NONE);

  int negative[1] = {-1};
  fresh.StartPressureAdjust(negative, 1);
  EXPECT_FALSE(fresh.Running);
  fresh.StartPressureAdjust(nullptr, 2);
  EXPECT_FALSE(fresh.Running);
  fresh.StartPressureAdjust(nullptr, 0);  // no channels to read: starts, lists nothing
  EXPECT_TRUE(fresh.Running);
  EXPECT_EQ(fresh.ChlCount, 0);
}

TEST(PressureAdjust, AnnouncesStepOneOnceThenWaitsForTheUser) {
  TnelPressureAdjust adj;
  int ch[1] = {0};
  adj.StartPressureAdjust(ch, 1);
  const auto r = Feed(adj, {12345}, 5000);
  EXPECT_EQ(r[0], ADJ_STEP1);
  for (size_t k = 1; k < r.size(); ++k) ASSERT_EQ(r[k], ADJ_NONE) << k;
  EXPECT_FALSE(adj.Measuring);
  EXPECT_TRUE(adj.Running);
  // A restart announces step 1 again.
  adj.StartPressureAdjust(ch, 1);
  EXPECT_EQ(adj.PressureAdjustProc(ch), ADJ_STEP1);
}

TEST(PressureAdjust, WaitsOut1999CallsThenSumsTheNext1001) {
  TnelPressureAdjust adj;
  int ch[2] = {1, 3};
  adj.StartPressureAdjust(ch, 2);
  ASSERT_EQ(adj.PressureAdjustProc(ch), ADJ_STEP1);
  adj.WantedPressureOK();
  // Call k after WantedPressureOK carries the count k (and -k): the mean tells
  // which calls were summed.
  typeADJ_RET_STYLE last = ADJ_NONE;
  int doneAt = 0;
  for (int k = 1; k <= 3100 && doneAt == 0; ++k) {
    int ad[2] = {k, -k};
    last = adj.PressureAdjustProc(ad);
    if (last != ADJ_NONE) doneAt = k;
    if (k == 1999) {
      EXPECT_EQ(adj.SampleCount, 0);
      EXPECT_EQ(adj.Sum[0], 0);
    }
  }
  EXPECT_EQ(doneAt, 3000);
  EXPECT_EQ(last, ADJ_STEP2);
  EXPECT_EQ(adj.Avg1[0], 2500);  // calls 2000..3000
  EXPECT_EQ(adj.Avg1[1], -2500);
  EXPECT_EQ(adj.Step, ADJ_STEP2);
  EXPECT_FALSE(adj.Measuring);
  EXPECT_TRUE(adj.StepReported);
  // Step 2 was announced by that result; nothing more until the user answers.
  int ad[2] = {0, 0};
  for (int k = 0; k < 3000; ++k) ASSERT_EQ(adj.PressureAdjustProc(ad), ADJ_NONE);
}

TEST(PressureAdjust, MeansTruncateTowardZero) {
  TnelPressureAdjust adj;
  int ch[1] = {2};
  adj.StartPressureAdjust(ch, 1);
  adj.PressureAdjustProc(ch);
  adj.WantedPressureOK();
  // 1000 samples of -1 and one of -500: sum -1500, mean -1 (not -2).
  int minusOne[1] = {-1};
  for (int k = 0; k < 1999 + 1000; ++k) ASSERT_EQ(adj.PressureAdjustProc(minusOne), ADJ_NONE);
  int last[1] = {-500};
  ASSERT_EQ(adj.PressureAdjustProc(last), ADJ_STEP2);
  EXPECT_EQ(adj.Avg1[0], -1);
}

TEST(PressureAdjust, TwoPointsGiveGainAndOffset) {
  TnelPressureAdjust adj;
  int ch[3] = {0, 2, 3};
  adj.StartPressureAdjust(ch, 3);
  ASSERT_EQ(adj.PressureAdjustProc(ch), ADJ_STEP1);
  ASSERT_EQ(MeasurePoint(adj, {10000, 394000, 400}), ADJ_STEP2);
  ASSERT_EQ(MeasurePoint(adj, {20000, 727333, 400}), ADJ_DONE);
  EXPECT_FALSE(adj.Running);

  float gain = -1, offset = -1;
  adj.GetAdjustCoeff(&gain, &offset, 0);
  EXPECT_FLOAT_EQ(gain, 0.01f);
  EXPECT_FLOAT_EQ(offset, 0.0f);

  // A realistic transducer: the two means map to 100 and 200 mmHg.
  adj.GetAdjustCoeff(&gain, &offset, 1);
  EXPECT_NEAR(394000 * gain + offset, 100.0, 1e-3);
  EXPECT_NEAR(727333 * gain + offset, 200.0, 1e-3);

  // Equal means: the difference is taken as 1.0.
  adj.GetAdjustCoeff(&gain, &offset, 2);
  EXPECT_EQ(adj.Avg1[2], 400);
  EXPECT_EQ(adj.Avg2[2], 400);
  EXPECT_FLOAT_EQ(gain, 100.0f);
  EXPECT_FLOAT_EQ(offset, 100.0f * 400 - 200.0f * 400);

  // Index guard: outside 0..ChlCount-1 both outputs are 0.
  for (int index : {-1, 3, 4}) {
    gain = offset = 7;
    adj.GetAdjustCoeff(&gain, &offset, index);
    EXPECT_EQ(gain, 0.0f) << index;
    EXPECT_EQ(offset, 0.0f) << index;
  }
  adj.GetAdjustCoeff(nullptr, nullptr, 0);  // nothing to write to: no effect
  // Stopped after the second point: further calls report nothing.
  EXPECT_EQ(adj.PressureAdjustProc(ch), ADJ_NONE);
}

TEST(PressureAdjust, StopAbortsAndKeepsCoefficientsReadable) {
  TnelPressureAdjust adj;
  int ch[1] = {1};
  adj.StartPressureAdjust(ch, 1);
  adj.PressureAdjustProc(ch);
  MeasurePoint(adj, {10000});
  MeasurePoint(adj, {30000});
  float gain = 0, offset = 0;
  adj.GetAdjustCoeff(&gain, &offset, 0);
  ASSERT_FLOAT_EQ(gain, 0.005f);

  adj.StartPressureAdjust(ch, 1);
  adj.PressureAdjustProc(ch);
  adj.WantedPressureOK();
  Feed(adj, {50000}, 2500);  // halfway through collecting
  adj.StopPressureAdjust();
  EXPECT_FALSE(adj.Running);
  EXPECT_EQ(adj.PressureAdjustProc(ch), ADJ_NONE);
  adj.GetAdjustCoeff(&gain, &offset, 0);
  EXPECT_FLOAT_EQ(gain, 0.005f);
  EXPECT_FLOAT_EQ(offset, 50.0f);
}

TEST(PressureAdjust, CallWithoutCountsChangesNothing) {
  TnelPressureAdjust adj;
  int ch[1] = {0};
  adj.StartPressureAdjust(ch, 1);
  EXPECT_EQ(adj.PressureAdjustProc(nullptr), ADJ_NONE);
  EXPECT_EQ(adj.Countdown, 0);
  EXPECT_EQ(adj.PressureAdjustProc(ch), ADJ_STEP1);
}

}  // namespace
