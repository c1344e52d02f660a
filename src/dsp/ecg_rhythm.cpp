// Beat labels by timing, rhythm codes and the conclusion of a recording.
#include <algorithm>
#include <cstdlib>
#include <iterator>

#include "dsp/ecg_analyser.h"

namespace nel::dsp {

namespace {

constexpr int32_t kRelabelAfterR = 200;
constexpr int32_t kCodeAfterR = 210;
constexpr int32_t kConcludeAfterR = 220;
constexpr int32_t kMinBeatsForCodes = 9;

struct RhythmPattern {
  int32_t length;
  int32_t labels[7];  // oldest to newest
  int32_t code;       // kRhythmMatchNoCode: the pattern writes nothing
};

constexpr RhythmPattern kPatterns[9] = {
    {7, {1, 1, 1, 2, 1, 1, 1}, 2},
    {4, {1, 2, 2, 1}, 5},
    {5, {1, 2, 2, 2, 1}, 6},
    {6, {1, 2, 2, 2, 2, 1}, 7},
    {5, {2, 2, 2, 2, 2}, kRhythmMatchNoCode},
    {4, {2, 1, 2, 1}, 4},
    {6, {2, 1, 1, 2, 1, 1}, 3},
    {5, {3, 3, 3, 3, 3}, kRhythmMatchNoCode},
    {5, {4, 4, 4, 4, 4}, kRhythmMatchNoCode},
};

// The (j+1)-th newest label must equal element (2L - rotation - 1 - j) mod L.
bool Matches(const RhythmPattern& p, int32_t rotation, const int32_t* newestFirst, int32_t count) {
  const int32_t len = p.length;
  if (count < len) return false;
  for (int32_t j = 0; j < len; ++j)
    if (newestFirst[j] != p.labels[(2 * len - rotation - 1 - j) % len]) return false;
  return true;
}

int16_t SaturatingIncrement(int16_t v) { return v < INT16_MAX ? static_cast<int16_t>(v + 1) : v; }

}  // namespace

int32_t MatchRhythmPattern(const int32_t* labelsNewestFirst, int32_t count) {
  if (!labelsNewestFirst || count <= 0) return kRhythmNoMatch;
  for (const RhythmPattern& p : kPatterns)
    if (Matches(p, 0, labelsNewestFirst, count)) return p.code;
  // Rotation 1 of patterns 6 and 7, then rotation 2 of pattern 7.
  if (Matches(kPatterns[5], 1, labelsNewestFirst, count)) return kPatterns[5].code;
  if (Matches(kPatterns[6], 1, labelsNewestFirst, count)) return kPatterns[6].code;
  if (Matches(kPatterns[6], 2, labelsNewestFirst, count)) return kPatterns[6].code;
  return kRhythmNoMatch;
}

// Label 3 (premature beat of normal shape) is never given here: see docs/decisions.md, "Label 3 is never given".
void EcgAnalyser::RelabelByTiming() {
  if (beatCount_ < 2) return;
  EcgBeatRecord& b = NewestSlot();
  if (cursor_ != b.RIndex + kRelabelAfterR) return;
  const EcgBeatRecord& p = Beat(beatCount_ - 2);
  const int32_t hr = std::max<int32_t>(heartRate_, 1);
  if (b.Width < 100 && b.RR > 1500) b.Label = kLabelLongRR;
  const bool longForRate = (hr >= 10 && hr <= 100 && b.RR > (60000 / hr) * 7 / 4) || (b.RR >= 1001 && hr >= 101);
  if (longForRate && p.Label == kLabelNormal) b.Label = kLabelPause;
  if (b.Label == kLabelAbnormal && p.Label == kLabelNormal && b.RR > 0.9 * p.RR) b.Label = kLabelNormal;
  if (b.Label == kLabelAbnormal && p.Label == kLabelNormal && b.RR >= 250 && b.RR <= 400) b.Label = kLabelEarlyAbnormal;
}

void EcgAnalyser::CodeRhythm() {
  if (beatCount_ < kMinBeatsForCodes) return;
  const int32_t number = beatCount_ - 1;
  const EcgBeatRecord& b = Newest();
  if (cursor_ != b.RIndex + kCodeAfterR || lastCoded_ == number) return;
  lastCoded_ = number;

  int32_t labels[kBeatRing - 1];
  const int32_t available = std::min(beatCount_, kBeatRing - 1);
  for (int32_t j = 0; j < available; ++j) labels[j] = Beat(number - j).Label;
  const int32_t match = MatchRhythmPattern(labels, available);
  if (match > 0) {
    codes_[Mod(number, kCodeRing)] = static_cast<uint8_t>(match);
  } else if (match == kRhythmNoMatch) {
    const EcgBeatRecord& p = Beat(number - 1);
    if (p.Label == kLabelEarlyAbnormal && b.RR > (referenceRR_ * 5) / 4) {
      codes_[Mod(number, kCodeRing)] = 8;
    } else if (b.Label == kLabelPause) {
      codes_[Mod(number, kCodeRing)] = 1;
    }
  }
}

void EcgAnalyser::StartConclusion() {
  conclusionActive_ = true;
  lastAccumulated_ = cursor_;
  std::fill(std::begin(st_), std::end(st_), int16_t{0});
  std::fill(std::begin(codes_), std::end(codes_), uint8_t{0});
  rateSum_ = 0;
  rateCount_ = 0;
  stCount_ = 0;
  normalPairs_ = 0;
  rrChanges_ = 0;
  meanRate_ = 0;
  mask_ = kConclusionClean;
}

void EcgAnalyser::PauseConclusion() { conclusionActive_ = false; }

void EcgAnalyser::AccumulateConclusion() {
  if (!conclusionActive_ || cursor_ <= lastAccumulated_) return;
  ++lastAccumulated_;
  if (cursor_ % 1000 == 0 && heartRate_ >= 30 && heartRate_ <= 300) {
    rateSum_ += heartRate_;
    ++rateCount_;
  }
  if (beatCount_ < 1) return;
  const int32_t number = beatCount_ - 1;
  const EcgBeatRecord& b = Newest();
  if (cursor_ != b.RIndex + kConcludeAfterR) return;
  const EcgBeatRecord& p = Beat(number - 1);

  mask_ |= 1u << codes_[Mod(number, kCodeRing)];

  // ST level: low-passed ECG after the QRS minus before it, in microvolts
  // (665 counts per millivolt).
  int32_t st = 1;
  const int32_t r = b.RIndex;
  if (b.RR >= 501) {
    st = (static_cast<int32_t>(LowPassed(r + 80)) - LowPassed(r - 60)) * 1000 / 665;
  } else if (b.RR >= 376) {
    st = (static_cast<int32_t>(LowPassed(r + 40)) - LowPassed(r - 30)) * 1000 / 665;
  }
  st_[stCount_ % kStRing] = static_cast<int16_t>(st);
  // The count keeps its place in the ring and never wraps negative.
  stCount_ = stCount_ < INT16_MAX ? static_cast<int16_t>(stCount_ + 1)
                                  : static_cast<int16_t>(kStRing + (stCount_ + 1) % kStRing);

  if (b.Label == kLabelNormal && p.Label == kLabelNormal) {
    normalPairs_ = SaturatingIncrement(normalPairs_);
    if (b.RR <= 0.8 * p.RR || b.RR >= 1.25 * p.RR) rrChanges_ = SaturatingIncrement(rrChanges_);
  }
}

uint32_t EcgAnalyser::GetConclusion(int32_t* meanRateOut) {
  conclusionActive_ = false;
  if (rateCount_ > 0) meanRate_ = static_cast<int16_t>(rateSum_ / rateCount_);
  for (int32_t c = 8; c >= 2; --c)
    if (mask_ & (1u << c)) mask_ &= ~(((1u << c) - 1u) & ~1u);  // clear bits 1..c-1
  if (rrChanges_ > 3 && rrChanges_ > normalPairs_ / 4) {
    mask_ &= ~0x2u;
    mask_ |= kConclusionIrregular;
  }
  if (meanRate_ >= 26 && meanRate_ <= 59) {
    mask_ &= ~kConclusionIrregular;
    mask_ |= kConclusionSlow;
  } else if (meanRate_ >= 101) {
    mask_ &= ~kConclusionIrregular;
    mask_ |= kConclusionFast;
  }
  const int32_t n = std::min<int32_t>(stCount_, kStRing);
  int32_t raised = 0;
  int32_t lowered = 0;
  for (int32_t i = 0; i < n; ++i) {
    const int16_t v = st_[Mod(stCount_ - 1 - i, kStRing)];
    if (v > 100) ++raised;
    if (v < -100) ++lowered;
  }
  if (raised > (2 * n) / 3) {
    mask_ |= kConclusionStRaised;
  } else if (lowered > (2 * n) / 3) {
    mask_ |= kConclusionStLowered;
  }
  if (mask_ & ~kConclusionClean) mask_ &= ~kConclusionClean;
  if (mask_ == 0) mask_ = kConclusionClean;
  if (meanRateOut) *meanRateOut = meanRate_;
  return mask_;
}

}  // namespace nel::dsp
