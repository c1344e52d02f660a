#include "pneumatics.h"

#include <algorithm>
#include <cmath>

namespace nel::sim {

double ArteryArea(const ArteryConfig& a, double x) {
  const double a0 = a.a_max_cm2 * a.p_neg_mmhg / (a.p_pos_mmhg + a.p_neg_mmhg);
  if (x >= 0) return a.a_max_cm2 - (a.a_max_cm2 - a0) * std::exp(-x / a.p_pos_mmhg);
  return a0 * std::exp(std::max(x, -200.0) / a.p_neg_mmhg);
}

double CuffLine::Compliance(double p) const {
  p = std::max(p, 0.0);
  return cuff_.c0_ml_mmhg * (cuff_.cmin_frac + (1.0 - cuff_.cmin_frac) * std::exp(-p / cuff_.c_scale_mmhg));
}

double CuffLine::PumpFlow(double level, double p) const {
  const double drive = std::clamp((level - pump_.level0) / (kMaxLevel - pump_.level0), 0.0, 1.0);
  return pump_.qmax_ml_s * drive * std::max(0.0, 1.0 - std::max(p, 0.0) / pump_.stall_mmhg);
}

void CuffLine::SetPump(int level) {
  level_ = std::clamp(level, 0, static_cast<int>(kMaxLevel));
  if (cuff_.toe) burstLeft_ = level_ > 0 ? cuff_.burst_s : 0.0;
}

void CuffLine::Step(double dt, double arterial) {
  double q = 0;
  if (PumpRunning()) q += PumpFlow(level_, p_);
  if (cuff_.toe && burstLeft_ > 0) burstLeft_ -= dt;
  if (valveOpen_) q -= cuff_.valve_k * std::sqrt(std::max(p_, 0.0));
  q -= cuff_.leak_ml_s_mmhg * std::max(p_, 0.0);
  if (p_ > pump_.relief_mmhg) q -= 50.0 * (p_ - pump_.relief_mmhg);

  // When an external reference holds the line, the artery still pulses
  // against the held pressure but the fixture absorbs it.
  const double held = reference_ ? *reference_ : p_;
  const double v = cuff_.artery.length_cm * ArteryArea(cuff_.artery, arterial - held);
  const double dv = vArt_ < 0 ? 0.0 : v - vArt_;
  vArt_ = v;
  if (reference_) {
    p_ = *reference_;
    return;
  }
  const double coupling = 1.0 - std::exp(-std::max(p_, 0.0) / 3.0);
  p_ += (q * dt + coupling * dv) / Compliance(p_);
  if (p_ < 0) p_ = 0;
}

}  // namespace nel::sim
