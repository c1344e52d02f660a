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

TEST(DataAnaMarks, SetMarkSkipsPlacesOutsideTheRecord) {
  Record r({WAVE_ECG, WAVE_RBRA}, 10);
  TnelDataAna a = r.Make();
  for (int32_t record : {-1, 0, 9, 10})
    for (int32_t pos : {-1, 0, 5, 6}) DataAnaTestAccess::Mark(a, record, pos, 4);
  int marked = 0;
  for (const auto& x : r.rec)
    for (uint8_t m : x.Mark) marked += m;
  EXPECT_EQ(marked, 4 * 4);
  EXPECT_EQ(r.rec[0].Mark[0] + r.rec[0].Mark[5] + r.rec[9].Mark[0] + r.rec[9].Mark[5], 4 * 4);
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
