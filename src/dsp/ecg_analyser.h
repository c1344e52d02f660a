// ECG beat analyser: beat detection, heart rate, beat labels, rhythm codes and
// the conclusion of a recording, from raw ECG counts at 1000 samples/s.
//
// The library uses one process-wide instance (SharedEcgAnalyser()): the
// façade feeds it during acquisition and the CVRR analysis feeds it a recorded
// buffer, and a Reset by either discards the other's history. The class can
// also be instantiated on its own (tests, validation tools).
//
// Thread rules: not thread-safe, no locking. One caller at a time; the shared
// instance must not be fed by acquisition and a CVRR analysis at once.
// ProcessSample allocates nothing and does no I/O.
//
// Every position is an absolute sample index counted from the last Reset; a
// ring of N entries stores index i at slot i mod N. A beat is reported about
// 271 samples after its R peak arrived, and labelled 150 samples later.
#pragma once

#include <cstddef>
#include <cstdint>

#include "dsp/ecg_beat_classifier.h"
#include "dsp/rank_window.h"

namespace nel::dsp {

// One detected beat: seven 32-bit words. The natural layout has no padding
// (asserted below), so the record keeps 4-byte alignment and its fields can be
// bound to references.
struct EcgBeatRecord {
  int32_t Onset;      // R index - width / 2
  int32_t RIndex;     // sample index of the R peak
  int32_t Offset;     // R index + width / 2
  int16_t RR;         // R index minus the previous beat's, clamped to 150..6000
  int16_t RRRatio;    // RR * 100 / previous RR, clamped to 1..32767
  int16_t Width;      // QRS width, samples
  int16_t Reserved0;  // stays zero
  int32_t Label;      // EcgLabel; 0 until classified
  int32_t Reserved1;  // stays zero
};

static_assert(sizeof(EcgBeatRecord) == 28);
static_assert(alignof(EcgBeatRecord) == 4);
static_assert(offsetof(EcgBeatRecord, Onset) == 0);
static_assert(offsetof(EcgBeatRecord, RIndex) == 4);
static_assert(offsetof(EcgBeatRecord, Offset) == 8);
static_assert(offsetof(EcgBeatRecord, RR) == 12);
static_assert(offsetof(EcgBeatRecord, RRRatio) == 14);
static_assert(offsetof(EcgBeatRecord, Width) == 16);
static_assert(offsetof(EcgBeatRecord, Reserved0) == 18);
static_assert(offsetof(EcgBeatRecord, Label) == 20);
static_assert(offsetof(EcgBeatRecord, Reserved1) == 24);

// Beat labels.
enum EcgLabel : int32_t {
  kLabelNone = 0,           // not yet classified
  kLabelNormal = 1,         // shape of the dominant template, or ordinary after relabelling
  kLabelAbnormal = 2,       // abnormal shape
  kLabelPremature = 3,      // premature beat of normal shape (never given, see docs/decisions.md)
  kLabelLongRR = 4,         // RR longer than 1500 samples
  kLabelPause = 5,          // long RR after a normal beat, relative to the heart rate
  kLabelEarlyAbnormal = 6,  // abnormal shape 250 to 400 samples after a normal beat
};

// Conclusion mask bits (bits 1..8 are rhythm codes 1..8).
inline constexpr uint32_t kConclusionClean = 0x1;
inline constexpr uint32_t kConclusionSlow = 0x200;
inline constexpr uint32_t kConclusionFast = 0x400;
inline constexpr uint32_t kConclusionIrregular = 0x800;
inline constexpr uint32_t kConclusionStRaised = 0x1000;
inline constexpr uint32_t kConclusionStLowered = 0x2000;

// Rhythm pattern search over labels given newest first (labels[0] is the
// newest beat). Returns the code (2..7) of the first matching pattern,
// kRhythmMatchNoCode for a matching pattern that writes no code, or
// kRhythmNoMatch. `count` labels are available (at least 7 are needed for
// every pattern to be tried).
inline constexpr int32_t kRhythmMatchNoCode = 0;
inline constexpr int32_t kRhythmNoMatch = -1;
int32_t MatchRhythmPattern(const int32_t* labelsNewestFirst, int32_t count);

class EcgAnalyser {
 public:
  static constexpr int32_t kSignalRing = 1000;
  static constexpr int32_t kBeatRing = 40;
  static constexpr int32_t kCodeRing = 10;
  static constexpr int32_t kStRing = 30;

  EcgAnalyser();

  // Clears the detector, the classifier, the rhythm codes; the conclusion
  // state is kept. Returns 0.
  int32_t Reset();

  // Processes one raw sample (AD counts). Returns 1 when a beat was accepted
  // during this call and copies its record into *beatOut (when not null);
  // returns 0 otherwise and leaves *beatOut alone. Writes the current heart
  // rate (beats per minute, 0 when none) to *heartRateOut when not null.
  int16_t ProcessSample(int16_t sample, EcgBeatRecord* beatOut, int16_t* heartRateOut);

