// Beat classification, timing labels, rhythm codes and the conclusion of the
// ECG analyser.
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
  auto a = std::make_unique<EcgAnalyser>();
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

// Feeds the classifier one beat shape every 800 values.
struct ClassifierDriver {
  EcgBeatClassifier c;
  int32_t index = 0;
  int32_t Beat(const std::vector<int32_t>& shape, int32_t width) {
    // shape covers R-150 .. R+149; R at index + 150.
    int32_t label = EcgBeatClassifier::kNoLabel;
    const int32_t r = index + 150;
    for (int32_t i = 0; i < 800; ++i, ++index) {
      const int32_t v = i < 300 ? shape[static_cast<size_t>(i)] : 0;
      const int32_t got = c.Feed(v, index == r, r, width, 800);
      if (got != EcgBeatClassifier::kNoLabel) {
        EXPECT_EQ(index, r + 149) << "labelled when the window covers R-150..R+149";
        label = got;
      }
    }
    return label;
  }
};

std::vector<int32_t> Shape(int32_t amplitude, int32_t halfWidth, int32_t centre = 150) {
  std::vector<int32_t> s(300, 0);
  for (int32_t t = -halfWidth; t <= halfWidth; ++t)
    s[static_cast<size_t>(centre + t)] += amplitude * (halfWidth - std::abs(t)) / halfWidth;
  return s;
}

TEST(EcgClassifier, OneShapeBecomesDominantAfterSixBeats) {
  ClassifierDriver d;
  const auto normal = Shape(600, 20);
  for (int beat = 1; beat <= 5; ++beat) {
    EXPECT_EQ(d.Beat(normal, 40), 1);
    EXPECT_EQ(d.c.Dominant(), -1) << "beat " << beat;
  }
  EXPECT_EQ(d.Beat(normal, 40), 1);
  EXPECT_EQ(d.c.Dominant(), 0);
  EXPECT_EQ(d.c.TemplateAt(0).flag, EcgBeatClassifier::kFlagDominant);
  EXPECT_EQ(d.c.TemplateCount(), 1);
  EXPECT_EQ(d.c.Repeated(), 0);
  for (int beat = 0; beat < 20; ++beat) EXPECT_EQ(d.Beat(normal, 40), 1);
  EXPECT_EQ(d.c.TemplateCount(), 1);
  EXPECT_EQ(d.c.LastScore(), 100);
}

TEST(EcgClassifier, DifferentWideShapeIsAbnormalAndTheNormalStaysDominant) {
  ClassifierDriver d;
  const auto normal = Shape(600, 20);
  const auto wide = Shape(-700, 60);
  for (int beat = 0; beat < 8; ++beat) d.Beat(normal, 40);
  ASSERT_EQ(d.c.Dominant(), 0);
  // Alternating beats: the wide shape gets its own template and label 2.
  for (int beat = 0; beat < 20; ++beat) {
    EXPECT_EQ(d.Beat(wide, 120), 2);
    EXPECT_LE(d.c.LastScore(), 25);
    EXPECT_EQ(d.Beat(normal, 40), 1);
  }
  EXPECT_EQ(d.c.TemplateCount(), 2);
  EXPECT_EQ(d.c.Dominant(), 0) << "the narrower template keeps the lead";
  EXPECT_EQ(d.c.TemplateAt(1).flag, EcgBeatClassifier::kFlagWide);
}

// Sine-shaped beats of 0.5 to 3.5 cycles over R-100..R+99: no two of them
// score 89 or more against each other.
std::vector<int32_t> Wave(double cycles) {
  std::vector<int32_t> s(300, 0);
  for (int i = 50; i < 250; ++i)
    s[static_cast<size_t>(i)] = static_cast<int32_t>(600 * std::sin(cycles * 2 * M_PI * (i - 50) / 200.0));
  return s;
}

TEST(EcgClassifier, SeventhShapeReplacesTheLeastUsedTemplate) {
  ClassifierDriver d;
  for (int beat = 0; beat < 10; ++beat) d.Beat(Wave(0.5), 40);
  ASSERT_EQ(d.c.Dominant(), 0);
  for (double cycles : {1.0, 1.5, 2.0, 2.5, 3.0}) {
    // A new template (flag 0): normal when it scores 15 or more against the
    // dominant one, else abnormal (score 25 or less).
    const int32_t label = d.Beat(Wave(cycles), 50);
    EXPECT_EQ(label, d.c.LastScore() >= 15 ? 1 : 2) << cycles;
    EXPECT_EQ(d.c.LastTemplate(), d.c.TemplateCount() - 1) << "a new template for " << cycles;
  }
  EXPECT_EQ(d.c.TemplateCount(), EcgBeatClassifier::kMaxTemplates);
  // A seventh shape replaces the least used: template 1 (used once, lowest index).
  d.Beat(Wave(3.5), 70);
  EXPECT_EQ(d.c.TemplateCount(), EcgBeatClassifier::kMaxTemplates);
  EXPECT_EQ(d.c.LastTemplate(), 1);
  EXPECT_EQ(d.c.Dominant(), 0);
  const auto& t = d.c.TemplateAt(1);
  EXPECT_EQ(t.medianWidth, 70);
  EXPECT_EQ(t.flag, EcgBeatClassifier::kFlagNew);
  EXPECT_EQ(t.widthHistory[EcgBeatClassifier::kWidthHistory - 1], 70);
  EXPECT_EQ(t.widthHistory[0], 0);
  // The same shape again matches its template.
  d.Beat(Wave(3.5), 70);
  EXPECT_EQ(d.c.LastTemplate(), 1);
  EXPECT_EQ(d.c.Repeated(), 1);
}

