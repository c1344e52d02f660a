#include "physiology.h"

#include <algorithm>
#include <cmath>

namespace nel::sim {

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr double kFirstR = 0.5;         // first R peak, s
constexpr double kPrematureFrac = 0.6;  // coupling interval of a premature beat, fraction of the mean R-R
constexpr double kPrematureStrength = 0.55;
constexpr double kPostPrematureStrength = 1.10;

double Gauss(double t, double centre, double sigma) {
  const double x = (t - centre) / sigma;
  return std::exp(-0.5 * x * x);
}

double Lvet(double hr) { return std::max(0.16, 0.413 - 0.0017 * hr); }
double Pep(double hr) { return std::max(0.05, 0.131 - 0.0004 * hr); }

}  // namespace

double BrachialPathCm(double h) { return 0.2195 * h - 2.0734; }
double AnklePathCm(double h) { return (0.5643 * h - 18.381) + (0.2486 * h + 30.709); }

Physiology::Physiology(const SubjectConfig& cfg) : cfg_(cfg), rng_(cfg.seed * 0x9E3779B97F4A7C15ull + 7) {
  const double bra = BrachialPathCm(cfg.height_cm), ank = AnklePathCm(cfg.height_cm);
  const double paths[kSiteCount] = {bra, bra, ank, ank, ank + cfg.toe_extra_cm, ank + cfg.toe_extra_cm};
  for (int s = 0; s < kSiteCount; ++s) {
    pathCm_[s] = paths[s];
    const double v = cfg.site[s].pwv_cm_s > 0 ? cfg.site[s].pwv_cm_s : cfg.pwv_cm_s;
    delayS_[s] = paths[s] / v;
  }
}

double Physiology::PulseShape(double tau, double period, double rise, double lvet) {
  if (tau <= 0 || tau >= period) return 0.0;
  const double notch = std::min(lvet, 0.8 * period);
  rise = std::min(rise, 0.6 * notch);
  constexpr double kNotchLevel = 0.72, kTheta = 0.35;
  if (tau < rise) return 0.5 * (1.0 - std::cos(kPi * tau / rise));
  if (tau < notch) return 1.0 - (1.0 - kNotchLevel) * std::pow((tau - rise) / (notch - rise), 1.5);
  const double e = std::exp(-(period - notch) / kTheta);
  const double decay = (std::exp(-(tau - notch) / kTheta) - e) / (1.0 - e);
  const double dicrotic =
      -0.06 * Gauss(tau, notch, 0.015 / std::sqrt(2.0)) + 0.05 * Gauss(tau, notch + 0.06, 0.035 / std::sqrt(2.0));
  return kNotchLevel * decay + dicrotic * (1.0 - (tau - notch) / (period - notch));
}

void Physiology::Extend(double until) {
  const double mean_rr = 60.0 / cfg_.heart_rate_bpm;
  while (beats_.empty() || beats_.back().r < until + 3.0) {
    const int k = nextIndex_++;
    auto premature_at = [&](int i) {
      for (const RhythmEvent& e : cfg_.rhythm) {
        if (e.kind == RhythmEvent::kPvc && i == e.beat) return true;
        if (e.kind == RhythmEvent::kCouplet && (i == e.beat || i == e.beat + 1)) return true;
        if (e.kind == RhythmEvent::kBigeminy && i >= e.beat && i < e.beat + 2 * e.count && (i - e.beat) % 2 == 0)
          return true;
      }
      return false;
    };
    Beat b;
    b.premature = premature_at(k);
    double interval = mean_rr;
    if (k == 0) {
      b.r = kFirstR;
    } else {
      const Beat& prev = beats_.back();
      if (b.premature) {
        interval = kPrematureFrac * mean_rr;
        pendingComp_ += 1;
      } else if (prev.premature) {
        // Compensatory pause: the premature run and this interval fill the
        // sinus intervals they replaced.
        interval = (pendingComp_ + 1) * mean_rr - pendingComp_ * kPrematureFrac * mean_rr;
        pendingComp_ = 0;
      } else {
        interval = mean_rr * (1.0 + cfg_.hrv_sd * std::clamp(gauss_(rng_), -3.0, 3.0) +
                              cfg_.rsa * std::sin(2 * kPi * cfg_.resp_hz * prev.r));
      }
      for (const RhythmEvent& e : cfg_.rhythm)
        if (e.kind == RhythmEvent::kPause && k == e.beat && !b.premature) interval = e.seconds;
      b.r = prev.r + interval;
      beats_.back().rr = interval;
      b.strength = b.premature ? kPrematureStrength : (prev.premature ? kPostPrematureStrength : 1.0);
    }
    b.rr_before = interval;
    const double hr = 60.0 / interval;
    b.rr = mean_rr;  // until the next beat is known
    b.lvet = Lvet(hr) * (b.premature ? 0.8 : 1.0);
    b.ejection = b.r - 0.04 + Pep(hr) + (b.premature ? 0.03 : 0.0);
    b.s1 = b.r + 0.02;
    b.s2 = b.ejection + b.lvet;
    for (int s = 0; s < kSiteCount; ++s) b.foot[s] = b.ejection + delayS_[s];
    beats_.push_back(b);
  }
  // Beats more than an hour old are dropped, so that a unit streaming for
  // days keeps a bounded memory; the read positions stay on the same beats.
  size_t keep_from = ecgPos_;
  for (size_t p : sitePos_) keep_from = std::min(keep_from, p);
  size_t drop = 0;
  while (drop < keep_from && beats_[drop].r < until - kBeatMemoryS) ++drop;
  if (drop > 0) {
    beats_.erase(beats_.begin(), beats_.begin() + static_cast<std::ptrdiff_t>(drop));
    ecgPos_ -= drop;
    for (size_t& p : sitePos_) p -= drop;
  }
}

