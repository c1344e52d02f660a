// TnelDataAna::Analysis over whole synthetic records: ECG beats through the
// CVRR analysis, heart sounds, pulse waves and the results.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

#include "data_ana_access.h"

using nel_test::Record;

namespace {

using nel_test::FullRecord;
using nel_test::kBraAnk;
using nel_test::kRR;

const tagLIMBRESULT kLimbs[4] = {{120, 80, 93}, {118, 78, 91}, {132, 80, 97}, {108, 70, 83}};

TEST(DataAnaAnalysis, MarksEveryWaveAndComputesTheResults) {
  Record r = FullRecord();
  for (auto& rec : r.rec) rec.Mark[3] = 9;  // stale marks are cleared
  TnelDataAna a = r.Make();
  a.SetBPData(true, kLimbs);
  ASSERT_TRUE(a.Analysis(true, 170, 0.0f, false));
  EXPECT_EQ(a.AnaResult, DATAANA_COMPLETE);
  EXPECT_EQ(a.Height, 170);
  EXPECT_NEAR(a.HeartRate, 75, 2);
  EXPECT_NEAR(a.BeatLen, kRR, 5);

  const auto rPeaks = r.Where(WAVE_ECG, MARK_ECG_R);
  const auto onsets = r.Where(WAVE_ECG, MARK_ECG_ONSET);
  ASSERT_GE(rPeaks.size(), 16u);
  for (int32_t R : rPeaks) {
    const int32_t off = (R - 300 + kRR / 2) % kRR - kRR / 2;  // from the nearest apex
    EXPECT_LE(std::abs(off), 10) << R;                        // the detector places R within the apex region
  }
  ASSERT_GE(onsets.size(), 16u);

  const auto s1 = r.Where(WAVE_PCG, MARK_PCG_S1), s2 = r.Where(WAVE_PCG, MARK_PCG_S2);
  EXPECT_GE(s1.size(), 15u);
  EXPECT_GE(s2.size(), 15u);
  for (size_t j = 0; j < std::min(s1.size(), s2.size()); ++j) EXPECT_NEAR(s2[j] - s1[j], 300, 5);

  for (auto k : {WAVE_RBRA, WAVE_LBRA, WAVE_RANK, WAVE_LANK}) {
    EXPECT_GE(r.Where(k, MARK_PULSE_PEAK).size(), 15u) << k;
    EXPECT_GE(r.Where(k, MARK_PULSE_FOOT).size(), 15u) << k;
    EXPECT_TRUE(r.Where(k, MARK_PULSE_VALLEY).empty()) << k;  // working marks removed in ankle mode
    EXPECT_TRUE(r.Where(k, MARK_PULSE_PT).empty()) << k;
  }
  EXPECT_TRUE(r.Where(WAVE_LBRA, 9).empty());

  EXPECT_FLOAT_EQ(a.RightABI, 1.1f);
  EXPECT_FLOAT_EQ(a.LeftABI, 0.9f);
  // Foot-to-foot delays of 100 and 105 records, less the ankle feet's own offset.
  EXPECT_GT(a.RightPWV, 900.0f);
  EXPECT_LT(a.RightPWV, 2500.0f);
  EXPECT_GT(a.LeftPWV, 900.0f);
  EXPECT_LT(a.LeftPWV, a.RightPWV);
  for (int j = 0; j < 4; ++j) EXPECT_NEAR(a.UpstrokeTime[j], 86, 10) << j;  // 120 ms less the foot offset
  EXPECT_GT(a.ET, 200);
  EXPECT_GT(a.PEP, 0);
  EXPECT_GT(a.MapPercent[0], 20);
  EXPECT_LT(a.MapPercent[0], 70);
  EXPECT_GE(a.AIx, -50);
  EXPECT_LE(a.AIx, 50);
}

TEST(DataAnaAnalysis, SecondCallKeepsResultsItDoesNotRecompute) {
  Record r = FullRecord();
  TnelDataAna a = r.Make();
  a.SetBPData(true, kLimbs);
  ASSERT_TRUE(a.Analysis(true, 170, 0.0f, false));
  const tagLIMBRESULT armsOnly[4] = {{120, 80, 93}, {118, 78, 91}, {-1, -1, -1}, {-1, -1, -1}};
  a.SetBPData(true, armsOnly);
  ASSERT_TRUE(a.Analysis(true, 170, 0.0f, false));
  EXPECT_FLOAT_EQ(a.RightABI, 1.1f);  // not re-initialised
  EXPECT_EQ(a.MapPercent[2], -1);     // recomputed: no ankle pressure
}

TEST(DataAnaAnalysis, FilterReplacesTheStoredPulseWaves) {
  Record r = FullRecord();
  for (int32_t i = 0; i < r.n(); ++i) r.wave(i, WAVE_RBRA) += (i % 2 ? 3.0f : -3.0f);  // 500 Hz ripple
  const float before = r.wave(5000, WAVE_RBRA);
  TnelDataAna a = r.Make();
  a.SetBPData(true, kLimbs);
  ASSERT_TRUE(a.Analysis(true, 170, 0.0f, true));
  EXPECT_NEAR(std::fabs(float(r.wave(5000, WAVE_RBRA)) - before), 3.0f, 0.5f);
  EXPECT_EQ(float(r.wave(5000, WAVE_ECG)), float(Record(FullRecord()).wave(5000, WAVE_ECG)));  // ECG untouched
  EXPECT_GT(a.RightPWV, 0.0f);
}

TEST(DataAnaAnalysis, FailsWithoutRecordOrWithHeartSoundsButNoBeats) {
  TnelDataAna none(6, kBraAnk.data(), nullptr, 100, 1000);
  EXPECT_EQ(none.AnaResult, DATAANA_NOT_RUN);
  EXPECT_FALSE(none.Analysis(true, 165, 0.5f, false));
  EXPECT_EQ(none.AnaResult, DATAANA_NO_RECORD);
  EXPECT_EQ(none.Height, 165);
  EXPECT_EQ(none.PWVFactor, 0.5f);

  Record r({WAVE_PCG, WAVE_RBRA}, 6000);
  nel_test::AddSounds(r, {500, 800, 1300, 1600, 2100, 2400});
  TnelDataAna a = r.Make();
  EXPECT_FALSE(a.Analysis(true, 170, 0.0f, false));
  EXPECT_EQ(a.AnaResult, DATAANA_NO_HEART_SOUNDS);
  EXPECT_FALSE(r.Where(WAVE_PCG, MARK_PCG_CANDIDATE).empty());
  EXPECT_EQ(a.AIx, -9999);  // no results computed

  Record flat(kBraAnk, 3000);  // an ECG without beats
  TnelDataAna b = flat.Make();
  EXPECT_FALSE(b.Analysis(true, 170, 0.0f, false));
  EXPECT_EQ(b.BeatLen, 1000);
}

// The results a refused record must leave: the initial ones.
void ExpectNoResults(const TnelDataAna& a, const char* what) {
  EXPECT_EQ(a.HeartRate, 0) << what;
  for (float v : {a.RightABI, a.LeftABI, a.RightBAI, a.LeftBAI, a.RightPWV, a.LeftPWV}) EXPECT_EQ(v, -1.0f) << what;
  for (int j = 0; j < 4; ++j) EXPECT_EQ(a.UpstrokeTime[j], -1) << what;
  EXPECT_EQ(a.PEP, -1) << what;
  EXPECT_EQ(a.ET, -1) << what;
  EXPECT_EQ(a.AIx, -9999) << what;
}

TEST(DataAnaAnalysis, RefusesSamplesThatAreNotFiniteNumbersAndSaysWhere) {
  constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
  constexpr float kInf = std::numeric_limits<float>::infinity();
  struct Bad {
    tagTYPE_NEL_WAVEDATA kind;
    int32_t record;
    float value;
  };
  struct Case {
    const char* what;  // each of these analyses used to report success
    std::vector<Bad> bad;
    bool filter;
    Bad first;
  };
  std::vector<Bad> nanEvery50;
  for (int32_t i = 50; i < 15000; i += 50) nanEvery50.push_back({WAVE_RBRA, i, kNaN});
  const Case cases[] = {
      {"NaN every 50 records", nanEvery50, false, {WAVE_RBRA, 50, 0}},
      {"one +inf, filtered", {{WAVE_LANK, 7000, kInf}}, true, {WAVE_LANK, 7000, 0}},
      {"-inf in the ECG", {{WAVE_ECG, 0, -kInf}}, false, {WAVE_ECG, 0, 0}},
      {"NaN in the last PCG sample", {{WAVE_PCG, 14999, kNaN}}, false, {WAVE_PCG, 14999, 0}},
      {"3e38: finite, beyond the limit", {{WAVE_RBRA, 100, 3e38f}}, true, {WAVE_RBRA, 100, 0}},
      {"two waves: the first kind is named", {{WAVE_LANK, 10, kNaN}, {WAVE_RBRA, 20, kInf}}, false, {WAVE_RBRA, 20, 0}},
  };
  for (const auto& c : cases) {
    Record r = FullRecord();
    TnelDataAna a = r.Make();
    a.SetBPData(true, kLimbs);
    ASSERT_TRUE(a.Analysis(true, 170, 0.0f, false)) << c.what;  // results and marks of a good record
    for (const auto& b : c.bad) r.wave(b.record, b.kind) = b.value;
    const std::vector<tagSAVE_WAVEDATA> before = r.rec;
    EXPECT_FALSE(a.Analysis(true, 170, 0.0f, c.filter)) << c.what;
    EXPECT_EQ(a.AnaResult, DATAANA_BAD_SAMPLE) << c.what;
    EXPECT_EQ(a.BadSampleKind, c.first.kind) << c.what;
    EXPECT_EQ(a.BadSampleRecord, c.first.record) << c.what;
    ExpectNoResults(a, c.what);
    // Marks and waves are left as they were (bytewise: NaN never equals itself).
    EXPECT_EQ(std::memcmp(before.data(), r.rec.data(), sizeof(tagSAVE_WAVEDATA) * before.size()), 0) << c.what;
  }
}

TEST(DataAnaAnalysis, RefusesSampleRatesOtherThanOneThousand) {
  // Without a PCG (position 1 holds an unknown kind) a rate of 7 gave a
  // complete analysis with an ejection time of about 20 s.
  const std::vector<tagTYPE_NEL_WAVEDATA> kinds = {
      WAVE_ECG, static_cast<tagTYPE_NEL_WAVEDATA>(12), WAVE_RBRA, WAVE_LBRA, WAVE_RANK, WAVE_LANK};
  for (int32_t rate : {7, 999, 1001, 500, 0, -1}) {
    Record r = FullRecord();
    TnelDataAna a(6, kinds.data(), r.rec.data(), r.n(), rate);
    a.SetBPData(true, kLimbs);
    EXPECT_FALSE(a.Analysis(true, 170, 0.0f, false)) << rate;
    EXPECT_EQ(a.AnaResult, DATAANA_BAD_SAMPLE_RATE) << rate;
    EXPECT_EQ(a.BadSampleKind, -1) << rate;
    ExpectNoResults(a, "refused rate");
    EXPECT_TRUE(r.Where(WAVE_ECG, MARK_ECG_R).empty()) << rate;
  }
}

TEST(DataAnaAnalysis, PositionsOutsideTheKindListAreNotChecked) {
  Record r = FullRecord();
  for (int32_t i = 0; i < r.n(); ++i) r.wave(i, WAVE_PCG) = std::numeric_limits<float>::quiet_NaN();
  const std::vector<tagTYPE_NEL_WAVEDATA> kinds = {
      WAVE_ECG, static_cast<tagTYPE_NEL_WAVEDATA>(12), WAVE_RBRA, WAVE_LBRA, WAVE_RANK, WAVE_LANK};
  TnelDataAna a(6, kinds.data(), r.rec.data(), r.n(), 1000);
  a.SetBPData(true, kLimbs);
  ASSERT_TRUE(a.Analysis(true, 170, 0.0f, true));
  EXPECT_EQ(a.AnaResult, DATAANA_COMPLETE);
  EXPECT_GT(a.ET, 200);
  EXPECT_GT(a.RightPWV, 900.0f);
}

TEST(DataAnaAnalysis, PulseWavesAloneGiveIndicesButNoBeatResults) {
  Record r({WAVE_RBRA, WAVE_LBRA, WAVE_RANK, WAVE_LANK}, 5000);
  nel_test::AddPulse(r, WAVE_RBRA, {300, 1100, 1900});
  TnelDataAna a = r.Make();
  a.SetBPData(true, kLimbs);
  ASSERT_TRUE(a.Analysis(true, 170, 0.0f, true));
  EXPECT_FLOAT_EQ(a.RightABI, 1.1f);
  EXPECT_EQ(a.RightPWV, -1.0f);
  EXPECT_EQ(a.HeartRate, 0);
  EXPECT_EQ(a.AIx, -50);
}

}  // namespace
