// The ECG analyser on synthetic ECG: beat detection and heart rate, timing
// labels, rhythm patterns, the conclusion and the beat classifier.
#include <gtest/gtest.h>

#include <cmath>
#include <map>
#include <memory>

#include "dsp/ecg_analyser.h"
#include "dsp/ecg_beat_classifier.h"
#include "ecg_test_signals.h"

namespace nel::dsp {
namespace {

using testing::Complex;
using testing::Ecg;
using testing::Feed;
using testing::Regular;

std::unique_ptr<EcgAnalyser> Fresh() { return std::make_unique<EcgAnalyser>(); }

// Eight peaks learn the threshold: a third of the lower level when the peaks
// are alike, a third of the way from the lower to the upper level when the
// upper is more than three times the lower. The complex 800 samples after the
// eighth is a beat when it reaches that and passes the QRS tests (a range of
// 79 counts, a width of 20 samples).
struct LearnCase {
  int32_t big, small;  // amplitudes of the learning complexes, alternating
  int32_t probe, halfWidth;
  bool beat;
};

TEST(EcgDetection, FirstPeakAfterLearningIsABeatWhenItReachesTheThreshold) {
  const LearnCase cases[] = {{800, 800, 300, 20, true},  {800, 800, 240, 20, false},
                             {800, 800, 360, 20, true},  {800, 150, 420, 20, true},
                             {800, 150, 330, 20, false}, {1500, 1500, 1500, 4, false},  // too narrow
                             {60, 60, 60, 20, false}};                                  // too low
  for (const LearnCase& c : cases) {
    std::vector<Complex> cx;
    for (int32_t i = 0; i < 8; ++i) cx.push_back({500 + i * 800, i % 2 ? c.small : c.big, c.halfWidth});
    cx.push_back({500 + 8 * 800, c.probe, c.halfWidth});
    auto a = Fresh();
    const auto run = Feed(*a, Ecg(500 + 8 * 800 + 600, cx));
    ASSERT_NE(a->Threshold(), 0);
    EXPECT_EQ(run.beats.size(), c.beat ? 1u : 0u) << c.big << " " << c.small << " " << c.probe;
  }
}

// Peaks lie 100 samples apart at least, and the first may lie at index 100:
// on a zero baseline a spike at 88 gives the detection a single peak there,
// and seven more complexes then make the eight peaks that learn the threshold.
TEST(EcgDetection, PeakAtIndex100CountsTowardsLearning) {
  std::vector<Complex> cx{{88, 800, 2}};
  for (int32_t i = 1; i < 8; ++i) cx.push_back({88 + i * 800, 800, 20});
  auto ecg = Ecg(88 + 7 * 800 + 400, cx);
  for (int16_t& v : ecg) v = static_cast<int16_t>(v - testing::kBaseline);
  auto a = Fresh();
  Feed(*a, {ecg.begin(), ecg.end() - 800});
  ASSERT_EQ(a->Threshold(), 0) << "seven peaks";
  Feed(*a, {ecg.end() - 800, ecg.end()});
  EXPECT_NE(a->Threshold(), 0) << "eight peaks";
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
  // samples (outside: a beat), after beat 30 one of 90 % height at 250
  // samples (above two thirds of the last height: a beat).
  auto cx = Regular(500, 40000, 1000);
  cx.push_back({500 + 20 * 1000 + 250, 480, 20});
  cx.push_back({500 + 25 * 1000 + 320, 480, 20});
  cx.push_back({500 + 30 * 1000 + 250, 720, 20});
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
  for (const auto& b : run.beats)
    early += (b.RIndex - 500) % 1000 / 100 == 2, late += (b.RIndex - 500) % 1000 / 100 == 3;
  EXPECT_EQ(early, 1);
  EXPECT_EQ(late, 1);
}

TEST(EcgDetection, LongPauseZeroesTheRateAndClampsTheRR) {
  // 60 beats per minute, a pause of 8 s, then the rhythm again.
  auto cx = Regular(500, 25000, 1000), after = Regular(24500 + 8000, 50000, 1000);
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
  int32_t after8s = 0;  // the first beat after the pause: its 8000-sample RR is stored as 6000
  for (const auto& b : run.beats) after8s += b.RIndex > 32000 && b.RIndex < 33000 && b.RR == 6000;
  EXPECT_EQ(after8s, 1);
  EXPECT_EQ(run.rate.back(), 60);
}

// A normal narrow complex and a wide inverted (ventricular-like) one.
Complex Normal(int32_t at) { return {at, 800, 20}; }
Complex Wide(int32_t at) { return {at, -900, 60}; }

struct Outcome {
  std::map<int32_t, int32_t> labels;  // final label per beat number
  std::map<int32_t, int32_t> codes;   // rhythm code per beat number
  std::vector<int32_t> rIndex;        // per beat number
  uint32_t mask = 0;
  int32_t meanRate = -1;
};

// Runs a fresh analyser with a conclusion over the whole signal.
Outcome Analyse(const std::vector<int16_t>& ecg) {
  auto a = Fresh();
  a->StartConclusion();
  Outcome o;
  for (int16_t s : ecg) {
    EcgBeatRecord b{};
    int16_t hr = 0;
    if (a->ProcessSample(s, &b, &hr)) o.rIndex.push_back(b.RIndex);
    for (int32_t k = std::max(0, a->BeatCount() - 5); k < a->BeatCount(); ++k) {
      o.labels[k] = a->Beat(k).Label;
      o.codes[k] = a->RhythmCode(k);
    }
  }
  a->PauseConclusion();
  o.mask = a->GetConclusion(&o.meanRate);
  return o;
}

// Beat number of the beat found nearest to sample t (-1 when none within 50).
int32_t BeatAt(const Outcome& o, int32_t t) {
  for (size_t k = 0; k < o.rIndex.size(); ++k)
    if (std::abs(o.rIndex[k] - t) <= 50) return static_cast<int32_t>(k);
  return -1;
}

TEST(EcgRhythmPatterns, TableOrderAndRotations) {
  struct Case {
    std::vector<int32_t> newestFirst;
    int32_t code;
  };
  const Case cases[] = {
      {{1, 1, 1, 2, 1, 1, 1, 1}, 2},                // isolated abnormal beat, three beats later
      {{1, 2, 2, 1, 1, 1, 1}, 5},                   // pair
      {{1, 2, 2, 2, 1, 1, 1}, 6},                   // three in a row
      {{1, 2, 2, 2, 2, 1, 1}, 7},                   // four in a row
      {{2, 2, 2, 2, 2, 1, 1}, kRhythmMatchNoCode},  // five in a row: no code
      {{1, 2, 1, 2, 1, 1, 1}, 4},                   // pattern 6, rotation 0
      {{2, 1, 2, 1, 1, 1, 1}, 4},                   // pattern 6, rotation 1
      {{1, 1, 2, 1, 1, 2, 1}, 3},                   // pattern 7, rotation 0
      {{2, 1, 1, 2, 1, 1, 1}, 3},                   // pattern 7, rotation 1
      {{1, 2, 1, 1, 2, 1, 1}, 3},                   // pattern 7, rotation 2
      {{3, 3, 3, 3, 3, 1, 1}, kRhythmMatchNoCode},
      {{4, 4, 4, 4, 4, 1, 1}, kRhythmMatchNoCode},
      {{1, 1, 1, 1, 1, 1, 1}, kRhythmNoMatch},
      {{2, 2, 1, 1, 1, 1, 1}, kRhythmNoMatch},
      {{5, 1, 1, 1, 1, 1, 1}, kRhythmNoMatch},
      // Pattern 2 (1 2 2 1) comes before the rotations of pattern 6.
      {{1, 2, 2, 1, 2, 1, 2}, 5},
  };
  for (const Case& c : cases)
    EXPECT_EQ(MatchRhythmPattern(c.newestFirst.data(), static_cast<int32_t>(c.newestFirst.size())), c.code)
        << ::testing::PrintToString(c.newestFirst);
  EXPECT_EQ(MatchRhythmPattern(nullptr, 7), kRhythmNoMatch);
  const int32_t three[] = {2, 1, 2};  // too short for pattern 6
  EXPECT_EQ(MatchRhythmPattern(three, 3), kRhythmNoMatch);
}

TEST(EcgRhythm, RegularRhythmConcludesCleanWithItsRate) {
  struct Case {
    int32_t rr;
    int32_t rate;
    uint32_t mask;
  };
  // 30 and 58 per minute are slow; exactly 60 and 100 set no rate bit; 101 is fast.
  for (const Case c :
       {Case{2000, 30, kConclusionSlow}, Case{1034, 58, kConclusionSlow}, Case{1000, 60, kConclusionClean},
        Case{600, 100, kConclusionClean}, Case{594, 101, kConclusionFast}}) {
    std::vector<Complex> cx;
    for (int32_t t = 500; t < 60000; t += c.rr) cx.push_back(Normal(t));
    const Outcome o = Analyse(Ecg(60000, cx));
    EXPECT_EQ(o.meanRate, c.rate) << c.rr;
    EXPECT_EQ(o.mask, c.mask) << c.rr;
  }
}

// Timing rules on one event in a steady rhythm: `lead` beats `base` samples
// apart, the event beat (normal or wide) `rr` samples after the last of them,
// then a normal beat `next` samples later and ten more at the base interval.
// The intervals are those of the detected R peaks; the event is placed so that
// no once-a-second rate update falls between its R peak and its relabelling.
struct TimingCase {
  const char* rule;
  int32_t base;
  bool wide;
  int32_t rr, next;
  int32_t label, code, nextCode;  // of the event beat; the rhythm code of the beat after it
};

void ExpectTimingRule(const TimingCase& c) {
  SCOPED_TRACE(c.rule);
  constexpr int32_t kLead = 30;
  constexpr int32_t kWideLag = -2;  // detected R of a wide complex minus that of a narrow one
  const int32_t event = kLead * c.base + c.rr;
  const int32_t first = 1000 + ((500 - event) % 1000 + 1000) % 1000;
  std::vector<Complex> cx;
  for (int32_t i = 0; i < kLead; ++i) cx.push_back(Normal(first + i * c.base));
  const int32_t at = first + (kLead - 1) * c.base + c.rr;
  cx.push_back(c.wide ? Wide(at - kWideLag) : Normal(at));
  int32_t t = at + c.next;
  const int32_t after = t;
  for (int32_t i = 0; i < 11; ++i, t += c.base) cx.push_back(Normal(t));
  const Outcome o = Analyse(Ecg(t + 1000, cx));
  const int32_t e = BeatAt(o, at);
  ASSERT_GE(e, 1);
  ASSERT_EQ(BeatAt(o, after), e + 1);
  ASSERT_EQ(o.rIndex[static_cast<size_t>(e)] - o.rIndex[static_cast<size_t>(e - 1)], c.rr);
  ASSERT_EQ(o.rIndex[static_cast<size_t>(e + 1)] - o.rIndex[static_cast<size_t>(e)], c.next);
  EXPECT_EQ(o.labels.at(e), c.label);
  EXPECT_EQ(o.codes.at(e), c.code);
  EXPECT_EQ(o.codes.at(e + 1), c.nextCode);
}

// At 75 per minute a normal beat is a pause beyond 7/4 of 800 samples.
const TimingCase kTimingCases[] = {
    {"pause", 800, false, 1450, 800, kLabelPause, 1, 0},
    {"no pause at 1.6 beat periods", 800, false, 1300, 800, kLabelNormal, 0, 0},
    {"long RR at 35 per minute", 1700, false, 1700, 1700, kLabelLongRR, 0, 0},
    {"wide beat early by more than a tenth stays abnormal", 800, true, 700, 900, kLabelAbnormal, 0, 0},
    {"wide beat early by less than a tenth is normal", 800, true, 740, 860, kLabelNormal, 0, 0},
    {"wide beat 400 samples after a normal is early", 800, true, 400, 1200, kLabelEarlyAbnormal, 0, 8},
    {"wide beat 401 samples after a normal is not", 800, true, 401, 1199, kLabelAbnormal, 0, 0},
    {"wide beat 250 samples after a normal is early", 800, true, 250, 1350, kLabelEarlyAbnormal, 0, 8},
    {"compensatory pause beyond 5/4 of the reference", 800, true, 350, 1001, kLabelEarlyAbnormal, 0, 8},
    {"no compensatory pause at 5/4 of the reference", 800, true, 350, 1000, kLabelEarlyAbnormal, 0, 0},
};

TEST(EcgRhythm, TimingRulesLabelAndCodeTheEventBeat) {
  for (const TimingCase& c : kTimingCases) ExpectTimingRule(c);
}

TEST(EcgRhythm, StLevelNeedsMoreThanTwoThirdsOfTheLast30Beats) {
  // 60 beats per minute; of the last 30 beats, `shifted` carry an ST segment
  // 100 counts (150 microvolts) above or below the baseline.
  auto run = [](int32_t shifted, int32_t sign) {
    std::vector<Complex> cx;
    std::vector<int32_t> stFrom;
    const int32_t beats = 60;
    for (int32_t i = 0; i < beats; ++i) {
      const int32_t at = 500 + i * 1000;
      cx.push_back(Normal(at));
      const int32_t fromEnd = beats - i;  // 1 = last beat
      if (fromEnd <= 31 && fromEnd >= 2 && (fromEnd - 2) < shifted) stFrom.push_back(at);
    }
    auto ecg = Ecg(500 + beats * 1000 + 400, cx);
    for (int32_t at : stFrom)
      for (int32_t i = at + 30; i < at + 200; ++i)
        ecg[static_cast<size_t>(i)] = static_cast<int16_t>(ecg[static_cast<size_t>(i)] + sign * 100);
    return Analyse(ecg).mask;
  };
  // The last beat whose conclusion step ran is the second last of the signal,
  // so the 30 newest ST values belong to beats 2..31 from the end.
  for (const int32_t sign : {+1, -1}) {
    EXPECT_EQ(run(20, sign) & (kConclusionStRaised | kConclusionStLowered), 0u) << sign;
    EXPECT_EQ(run(21, sign) & (kConclusionStRaised | kConclusionStLowered),
              sign > 0 ? kConclusionStRaised : kConclusionStLowered);
  }
}

TEST(EcgRhythm, ConclusionSurvivesResetAndStartsClean) {
  auto a = Fresh();
  int32_t rate = -7;
  EXPECT_EQ(a->GetConclusion(&rate), kConclusionClean) << "never started: mask 0 becomes 1";
  EXPECT_EQ(rate, 0);
  const auto ecg = Ecg(30000, Regular(500, 30000, 500));
  auto feed = [&] {
    for (int16_t s : ecg) a->ProcessSample(s, nullptr, nullptr);
  };
  a->StartConclusion();
  feed();
  a->Reset();  // keeps the conclusion state
  feed();
  EXPECT_EQ(a->GetConclusion(&rate), kConclusionFast);
  EXPECT_EQ(rate, 120);
  a->StartConclusion();
  a->PauseConclusion();  // nothing accumulates
  feed();
  EXPECT_EQ(a->GetConclusion(&rate), kConclusionClean);
  EXPECT_EQ(rate, 0);
}

// Each conclusion counts its own beat pairs: after a long regular one, a short
// stretch of alternating 700/900-sample intervals is irregular on its own.
TEST(EcgRhythm, EachConclusionCountsItsOwnBeatPairs) {
  auto a = Fresh();
  auto feed = [&](const std::vector<int16_t>& ecg) {
    for (int16_t s : ecg) a->ProcessSample(s, nullptr, nullptr);
  };
  a->StartConclusion();
  feed(Ecg(120000, Regular(500, 120000, 800)));
  EXPECT_EQ(a->GetConclusion(nullptr), kConclusionClean);
  std::vector<Complex> cx;
  for (int32_t t = 500, i = 0; t < 30000; t += i++ % 2 ? 700 : 900) cx.push_back(Normal(t));
  a->StartConclusion();
  feed(Ecg(30000, cx));
  EXPECT_EQ(a->GetConclusion(nullptr), kConclusionIrregular);
}

// The classifier fed one triangular beat shape (R at 150 of 300 values) every
// 800 values; returns the beat's label.
struct ClassifierDriver {
  EcgBeatClassifier c;
  int32_t index = 0;
  int32_t Beat(int32_t amplitude, int32_t halfWidth, int32_t width) {
    int32_t label = EcgBeatClassifier::kNoLabel;
    const int32_t r = index + 150;
    for (int32_t i = 0; i < 800; ++i, ++index) {
      const int32_t t = std::abs(i - 150);
      const int32_t v = t <= halfWidth ? amplitude * (halfWidth - t) / halfWidth : 0;
      const int32_t got = c.Feed(v, index == r, r, width, 800);
      if (got != EcgBeatClassifier::kNoLabel) label = got;
    }
    return label;
  }
};

TEST(EcgClassifier, DifferentWideShapeIsAbnormalAndTheNormalStaysDominant) {
  ClassifierDriver d;
  for (int beat = 0; beat < 8; ++beat) d.Beat(600, 20, 40);
  ASSERT_EQ(d.c.Dominant(), 0);
  // Alternating beats: the wide shape gets its own template and label 2.
  for (int beat = 0; beat < 20; ++beat) {
    EXPECT_EQ(d.Beat(-700, 60, 120), 2);
    EXPECT_LE(d.c.LastScore(), 25);
    EXPECT_EQ(d.Beat(600, 20, 40), 1);
  }
  EXPECT_EQ(d.c.TemplateCount(), 2);
  EXPECT_EQ(d.c.Dominant(), 0) << "the narrower template keeps the lead";
  EXPECT_EQ(d.c.TemplateAt(1).flag, EcgBeatClassifier::kFlagWide);
}

// A new shape that takes most of the 15 newest beats becomes dominant, with a
// third shape also among them.
TEST(EcgClassifier, ShapeWithMostRecentUsesTakesOverAsDominant) {
  ClassifierDriver d;
  for (int beat = 0; beat < 8; ++beat) d.Beat(600, 20, 40);
  ASSERT_EQ(d.c.Dominant(), 0);
  d.Beat(-600, 20, 40);                                      // template 1: takes over
  for (int beat = 0; beat < 2; ++beat) d.Beat(600, 60, 40);  // template 2
  for (int beat = 0; beat < 9; ++beat) d.Beat(-600, 20, 40);
  ASSERT_EQ(d.c.TemplateCount(), 3);
  EXPECT_EQ(d.c.Dominant(), 1);
}

}  // namespace
}  // namespace nel::dsp