TEST(EcgRhythm, RegularRhythmConcludesCleanWithItsRate) {
  struct Case {
    int32_t rr;
    int32_t rate;
    uint32_t mask;
  };
  // 58 per minute is slow; exactly 60 and 100 set no rate bit; 101 is fast.
  for (const Case c : {Case{1034, 58, kConclusionSlow}, Case{1000, 60, kConclusionClean},
                       Case{600, 100, kConclusionClean}, Case{594, 101, kConclusionFast}}) {
    std::vector<Complex> cx;
    for (int32_t t = 500; t < 60000; t += c.rr) cx.push_back(Normal(t));
    const Outcome o = Analyse(Ecg(60000, cx));
    EXPECT_EQ(o.meanRate, c.rate) << c.rr;
    EXPECT_EQ(o.mask, c.mask) << c.rr;
    int32_t labelled = 0;
    for (const auto& [k, label] : o.labels) {
      if (label == 0) continue;  // the newest beats are not labelled yet
      EXPECT_EQ(label, kLabelNormal) << "beat " << k;
      ++labelled;
    }
    EXPECT_GT(labelled, 40);
  }
}

TEST(EcgRhythm, AbnormalBeatAfterEveryNormalOneGivesCode4) {
  // Normal, wide 450 samples later, normal 850 samples after that: bigeminy.
  std::vector<Complex> cx;
  for (int32_t t = 500; t < 60000; t += 1300) {
    cx.push_back(Normal(t));
    cx.push_back(Wide(t + 450));
  }
  const Outcome o = Analyse(Ecg(61000, cx));
  const int32_t n = static_cast<int32_t>(o.rIndex.size());
  ASSERT_GT(n, 60);
  for (int32_t k = 20; k < n - 2; ++k) {
    const bool wide = (o.rIndex[static_cast<size_t>(k)] - 400) % 1300 > 300;
    EXPECT_EQ(o.labels.at(k), wide ? kLabelAbnormal : kLabelNormal) << "beat " << k;
    EXPECT_EQ(o.codes.at(k), 4) << "beat " << k;
  }
  // Code 4, and irregular: before a dominant template exists every beat is
  // labelled 1, and those first pairs alternate between 448 and 852 samples.
  EXPECT_EQ(o.mask, 0x10u | kConclusionIrregular);
  EXPECT_EQ(o.meanRate, 92);
}

TEST(EcgRhythm, RunsOfFiveAbnormalBeatsWriteNoCode) {
  // Runs of five early wide beats (600 samples apart, less than 0.9 of the
  // normal 800) between runs of ten normal beats.
  std::vector<Complex> cx;
  int32_t t = 500;
  std::vector<int32_t> runStarts;
  for (int cycle = 0; cycle < 6; ++cycle) {
    for (int i = 0; i < 10; ++i, t += 800) cx.push_back(Normal(t));
    t -= 200;
    runStarts.push_back(t);
    for (int i = 0; i < 5; ++i, t += 600) cx.push_back(Wide(t));
    t += 200;
  }
  for (int i = 0; i < 10; ++i, t += 800) cx.push_back(Normal(t));
  const Outcome o = Analyse(Ecg(t + 1000, cx));
  for (size_t run = 2; run < runStarts.size(); ++run) {
    for (int i = 0; i < 5; ++i) {
      const int32_t k = BeatAt(o, runStarts[run] + i * 600);
      ASSERT_GE(k, 0);
      EXPECT_EQ(o.labels.at(k), kLabelAbnormal) << "run " << run << " beat " << i;
      // 1 2 2 2 2 2: pattern 5 on the fifth (no code); no pattern before it.
      EXPECT_EQ(o.codes.at(k), 0) << "run " << run << " beat " << i;
    }
    // 1 2 2 2 2 2 1 matches no pattern either.
    const int32_t after = BeatAt(o, runStarts[run] + 4 * 600 + 800);
    ASSERT_GE(after, 0);
    EXPECT_EQ(o.labels.at(after), kLabelNormal);
    EXPECT_EQ(o.codes.at(after), 0);
  }
  EXPECT_EQ(o.mask & 0x1FEu, 0u) << "no rhythm code in the whole record";
}