  // Conclusion of a recording.
  void StartConclusion();
  void PauseConclusion();
  // Ends the accumulation; returns the mask and writes the mean heart rate
  // (when meanRateOut is not null).
  uint32_t GetConclusion(int32_t* meanRateOut);

  // Observers (tests, tools).
  int32_t SampleCount() const { return n_; }
  int32_t Cursor() const { return cursor_; }
  int32_t Threshold() const { return threshold_; }
  int32_t BeatCount() const { return beatCount_; }
  int16_t HeartRate() const { return heartRate_; }
  int32_t ReferenceRR() const { return referenceRR_; }
  // Beat number k (0 = first since Reset); only the 39 newest are kept.
  const EcgBeatRecord& Beat(int32_t k) const { return beats_[Mod(k, kBeatRing)]; }
  // Rhythm code stored for beat number k (the ring keeps the 10 newest).
  uint8_t RhythmCode(int32_t k) const { return codes_[Mod(k, kCodeRing)]; }
  int32_t Detection(int32_t index) const { return detection_[Mod(index, kSignalRing)]; }
  int16_t BaselineFree(int32_t index) const { return baselineFree_[Mod(index, kSignalRing)]; }
  int16_t LowPassed(int32_t index) const { return lowPassed_[Mod(index, kSignalRing)]; }
  // Baseline-free samples first .. first + count - 1 (count <= 1000) into out.
  void CopyBaselineFree(int32_t first, int32_t count, int16_t* out) const;
  const EcgBeatClassifier& Classifier() const { return classifier_; }

 private:
  static int32_t Mod(int32_t i, int32_t n) {
    const int32_t r = i % n;
    return r < 0 ? r + n : r;
  }
  // The slot k places before (0 <= k <= n), and the one after, `slot` in a ring of n.
  static int32_t Back(int32_t slot, int32_t k, int32_t n) { return slot >= k ? slot - k : slot - k + n; }
  static int32_t Ahead(int32_t slot, int32_t n) { return slot + 1 == n ? 0 : slot + 1; }
  EcgBeatRecord& BeatSlot(int32_t k) { return beats_[Mod(k, kBeatRing)]; }
  const EcgBeatRecord& Newest() const { return beats_[newestSlot_]; }
  EcgBeatRecord& NewestSlot() { return beats_[newestSlot_]; }

  int16_t LowPass(int16_t x);
  int16_t MedianStep(int16_t lowPassedValue);
  bool DetectAt(int32_t c);
  bool IsPeak(int32_t c) const;
  void LearnThreshold();
  void UpdateThreshold();
  int32_t QrsWidth(int32_t c);
  int32_t DerivativeWidth(int32_t c) const;
  int32_t AmplitudeWidth(int32_t c) const;
  void UpdateHeartRate();
  bool Steady() const;
  void RelabelByTiming();
  void CodeRhythm();
  void AccumulateConclusion();

  // Signal rings.
  int16_t raw_[kSignalRing];
  int16_t lowPassed_[kSignalRing];
  int16_t baselineFree_[kSignalRing];
  // Each detection value is stored twice, at its slot and 1000 further, so
  // that the samples around one are read without wrapping.
  int32_t detection_[2 * kSignalRing];

  int32_t n_;
  int32_t slot_;  // n_ mod kSignalRing
  // Low-pass (twice-applied 25-sample moving sum).
  int16_t lpIn_[51];
  int32_t lpSlot_;  // n_ mod 51
  int32_t lpY1_;
  int32_t lpY2_;
  // Running median: the window's values in arrival order (a ring) and their
  // 101st smallest.
  int16_t medValue_[200];
  RankWindow medRank_;
  int16_t medPos_;
  // Detection.
  int32_t deriv_[80];
  int32_t derivSlot_;  // slot of sample n_ - 130 in deriv_
  int32_t derivSum_;   // sum of deriv_, kept incrementally
  int32_t latest_;
  int32_t cursor_;
  int32_t lastPeak_;
  int32_t peakRing_[8];
  int32_t peaksSeen_;  // saturates
  int32_t peakPos_;
  int32_t signalRing_[8];
  int32_t signalPos_;
  int32_t noiseRing_[8];
  int32_t noisePos_;
  int32_t threshold_;
  int16_t width_;
  EcgBeatRecord beats_[kBeatRing];
  int32_t beatCount_;
  int32_t newestSlot_;  // slot of beat beatCount_ - 1
  int16_t heartRate_;
  int32_t referenceRR_;

  EcgBeatClassifier classifier_;

  // Rhythm codes.
  uint8_t codes_[kCodeRing];
  int32_t lastCoded_;

  // Conclusion.
  bool conclusionActive_;
  int32_t lastAccumulated_;
  uint32_t mask_;
  int32_t rateSum_;
  int32_t rateCount_;
  int16_t meanRate_;
  int16_t st_[kStRing];
  int16_t stCount_;
  int16_t normalPairs_;
  int16_t rrChanges_;
};

// The process-wide analyser shared by the façade and the CVRR analysis.
EcgAnalyser& SharedEcgAnalyser();

}  // namespace nel::dsp
