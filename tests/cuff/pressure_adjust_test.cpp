// Two-point gain calibration: call counting, collection, gain and offset.
#include <gtest/gtest.h>

#include <vector>

#include <nel/cuff/pressure_adjust.h>

namespace {

// Walks one point: WantedPressureOK, then calls with `ad` until the point is
// measured. Returns the result of the call that completed it (0 if none did in 3000).
typeADJ_RET_STYLE MeasurePoint(TnelPressureAdjust& adj, std::vector<int> ad) {
  adj.WantedPressureOK();
  for (int k = 1; k <= 3000; ++k) {
    const typeADJ_RET_STYLE r = adj.PressureAdjustProc(ad.data());
    if (r != ADJ_NONE) return r;
  }
  return ADJ_NONE;
}

TEST(PressureAdjust, StartRefusesBadChannelListsAndCallsWithoutCounts) {
  int five[5] = {0, 1, 2, 3, 0}, withFour[3] = {1, 4, 2}, negative[1] = {-1};
  struct Case {
    int* chl;
    int count;
  } bad[] = {{five, 5}, {five, -1}, {withFour, 3}, {negative, 1}, {nullptr, 2}};
  for (const Case& c : bad) {
    TnelPressureAdjust adj;
    adj.StartPressureAdjust(c.chl, c.count);
    EXPECT_FALSE(adj.Running) << c.count;
    EXPECT_EQ(adj.PressureAdjustProc(five), ADJ_NONE);
  }
  TnelPressureAdjust adj;
  int ch[1] = {0};
  adj.StartPressureAdjust(ch, 1);
  EXPECT_EQ(adj.PressureAdjustProc(nullptr), ADJ_NONE);
  EXPECT_EQ(adj.PressureAdjustProc(ch), ADJ_STEP1);  // once, then nothing until the user answers
  for (int k = 0; k < 5000; ++k) ASSERT_EQ(adj.PressureAdjustProc(ch), ADJ_NONE) << k;
  adj.StartPressureAdjust(ch, 1);
  EXPECT_EQ(adj.PressureAdjustProc(ch), ADJ_STEP1) << "a restart announces step 1 again";
}

TEST(PressureAdjust, WaitsOut1999CallsThenSumsTheNext1001AndTruncatesTheMean) {
  TnelPressureAdjust adj;
  int ch[2] = {1, 3};
  adj.StartPressureAdjust(ch, 2);
  EXPECT_EQ(adj.Chl[0], 1);
  EXPECT_EQ(adj.Chl[1], 3);
  ASSERT_EQ(adj.PressureAdjustProc(ch), ADJ_STEP1);
  adj.WantedPressureOK();
  // Call k after WantedPressureOK carries the count k (and -k): the mean tells
  // which calls were summed.
  int doneAt = 0;
  for (int k = 1; k <= 3100 && doneAt == 0; ++k) {
    int ad[2] = {k, -k};
    if (adj.PressureAdjustProc(ad) == ADJ_STEP2) doneAt = k;
  }
  EXPECT_EQ(doneAt, 3000);
  EXPECT_EQ(adj.Avg1[0], 2500);  // calls 2000..3000
  EXPECT_EQ(adj.Avg1[1], -2500);
  // Second point: 1000 samples of -1 and one of -500 sum to -1500, mean -1 (not -2).
  adj.WantedPressureOK();
  int minusOne[2] = {-1, -1}, last[2] = {-500, -500};
  for (int k = 0; k < 1999 + 1000; ++k) ASSERT_EQ(adj.PressureAdjustProc(minusOne), ADJ_NONE);
  ASSERT_EQ(adj.PressureAdjustProc(last), ADJ_DONE);
  EXPECT_EQ(adj.Avg2[0], -1);
}

TEST(PressureAdjust, TwoPointsGiveGainAndOffset) {
  TnelPressureAdjust adj;
  int ch[3] = {0, 2, 3};
  adj.StartPressureAdjust(ch, 3);
  ASSERT_EQ(adj.PressureAdjustProc(ch), ADJ_STEP1);
  ASSERT_EQ(MeasurePoint(adj, {10000, 394000, 400}), ADJ_STEP2);
  ASSERT_EQ(MeasurePoint(adj, {20000, 727333, 400}), ADJ_DONE);
  EXPECT_FALSE(adj.Running);
  EXPECT_EQ(adj.PressureAdjustProc(ch), ADJ_NONE);

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
  EXPECT_FLOAT_EQ(gain, 100.0f);
  EXPECT_FLOAT_EQ(offset, 100.0f * 400 - 200.0f * 400);
  // Outside 0..ChlCount-1 both outputs are 0.
  for (int index : {-1, 3, 4}) {
    gain = offset = 7;
    adj.GetAdjustCoeff(&gain, &offset, index);
    EXPECT_EQ(gain, 0.0f) << index;
    EXPECT_EQ(offset, 0.0f) << index;
  }
}

TEST(PressureAdjust, StopAbortsAndKeepsCoefficientsReadable) {
  TnelPressureAdjust adj;
  int ch[1] = {1};
  adj.StartPressureAdjust(ch, 1);
  adj.PressureAdjustProc(ch);
  MeasurePoint(adj, {10000});
  MeasurePoint(adj, {30000});
  adj.StartPressureAdjust(ch, 1);
  adj.PressureAdjustProc(ch);
  adj.WantedPressureOK();
  int ad[1] = {50000};
  for (int k = 0; k < 2500; ++k) adj.PressureAdjustProc(ad);  // halfway through collecting
  adj.StopPressureAdjust();
  EXPECT_FALSE(adj.Running);
  EXPECT_EQ(adj.PressureAdjustProc(ch), ADJ_NONE);
  float gain = 0, offset = 0;
  adj.GetAdjustCoeff(&gain, &offset, 0);
  EXPECT_FLOAT_EQ(gain, 0.005f);
  EXPECT_FLOAT_EQ(offset, 50.0f);
}

}  // namespace
