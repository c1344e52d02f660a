// Layout and values of the shared records that cross the host boundary.
#include <gtest/gtest.h>

#include <cstring>
#include <type_traits>

#include <nel/link/category_layout.h>
#include <nel/link/records.h>

namespace {

TEST(Records, WaveRecordsFollowEachOtherWithoutGap) {
  tagSAVE_WAVEDATA rec[2];
  std::memset(rec, 0, sizeof rec);
  rec[0].Mark[5] = 0xAB;
  rec[1].Wave[0] = 1.0f;
  const auto* bytes = reinterpret_cast<const unsigned char*>(rec);
  // The last mark byte of record 0 is directly followed by record 1's first float.
  EXPECT_EQ(bytes[29], 0xAB);
  float first;
  std::memcpy(&first, bytes + 30, sizeof first);
  EXPECT_EQ(first, 1.0f);
  EXPECT_EQ(sizeof rec, 60u);
}

TEST(Records, HmidStatusSitsAtTwoByteAlignment) {
  tagHMID_DATA d{};
  const auto base = reinterpret_cast<const char*>(&d);
  for (int i = 0; i < 6; ++i) {
    const auto off = reinterpret_cast<const char*>(&d.BPResult[i].Status) - base;
    EXPECT_EQ(off, 2 + 10 * i + 6) << "cuff position " << i;
    EXPECT_EQ(off % 2, 0);
  }
}

TEST(Records, AreTriviallyCopyable) {
  EXPECT_TRUE(std::is_trivially_copyable_v<tagSAM_DATA>);
  EXPECT_TRUE(std::is_trivially_copyable_v<tagHMID_DATA>);
  EXPECT_TRUE(std::is_trivially_copyable_v<tagSAVE_WAVEDATA>);
  EXPECT_TRUE(std::is_trivially_copyable_v<PACK_BUF>);
}

TEST(Records, CoefficientConstantsAreTheSinglePrecisionValues) {
  // The nine significant digits identify each single-precision value exactly.
  EXPECT_EQ(nel::kBuiltInCoeff[0].Slope, 0.000296515907f);
  EXPECT_EQ(nel::kBuiltInCoeff[0].Offset, -18.1120796f);
  EXPECT_EQ(nel::kBuiltInCoeff[3].Slope, 0.00029127259f);
  EXPECT_EQ(nel::kInitialCoeff.Slope, 0.000286553986f);
  EXPECT_EQ(nel::kInitialCoeff.Offset, -12.0426302f);
  // Toe channels share the ankle transducers' conversion.
  for (int c : {4, 5}) {
    EXPECT_EQ(nel::kBuiltInCoeff[c].Slope, nel::kBuiltInCoeff[c - 2].Slope);
    EXPECT_EQ(nel::kBuiltInCoeff[c].Offset, nel::kBuiltInCoeff[c - 2].Offset);
  }
}

TEST(CategoryLayout, ListsOfEveryCategory) {
  nel::link::CategoryLayout l;
  ASSERT_TRUE(nel::link::LayoutForCategory(DETECT_BRA_ANK, l));
  EXPECT_EQ(l.waveCount, 6);
  EXPECT_EQ(l.cuffCount, 4);
  EXPECT_EQ(l.waves[0], WAVE_ECG);
  EXPECT_EQ(l.cuffs[2], BP_RANK);
  EXPECT_EQ(l.cuffWavePos[3], 5);

  ASSERT_TRUE(nel::link::LayoutForCategory(DETECT_BRA_TOE, l));
  EXPECT_EQ(l.waves[4], WAVE_RTOE);
  EXPECT_EQ(l.cuffs[3], BP_LTOE);

  ASSERT_TRUE(nel::link::LayoutForCategory(DETECT_ECG_PCG, l));
  EXPECT_EQ(l.waveCount, 2);
  EXPECT_EQ(l.cuffCount, 0);

  ASSERT_TRUE(nel::link::LayoutForCategory(DETECT_ALL2, l));
  EXPECT_EQ(l.waveCount, 8);
  EXPECT_EQ(l.cuffCount, 6);
  EXPECT_EQ(l.cuffWavePos[5], 7);

  // In the pulse-only category the first position holds the RBra pulse wave.
  ASSERT_TRUE(nel::link::LayoutForCategory(DETECT_PULSE, l));
  EXPECT_EQ(l.waves[0], WAVE_RBRA);
  EXPECT_EQ(l.cuffWavePos[0], 0);
  EXPECT_EQ(l.cuffWavePos[5], 5);
}

TEST(CategoryLayout, UnknownValueLeavesListsUntouched) {
  nel::link::CategoryLayout l;
  ASSERT_TRUE(nel::link::LayoutForCategory(DETECT_BRA_TOE, l));
  for (int bad : {-1, 7, 1000}) {
    EXPECT_FALSE(nel::link::LayoutForCategory(bad, l));
    EXPECT_EQ(l.waves[4], WAVE_RTOE);
    EXPECT_EQ(l.waveCount, 6);
  }
}

}  // namespace
