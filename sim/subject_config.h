// Configuration of the virtual unit and of the person it is attached to, read
// from a JSON subject file (every field optional; see sim/README.md).
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include <nel/link/records.h>

namespace nel::sim {

// Arterial sites, in the order of the unit's cuff channels.
enum Site : int { kRBra = 0, kLBra, kRAnk, kLAnk, kRToe, kLToe, kSiteCount };
inline constexpr const char* kSiteKey[kSiteCount] = {"rbra", "lbra", "rank", "lank", "rtoe", "ltoe"};

struct SiteConfig {
  double sbp = 120, dbp = 78;  // mmHg
  double rise_s = 0.10;        // foot-to-peak time of the pressure wave
  double pwv_cm_s = 0;         // path velocity; 0 = the subject's pwv_cm_s
};

// A rhythm event, applied at a beat index (beat 0 is the first beat).
struct RhythmEvent {
  enum Kind { kPvc, kBigeminy, kCouplet, kPause } kind = kPvc;
  int beat = 0;
  int count = 1;         // bigeminy: number of premature beats
  double seconds = 2.0;  // pause: the R-R interval ending at that beat
};

struct EcgConfig {
  double r_mv = 1.2;        // R-wave amplitude
  double noise_mv = 0.004;  // white noise, standard deviation
  double mains_mv = 0.0;    // mains interference amplitude
  double mains_hz = 50.0;
  double wander_mv = 0.05;  // baseline wander amplitude (at the respiratory rate)
};

struct PcgConfig {
  double s1 = 6.0;  // peak amplitude in display units (100 counts each)
  double s2 = 4.5;
  double noise = 0.08;
};

// Artery under a cuff: lumen area versus transmural pressure (see artery.h).
struct ArteryConfig {
  double a_max_cm2 = 0.20;   // fully distended lumen area
  double p_pos_mmhg = 16.0;  // width of the stiffening wall (positive transmural pressure)
  double p_neg_mmhg = 10.0;  // width of the collapse (negative transmural pressure)
  double length_cm = 14.0;   // artery length compressed by the cuff
};

// Cuff on one pump/valve line.
struct CuffConfig {
  bool toe = false;
  double c0_ml_mmhg = 2.0;      // air compliance of the wrapped cuff at 0 mmHg
  double cmin_frac = 0.3067;    // compliance at high pressure, fraction of c0
  double c_scale_mmhg = 100.0;  // pressure scale of the compliance decrease
  double valve_k = 15.0;        // open valve: flow = valve_k * sqrt(P) ml/s
  double leak_ml_s_mmhg = 0.00112;
  double burst_s = 0.12;  // toe cuffs: air burst per pump command
  ArteryConfig artery;
};

struct PumpConfig {
  double qmax_ml_s = 10.9;   // flow at level 9999 against 0 mmHg
  double level0 = 2000;      // level below which the pump does not move air
  double stall_mmhg = 450;   // back-pressure at which the flow stops
  double relief_mmhg = 320;  // relief valve opening pressure
};

// What the unit's own firmware does to protect the person in the cuffs,
// whatever the host does: a pressure ceiling on every line, and a watchdog on
// a host that falls silent while a cuff is held or filling.
struct FirmwareConfig {
  double ceiling_mmhg = 315;  // any line at or above: every pump off, every valve open
  double watchdog_s = 60;     // no command for this long with a cuff held or filling: the same
};

struct TransducerConfig {
  double gain_error = 0.0;  // measured = true * (1 + gain_error) + offset_error
  double offset_error_mmhg = 0.0;
};

// A fault scheduled in virtual time.
struct FaultEvent {
  enum Kind { kCorrupt, kDrop, kSilence, kUnanswered, kHangup, kGarbage } kind = kCorrupt;
  double at_s = 0;
  double duration_s = 1;
  double rate = 0.001;  // corrupt / drop: probability per byte
  int bytes = 100;      // garbage
};

struct SubjectConfig {
  uint64_t seed = 1;
  double height_cm = 170;
  double heart_rate_bpm = 70;
  double hrv_sd = 0.02;  // beat-to-beat R-R variation, fraction of the mean
  double rsa = 0.03;     // respiratory sinus arrhythmia, fraction of the mean R-R
  double resp_hz = 0.25;
  double pwv_cm_s = 1300;    // default velocity along every arterial path
  double toe_extra_cm = 20;  // toe path = ankle path + this
  std::array<SiteConfig, kSiteCount> site{};
  std::vector<RhythmEvent> rhythm;
  EcgConfig ecg;
  PcgConfig pcg;

  // The unit.
  std::array<uint8_t, 3> version{1, 4, 3};
  std::optional<std::array<tagAD_FORCE_CONVERT, 6>> stored_coeff;  // none: empty memory
  std::array<CuffConfig, 4> cuff{};
  PumpConfig pump;
  FirmwareConfig firmware;
  std::array<TransducerConfig, 4> transducer{};
  double noise_mmhg = 0.01;  // transducer noise, standard deviation per frame
  std::vector<FaultEvent> faults;

  SubjectConfig();
  // Lines 2 and 3 carry toe cuffs (true) or ankle cuffs (false).
  void SetToeLines(bool toe);
};

// Fills `out` from JSON; unknown keys are errors so that typing mistakes show.
// Returns false with a message on malformed content.
bool SubjectFromJson(const nlohmann::json& j, SubjectConfig& out, std::string* error);
bool LoadSubjectFile(const std::string& path, SubjectConfig& out, std::string* error);

}  // namespace nel::sim
