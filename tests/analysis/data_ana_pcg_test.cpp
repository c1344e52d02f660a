// TnelDataAna: heart-sound marks of the phonocardiogram, beat by beat.
#include <gtest/gtest.h>

#include <vector>

#include "analysis/heart_sound_envelope.h"
#include "data_ana_access.h"

using nel::analysis::DataAnaTestAccess;
using nel_test::Record;

namespace {

const std::vector<tagTYPE_NEL_WAVEDATA> kEcgPcg = {WAVE_ECG, WAVE_PCG};

// Marks QRS onsets every `period` records from `first` and returns them.
std::vector<int32_t> MarkOnsets(Record& r, int32_t first, int32_t period) {
  std::vector<int32_t> on;
  for (int32_t q = first; q < r.n(); q += period) {
    r.mark(q, WAVE_ECG) = MARK_ECG_ONSET;
    on.push_back(q);
  }
  return on;
}

TEST(PcgThreshold, TrimsTheLargestAndSmallestBandAndUsesTheFirstFiftySeconds) {
  // Four 1-s bands with maxima 10, 40, 20, 30: trimmed mean (20 + 30) / 2 = 25.
  std::vector<float> E(4000, 0.0f);
  E[100] = 10.0f;
  E[1500] = -40.0f;  // magnitudes count
  E[2200] = 20.0f;
  E[3900] = 30.0f;
  EXPECT_FLOAT_EQ(nel::analysis::PcgThreshold(E.data(), 4000, 4050, 1000), 7.5f);

  // 60 s at 10 samples/s: bands 50..59 are ignored even when huge.
  std::vector<float> L(600, 0.0f);
  for (int b = 0; b < 60; ++b) L[b * 10] = b < 50 ? 2.0f : 1000.0f;
  L[0] = 50.0f;  // largest, trimmed; smallest (first 2.0 tie) trimmed
  EXPECT_FLOAT_EQ(nel::analysis::PcgThreshold(L.data(), 600, 600, 10), static_cast<float>(48 * 2.0 / 48 * 0.3));
}

TEST(PcgEnvelope, NormalisesTheDifferenceAndSumsShannonEnergy) {
  const float x[6] = {0, 2, 1, 1, 3, 3};
  float d[6], E[6];
  int32_t m = 0;
  ASSERT_TRUE(nel::analysis::PcgEnvelope(x, 6, 2, d, E, m));
  EXPECT_EQ(m, 4);
  EXPECT_FLOAT_EQ(d[0], 1.0f);
  EXPECT_FLOAT_EQ(d[2], -0.5f);
  EXPECT_FLOAT_EQ(d[3], 0.0f);
  auto term = [](double v) { return -v * v * std::log(v * v + 1e-8); };
  EXPECT_NEAR(E[1], term(1.0) + term(-0.5), 1e-6);
  EXPECT_NEAR(E[2], term(-0.5) + term(0.0), 1e-6);
}

TEST(PcgOtherPoint, FindsTheFallingEdgeOfTheLargestLobe) {
  Record r(kEcgPcg, 10);
  TnelDataAna a = r.Make();
  const float y[8] = {1, 3, 9, 8, 7, 5, 2, 1};
  EXPECT_EQ(DataAnaTestAccess::OtherPoint(a, y, 8), 5);  // 5 < 9 * 2/3
  const float flat[4] = {4, 4, 4, 4};
  EXPECT_EQ(DataAnaTestAccess::OtherPoint(a, flat, 4), 0);  // first maximum, never falls
  const float low[3] = {-1e6f, -1e6f, -1e6f};
  EXPECT_EQ(DataAnaTestAccess::OtherPoint(a, low, 3), 1);  // nothing above the start value
}

// Regular beats, each with three candidates (a double first sound, a second
// sound 300 + d records after the onset, a third sound): no beat gives a pair,
// so the second sounds go where the mean offset of the second candidates puts
// them: the plain mean of up to three beats, else the mean without the largest
// and smallest offset. Cases of as many beats are compared.
TEST(PcgAnalysis, BeatsWithoutPairsTakeTheMeanOffsets) {
  const struct {
    std::vector<int32_t> d;
    int32_t mean;
  } cases[] = {{{0, 10, 80}, 30}, {{30, 30, 30}, 30}, {{0, 10, 20, 30, 80}, 20}, {{50, 50, 50, 50, 50}, 50}};
  // S2 offset less the mean: the candidates' lag, the same for records of as many beats.
  int32_t base = 0, baseBeats = 0;
  for (const auto& c : cases) {
    const int beats = static_cast<int>(c.d.size());
    Record r(kEcgPcg, 800 * beats + 600);
    const auto on = MarkOnsets(r, 200, 800);
    std::vector<int32_t> sounds;
    for (int j = 0; j < beats; ++j)
      for (int32_t t : {60, 85, 300 + c.d[j], 560}) sounds.push_back(on[j] + t);
    nel_test::AddSounds(r, sounds);
    TnelDataAna a = r.Make();
    a.BeatLen = 800;
    ASSERT_TRUE(DataAnaTestAccess::Pcg(a));
    const auto s2 = r.Where(WAVE_PCG, MARK_PCG_S2);
    ASSERT_EQ(s2.size(), c.d.size()) << c.mean;
    if (beats != baseBeats) {
      base = s2[0] - on[0] - c.mean;
      baseBeats = beats;
    }
    for (int j = 0; j < beats; ++j) EXPECT_NEAR(s2[j] - on[j] - c.mean, base, 3) << beats << " " << j;
  }
}

}  // namespace