double Physiology::EcgMv(double t, const Beat& b) const {
  const double d = t - b.r;
  if (d < -0.4 || d > 0.8) return 0.0;
  const double g = cfg_.ecg.r_mv / 1.2;
  if (b.premature)
    return g * (1.5 * Gauss(t, b.r, 0.035) - 0.5 * Gauss(t, b.r + 0.07, 0.03) - 0.4 * Gauss(t, b.r + 0.34, 0.06));
  // The interval before this beat sets the QT (Bazett).
  const double tpeak = 0.40 * std::sqrt(std::clamp(b.rr_before, 0.3, 2.5)) - 0.06;
  return g * (0.15 * Gauss(t, b.r - 0.16, 0.025) - 0.12 * Gauss(t, b.r - 0.025, 0.008) + 1.2 * Gauss(t, b.r, 0.010) -
              0.30 * Gauss(t, b.r + 0.028, 0.010) + 0.30 * Gauss(t, b.r + tpeak, 0.045));
}

double Physiology::Pcg(double t, const Beat& b) const {
  double v = 0;
  const double a1 = cfg_.pcg.s1 * (b.premature ? 0.7 : 1.0), a2 = cfg_.pcg.s2 * (b.premature ? 0.5 : 1.0);
  if (t >= b.s1 && t < b.s1 + 0.10) {
    const double u = (t - b.s1) / 0.10, tau = t - b.s1;
    const double w = std::sin(kPi * u);
    v += a1 * w * w * (0.6 * std::sin(2 * kPi * 45 * tau) + 0.4 * std::sin(2 * kPi * 80 * tau));
  }
  if (t >= b.s2 && t < b.s2 + 0.07) {
    const double u = (t - b.s2) / 0.07, tau = t - b.s2;
    const double w = std::sin(kPi * u);
    v += a2 * w * w * (0.5 * std::sin(2 * kPi * 70 * tau) + 0.5 * std::sin(2 * kPi * 120 * tau));
  }
  return v;
}

SiteSample Physiology::Sample(double t) {
  Extend(t);
  SiteSample out;
  // ECG: the beats around t.
  while (ecgPos_ + 1 < beats_.size() && beats_[ecgPos_ + 1].r < t - 1.0) ++ecgPos_;
  double ecg = 0, pcg = 0;
  for (size_t i = ecgPos_; i < beats_.size() && beats_[i].r < t + 1.0; ++i) {
    ecg += EcgMv(t, beats_[i]);
    pcg += Pcg(t, beats_[i]);
  }
  ecg += cfg_.ecg.wander_mv * std::sin(2 * kPi * cfg_.resp_hz * t);
  if (cfg_.ecg.mains_mv > 0) ecg += cfg_.ecg.mains_mv * std::sin(2 * kPi * cfg_.ecg.mains_hz * t);
  ecg += cfg_.ecg.noise_mv * gauss_(rng_);
  pcg += cfg_.pcg.noise * gauss_(rng_);
  out.ecg_mv = ecg;
  out.pcg = pcg;
  for (int s = 0; s < kSiteCount; ++s) {
    size_t& k = sitePos_[s];
    while (k + 1 < beats_.size() && beats_[k + 1].foot[s] <= t) ++k;
    const SiteConfig& sc = cfg_.site[s];
    const Beat& b = beats_[k];
    double p = sc.dbp;
    if (t >= b.foot[s] && k + 1 < beats_.size()) {
      const double period = beats_[k + 1].foot[s] - b.foot[s];
      p += (sc.sbp - sc.dbp) * b.strength * PulseShape(t - b.foot[s], period, sc.rise_s, b.lvet);
    }
    out.pressure[s] = p;
  }
  return out;
}

std::vector<Beat> Physiology::BeatsUntil(double t) const {
  std::vector<Beat> v;
  for (const Beat& b : beats_)
    if (b.r <= t) v.push_back(b);
  return v;
}

double Physiology::MeanPressure(int site) const {
  const double rr = 60.0 / cfg_.heart_rate_bpm;
  const double lvet = Lvet(cfg_.heart_rate_bpm);
  const SiteConfig& sc = cfg_.site[site];
  constexpr int kSteps = 4000;
  double sum = 0;
  for (int i = 0; i < kSteps; ++i) sum += PulseShape((i + 0.5) * rr / kSteps, rr, sc.rise_s, lvet);
  return sc.dbp + (sc.sbp - sc.dbp) * sum / kSteps;
}

}  // namespace nel::sim
