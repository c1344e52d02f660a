// TnelDataAna::Analysis: the records it refuses and the steps it leaves out.
// (Complete analyses of virtual-unit records: wave_golden_test.cpp.)
#include <gtest/gtest.h>

#include <cstring>
#include <limits>
#include <vector>

#include "data_ana_access.h"

using nel_test::Record;

namespace {

using nel_test::FullRecord;
using nel_test::kBraAnk;

const tagLIMBRESULT kLimbs[4] = {{120, 80, 93}, {118, 78, 91}, {132, 80, 97}, {108, 70, 83}};
// Position 1 holds an unknown kind: no PCG step.
const std::vector<tagTYPE_NEL_WAVEDATA> kNoPcg = {
    WAVE_ECG, static_cast<tagTYPE_NEL_WAVEDATA>(12), WAVE_RBRA, WAVE_LBRA, WAVE_RANK, WAVE_LANK};

// A refused record is left as it was and every result keeps its initial value.
TEST(DataAnaAnalysis, RefusesBadSamplesAndRatesAndSaysWhere) {
  constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
  constexpr float kInf = std::numeric_limits<float>::infinity();
  struct Bad {
    tagTYPE_NEL_WAVEDATA kind;
    int32_t record;
    float value;
  };
  const struct {
    const char* what;  // each of these analyses used to report success
    int32_t rate;
    std::vector<Bad> bad;
    bool filter;
    int32_t kind, record;  // of the bad sample; -1 for a bad rate
  } cases[] = {
      {"two NaN in RBra", 1000, {{WAVE_RBRA, 50, kNaN}, {WAVE_RBRA, 100, kNaN}}, false, WAVE_RBRA, 50},
      {"one +inf, filtered", 1000, {{WAVE_LANK, 7000, kInf}}, true, WAVE_LANK, 7000},
      {"-inf in the ECG", 1000, {{WAVE_ECG, 0, -kInf}}, false, WAVE_ECG, 0},
      {"NaN in the last PCG sample", 1000, {{WAVE_PCG, 14999, kNaN}}, false, WAVE_PCG, 14999},
      {"3e38: finite, beyond the limit", 1000, {{WAVE_RBRA, 100, 3e38f}}, true, WAVE_RBRA, 100},
      {"first kind first", 1000, {{WAVE_LANK, 10, kNaN}, {WAVE_RBRA, 20, kInf}}, false, WAVE_RBRA, 20},
      // Without a PCG a rate of 7 gave an ejection time of about 20 s.
      {"rate 7", 7, {}, false, -1, -1},
      {"rate 999", 999, {}, false, -1, -1},
      {"rate 1001", 1001, {}, false, -1, -1},
  };
  for (const auto& c : cases) {
    Record r = FullRecord();
    TnelDataAna a(6, (c.rate == 1000 ? kBraAnk : kNoPcg).data(), r.rec.data(), r.n(), c.rate);
    a.SetBPData(true, kLimbs);
    if (c.rate == 1000) {
      ASSERT_TRUE(a.Analysis(true, 170, 0.0f, false)) << c.what;  // results of a good record
    }
    for (const auto& b : c.bad) r.set(b.record, b.kind, b.value);
    const std::vector<tagSAVE_WAVEDATA> before = r.rec;
    EXPECT_FALSE(a.Analysis(true, 170, 0.0f, c.filter)) << c.what;
    EXPECT_EQ(a.AnaResult, c.kind >= 0 ? DATAANA_BAD_SAMPLE : DATAANA_BAD_SAMPLE_RATE) << c.what;
    EXPECT_EQ(a.BadSampleKind, c.kind) << c.what;
    EXPECT_EQ(a.BadSampleRecord, c.record) << c.what;
    EXPECT_EQ(a.HeartRate, 0) << c.what;
    for (float v : {a.RightABI, a.LeftABI, a.RightBAI, a.LeftBAI, a.RightPWV, a.LeftPWV}) EXPECT_EQ(v, -1.0f);
    for (int j = 0; j < 4; ++j) EXPECT_EQ(a.UpstrokeTime[j], -1) << c.what;
    EXPECT_EQ(a.PEP + a.ET, -2) << c.what;
    EXPECT_EQ(a.AIx, -9999) << c.what;
    // Bytewise: NaN never equals itself.
    EXPECT_EQ(std::memcmp(before.data(), r.rec.data(), sizeof(tagSAVE_WAVEDATA) * before.size()), 0) << c.what;
  }
}

// No record, or heart sounds without ECG beats: nothing to analyse.
TEST(DataAnaAnalysis, StopsWithoutHeartSoundsOrRecord) {
  TnelDataAna none(6, kBraAnk.data(), nullptr, 100, 1000);
  EXPECT_FALSE(none.Analysis(true, 165, 0.5f, false));
  EXPECT_EQ(none.AnaResult, DATAANA_NO_RECORD);
  Record r({WAVE_PCG, WAVE_RBRA}, 6000);
  nel_test::AddSounds(r, {500, 800, 1300, 1600, 2100, 2400});
  TnelDataAna a = r.Make();
  EXPECT_FALSE(a.Analysis(true, 170, 0.0f, false));
  EXPECT_EQ(a.AnaResult, DATAANA_NO_HEART_SOUNDS);
}

TEST(DataAnaAnalysis, PositionsOutsideTheKindListAreNotRead) {
  Record r = FullRecord();
  for (int32_t i = 0; i < r.n(); ++i) r.set(i, WAVE_PCG, std::numeric_limits<float>::quiet_NaN());
  TnelDataAna a(6, kNoPcg.data(), r.rec.data(), r.n(), 1000);
  a.SetBPData(true, kLimbs);
  ASSERT_TRUE(a.Analysis(true, 170, 0.0f, true));
  EXPECT_GT(a.ET, 200);
  EXPECT_GT(a.RightPWV, 900.0f);
  // A second call recomputes what depends on the pressures and keeps the rest.
  const tagLIMBRESULT armsOnly[4] = {{120, 80, 93}, {118, 78, 91}, {-1, -1, -1}, {-1, -1, -1}};
  a.SetBPData(true, armsOnly);
  ASSERT_TRUE(a.Analysis(true, 170, 0.0f, true));
  EXPECT_FLOAT_EQ(a.RightABI, 1.1f);
  EXPECT_EQ(a.MapPercent[2], -1);
}

}  // namespace
