// TnelDataAna: construction over a record, copies and the zero-phase low-pass.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "data_ana_access.h"

using nel::analysis::DataAnaTestAccess;
using nel_test::Record;

namespace {

TEST(DataAnaConstruction, UsesSixKnownKindsAtMost) {
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
}

TEST(DataAnaCopy, CopiesResultsAndSettingsIntoBuffersOfItsOwn) {
  Record r(nel_test::kBraAnk, 50);
  TnelDataAna a = r.Make();
  const tagLIMBRESULT limbs[4] = {{120, 80, 93}, {118, 78, 91}, {132, 82, 99}, {108, 70, 83}};
  a.SetBPData(true, limbs);
  a.LeftPWV = 1234.5f;
  a.MapPercent[2] = 41;
  a.BeatLen = 800;
  a.WorkBuf[7] = 3.5f;
  Record small({WAVE_ECG}, 5);
  TnelDataAna c = small.Make();
  c = a;
  const TnelDataAna d(a);
  for (const TnelDataAna* b : {static_cast<const TnelDataAna*>(&c), &d}) {
    EXPECT_EQ(b->LeftPWV, 1234.5f);
    EXPECT_EQ(b->MapPercent[2], 41);
    EXPECT_EQ(b->BeatLen, 800);
    EXPECT_EQ(b->DataLen, 50);
    EXPECT_EQ(b->LimbBP[BP_LANK].SBP, 108);
    ASSERT_NE(b->WorkBuf, a.WorkBuf);
    EXPECT_EQ(b->WorkBuf[7], 3.5f);
  }
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

}  // namespace
