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

TEST(PcgThreshold, ShortRecordsUseTheFixedValue) {
  std::vector<float> E(2900, 100.0f);
  EXPECT_EQ(nel::analysis::PcgThreshold(E.data(), 1900, 1999, 1000), 5.0f);  // under 2 s
  EXPECT_EQ(nel::analysis::PcgThreshold(E.data(), 2900, 2950, 1000), 5.0f);  // two bands
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

// Three regular beats, each with three candidates (a double first sound, a
// second sound 300 + d records after the onset, a third sound): no beat gives
// a pair, so the second sounds go where the mean offset of the second
// candidates puts them, the plain mean of three values (d = 0, 10, 80 and
// d = 30 three times: the same mean, medians 20 apart).
TEST(PcgAnalysis, BeatsWithoutPairsTakeTheMeanOffsets) {
  std::vector<int32_t> offsets[2];
  for (int v = 0; v < 2; ++v) {
    Record r(kEcgPcg, 3400);
    const auto on = MarkOnsets(r, 200, 800);
    const int32_t d[2][3] = {{0, 10, 80}, {30, 30, 30}};
    std::vector<int32_t> sounds;
    for (int j = 0; j < 3; ++j)
      for (int32_t t : {60, 85, 300 + d[v][j], 560}) sounds.push_back(on[j] + t);
    nel_test::AddSounds(r, sounds);
    TnelDataAna a = r.Make();
    a.BeatLen = 800;
    ASSERT_TRUE(DataAnaTestAccess::Pcg(a));
    const auto s2 = r.Where(WAVE_PCG, MARK_PCG_S2);
    ASSERT_EQ(s2.size(), 3u) << v;
    for (int j = 0; j < 3; ++j) offsets[v].push_back(s2[j] - on[j]);
  }
  for (int j = 0; j < 3; ++j) {
    EXPECT_EQ(offsets[0][j], offsets[0][0]) << j;
    EXPECT_NEAR(offsets[0][j], offsets[1][j], 3) << j;
  }
}

TEST(PcgAnalysis, OneCandidateInTheFirstQuarterGetsItsSecondSoundFromTheEnvelope) {
  Record r(kEcgPcg, 8000);
  const auto on = MarkOnsets(r, 200, 800);
  std::vector<int32_t> sounds;
  for (size_t j = 0; j < on.size(); ++j) {
    sounds.push_back(on[j] + 60);
    // Beat 3's second sound is too faint to be a candidate.
    if (on[j] + 360 < r.n()) sounds.push_back(on[j] + 360);
  }
  nel_test::AddSounds(r, sounds);
  for (int32_t i = on[3] + 300; i < on[3] + 420; ++i) r.wave(i, WAVE_PCG) *= 0.25f;
  TnelDataAna a = r.Make();
  a.BeatLen = 800;
  ASSERT_TRUE(DataAnaTestAccess::Pcg(a));
  const auto s1 = r.Where(WAVE_PCG, MARK_PCG_S1);
  const auto s2 = r.Where(WAVE_PCG, MARK_PCG_S2);
  ASSERT_EQ(s1.size(), on.size() - 1);
  ASSERT_EQ(s2.size(), on.size() - 1);
  // The envelope search lands on the falling edge of the faint sound.
  EXPECT_GT(s2[3], on[3] + 330);
  EXPECT_LT(s2[3], on[3] + 400);
}

TEST(PcgAnalysis, IrregularBeatGetsItsSoundsInTheSecondPass) {
  Record r(kEcgPcg, 8000);
  std::vector<int32_t> on = {200, 1000, 1800, 2100, 2900, 3700, 4500, 5300, 6100, 6900};
  for (int32_t q : on) r.mark(q, WAVE_ECG) = MARK_ECG_ONSET;
  std::vector<int32_t> sounds;
  for (size_t j = 0; j + 1 < on.size(); ++j) {
    if (on[j] == 5300) continue;  // a silent regular beat starts the second pass
    sounds.push_back(on[j] + 60);
    if (on[j] != 1800) sounds.push_back(on[j] + 360);
  }
  nel_test::AddSounds(r, sounds);
  TnelDataAna a = r.Make();
  a.BeatLen = 800;  // the beat 1800..2100 (300) is irregular
  ASSERT_TRUE(DataAnaTestAccess::Pcg(a));
  int s1 = -1;
  for (int32_t i = 1800; i < 2100; ++i)
    if (r.mark(i, WAVE_PCG) == MARK_PCG_S1) s1 = i;
  EXPECT_NEAR(s1, 1800 + 60, 30);  // the envelope maximum, nearer the mean first-sound offset
}

TEST(PcgAnalysis, RemovesPairsFarFromTheMeanInterval) {
  Record r(kEcgPcg, 9000);
  const auto on = MarkOnsets(r, 200, 800);
  std::vector<int32_t> sounds;
  for (size_t j = 0; j < on.size(); ++j) {
    sounds.push_back(on[j] + 60);
    sounds.push_back(on[j] + (j == 4 ? 520 : 360));  // beat 4: interval 460 instead of 300
  }
  nel_test::AddSounds(r, sounds);
  TnelDataAna a = r.Make();
  a.BeatLen = 800;
  ASSERT_TRUE(DataAnaTestAccess::Pcg(a));
  for (int32_t i = on[4]; i < on[5]; ++i) EXPECT_EQ(r.mark(i, WAVE_PCG), 0) << i;
  EXPECT_EQ(r.Where(WAVE_PCG, MARK_PCG_S1).size(), on.size() - 2);
}

TEST(PcgAnalysis, FailsWithoutBeatsOrSounds) {
  Record r(kEcgPcg, 5000);
  nel_test::AddSounds(r, {500, 800, 1300, 1600, 2100, 2400});
  TnelDataAna a = r.Make();
  a.BeatLen = 800;
  EXPECT_FALSE(DataAnaTestAccess::Pcg(a));
  EXPECT_EQ(r.Where(WAVE_PCG, MARK_PCG_CANDIDATE).size(), 6u);  // the candidates stay
  Record silent(kEcgPcg, 5000);
  MarkOnsets(silent, 200, 800);
  TnelDataAna b = silent.Make();
  b.BeatLen = 800;
  EXPECT_FALSE(DataAnaTestAccess::Pcg(b));
  Record one(kEcgPcg, 1);
  TnelDataAna c = one.Make();
  EXPECT_FALSE(DataAnaTestAccess::Pcg(c));
}

}  // namespace