TEST(EcgRhythm, RunOfFourGivesCode7) {
  // The same with runs of four: 1 2 2 2 2 1 codes the beat after the run.
  std::vector<Complex> cx;
  int32_t t = 500;
  std::vector<int32_t> afterRun;
  for (int cycle = 0; cycle < 6; ++cycle) {
    for (int i = 0; i < 10; ++i, t += 800) cx.push_back(Normal(t));
    t -= 200;
    for (int i = 0; i < 4; ++i, t += 600) cx.push_back(Wide(t));
    t += 200;
    afterRun.push_back(t);
  }
  for (int i = 0; i < 10; ++i, t += 800) cx.push_back(Normal(t));
  const Outcome o = Analyse(Ecg(t + 1000, cx));
  for (size_t run = 2; run < afterRun.size(); ++run) {
    const int32_t k = BeatAt(o, afterRun[run]);
    ASSERT_GE(k, 0);
    EXPECT_EQ(o.codes.at(k), 7) << "run " << run;
  }
  EXPECT_EQ(o.mask & 0x1FEu, 0x80u) << "only the highest code survives";
}

TEST(EcgRhythm, LongRRAndPauseLabels) {
  // 35 per minute: every RR above 1500 samples is labelled 4.
  std::vector<Complex> slow;
  for (int32_t t = 500; t < 60000; t += 1700) slow.push_back(Normal(t));
  const Outcome s = Analyse(Ecg(60000, slow));
  for (const auto& [k, label] : s.labels)
    if (k > 10 && k + 2 < static_cast<int32_t>(s.rIndex.size())) {
      EXPECT_EQ(label, kLabelLongRR) << "beat " << k;
    }

  // 75 per minute with one 1450-sample pause (above 7/4 of the 800-sample
  // rhythm, not above 1500): the beat after the pause is labelled 5, code 1.
  std::vector<Complex> cx;
  int32_t t = 500;
  for (int i = 0; i < 30; ++i, t += 800) cx.push_back(Normal(t));
  t += 650;
  const int32_t afterPause = t;
  for (int i = 0; i < 15; ++i, t += 800) cx.push_back(Normal(t));
  const Outcome o = Analyse(Ecg(t, cx));
  const int32_t k = BeatAt(o, afterPause);
  ASSERT_GE(k, 0);
  EXPECT_EQ(o.labels.at(k), kLabelPause);
  EXPECT_EQ(o.codes.at(k), 1);
  EXPECT_EQ(o.mask, 0x2u);
}

TEST(EcgRhythm, EarlyAbnormalBeatThenCompensatoryPauseGivesCode8) {
  // Normal rhythm of 800 samples; a wide beat 350 samples after a normal one,
  // then the next normal beat 1250 samples later.
  std::vector<Complex> cx;
  int32_t t = 500;
  for (int i = 0; i < 30; ++i, t += 800) cx.push_back(Normal(t));
  const int32_t early = t - 800 + 350;
  cx.push_back(Wide(early));
  t = early + 1250;
  const int32_t next = t;
  for (int i = 0; i < 15; ++i, t += 800) cx.push_back(Normal(t));
  const Outcome o = Analyse(Ecg(t, cx));
  const int32_t e = BeatAt(o, early);
  const int32_t n = BeatAt(o, next);
  ASSERT_GE(e, 0);
  ASSERT_EQ(n, e + 1);
  EXPECT_EQ(o.labels.at(e), kLabelEarlyAbnormal);
  EXPECT_EQ(o.codes.at(n), 8);
  EXPECT_EQ(o.mask, 0x100u);
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
      // The ST segment is added below; which beats carry it: the last 30 minus
      // the unshifted ones spread over them.
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
  EXPECT_EQ(run(20, +1) & (kConclusionStRaised | kConclusionStLowered), 0u);
  EXPECT_EQ(run(21, +1) & (kConclusionStRaised | kConclusionStLowered), kConclusionStRaised);
  EXPECT_EQ(run(20, -1) & (kConclusionStRaised | kConclusionStLowered), 0u);
  EXPECT_EQ(run(21, -1) & (kConclusionStRaised | kConclusionStLowered), kConclusionStLowered);
}

TEST(EcgRhythm, ConclusionSurvivesResetAndStartsClean) {
  auto a = std::make_unique<EcgAnalyser>();
  int32_t rate = -7;
  EXPECT_EQ(a->GetConclusion(&rate), kConclusionClean) << "never started: mask 0 becomes 1";
  EXPECT_EQ(rate, 0);
  a->StartConclusion();
  const auto ecg = Ecg(30000, testing::Regular(500, 30000, 500));
  for (int16_t s : ecg) a->ProcessSample(s, nullptr, nullptr);
  a->Reset();  // keeps the conclusion state
  for (int16_t s : ecg) a->ProcessSample(s, nullptr, nullptr);
  EXPECT_EQ(a->GetConclusion(&rate), kConclusionFast);
  EXPECT_EQ(rate, 120);
  EXPECT_EQ(a->GetConclusion(nullptr), kConclusionFast) << "null rate pointer allowed";

  // Paused: nothing accumulates, the previous mean stays.
  a->StartConclusion();
  a->PauseConclusion();
  for (int16_t s : ecg) a->ProcessSample(s, nullptr, nullptr);
  EXPECT_EQ(a->GetConclusion(&rate), kConclusionClean);
  EXPECT_EQ(rate, 0);
}

}  // namespace
}  // namespace nel::dsp
