// Cuff pneumatics of one pump/valve line, with the artery under the cuff.
//
// Air: the cuff's gauge pressure P changes by (net inflow * dt + dV) / C(P),
//   C(P) = c0 * (cmin + (1 - cmin) * exp(-P / c_scale))   [ml/mmHg]
// (a wrapped cuff stiffens as it tightens). Inflow from the pump
//   Q = qmax * clamp((level - level0) / (9999 - level0), 0, 1) * (1 - P / stall)
// minus the open valve, valve_k * sqrt(P) (an orifice), a leak
// leak * P, and a relief valve above relief_mmhg (50 ml/s per mmHg above it).
//
// Limb lines pump continuously at the last commanded level until a level 0.
// Toe lines (small cuffs) answer each pump command with a burst of air of burst_s at the commanded level and then
// stop by themselves: see docs/decisions.md, "Toe lines answer a pump command with a burst".
//
// Artery: lumen area versus transmural pressure x = P_art - P (after the
// collapsible-tube compliance models of oscillometry, e.g. Drzewiecki et al.,
// Ann Biomed Eng 22:88, 1994):
//   x >= 0: A = Amax - (Amax - A0) exp(-x / p_pos)     (stiffening wall)
//   x <  0: A = A0 exp(x / p_neg)                      (collapse)
// with A0 = Amax * p_neg / (p_pos + p_neg), which makes dA/dx continuous at 0
// (the compliance peak). The artery volume under the cuff, length * A, pushes
// on the bladder: its change enters the pressure balance above, scaled by a
// coupling 1 - exp(-P / 3 mmHg) (a slack cuff does not feel the pulse). The
// oscillation envelope and its maximum therefore come from this curve, the
// site's pressure wave and the cuff compliance.
#pragma once

#include <optional>

#include "subject_config.h"

namespace nel::sim {

inline constexpr double kMaxLevel = 9999.0;

// Lumen area (cm^2) at transmural pressure x (mmHg).
double ArteryArea(const ArteryConfig& a, double x);

class CuffLine {
 public:
  CuffLine() = default;
  CuffLine(const CuffConfig& cuff, const PumpConfig& pump) : cuff_(cuff), pump_(pump) {}

  // Pump command: level 0 stops; a toe line starts a burst.
  void SetPump(int level);
  void SetValve(bool open) { valveOpen_ = open; }
  // Calibration fixture: the line is held at this pressure (mmHg) by an
  // external reference; nullopt releases it.
  void SetReference(std::optional<double> mmhg) { reference_ = mmhg; }

  // Advances dt seconds with the artery under the cuff at `arterial` mmHg.
  void Step(double dt, double arterial);

  double Pressure() const { return reference_ ? *reference_ : p_; }
  double Compliance(double p) const;
  double PumpFlow(double level, double p) const;
  int Level() const { return level_; }
  bool ValveOpen() const { return valveOpen_; }
  bool PumpRunning() const { return cuff_.toe ? burstLeft_ > 0 : level_ > 0; }
  bool IsToe() const { return cuff_.toe; }
  const CuffConfig& Config() const { return cuff_; }

 private:
  CuffConfig cuff_;
  PumpConfig pump_;
  double p_ = 0;
  int level_ = 0;
  bool valveOpen_ = true;
  double burstLeft_ = 0;
  double vArt_ = -1;  // artery volume at the last step; < 0 before the first
  std::optional<double> reference_;
};

}  // namespace nel::sim
