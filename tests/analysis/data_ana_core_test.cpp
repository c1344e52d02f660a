// TnelDataAna: construction over a record, inputs, copying and the zero-phase low-pass.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "data_ana_access.h"

using nel::analysis::DataAnaTestAccess;
using nel_test::Record;

namespace {

const std::vector<tagTYPE_NEL_WAVEDATA> kBraAnk = {WAVE_ECG, WAVE_PCG, WAVE_RBRA, WAVE_LBRA, WAVE_RANK, WAVE_LANK};

void ExpectInitialResults(const TnelDataAna& a) {
  EXPECT_EQ(a.HeartRate, 0);
  for (float v : {a.RightABI, a.LeftABI, a.RightBAI, a.LeftBAI, a.RightTBI, a.LeftTBI, a.RightBTI, a.LeftBTI,
                  a.RightPWV, a.LeftPWV})
    EXPECT_EQ(v, -1.0f);
  for (int i = 0; i < 4; ++i) {
    EXPECT_EQ(a.MapPercent[i], -1);
    EXPECT_EQ(a.UpstrokeTime[i], -1);
  }
  EXPECT_EQ(a.PEP, -1);
  EXPECT_EQ(a.ET, -1);
  EXPECT_EQ(a.AIx, -9999);
}

TEST(DataAnaConstruction, MapsKindsToPositionsAndStartsFromInitialResults) {
  Record r({WAVE_RBRA, WAVE_LBRA, WAVE_RTOE, WAVE_LTOE}, 100, 500);
  TnelDataAna a = r.Make();
  const int16_t expected[8] = {-1, -1, 0, 1, -1, -1, 2, 3};
  for (int k = 0; k < 8; ++k) EXPECT_EQ(a.WaveIndex[k], expected[k]) << "kind " << k;
  EXPECT_EQ(a.WaveNum, 4);
  EXPECT_EQ(a.DataLen, 100);
  EXPECT_EQ(a.SampleRate, 500);
  EXPECT_EQ(a.WaveData, r.rec.data());
  EXPECT_EQ(a.SerialNo, 0);
  EXPECT_EQ(a.PWVFactor, 0.0f);
  EXPECT_EQ(a.BeatLen, 0);
  ASSERT_NE(a.WorkBuf, nullptr);
  ASSERT_NE(a.DiffBuf, nullptr);
  ExpectInitialResults(a);
  a.SetSerialNo(77);
  EXPECT_EQ(a.SerialNo, 77);
}

TEST(DataAnaConstruction, IgnoresKindsBeyondSixPositionsAndOutOfRange) {
  std::vector<tagTYPE_NEL_WAVEDATA> kinds = {WAVE_ECG,  WAVE_PCG,  WAVE_RBRA, WAVE_LBRA,
                                             WAVE_RANK, WAVE_LANK, WAVE_RTOE, WAVE_LTOE};
  std::vector<tagSAVE_WAVEDATA> rec(10);
  TnelDataAna all(8, kinds.data(), rec.data(), 10, 1000);
  EXPECT_EQ(all.WaveNum, 6);
  EXPECT_EQ(all.WaveIndex[WAVE_LANK], 5);
  EXPECT_EQ(all.WaveIndex[WAVE_RTOE], -1);

  kinds[1] = static_cast<tagTYPE_NEL_WAVEDATA>(12);
  TnelDataAna odd(2, kinds.data(), rec.data(), 10, 1000);
  EXPECT_EQ(odd.WaveIndex[WAVE_ECG], 0);
  EXPECT_EQ(odd.WaveIndex[WAVE_PCG], -1);

  TnelDataAna none(3, nullptr, rec.data(), 10, 1000);
  EXPECT_EQ(none.WaveNum, 0);
  for (int k = 0; k < 8; ++k) EXPECT_EQ(none.WaveIndex[k], -1);
}

TEST(DataAnaConstruction, EmptyRecordHasNoBuffers) {
  TnelDataAna a(0, nullptr, nullptr, 0, 1000);
  EXPECT_EQ(a.WorkBuf, nullptr);
  EXPECT_EQ(a.DiffBuf, nullptr);
  ExpectInitialResults(a);
}

TEST(DataAnaInputs, SetBPDataFillsAnkleOrToeChannels) {
  Record r(kBraAnk, 10);
  TnelDataAna a = r.Make();
  const tagLIMBRESULT limbs[4] = {{120, 80, 93}, {118, 78, 91}, {132, 82, 99}, {108, 70, 83}};
  a.SetBPData(true, limbs);
  EXPECT_EQ(a.LimbBP[BP_RBRA].SBP, 120);
  EXPECT_EQ(a.LimbBP[BP_LBRA].MAP, 91);
  EXPECT_EQ(a.LimbBP[BP_RANK].DBP, 82);
  EXPECT_EQ(a.LimbBP[BP_LANK].SBP, 108);
  EXPECT_EQ(a.LimbBP[BP_RTOE].SBP, -1);
  EXPECT_EQ(a.LimbBP[BP_LTOE].MAP, -1);

  a.SetBPData(false, limbs);
  EXPECT_EQ(a.LimbBP[BP_RANK].SBP, -1);
  EXPECT_EQ(a.LimbBP[BP_LANK].DBP, -1);
  EXPECT_EQ(a.LimbBP[BP_RTOE].SBP, 132);
  EXPECT_EQ(a.LimbBP[BP_LTOE].MAP, 83);

  a.SetBPData(true, nullptr);
  for (const auto& l : a.LimbBP) EXPECT_EQ(l.SBP, -1);
}

TEST(DataAnaCopy, CopiesResultsAndSettingsIntoBuffersOfItsOwn) {
  Record r(kBraAnk, 50);
  TnelDataAna a = r.Make();
  const tagLIMBRESULT limbs[4] = {{120, 80, 93}, {118, 78, 91}, {132, 82, 99}, {108, 70, 83}};
  a.SetBPData(true, limbs);
  a.SetSerialNo(5);
  a.RightABI = 1.1f;
  a.LeftPWV = 1234.5f;
  a.MapPercent[2] = 41;
  a.AIx = 12;
  a.BeatLen = 800;
  a.WorkBuf[7] = 3.5f;

  TnelDataAna b(a);
  EXPECT_EQ(b.RightABI, 1.1f);
  EXPECT_EQ(b.LeftPWV, 1234.5f);
  EXPECT_EQ(b.MapPercent[2], 41);
  EXPECT_EQ(b.AIx, 12);
  EXPECT_EQ(b.SerialNo, 5);
  EXPECT_EQ(b.BeatLen, 800);
  EXPECT_EQ(b.LimbBP[BP_LANK].SBP, 108);
  EXPECT_EQ(b.WaveData, a.WaveData);
  ASSERT_NE(b.WorkBuf, a.WorkBuf);
  ASSERT_NE(b.DiffBuf, a.DiffBuf);
  EXPECT_EQ(b.WorkBuf[7], 3.5f);

  Record small({WAVE_ECG}, 5);
  TnelDataAna c = small.Make();
  c = a;
  EXPECT_EQ(c.DataLen, 50);
  EXPECT_EQ(c.LeftPWV, 1234.5f);
  EXPECT_NE(c.WorkBuf, a.WorkBuf);
  EXPECT_EQ(c.WorkBuf[7], 3.5f);
  c.WorkBuf[49] = 1.0f;  // a buffer of the full record length
  auto& self = c;
  c = self;
  EXPECT_EQ(c.WorkBuf[7], 3.5f);
}

TEST(DataAnaFilter, ConstantStaysConstant) {
  Record r({WAVE_RBRA}, 300);
  TnelDataAna a = r.Make();
  std::vector<float> x(300, 87.25f);
  DataAnaTestAccess::Filter(a, x.data(), 300, 8.0f);
  for (float v : x) EXPECT_FLOAT_EQ(v, 87.25f);
}

double AmplitudeAfterFilter(TnelDataAna& a, double hz, int n) {
  std::vector<float> x(n);
  for (int i = 0; i < n; ++i) x[i] = static_cast<float>(50.0 + 10.0 * std::sin(2 * M_PI * hz * i / 1000.0));
  DataAnaTestAccess::Filter(a, x.data(), static_cast<int16_t>(n), 8.0f);
  double peak = 0.0;
  for (int i = n / 4; i < 3 * n / 4; ++i) peak = std::max(peak, std::fabs(x[i] - 50.0));
  return peak / 10.0;
}

TEST(DataAnaFilter, IsMinusThreeDecibelsAtTheCutOffAfterBothPasses) {
  Record r({WAVE_RBRA}, 4000);
  TnelDataAna a = r.Make();
  EXPECT_NEAR(AmplitudeAfterFilter(a, 1.0, 4000), 1.0, 0.02);
  EXPECT_NEAR(AmplitudeAfterFilter(a, 8.0, 4000), std::sqrt(0.5), 0.03);
  EXPECT_LT(AmplitudeAfterFilter(a, 40.0, 4000), 0.02);
}

TEST(DataAnaFilter, KeepsThePeakInPlace) {
  Record r({WAVE_RBRA}, 2000);
  TnelDataAna a = r.Make();
  std::vector<float> x(2000);
  for (int i = 0; i < 2000; ++i) x[i] = static_cast<float>(std::exp(-0.5 * std::pow((i - 1000) / 40.0, 2)));
  DataAnaTestAccess::Filter(a, x.data(), 2000, 8.0f);
  int peak = 0;
  for (int i = 1; i < 2000; ++i)
    if (x[i] > x[peak]) peak = i;
  EXPECT_NEAR(peak, 1000, 1);
}

TEST(DataAnaFilter, ToleratesTinyAndEmptyInput) {
  Record r({WAVE_RBRA}, 4);
  TnelDataAna a = r.Make();
  float one[1] = {3.0f};
  DataAnaTestAccess::Filter(a, one, 1, 8.0f);
  EXPECT_FLOAT_EQ(one[0], 3.0f);
  float two[2] = {1.0f, 2.0f};
  DataAnaTestAccess::Filter(a, two, 2, 8.0f);
  EXPECT_TRUE(std::isfinite(two[0]) && std::isfinite(two[1]));
  DataAnaTestAccess::Filter(a, nullptr, 0, 8.0f);
}

}  // namespace
