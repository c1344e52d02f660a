// Waveform analysis of wave records from the virtual unit, against the truth
// of a panel of virtual subjects.
//
//   wave_panel [--count N] [--seed S] [--json FILE] [--save DIR] [--verbose]
//
// For each subject the host sequence runs in this process on the façade, with
// the virtual unit on a stepped clock (lossless and deterministic): a
// simultaneous four-cuff BP measurement, a hold at 60 mmHg, the hold released
// with the cuffs kept inflated, the 15 s wave record; then TnelDataAna analyses
// the record with the measured pressures. Compared with the unit's truth:
// ankle-brachial indices, brachial-ankle velocity, foot positions and
// foot-to-foot delays, S1 and S2 marks, heart rate. Prints one line per subject
// and the errors (mean, SD, worst) per quantity; --json writes both.
//
// Time base. Record i holds the host frame h0 + i (h0: the first frame stored
// after the record's settling); the filter bank delivers the pulse waves and
// the PCG 1000 frames and the ECG 998 frames behind their input, and host
// frame h is the unit's frame stream_start_frame + h. So an event of the truth
// at t seconds lies at record round(1000 t) - stream_start_frame - h0 + 1000
// (pulse waves, PCG). The program checks that every frame the unit sent was
// taken (no frame lost), else the subject is reported as failed.
//
// Repeatability. Subjects and their noise are fixed by the seed, and each step
// of the unit's clock is taken by one processing pass (the stepped façade of
// sim/stepped_rig.h with whole-step passes). A command the
// host writes is still applied by the unit's thread at the step in which it
// reads it, which thread timing decides now and then: two runs may differ by
// a few cm/s in a velocity and by hundredths of a millisecond in the means.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include <nel/analysis/data_ana.h>
#include <nel/analysis/wave_record_file.h>
#include <nel/control/hard_base.h>
#include "sim/stepped_rig.h"

