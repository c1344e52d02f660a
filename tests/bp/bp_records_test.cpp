// Byte layout of the BP records as a host reading the raw arrays sees them.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <type_traits>

#include <nel/bp/bp_records.h>

namespace {

TEST(BPRecords, FilteredSamplesFollowEachOtherWithoutPadding) {
  tagBPV_FILTED_DATA rec[2];
  std::memset(rec, 0, sizeof rec);
  rec[0].Pressure = 12.5f;
  rec[0].Mark = 2;
  rec[1].Osc = -3;
  rec[1].OscSmooth = 0x01020304;
  const auto* bytes = reinterpret_cast<const unsigned char*>(rec);
  float p;
  std::memcpy(&p, bytes + 8, sizeof p);
  EXPECT_EQ(p, 12.5f);
  EXPECT_EQ(bytes[12], 2);  // the mark directly follows the pressure
  int32_t osc;
  std::memcpy(&osc, bytes + 13, sizeof osc);  // record 1 starts right after the mark
  EXPECT_EQ(osc, -3);
  EXPECT_EQ(bytes[17], 0x04);  // little-endian OscSmooth of record 1
  EXPECT_EQ(bytes[20], 0x01);
  EXPECT_EQ(sizeof rec, 26u);
}

TEST(BPRecords, PulseAndResultLayout) {
  tagBPV_PULSE_FEATURE_POINT pts[800];
  EXPECT_EQ(sizeof pts, 9600u);
  tagBPIM_PARA para{1, 2, 3, 120, 80, 93, 0.25f};
  const auto* bytes = reinterpret_cast<const unsigned char*>(&para);
  int16_t map;
  std::memcpy(&map, bytes + 10, sizeof map);
  EXPECT_EQ(map, 93);
  float ratio;
  std::memcpy(&ratio, bytes + 12, sizeof ratio);
  EXPECT_EQ(ratio, 0.25f);
  EXPECT_TRUE(std::is_trivially_copyable_v<tagBPV_FILTED_DATA>);
  EXPECT_TRUE(std::is_trivially_copyable_v<tagBPV_PULSE_FEATURE_POINT>);
  EXPECT_TRUE(std::is_trivially_copyable_v<tagBPIM_PARA>);
}

TEST(BPRecords, EnumerationValues) {
  EXPECT_EQ(BPVMODE_DEFLATE, 1);
  EXPECT_EQ(BPVSTA_OVERPRESSURE, 6);
  EXPECT_EQ(BPVSTA_REMEASURE, 4);
  EXPECT_EQ(PRS_PULSE, 5);
  EXPECT_EQ(PRS_NOBUFFER, 4);
  EXPECT_EQ(BPVCAL_MAPCOEFF, 4);
  EXPECT_EQ(BPVCAL_SIMCOEFF, 3);
}

}  // namespace
