// Beat detection and heart rate of the ECG analyser on synthetic ECG.
#include <gtest/gtest.h>

#include <memory>

#include "dsp/ecg_analyser.h"
#include "ecg_test_signals.h"

namespace nel::dsp {
namespace {

using testing::Complex;
using testing::Ecg;
using testing::Feed;
using testing::Regular;

std::unique_ptr<EcgAnalyser> Fresh() { return std::make_unique<EcgAnalyser>(); }

TEST(EcgDetection, FlatInputNeverLearnsAThresholdNorReportsABeat) {
  for (int16_t level : {int16_t{0}, int16_t{2130}, int16_t{4095}}) {
    auto a = Fresh();
    const auto run = Feed(*a, std::vector<int16_t>(30000, level));
    EXPECT_TRUE(run.beats.empty()) << level;
    EXPECT_EQ(a->Threshold(), 0) << level;
    EXPECT_EQ(a->HeartRate(), 0) << level;
    for (int16_t hr : run.rate) ASSERT_EQ(hr, 0);
  }
}

TEST(EcgDetection, RegularRhythmGivesItsBeatsAndRate) {
  struct Case {
    int32_t rr;
    int16_t rate;
  };
  for (const Case c : {Case{800, 75}, Case{1000, 60}, Case{500, 120}}) {
    auto a = Fresh();
    const auto run = Feed(*a, Ecg(40000, Regular(500, 40000, c.rr)));
    ASSERT_GE(run.beats.size(), 20u) << c.rr;
    const EcgBeatRecord* prev = nullptr;
    for (size_t i = 0; i < run.beats.size(); ++i) {
      const EcgBeatRecord& b = run.beats[i];
      // A beat is reported 271 samples after its R peak arrived.
      EXPECT_EQ(run.reportedAt[i] - b.RIndex, 271);
      EXPECT_EQ(b.Onset, b.RIndex - b.Width / 2);
      EXPECT_EQ(b.Offset, b.RIndex + b.Width / 2);
      EXPECT_GE(b.Width, 20);
      EXPECT_EQ(b.Label, 0) << "labelled only 150 samples after the report";
      EXPECT_EQ(b.Reserved0, 0);
      EXPECT_EQ(b.Reserved1, 0);
      if (prev) {
        EXPECT_EQ(b.RIndex - prev->RIndex, c.rr);
        EXPECT_EQ(b.RR, c.rr);
        EXPECT_EQ(b.RRRatio, c.rr * 100 / std::max<int>(prev->RR, 1));
      }
      prev = &b;
    }
    // Every complex after the learning phase is found, at one fixed offset.
    const int32_t lag = ((run.beats.back().RIndex - 500) % c.rr + c.rr / 2) % c.rr - c.rr / 2;
    EXPECT_LE(std::abs(lag), 30) << c.rr;
    EXPECT_GE(run.beats.front().RIndex, 500 + 7 * c.rr) << "eight peaks learn the threshold";
    EXPECT_EQ(static_cast<int32_t>(run.beats.size()), (run.beats.back().RIndex - run.beats.front().RIndex) / c.rr + 1);
    EXPECT_EQ(a->HeartRate(), c.rate) << c.rr;
    EXPECT_EQ(run.rate.back(), c.rate);
  }
}

// The first beat after a reset has no preceding beat: its interval, counted
// from sample 0, never enters the rate. At 200/min from sample 50 four beats
// come before the check at 4000, where counting the first one gave 72.
TEST(EcgDetection, FirstSecondsRateSkipsTheBeatWithoutAPredecessor) {
  auto a = Fresh();
  const auto run = Feed(*a, Ecg(8000, Regular(50, 8000, 300)));
  ASSERT_GE(run.beats.size(), 3u);
  ASSERT_LT(run.reportedAt[3], 4270) << "four beats before the check at 4000";
  for (int32_t i = 0; i < 8000; ++i) {
    const int16_t r = run.rate[static_cast<size_t>(i)];
    EXPECT_TRUE(r == 0 || r == 200) << "rate " << r << " at sample " << i;
    if (r != 0 && r != 200) break;
  }
  // The analysis runs 270 samples behind its input: the check at 4000 is seen at 4270.
  EXPECT_EQ(run.rate[4270], 200);
}

TEST(EcgDetection, ResetDiscardsAllHistoryAndInstancesAreIndependent) {
  const auto ecg = Ecg(20000, Regular(300, 20000, 700));
  auto a = Fresh();
  const auto first = Feed(*a, ecg);
  ASSERT_FALSE(first.beats.empty());
  EXPECT_EQ(a->Reset(), 0);
  EXPECT_EQ(a->BeatCount(), 0);
  EXPECT_EQ(a->Threshold(), 0);
  EXPECT_EQ(a->Cursor(), 0);
  EXPECT_EQ(a->ReferenceRR(), 1000);
  EXPECT_EQ(a->HeartRate(), 0);

  auto b = Fresh();
  Feed(*b, Ecg(7000, Regular(100, 7000, 333, 1500)));  // unrelated history
  const auto again = Feed(*a, ecg);
  ASSERT_EQ(again.beats.size(), first.beats.size());
  for (size_t i = 0; i < first.beats.size(); ++i) {
    EXPECT_EQ(again.beats[i].RIndex, first.beats[i].RIndex);
    EXPECT_EQ(again.beats[i].Width, first.beats[i].Width);
    EXPECT_EQ(again.beats[i].RR, first.beats[i].RR);
  }
  EXPECT_EQ(again.rate, first.rate);
}

TEST(EcgDetection, NarrowOrLowComplexesAreNotBeats) {
  // Peaks are seen and a threshold is learned, but no complex passes the QRS test.
  auto narrow = Fresh();
  EXPECT_TRUE(Feed(*narrow, Ecg(30000, Regular(500, 30000, 800, 1500, 4))).beats.empty());
  EXPECT_NE(narrow->Threshold(), 0);

  auto low = Fresh();
  EXPECT_TRUE(Feed(*low, Ecg(30000, Regular(500, 30000, 800, 60, 20))).beats.empty());
  EXPECT_NE(low->Threshold(), 0);

  // The same rhythm with a normal amplitude is detected.
  auto normal = Fresh();
  EXPECT_FALSE(Feed(*normal, Ecg(30000, Regular(500, 30000, 800, 800, 20))).beats.empty());
}

TEST(EcgDetection, HigherPeakWithin170SamplesMovesTheBeatInsteadOfAddingOne) {
  // Each beat is a small complex followed 160 samples later by a larger one.
  std::vector<Complex> cx;
  for (int32_t t = 500; t < 30000; t += 1000) {
    cx.push_back({t, 500, 20});
    cx.push_back({t + 160, 1200, 20});
  }
  auto a = Fresh();
  const auto run = Feed(*a, Ecg(30000, cx));
  ASSERT_GE(run.beats.size(), 10u);
  // One beat per pair; the newest beat's R index ends on the larger complex.
  for (size_t i = 1; i < run.beats.size(); ++i) EXPECT_EQ(run.beats[i].RIndex - run.beats[i - 1].RIndex, 1000);
  const int32_t n = a->BeatCount();
  const EcgBeatRecord& moved = a->Beat(n - 2);
  const EcgBeatRecord& reported = run.beats[run.beats.size() - 2];
  EXPECT_GE(moved.RIndex - reported.RIndex, 120);
  EXPECT_LT(moved.RIndex - reported.RIndex, 170);
  EXPECT_EQ(moved.RR, moved.RIndex - a->Beat(n - 3).RIndex) << "RR follows the move, unclamped";
  EXPECT_EQ(moved.Onset, reported.Onset) << "onset stays";
}

TEST(EcgDetection, SmallPeakInTheTWaveWindowIsNoiseButNotLater) {
  // Regular beats; after beat 20 a complex of 60 % height follows at 250
  // samples (inside the T-wave window: noise), after beat 25 one at 320
  // samples (outside: a beat).
  auto cx = Regular(500, 40000, 1000);
  cx.push_back({500 + 20 * 1000 + 250, 480, 20});
  cx.push_back({500 + 25 * 1000 + 320, 480, 20});
  auto a = Fresh();
  const auto ecg = Ecg(40000, cx);
  auto run = Feed(*a, std::vector<int16_t>(ecg.begin(), ecg.begin() + 21200));
  // The early complex rises above the threshold: only the T-wave rule rejects it.
  int32_t earlyHeight = 0, beatHeight = 0;
  for (int32_t i = 20650; i < 20850; ++i) earlyHeight = std::max(earlyHeight, a->Detection(i));
  for (int32_t i = 20400; i < 20600; ++i) beatHeight = std::max(beatHeight, a->Detection(i));
  ASSERT_GE(earlyHeight, a->Threshold());
  ASSERT_LT(earlyHeight, 2 * beatHeight / 3);
  const auto rest = Feed(*a, std::vector<int16_t>(ecg.begin() + 21200, ecg.end()));
  run.beats.insert(run.beats.end(), rest.beats.begin(), rest.beats.end());
  int32_t early = 0, late = 0;
  for (const auto& b : run.beats) {
    const int32_t phase = (b.RIndex - 500) % 1000;
    if (phase > 200 && phase < 300) ++early;
    if (phase > 300 && phase < 400) ++late;
  }
  EXPECT_EQ(early, 0);
  EXPECT_EQ(late, 1);
}

TEST(EcgDetection, LongPauseZeroesTheRateAndClampsTheRR) {
  // 60 beats per minute, a pause of 8 s, then the rhythm again.
  auto cx = Regular(500, 25000, 1000);
  auto after = Regular(24500 + 8000, 50000, 1000);
  cx.insert(cx.end(), after.begin(), after.end());
  auto a = Fresh();
  const auto run = Feed(*a, Ecg(50000, cx));
  const int32_t lastBefore = 24500;
  // Rate is 60 before the pause, 0 at the first once-a-second update after
  // 4.2 s without a beat (the cursor trails the input by 271 samples).
  EXPECT_EQ(run.rate[lastBefore + 1000], 60);
  const int32_t zeroFrom = ((lastBefore + 4200) / 1000 + 1) * 1000 + 271;
  EXPECT_EQ(run.rate[static_cast<size_t>(zeroFrom - 2)], 60);
  EXPECT_EQ(run.rate[static_cast<size_t>(zeroFrom)], 0);
  bool sawClamp = false;
  for (const auto& b : run.beats)
    if (b.RIndex > 32000 && b.RIndex < 33000) {
      EXPECT_EQ(b.RR, 6000) << "8000-sample RR is stored as 6000";
      sawClamp = true;
    }
  EXPECT_TRUE(sawClamp) << "the first beat after the pause is found";
  EXPECT_EQ(run.rate.back(), 60);
}

TEST(EcgDetection, NullOutputsAreAllowed) {
  auto a = Fresh();
  const auto ecg = Ecg(20000, Regular(300, 20000, 800));
  int accepted = 0;
  for (int16_t s : ecg) accepted += a->ProcessSample(s, nullptr, nullptr);
  EXPECT_EQ(accepted, a->BeatCount());
  EXPECT_GT(accepted, 0);
}

TEST(EcgDetection, ExtremeSamplesDoNotBreakTheAnalyser) {
  // Full-scale alternation and int16 extremes: no crash, bounded outputs.
  std::vector<int16_t> wild(20000);
  for (size_t i = 0; i < wild.size(); ++i) wild[i] = (i / 7) % 2 ? int16_t{32767} : int16_t{-32768};
  auto a = Fresh();
  const auto run = Feed(*a, wild);
  for (int16_t hr : run.rate) ASSERT_TRUE(hr == 0 || (hr >= 30 && hr <= 300));
}

TEST(EcgDetection, SharedInstanceIsOnePerProcess) { EXPECT_EQ(&SharedEcgAnalyser(), &SharedEcgAnalyser()); }

}  // namespace
}  // namespace nel::dsp