namespace {

using nel::sim::RunEnd;
using nlohmann::json;

constexpr int kHoldMmHg = 60;
constexpr double kOpenMargin = 5;  // mmHg
constexpr int kPulseLag = 1000;    // filter bank: pulse waves and PCG behind their input, frames
constexpr int kSites = 4;          // RBra, LBra, RAnk, LAnk at record positions 2..5
constexpr const char* kSiteKey[kSites] = {"rbra", "lbra", "rank", "lank"};

// ---------------------------------------------------------------------------
// The panel of subjects.
struct Subject {
  int index = 0;
  nel::sim::SubjectConfig cfg;
};

// Uniform in [0, 1) from the top 53 bits: the same on every platform.
double Uniform(uint64_t& state) {
  state = state * 6364136223846793005ULL + 1442695040888963407ULL;
  return static_cast<double>(state >> 11) * (1.0 / 9007199254740992.0);
}

// n values evenly spread over [lo, hi], in an order shuffled by `state`.
std::vector<double> Spread(int n, double lo, double hi, uint64_t& state) {
  std::vector<double> v(n);
  for (int i = 0; i < n; ++i) v[i] = n == 1 ? (lo + hi) / 2 : lo + (hi - lo) * i / (n - 1);
  for (int i = n - 1; i > 0; --i) std::swap(v[i], v[static_cast<int>(Uniform(state) * (i + 1))]);
  return v;
}

std::vector<Subject> MakePanel(int n, uint64_t seed) {
  uint64_t state = seed * 0x9E3779B97F4A7C15ULL + 1;
  const auto pwv = Spread(n, 900, 2500, state);
  const auto abiR = Spread(n, 0.5, 1.4, state);
  const auto abiL = Spread(n, 0.5, 1.4, state);
  const auto hr = Spread(n, 50, 100, state);
  const auto height = Spread(n, 150, 195, state);
  const auto sbp = Spread(n, 105, 160, state);
  std::vector<Subject> out(n);
  for (int i = 0; i < n; ++i) {
    Subject& s = out[i];
    s.index = i;
    auto& c = s.cfg;
    c = nel::sim::QuietSubject();
    c.seed = seed * 1000 + static_cast<uint64_t>(i);
    c.pwv_cm_s = std::round(pwv[i]);
    c.heart_rate_bpm = std::round(hr[i]);
    c.height_cm = std::round(height[i]);
    const double rbra = std::round(sbp[i]);
    const double lbra = std::round(rbra - 8 + 16 * Uniform(state));
    const double dbpR = std::round(rbra * (0.58 + 0.1 * Uniform(state)));
    const double dbpL = std::round(dbpR - 3 + 6 * Uniform(state));
    const double ref = std::max(rbra, lbra);
    c.site[nel::sim::kRBra].sbp = rbra;
    c.site[nel::sim::kRBra].dbp = dbpR;
    c.site[nel::sim::kLBra].sbp = lbra;
    c.site[nel::sim::kLBra].dbp = dbpL;
    // Lower limbs: the index fixes the systolic pressure; the diastolic
    // pressure follows the arm's, but a narrow-pulse limb keeps 35 % of its
    // systolic pressure as pulse.
    const double ankR = std::round(abiR[i] * ref), ankL = std::round(abiL[i] * ref);
    c.site[nel::sim::kRAnk].sbp = ankR;
    c.site[nel::sim::kRAnk].dbp = std::round(std::min(dbpR - 2, 0.65 * ankR));
    c.site[nel::sim::kLAnk].sbp = ankL;
    c.site[nel::sim::kLAnk].dbp = std::round(std::min(dbpL - 2, 0.65 * ankL));
  }
  return out;
}

// ---------------------------------------------------------------------------
// One subject's run and comparison.
struct Outcome {
  bool ok = false;
  std::string failure;
  json row;  // per-subject figures
  // Pooled per-beat errors (ms) and per-subject errors.
  // Ankle figures apart for lower limbs whose diastolic pressure is below the
  // held cuff pressure plus kOpenMargin (index 1): there the artery under the
  // cuff closes in every diastole and opens late in the upstroke.
  std::vector<double> footBra, footAnk[2], delayBra, delayAnk, delayBraAnk[2], s1, s2;
  std::vector<double> abi, pwvRel[2], hr, sbpErr;
  int s1Found = 0, s1Total = 0, s2Found = 0, s2Total = 0;
};

// Mark `value` of record position `pos` nearest to record p within [p-before, p+after]; -1 when none.
int NearestMark(const std::vector<tagSAVE_WAVEDATA>& rec, int pos, uint8_t value, int p, int before, int after) {
  int best = -1;
  for (int i = std::max(0, p - before); i <= std::min<int>(static_cast<int>(rec.size()) - 1, p + after); ++i) {
    if (rec[i].Mark[pos] != value) continue;
    if (best < 0 || std::abs(i - p) < std::abs(best - p)) best = i;
  }
  return best;
}

Outcome RunSubject(const Subject& subject, const std::string& saveDir, bool verbose) {
  Outcome out;
  const auto& cfg = subject.cfg;
  std::vector<tagSAVE_WAVEDATA> records;
  tagLIMBRESULT limbs[4];
  json truth;
  long recordStart = -1;  // host frame of record 0
  {
    // One pass per step (repeatable runs); a slow step on a loaded machine is not a silent unit.
    nel::sim::SteppedFacade rig(cfg, {.silence_limit_ms = TnelHardBase::kMaxSilenceLimitMs, .whole_step_passes = true});
    bool recording = false;
    rig.on_pass = [&](int n) {
      if (!recording || recordStart >= 0) return;
      int count = 0;
      rig.hb.WaveRecord_DataAssign(&count);
      if (count > 0) recordStart = rig.taken - n;  // a recording pass stores from its first frame
    };
    if (!rig.Open()) {
      out.failure = "no unit: " + rig.error;
      return out;
    }
    bool sel[6] = {true, true, true, true, false, false};
    double top = 0;
    for (int s = 0; s < kSites; ++s) top = std::max(top, cfg.site[s].sbp);
    const int maxPressure = std::clamp(static_cast<int>(top) + 50, 200, 300);
    rig.hb.BPMeasure_Start(BPMEASURE_SIMULTANEOUS, maxPressure, sel, static_cast<short>(cfg.heart_rate_bpm));
    if (rig.RunUntil(120, [&] { return rig.Status().BPMeasureEnd; }) != RunEnd::kHeld) {
      out.failure = "BP measurement did not end";
      return out;
    }
    const tagHMID_DATA st = rig.Status();
    for (int k = 0; k < 4; ++k) limbs[k] = {st.BPResult[k].SBP, st.BPResult[k].DBP, st.BPResult[k].MAP};
    rig.hb.BPMeasure_Cancel();
    rig.RunUntil(3, [] { return false; });  // the cuffs empty
    rig.hb.FixPressure_Start(kHoldMmHg);
    if (rig.RunUntil(60, [&] { return rig.Status().FixPressureEnd; }) != RunEnd::kHeld) {
      out.failure = "hold not established";
      return out;
    }
    rig.hb.FixPressure_Cancel(false);
    if (!rig.hb.WaveRecord_Start()) {
      out.failure = "wave record refused";
      return out;
    }
    recording = true;
    if (rig.RunUntil(30, [&] { return rig.Status().WaveRecordEnd; }) != RunEnd::kHeld) {
      out.failure = "wave record did not end";
      return out;
    }
    int count = 0;
    const tagSAVE_WAVEDATA* rec = rig.hb.WaveRecord_DataAssign(&count);
    records.assign(rec, rec + count);
    rig.hb.CancelAllProcess();
    if (!rig.Settle()) {
      out.failure = "frames lost: the time base of the record is unknown";
      return out;
    }
    truth = rig.Truth();
  }
  if (recordStart < 0 || records.empty()) {
    out.failure = "empty record";
    return out;
  }

  const tagTYPE_NEL_WAVEDATA kinds[6] = {WAVE_ECG, WAVE_PCG, WAVE_RBRA, WAVE_LBRA, WAVE_RANK, WAVE_LANK};
  TnelDataAna ana(6, kinds, records.data(), static_cast<int32_t>(records.size()), 1000);
  ana.SetBPData(true, limbs);
  const bool complete = ana.Analysis(true, static_cast<int32_t>(cfg.height_cm), 0.0f, false);

  const int n = static_cast<int>(records.size());
  const long base = truth["stream_start_frame"].get<long>() + recordStart - kPulseLag;
  auto toRecord = [&](double t) { return static_cast<int>(std::lround(t * 1000.0) - base); };
  const json& beats = truth["beats"];

  const int closed[2] = {cfg.site[nel::sim::kRAnk].dbp < kHoldMmHg + kOpenMargin,
                         cfg.site[nel::sim::kLAnk].dbp < kHoldMmHg + kOpenMargin};
  // Foot positions per site (analysis foot - true foot) and per-beat delays.
  std::vector<std::vector<int>> footErr(kSites);  // by truth beat, INT32_MIN when unmatched
  for (int s = 0; s < kSites; ++s) {
    const json& feet = beats["foot_s"][kSiteKey[s]];
    footErr[s].assign(feet.size(), INT32_MIN);
    for (size_t b = 0; b < feet.size(); ++b) {
      const int p = toRecord(feet[b].get<double>());
      if (p < 150 || p >= n - 150) continue;
      const int m = NearestMark(records, 2 + s, MARK_PULSE_FOOT, p, 80, 150);
      if (m < 0) continue;
      footErr[s][b] = m - p;
      (s < 2 ? out.footBra : out.footAnk[closed[s - 2]]).push_back(m - p);
    }
  }
  auto delays = [&](int a, int b, std::vector<double>& into) {
    const size_t k = std::min(footErr[a].size(), footErr[b].size());
    for (size_t i = 0; i < k; ++i)
      if (footErr[a][i] != INT32_MIN && footErr[b][i] != INT32_MIN) into.push_back(footErr[a][i] - footErr[b][i]);
  };
  delays(0, 1, out.delayBra);
  delays(2, 3, out.delayAnk);
  delays(2, 0, out.delayBraAnk[closed[0]]);
  delays(3, 1, out.delayBraAnk[closed[1]]);

  // Heart sounds: the mark nearest to each true onset.
  auto sounds = [&](const char* key, uint8_t value, std::vector<double>& into, int& found, int& total) {
    for (const auto& t : beats[key]) {
      const int p = toRecord(t.get<double>());
      if (p < 150 || p >= n - 150) continue;
      ++total;
      const int m = NearestMark(records, 1, value, p, 100, 150);
      if (m < 0) continue;
      ++found;
      into.push_back(m - p);
    }
  };
  sounds("s1_onset_s", MARK_PCG_S1, out.s1, out.s1Found, out.s1Total);
  sounds("s2_onset_s", MARK_PCG_S2, out.s2, out.s2Found, out.s2Total);

  // Heart rate of the beats inside the record.
  std::vector<double> r;
  for (const auto& t : beats["r_peak_s"]) {
    const int p = toRecord(t.get<double>());
    if (p >= 0 && p < n) r.push_back(t.get<double>());
  }
  const double hrTrue = r.size() >= 2 ? 60.0 * (r.size() - 1) / (r.back() - r.front()) : 0.0;

  const double abiTrue[2] = {truth["abi"]["right"], truth["abi"]["left"]};
  const double pwvTrue[2] = {truth["bapwv_cm_s"]["right"], truth["bapwv_cm_s"]["left"]};
  const double abiGot[2] = {ana.RightABI, ana.LeftABI};
  const double pwvGot[2] = {ana.RightPWV, ana.LeftPWV};
  for (int side = 0; side < 2; ++side) {
    if (abiGot[side] > 0) out.abi.push_back(abiGot[side] - abiTrue[side]);
    // The velocity shortens the mean foot delay by 10 % before dividing the
    // path length (the same formula as the unit's paths) by it: exact feet give
    // the true velocity / 0.9.
    if (pwvGot[side] > 0) out.pwvRel[closed[side]].push_back(100.0 * (pwvGot[side] / (pwvTrue[side] / 0.9) - 1.0));
  }
  for (int k = 0; k < 4; ++k)
    if (limbs[k].SBP > 0) out.sbpErr.push_back(limbs[k].SBP - truth["sites"][kSiteKey[k]]["sbp"].get<double>());
  if (hrTrue > 0 && ana.HeartRate > 0) out.hr.push_back(ana.HeartRate - hrTrue);

  auto mean = [](const std::vector<double>& v) {
    double s = 0;
    for (double x : v) s += x;
    return v.empty() ? NAN : s / v.size();
  };
  json row;
  row["index"] = subject.index;
  row["seed"] = cfg.seed;
  row["height_cm"] = cfg.height_cm;
  row["heart_rate_bpm"] = cfg.heart_rate_bpm;
  row["pwv_cm_s"] = cfg.pwv_cm_s;
  row["complete"] = complete;
  json bp = json::array();
  for (int k = 0; k < 4; ++k) bp.push_back({limbs[k].SBP, limbs[k].DBP, limbs[k].MAP});
  row["bp_measured"] = bp;
  json bpTrue = json::array();
  for (int k = 0; k < 4; ++k) bpTrue.push_back({cfg.site[k].sbp, cfg.site[k].dbp});
  row["bp_true"] = bpTrue;
  row["abi"] = {abiGot[0], abiGot[1]};
  row["abi_true"] = {abiTrue[0], abiTrue[1]};
  row["pwv"] = {pwvGot[0], pwvGot[1]};
  row["pwv_expected"] = {pwvTrue[0] / 0.9, pwvTrue[1] / 0.9};
  row["heart_rate"] = ana.HeartRate;
  row["heart_rate_true"] = hrTrue;
  json feet = json::object();
  for (int s = 0; s < kSites; ++s) {
    std::vector<double> v;
    for (int e : footErr[s])
      if (e != INT32_MIN) v.push_back(e);
    feet[kSiteKey[s]] = {{"matched", v.size()}, {"mean_ms", v.empty() ? json(nullptr) : json(mean(v))}};
  }
  row["foot_offset"] = feet;
  row["s1"] = {
      {"found", out.s1Found}, {"of", out.s1Total}, {"mean_ms", out.s1.empty() ? json(nullptr) : json(mean(out.s1))}};
  row["s2"] = {
      {"found", out.s2Found}, {"of", out.s2Total}, {"mean_ms", out.s2.empty() ? json(nullptr) : json(mean(out.s2))}};
  out.row = row;
  out.ok = true;

  if (!saveDir.empty()) {
    nel::analysis::WaveRecordFile f;
    f.kinds.assign(kinds, kinds + 6);
    f.records = records;
    f.hasPressures = true;
    for (int k = 0; k < 4; ++k) f.pressures[k] = limbs[k];
    std::string error;
    const std::string path = saveDir + "/subject" + std::to_string(subject.index) + ".nelwave";
    if (!nel::analysis::WriteWaveRecordFile(path, f, error)) std::fprintf(stderr, "%s\n", error.c_str());
  }
  if (verbose) std::fprintf(stderr, "%s\n", row.dump().c_str());
  return out;
}

// ---------------------------------------------------------------------------
struct Stat {
  size_t n = 0;
  double mean = NAN, sd = NAN, worst = NAN;  // worst: the value farthest from 0
};

Stat Summarise(const std::vector<double>& v) {
  Stat s;
  s.n = v.size();
  if (v.empty()) return s;
  double sum = 0;
  for (double x : v) sum += x;
  s.mean = sum / v.size();
  double ss = 0;
  for (double x : v) ss += (x - s.mean) * (x - s.mean);
  s.sd = v.size() > 1 ? std::sqrt(ss / (v.size() - 1)) : 0.0;
  s.worst = *std::max_element(v.begin(), v.end(), [](double a, double b) { return std::fabs(a) < std::fabs(b); });
  return s;
}

void Append(std::vector<double>& to, const std::vector<double>& from) { to.insert(to.end(), from.begin(), from.end()); }

int Usage() {
  std::fprintf(stderr, "usage: wave_panel [--count N] [--seed S] [--json FILE] [--save DIR] [--verbose]\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  int count = 20;
  uint64_t seed = 1;
  std::string jsonPath, saveDir;
  bool verbose = false;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    const bool more = i + 1 < argc;
    if (a == "--count" && more) {
      count = std::atoi(argv[++i]);
    } else if (a == "--seed" && more) {
      seed = std::strtoull(argv[++i], nullptr, 10);
    } else if (a == "--json" && more) {
      jsonPath = argv[++i];
    } else if (a == "--save" && more) {
      saveDir = argv[++i];
    } else if (a == "--verbose") {
      verbose = true;
    } else {
      return Usage();
    }
  }
  if (count < 1 || count > 200) return Usage();

  const auto panel = MakePanel(count, seed);
  std::vector<double> footBra, footAnk[2], delayBra, delayAnk, delayBraAnk[2], s1, s2, abi, pwv[2], hr, sbp;
  int s1Found = 0, s1Total = 0, s2Found = 0, s2Total = 0, failed = 0, incomplete = 0;
  json rows = json::array();
  std::printf("%3s %4s %4s %5s %11s %11s %11s %11s %11s %8s %14s %7s %7s\n", "#", "H", "HR", "PWV", "ABI true",
              "ABI got", "PWV exp", "PWV got", "HR got/true", "foot bra", "foot ank", "S1", "S2");
  for (const Subject& s : panel) {
    Outcome o = RunSubject(s, saveDir, verbose);
    if (!o.ok) {
      ++failed;
      std::printf("%3d failed: %s\n", s.index, o.failure.c_str());
      rows.push_back({{"index", s.index}, {"failure", o.failure}});
      continue;
    }
    const json& r = o.row;
    if (!r["complete"].get<bool>()) ++incomplete;
    auto num = [](const json& j) { return j.is_number() ? j.get<double>() : NAN; };
    std::printf(
        "%3d %4.0f %4.0f %5.0f %5.2f/%5.2f %5.2f/%5.2f %5.0f/%5.0f %5.0f/%5.0f %4d/%6.1f %3.0f/%4.0f %6.0f/%6.0f "
        "%3d/%3d %3d/%3d\n",
        s.index, s.cfg.height_cm, s.cfg.heart_rate_bpm, s.cfg.pwv_cm_s, num(r["abi_true"][0]), num(r["abi_true"][1]),
        num(r["abi"][0]), num(r["abi"][1]), num(r["pwv_expected"][0]), num(r["pwv_expected"][1]), num(r["pwv"][0]),
        num(r["pwv"][1]), r["heart_rate"].get<int>(), num(r["heart_rate_true"]),
        num(r["foot_offset"]["rbra"]["mean_ms"]), num(r["foot_offset"]["lbra"]["mean_ms"]),
        num(r["foot_offset"]["rank"]["mean_ms"]), num(r["foot_offset"]["lank"]["mean_ms"]), o.s1Found, o.s1Total,
        o.s2Found, o.s2Total);
    std::fflush(stdout);
    rows.push_back(r);
    Append(footBra, o.footBra);
    for (int c = 0; c < 2; ++c) {
      Append(footAnk[c], o.footAnk[c]);
      Append(delayBraAnk[c], o.delayBraAnk[c]);
      Append(pwv[c], o.pwvRel[c]);
    }
    Append(delayBra, o.delayBra);
    Append(delayAnk, o.delayAnk);
    Append(s1, o.s1);
    Append(s2, o.s2);
    Append(abi, o.abi);
    Append(hr, o.hr);
    Append(sbp, o.sbpErr);
    s1Found += o.s1Found;
    s1Total += o.s1Total;
    s2Found += o.s2Found;
    s2Total += o.s2Total;
  }

  struct Line {
    const char* name;
    const char* unit;
    const std::vector<double>* v;
  };
  const Line lines[] = {
      {"SBP measured - true (4 cuffs)", "mmHg", &sbp},
      {"ABI - true ABI", "", &abi},
      {"baPWV / (true / 0.9) - 1, open", "%", &pwv[0]},
      {"baPWV / (true / 0.9) - 1, closing", "%", &pwv[1]},
      {"heart rate - true (record)", "bpm", &hr},
      {"foot - true foot, arms", "ms", &footBra},
      {"foot - true foot, ankles open", "ms", &footAnk[0]},
      {"foot - true foot, ankles closing", "ms", &footAnk[1]},
      {"delay error RBra-LBra", "ms", &delayBra},
      {"delay error RAnk-LAnk", "ms", &delayAnk},
      {"delay error arm-ankle, open", "ms", &delayBraAnk[0]},
      {"delay error arm-ankle, closing", "ms", &delayBraAnk[1]},
      {"S1 mark - true S1 onset", "ms", &s1},
      {"S2 mark - true S2 onset", "ms", &s2},
  };
  std::printf("\nsubjects %d (failed %d, analysis incomplete %d); S1 marked %d of %d true S1, S2 %d of %d\n", count,
              failed, incomplete, s1Found, s1Total, s2Found, s2Total);
  std::printf("ankle \"open\": diastolic pressure at least %.0f mmHg (the held %d + %.0f), \"closing\": below\n",
              kHoldMmHg + kOpenMargin, kHoldMmHg, kOpenMargin);
  std::printf("%-36s %5s %6s %9s %9s %9s\n", "quantity", "unit", "n", "mean", "SD", "worst");
  json summary = json::object();
  for (const Line& l : lines) {
    const Stat st = Summarise(*l.v);
    std::printf("%-36s %5s %6zu %9.3f %9.3f %9.3f\n", l.name, l.unit, st.n, st.mean, st.sd, st.worst);
    summary[l.name] = {{"unit", l.unit}, {"n", st.n}, {"mean", st.mean}, {"sd", st.sd}, {"worst", st.worst}};
  }
  if (!jsonPath.empty()) {
    json j = {{"count", count},
              {"seed", seed},
              {"failed", failed},
              {"incomplete", incomplete},
              {"s1", {{"found", s1Found}, {"of", s1Total}}},
              {"s2", {{"found", s2Found}, {"of", s2Total}}},
              {"summary", summary},
              {"subjects", rows}};
    std::ofstream(jsonPath) << j.dump(1) << "\n";
  }
  return failed == count ? 1 : 0;
}
