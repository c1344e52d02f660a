// The subject's heart and arteries in virtual time: a beat schedule (R-R
// intervals with variability and rhythm events), the ECG, the heart sounds and
// the arterial pressure wave at each cuff site.
//
// Model (per beat k with R peak at R_k):
//  - R-R: mean 60/HR, times (1 + hrv_sd * N(0,1) + rsa * sin(2 pi resp_hz t)).
//    Premature ventricular beats come at 0.6 of the mean R-R, followed by a
//    compensatory interval so that the two add up to twice the mean; a pause
//    replaces one interval by its own length.
//  - ECG: sums of Gaussian waves around R_k (P -0.16 s, Q -0.025 s, R, S +0.03 s,
//    T at the Bazett QT 0.40*sqrt(RR) - 0.06 s); a premature beat has no P, a
//    wide QRS (40 ms) and an inverted T. Plus baseline wander at the
//    respiratory rate, optional mains interference and white noise.
//    Counts = 2130 + 665 * mV, 12 bits.
//  - Ejection: starts at R_k - 0.04 + PEP, PEP = 0.131 - 0.0004*HR s, and lasts
//    LVET = 0.413 - 0.0017*HR s (HR from the preceding interval).
//  - PCG: S1 at R_k + 0.02 s (100 ms, 45 and 80 Hz components), S2 at the end of
//    ejection (70 ms, 70 and 120 Hz), Hann-windowed. Counts = 2130 + 100 * units.
//  - Arterial pressure at a site: the foot arrives at ejection start + path /
//    PWV, with paths from the height: brachial 0.2195 H - 2.0734 cm, ankle
//    (0.5643 H - 18.381) + (0.2486 H + 30.709) cm, toe = ankle + toe_extra_cm.
//    Shape after the foot (tau): a cosine upstroke to the systolic peak at
//    rise_s, a slow fall to 0.72 of the pulse at the notch (tau = LVET), a
//    dicrotic notch (-0.06) and wave (+0.05), then an exponential diastolic
//    decay (time constant 0.35 s) that reaches the diastolic pressure at the
//    next foot. p = DBP + (SBP - DBP) * beat strength * shape. Premature beats
//    eject 55% of a normal pulse, the beat after them 110%.
#pragma once

#include <cstdint>
#include <deque>
#include <random>
#include <vector>

#include "subject_config.h"

namespace nel::sim {

struct Beat {
  double r = 0;          // R peak, s
  double rr = 0;         // interval to the next R peak, s
  double rr_before = 0;  // interval from the previous R peak, s
  bool premature = false;
  double strength = 1;    // pulse scale
  double ejection = 0;    // ejection start, s
  double lvet = 0;        // ejection duration, s
  double s1 = 0, s2 = 0;  // heart sound onsets, s
  double foot[kSiteCount] = {};
};

// Arterial path lengths from the body height (cm).
double BrachialPathCm(double height_cm);
double AnklePathCm(double height_cm);

struct SiteSample {
  double ecg_mv = 0;
  double pcg = 0;               // display units
  double pressure[kSiteCount];  // mmHg
};

class Physiology {
 public:
  explicit Physiology(const SubjectConfig& cfg);

  // The subject at time t (s). Calls must come with non-decreasing t.
  SiteSample Sample(double t);

  // Every beat still held (the last kBeatMemoryS) whose R peak is at or before t.
  std::vector<Beat> BeatsUntil(double t) const;
  double PathCm(int site) const { return pathCm_[site]; }
  double DelayS(int site) const { return delayS_[site]; }
  // Time-averaged pressure of the site over a beat at the mean rate.
  double MeanPressure(int site) const;
  // Beats older than this before the latest sample are dropped from memory.
  static constexpr double kBeatMemoryS = 3600.0;

  // Shape of the pressure pulse at tau seconds after the foot, for a beat
  // lasting `period` from foot to foot: 0 at the foot, 1 at the systolic peak.
  static double PulseShape(double tau, double period, double rise, double lvet);

 private:
  void Extend(double until);
  double EcgMv(double t, const Beat& b) const;
  double Pcg(double t, const Beat& b) const;

  SubjectConfig cfg_;
  std::mt19937_64 rng_;
  std::normal_distribution<double> gauss_{0.0, 1.0};
  std::deque<Beat> beats_;
  int nextIndex_ = 0;    // index of the next beat to generate
  int pendingComp_ = 0;  // compensatory pause owed after premature beats
  double pathCm_[kSiteCount];
  double delayS_[kSiteCount];
  size_t sitePos_[kSiteCount] = {};
  size_t ecgPos_ = 0;
};

}  // namespace nel::sim
