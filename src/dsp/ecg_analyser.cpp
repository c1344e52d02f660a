// Beat detection and heart rate of the ECG beat analyser. Beat labels by
// timing, rhythm codes and the conclusion are in ecg_rhythm.cpp.
#include "dsp/ecg_analyser.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <iterator>

namespace nel::dsp {

namespace {

// `count` entries of a ring of n slots from slot `slotOfFirst` on, in order, in
// at most two copies (count <= n).
template <typename T>
void CopyFromRing(const T* ring, int32_t n, int32_t slotOfFirst, int32_t count, T* out) {
  const int32_t head = std::min(count, n - slotOfFirst);
  std::copy(ring + slotOfFirst, ring + slotOfFirst + head, out);
  std::copy(ring, ring + (count - head), out + head);
}

constexpr int32_t kLowPassDelay = 25;    // low-passed[n - 25]
constexpr int32_t kBaselineDelay = 125;  // baseline-free[n - 125]
constexpr int32_t kDetectionLag = 45;    // detection[m - 45]
constexpr int32_t kMedianLen = 200;
constexpr int32_t kDerivLen = 80;
constexpr int32_t kPeakSpacing = 100;  // peaks at least 100 samples apart
constexpr int32_t kRefractory = 170;   // no second beat within 170 samples
constexpr int32_t kTWaveWindow = 300;  // T-wave rule up to 300 samples after a beat
constexpr int32_t kMinQrsRange = 79;   // baseline-free counts over +-50 samples
constexpr int32_t kMinQrsWidth = 20;
constexpr int32_t kRelearnGap = 4000;   // relearn after 4 s without a beat
constexpr int32_t kRateSilence = 4200;  // rate 0 after 4.2 s without a beat
constexpr int32_t kMinRR = 150;
constexpr int32_t kMaxRR = 6000;
constexpr int32_t kSpanCounts = 33;  // raw counts over 20 samples marking the QRS
constexpr int32_t kSpanSamples = 20;

// Range of the baseline-free signal over c - 50 .. c + 49.
int32_t BaselineFreeRange(const EcgAnalyser& a, int32_t c) {
  int16_t window[100];
  a.CopyBaselineFree(c - 50, 100, window);
  const auto [lo, hi] = std::minmax_element(std::begin(window), std::end(window));
  return *hi - *lo;
}

// The first of `count` stretches of kSpanSamples samples whose range exceeds
// kSpanCounts, stretch w holding at(w) .. at(w + kSpanSamples - 1); count when
// none does. The range is kept with a sliding maximum and minimum (queues of
// sample numbers whose values fall, respectively rise).
template <typename At>
int32_t FirstWideStretch(const At& at, int32_t count) {
  constexpr int32_t kCapacity = 256;
  int32_t hi[kCapacity], lo[kCapacity];
  int32_t hiFirst = 0, hiEnd = 0, loFirst = 0, loEnd = 0;
  const int32_t samples = std::min(count + kSpanSamples - 1, kCapacity);
  for (int32_t t = 0; t < samples; ++t) {
    const int32_t x = at(t);
    while (hiEnd > hiFirst && at(hi[hiEnd - 1]) <= x) --hiEnd;
    hi[hiEnd++] = t;
    while (loEnd > loFirst && at(lo[loEnd - 1]) >= x) --loEnd;
    lo[loEnd++] = t;
    const int32_t w = t - (kSpanSamples - 1);  // the stretch ending at t
    if (w < 0) continue;
    if (hi[hiFirst] < w) ++hiFirst;
    if (lo[loFirst] < w) ++loFirst;
    if (at(hi[hiFirst]) - at(lo[loFirst]) > kSpanCounts) return w;
  }
  return count;
}

// The record of a beat accepted with its R peak at c and QRS width `width`, after the beat `prev`.
EcgBeatRecord NewBeatRecord(int32_t c, int16_t width, const EcgBeatRecord& prev) {
  EcgBeatRecord rec{};
  rec.Onset = c - width / 2;
  rec.RIndex = c;
  rec.Offset = c + width / 2;
  const int32_t rr = std::clamp(c - prev.RIndex, kMinRR, kMaxRR);
  const int32_t prevRR = std::max<int32_t>(prev.RR, 1);
  rec.RR = static_cast<int16_t>(rr);
  rec.RRRatio = static_cast<int16_t>(std::clamp(rr * 100 / prevRR, 1, 32767));
  rec.Width = width;
  rec.Label = kLabelNone;
  return rec;
}

// Slope extremes of a QRS window: the first largest and the first smallest slope and where they lie.
struct SlopeExtremes {
  int32_t mx;
  int32_t pMax;
  int32_t mn;
  int32_t pMin;
};

// at(i): the slope at i, for i in start..end.
template <typename At>
SlopeExtremes FindSlopeExtremes(const At& at, int32_t start, int32_t end) {
  int32_t mx = at(start), pMax = start;
  int32_t mn = at(start), pMin = start;
  for (int32_t i = start + 1; i <= end; ++i) {
    if (at(i) > mx) mx = at(i), pMax = i;
    if (at(i) < mn) mn = at(i), pMin = i;
  }
  return {mx, pMax, mn, pMin};
}

// Width between the onset and the offset: walking out from the steepest
// stroke of each side to the first point where six slopes in a row lie
// within a fifth of that side's extreme. at(i) is the slope at i, clamped
// into start..end.
template <typename At>
int32_t WidthBetweenStrokes(const At& at, int32_t start, int32_t end, const SlopeExtremes& x) {
  const int32_t hiLevel = x.mx / 5;
  const int32_t loLevel = x.mn / 5;
  auto belowBack = [&](int32_t i) {
    for (int k = 0; k <= 5; ++k)
      if (!(at(i - k) < hiLevel)) return false;
    return true;
  };
  auto aboveBack = [&](int32_t i) {
    for (int k = 0; k <= 5; ++k)
      if (!(at(i - k) > loLevel)) return false;
    return true;
  };
  auto aboveFwd = [&](int32_t i) {
    for (int k = 0; k <= 5; ++k)
      if (!(at(i + k) > loLevel)) return false;
    return true;
  };
  auto belowFwd = [&](int32_t i) {
    for (int k = 0; k <= 5; ++k)
      if (!(at(i + k) < hiLevel)) return false;
    return true;
  };

  int32_t onset = start;
  int32_t offset = end;
  if (x.pMin >= x.pMax) {  // upstroke first
    for (int32_t i = x.pMax; i >= start; --i)
      if (belowBack(i)) {
        onset = i;
        break;
      }
    for (int32_t i = x.pMin; i <= end; ++i)
      if (aboveFwd(i)) {
        offset = i;
        break;
      }
  } else {
    for (int32_t i = x.pMin; i >= start; --i)
      if (aboveBack(i)) {
        onset = i;
        break;
      }
    for (int32_t i = x.pMax; i <= end; ++i)
      if (belowFwd(i)) {
        offset = i;
        break;
      }
  }
  return offset - onset;
}

}  // namespace

EcgAnalyser::EcgAnalyser() {
  conclusionActive_ = false;
  lastAccumulated_ = 0;
  mask_ = 0;
  rateSum_ = 0;
  rateCount_ = 0;
  meanRate_ = 0;
  std::fill(std::begin(st_), std::end(st_), int16_t{0});
  stCount_ = 0;
  normalPairs_ = 0;
  rrChanges_ = 0;
  Reset();
}

int32_t EcgAnalyser::Reset() {
  std::fill(std::begin(raw_), std::end(raw_), int16_t{0});
  std::fill(std::begin(lowPassed_), std::end(lowPassed_), int16_t{0});
  std::fill(std::begin(baselineFree_), std::end(baselineFree_), int16_t{0});
  std::fill(std::begin(detection_), std::end(detection_), 0);
  n_ = 0;
  slot_ = 0;
  std::fill(std::begin(lpIn_), std::end(lpIn_), int16_t{0});
  lpSlot_ = 0;
  lpY1_ = lpY2_ = 0;
  std::fill(std::begin(medValue_), std::end(medValue_), int16_t{0});
  medRank_.Reset(kMedianLen, kMedianLen / 2, 0);
  medPos_ = 0;
  std::fill(std::begin(deriv_), std::end(deriv_), 0);
  derivSlot_ = Mod(-130, kDerivLen);
  derivSum_ = 0;
  latest_ = 0;
  cursor_ = 0;
  lastPeak_ = 0;
  std::fill(std::begin(peakRing_), std::end(peakRing_), 0);
  peaksSeen_ = 0;
  peakPos_ = 0;
  std::fill(std::begin(signalRing_), std::end(signalRing_), 0);
  signalPos_ = 0;
  std::fill(std::begin(noiseRing_), std::end(noiseRing_), 0);
  noisePos_ = 0;
  threshold_ = 0;
  width_ = 0;
  for (EcgBeatRecord& b : beats_) b = EcgBeatRecord{};
  beatCount_ = 0;
  newestSlot_ = kBeatRing - 1;
  heartRate_ = 0;
  referenceRR_ = 1000;
  classifier_.Reset();
  std::fill(std::begin(codes_), std::end(codes_), uint8_t{0});
  lastCoded_ = -1;
  return 0;
}

// y[n] = 2y[n-1] - y[n-2] + x[n] - 2x[n-25] + x[n-50]; output (y/25)/25.
int16_t EcgAnalyser::LowPass(int16_t x) {
  constexpr int32_t kLen = 51;
  const int32_t slot = lpSlot_;
  lpIn_[slot] = x;
  const int32_t y = 2 * lpY1_ - lpY2_ + x - 2 * lpIn_[Back(slot, 25, kLen)] + lpIn_[Back(slot, 50, kLen)];
  lpSlot_ = Ahead(slot, kLen);
  lpY2_ = lpY1_;
  lpY1_ = y;
  return static_cast<int16_t>((y / 25) / 25);
}

// The output is the value 99 samples before the newest, minus the median
// (the 101st smallest) of the 200 newest values; then the new low-passed value
// replaces the oldest in the ring and in the sorted copy.
int16_t EcgAnalyser::MedianStep(int16_t lowPassedValue) {
  const int32_t e = medPos_;
  const int32_t centre = medValue_[Back(e, 99, kMedianLen)];
  const int32_t median = medRank_.Value();
  const auto out = static_cast<int16_t>(centre - median);

  medPos_ = static_cast<int16_t>(Ahead(e, kMedianLen));
  const int16_t old = medValue_[medPos_];
  medValue_[medPos_] = lowPassedValue;
  medRank_.Replace(old, lowPassedValue);
  return out;
}

int16_t EcgAnalyser::ProcessSample(int16_t sample, EcgBeatRecord* beatOut, int16_t* heartRateOut) {
  const int32_t s = slot_;
  raw_[s] = sample;

  const int16_t lp = LowPass(sample);
  lowPassed_[Back(s, kLowPassDelay, kSignalRing)] = lp;

  const int32_t m = n_ - kBaselineDelay;
  const int32_t sm = Back(s, kBaselineDelay, kSignalRing);
  const int16_t b = MedianStep(lp);
  baselineFree_[sm] = b;

  const int32_t diff = std::abs(static_cast<int32_t>(b) - baselineFree_[Back(sm, 10, kSignalRing)]);
  int32_t& slot = deriv_[derivSlot_];
  derivSum_ += diff - slot;
  slot = diff;
  derivSlot_ = Ahead(derivSlot_, kDerivLen);
  const int32_t sd = Back(sm, kDetectionLag, kSignalRing);
  detection_[sd] = detection_[sd + kSignalRing] = derivSum_ / kDerivLen;
  latest_ = m - kDetectionLag;

  bool accepted = false;
  if (cursor_ + 100 < latest_) {
    accepted = DetectAt(cursor_);  // advances the cursor
    if (cursor_ % 1000 == 0) UpdateHeartRate();
    RelabelByTiming();
    CodeRhythm();
  }
  AccumulateConclusion();

  ++n_;
  slot_ = Ahead(s, kSignalRing);
  if (accepted && beatOut) *beatOut = Newest();
  if (heartRateOut) *heartRateOut = heartRate_;
  return accepted ? 1 : 0;
}

bool EcgAnalyser::IsPeak(int32_t c) const {
  if (c < kPeakSpacing || c - lastPeak_ < kPeakSpacing) return false;
  const int32_t sc = Mod(c, kSignalRing);
  const int32_t* d = detection_ + (sc < 100 ? sc + kSignalRing : sc);  // d[-100] .. d[100] in the mirror
  const int32_t h = d[0];
  // The fourteen comparisons combined without branches: which one fails
  // first cannot be predicted, and a mispredicted exit costs more than the rest.
  bool peak = true;
  for (int32_t k : {5, 10, 20, 40}) peak &= (h >= d[-k]) & (h >= d[k]);
  for (int32_t k : {60, 80, 100}) peak &= (h > d[-k]) & (h > d[k]);
  return peak;
}

bool EcgAnalyser::DetectAt(int32_t c) {
  bool accepted = false;
  const bool peak = IsPeak(c);
  const int32_t h = Detection(c);
  if (peak) {
    lastPeak_ = c;
    peakRing_[peakPos_] = h;
    peakPos_ = (peakPos_ + 1) % 8;
    if (peaksSeen_ < 8) ++peaksSeen_;
  }
  if (c - Newest().RIndex > kRelearnGap && c % 1000 == 0) LearnThreshold();

  if (threshold_ == 0) {
    LearnThreshold();
  } else if (peak) {
    EcgBeatRecord& last = NewestSlot();
    const int32_t d = c - last.RIndex;
    const int32_t lastHeight = Detection(last.RIndex);
    if (h < threshold_) {
      noiseRing_[noisePos_] = h;
      noisePos_ = (noisePos_ + 1) % 8;
    } else if (d < kRefractory) {
      if (h > lastHeight) {
        // A higher peak shortly after the beat: the beat's R peak moves here.
        last.RIndex = c;
        last.RR = static_cast<int16_t>(c - Beat(beatCount_ - 2).RIndex);
      }
    } else if (d < kTWaveWindow && h < (2 * lastHeight) / 3) {
      noiseRing_[noisePos_] = h;
      noisePos_ = (noisePos_ + 1) % 8;
    } else if (BaselineFreeRange(*this, c) >= kMinQrsRange && QrsWidth(c) >= kMinQrsWidth) {
      signalRing_[signalPos_] = h;
      signalPos_ = (signalPos_ + 1) % 8;
      const EcgBeatRecord prev = Newest();
      BeatSlot(beatCount_) = NewBeatRecord(c, width_, prev);
      ++beatCount_;
      newestSlot_ = Ahead(newestSlot_, kBeatRing);
      BeatSlot(beatCount_) = EcgBeatRecord{};
      accepted = true;
    }
    UpdateThreshold();
  }

  const EcgBeatRecord& newest = Newest();
  const int32_t label = classifier_.Feed(BaselineFree(c), accepted, newest.RIndex, newest.Width, newest.RR);
  if (label != EcgBeatClassifier::kNoLabel) NewestSlot().Label = label;
  ++cursor_;
  return accepted;
}

void EcgAnalyser::LearnThreshold() {
  if (peaksSeen_ < 8) return;
  int32_t s[8];
  std::copy(std::begin(peakRing_), std::end(peakRing_), s);
  std::sort(s, s + 8, std::greater<int32_t>());
  int32_t gapAt = 0;
  for (int i = 1; i < 7; ++i)
    if (s[i] - s[i + 1] > s[gapAt] - s[gapAt + 1]) gapAt = i;
  const int32_t upper = s[gapAt];
  const int32_t lower = s[gapAt + 1];
  if (upper <= 3 * lower) {
    threshold_ = lower / 3;
    std::fill(std::begin(noiseRing_), std::end(noiseRing_), 0);
    std::fill(std::begin(signalRing_), std::end(signalRing_), lower);
  } else {
    threshold_ = lower + (upper - lower) / 3;
    std::fill(std::begin(noiseRing_), std::end(noiseRing_), lower);
    std::fill(std::begin(signalRing_), std::end(signalRing_), upper);
  }
  signalPos_ = 0;
  noisePos_ = 0;
}

// Noise level plus a third of the distance to the signal level (mean of the
// seven smallest signal heights); double precision with single-precision factors.
void EcgAnalyser::UpdateThreshold() {
  int64_t s = 0;
  int64_t m = signalRing_[0];
  int64_t noise = 0;
  for (int i = 0; i < 8; ++i) {
    s += signalRing_[i];
    m = std::max<int64_t>(m, signalRing_[i]);
    noise += noiseRing_[i];
  }
  const double v = (static_cast<double>(s - m) * static_cast<double>(0.14285715f) -
                    static_cast<double>(noise) * static_cast<double>(0.125f)) *
                       static_cast<double>(0.33333334f) +
                   static_cast<double>(noise) * static_cast<double>(0.125f);
  threshold_ = static_cast<int32_t>(v);
}

void EcgAnalyser::CopyBaselineFree(int32_t first, int32_t count, int16_t* out) const {
  CopyFromRing(baselineFree_, kSignalRing, Mod(first, kSignalRing), count, out);
}

int32_t EcgAnalyser::QrsWidth(int32_t c) {
  width_ = static_cast<int16_t>(std::min(DerivativeWidth(c), AmplitudeWidth(c)));
  return width_;
}

// Width between the points where the 12-sample slope of the baseline-free
// signal falls below a fifth of its extreme, around the steepest up- and
// downstroke.
int32_t EcgAnalyser::DerivativeWidth(int32_t c) const {
  constexpr int32_t kLen = 161;  // slopes at c - 80 .. c + 80
  const int32_t start = c - 80;
  const int32_t end = c + 80;
  int16_t bf[kLen + 12];  // baseline-free c - 86 .. c + 86
  CopyBaselineFree(start - 6, kLen + 12, bf);
  int32_t e[kLen];
  for (int32_t k = 0; k < kLen; ++k) e[k] = static_cast<int32_t>(bf[k + 12]) - bf[k];
  auto at = [&](int32_t i) { return e[std::clamp(i, start, end) - start]; };
  return WidthBetweenStrokes(at, start, end, FindSlopeExtremes(at, start, end));
}

// Width between the first and last 20-sample stretches of the raw ECG that
// span more than 33 counts.
int32_t EcgAnalyser::AmplitudeWidth(int32_t c) const {
  constexpr int32_t kLen = 161;  // c - 80 .. c + 80
  const int32_t start = c - 80;
  const int32_t end = c + 80;
  int16_t raw[kLen];
  CopyFromRing(raw_, kSignalRing, Mod(start, kSignalRing), kLen, raw);
  // Forward: the stretches starting at start .. end - 21; none marks end - 2.
  constexpr int32_t kForward = kLen - kSpanSamples - 1;
  const int32_t f = FirstWideStretch([&](int32_t t) { return static_cast<int32_t>(raw[t]); }, kForward);
  const int32_t front = f < kForward ? start + f + kSpanSamples - 1 : end - 2;
  // Backward: the stretches ending at end .. start + 22; none marks start + 2.
  constexpr int32_t kBackward = kLen - kSpanSamples - 2;
  const int32_t b = FirstWideStretch([&](int32_t t) { return static_cast<int32_t>(raw[kLen - 1 - t]); }, kBackward);
  const int32_t back = b < kBackward ? end - b - (kSpanSamples - 1) : start + 2;
  return std::max(back - front, 0);
}

bool EcgAnalyser::Steady() const {
  int32_t sum4[3] = {};
  for (int g = 0; g < 3; ++g)
    for (int i = 0; i < 4; ++i) sum4[g] += Beat(beatCount_ - 1 - 4 * g - i).RR;
  for (int32_t s : sum4)
    if (s == 0) return false;
  const int32_t r0 = 240000 / sum4[0], r1 = 240000 / sum4[1], r2 = 240000 / sum4[2];
  if (std::abs(r0 - r1) < 3 && std::abs(r0 - r2) < 3 && std::abs(r1 - r2) < 3) return true;
  int32_t sum3[4] = {};
  for (int g = 0; g < 4; ++g)
    for (int i = 0; i < 3; ++i) sum3[g] += Beat(beatCount_ - 1 - 3 * g - i).RR;
  for (int32_t s : sum3)
    if (s == 0) return false;
  const int32_t first = 180000 / sum3[0];
  for (int g = 1; g < 4; ++g)
    if (std::abs(first - 180000 / sum3[g]) > 2) return false;
  return true;
}

void EcgAnalyser::UpdateHeartRate() {
  int32_t rate = heartRate_;
  // Mean over the beats whose preceding beat lies within 5 s; the first beat
  // since Reset has no preceding beat and does not count.
  int32_t sum = 0;
  int32_t count = 0;
  for (int32_t k = beatCount_ - 1; k >= 1 && count < 29; --k) {
    if (cursor_ - Beat(k - 1).RIndex >= 5000) break;
    sum += Beat(k).RR;
    ++count;
  }
  if (sum > 0) rate = static_cast<int32_t>(count * 60000.0 / sum + 0.5);
  if (Steady()) {
    int32_t sum12 = 0;
    for (int i = 0; i < 12; ++i) sum12 += Beat(beatCount_ - 1 - i).RR;
    rate = static_cast<int32_t>(720000.0 / sum12 + 0.5);
  }
  if (rate < 30 || rate > 300 || cursor_ - Newest().RIndex > kRateSilence) rate = 0;
  heartRate_ = static_cast<int16_t>(rate);

  // Reference RR: RR of up to 8 recent normal beats that follow a normal beat.
  int32_t refSum = 0;
  int32_t refCount = 0;
  for (int32_t j = 0; j < kBeatRing - 1 && refCount < 8; ++j) {
    const EcgBeatRecord& newer = Beat(beatCount_ - 2 - j);
    const EcgBeatRecord& older = Beat(beatCount_ - 3 - j);
    if (beatCount_ - 3 - j < 0) break;
    if (newer.Label == kLabelNormal && older.Label == kLabelNormal) {
      refSum += newer.RR;
      ++refCount;
    }
  }
  if (refCount >= 3) referenceRR_ = refSum / refCount;
}

EcgAnalyser& SharedEcgAnalyser() {
  static EcgAnalyser instance;
  return instance;
}

}  // namespace nel::dsp
