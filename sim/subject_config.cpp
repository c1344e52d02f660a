#include "subject_config.h"

#include <cmath>
#include <fstream>
#include <set>

#include <nlohmann/json.hpp>

namespace nel::sim {

using nlohmann::json;

namespace {

CuffConfig ToeCuff() {
  CuffConfig c;
  c.toe = true;
  c.c0_ml_mmhg = 0.3;
  c.artery.a_max_cm2 = 0.06;
  c.artery.p_pos_mmhg = 12.0;
  c.artery.p_neg_mmhg = 8.0;
  c.artery.length_cm = 3.0;
  return c;
}

// A string field; "" when it is missing or not a string (then refused by the caller).
std::string Text(const json& j, const char* key) {
  const auto it = j.find(key);
  return it != j.end() && it->is_string() ? it->get<std::string>() : std::string();
}

struct Reader {
  std::string* error;
  bool ok = true;

  bool Fail(const std::string& msg) {
    if (ok && error) *error = msg;
    ok = false;
    return false;
  }
  bool Object(const json& j, const std::string& where, std::initializer_list<const char*> keys) {
    if (!j.is_object()) return Fail(where + ": expected an object");
    std::set<std::string> allowed(keys.begin(), keys.end());
    for (auto it = j.begin(); it != j.end(); ++it)
      if (!allowed.count(it.key())) return Fail(where + ": unknown field \"" + it.key() + "\"");
    return true;
  }
  void Num(const json& j, const char* key, double& v, double lo, double hi, const std::string& where) {
    if (!ok || !j.contains(key)) return;
    const json& x = j.at(key);
    if (!x.is_number()) {
      Fail(where + "." + key + ": expected a number");
      return;
    }
    const double d = x.get<double>();
    if (!std::isfinite(d) || d < lo || d > hi) {
      Fail(where + "." + key + ": out of range [" + std::to_string(lo) + ", " + std::to_string(hi) + "]");
      return;
    }
    v = d;
  }
  void Int(const json& j, const char* key, int& v, int lo, int hi, const std::string& where) {
    double d = v;
    Num(j, key, d, lo, hi, where);
    if (ok && j.contains(key) && d != std::floor(d)) Fail(where + "." + key + ": expected an integer");
    v = static_cast<int>(d);
  }
};

}  // namespace

SubjectConfig::SubjectConfig() {
  const double sbp[kSiteCount] = {122, 118, 134, 128, 100, 96};
  const double dbp[kSiteCount] = {78, 76, 76, 75, 70, 68};
  const double rise[kSiteCount] = {0.10, 0.10, 0.13, 0.13, 0.15, 0.15};
  for (int s = 0; s < kSiteCount; ++s) site[s] = SiteConfig{sbp[s], dbp[s], rise[s], 0.0};
  SetToeLines(false);
}

void SubjectConfig::SetToeLines(bool toe) {
  for (int l = 2; l < 4; ++l) cuff[l] = toe ? ToeCuff() : CuffConfig{};
}

namespace {

// Each step below reads one part of the subject; false when reading stops
// (an error is recorded, or was already), true to go on.

bool ReadUnitVersion(Reader& r, const json& u, SubjectConfig& c) {
  if (!u.contains("version")) return true;
  const json& v = u["version"];
  if (!v.is_array() || v.size() != 3) return r.Fail("unit.version: expected three numbers");
  for (size_t i = 0; i < 3; ++i) {
    if (!v[i].is_number_integer() || v[i].get<int>() < 0 || v[i].get<int>() > 0x7F)
      return r.Fail("unit.version: each byte must be 0..127 (bit 7 marks codes on the line)");
    c.version[i] = static_cast<uint8_t>(v[i].get<int>());
  }
  return true;
}

bool ReadStoredCoefficients(Reader& r, const json& u, SubjectConfig& c) {
  if (!u.contains("stored_coefficients") || u["stored_coefficients"].is_null()) return true;
  const json& s = u["stored_coefficients"];
  if (!s.is_array() || s.size() != 6) return r.Fail("unit.stored_coefficients: expected six [slope, offset] pairs");
  std::array<tagAD_FORCE_CONVERT, 6> set{};
  for (size_t i = 0; i < 6; ++i) {
    if (!s[i].is_array() || s[i].size() != 2 || !s[i][0].is_number() || !s[i][1].is_number())
      return r.Fail("unit.stored_coefficients: expected six [slope, offset] pairs");
    set[i].Slope = s[i][0].get<float>();
    set[i].Offset = s[i][1].get<float>();
  }
  c.stored_coeff = set;
  return true;
}

bool ReadTransducers(Reader& r, const json& u, SubjectConfig& c) {
  if (!u.contains("transducers")) return true;
  const json& t = u["transducers"];
  if (!t.is_array() || t.size() != 4) return r.Fail("unit.transducers: expected four objects");
  for (size_t i = 0; i < 4; ++i) {
    const std::string w = "unit.transducers[" + std::to_string(i) + "]";
    if (!r.Object(t[i], w, {"gain_error", "offset_error_mmhg"})) return false;
    r.Num(t[i], "gain_error", c.transducer[i].gain_error, -0.5, 0.5, w);
    r.Num(t[i], "offset_error_mmhg", c.transducer[i].offset_error_mmhg, -50, 50, w);
  }
  return true;
}

bool ReadPumpAndFirmware(Reader& r, const json& u, SubjectConfig& c) {
  if (u.contains("pump")) {
    const json& p = u["pump"];
    if (!r.Object(p, "unit.pump", {"qmax_ml_s", "level0", "stall_mmhg", "relief_mmhg"})) return false;
    r.Num(p, "qmax_ml_s", c.pump.qmax_ml_s, 0.1, 200, "unit.pump");
    r.Num(p, "level0", c.pump.level0, 0, 9000, "unit.pump");
    r.Num(p, "stall_mmhg", c.pump.stall_mmhg, 100, 2000, "unit.pump");
    r.Num(p, "relief_mmhg", c.pump.relief_mmhg, 50, 400, "unit.pump");
  }
  if (u.contains("firmware")) {
    const json& f = u["firmware"];
    if (!r.Object(f, "unit.firmware", {"ceiling_mmhg", "watchdog_s"})) return false;
    r.Num(f, "ceiling_mmhg", c.firmware.ceiling_mmhg, 50, 400, "unit.firmware");
    r.Num(f, "watchdog_s", c.firmware.watchdog_s, 1, 3600, "unit.firmware");
  }
  return true;
}

// One line's cuff (x) at `w`.
bool ReadCuff(Reader& r, const json& x, const std::string& w, CuffConfig& k) {
  if (!r.Object(x, w, {"c0_ml_mmhg", "cmin_frac", "c_scale_mmhg", "valve_k", "leak_ml_s_mmhg", "burst_s", "artery"}))
    return false;
  r.Num(x, "c0_ml_mmhg", k.c0_ml_mmhg, 0.01, 20, w);
  r.Num(x, "cmin_frac", k.cmin_frac, 0.01, 1, w);
  r.Num(x, "c_scale_mmhg", k.c_scale_mmhg, 1, 1000, w);
  r.Num(x, "valve_k", k.valve_k, 0.01, 1000, w);
  r.Num(x, "leak_ml_s_mmhg", k.leak_ml_s_mmhg, 0, 1, w);
  r.Num(x, "burst_s", k.burst_s, 0.001, 5, w);
  if (x.contains("artery")) {
    const json& a = x["artery"];
    const std::string wa = w + ".artery";
    if (!r.Object(a, wa, {"a_max_cm2", "p_pos_mmhg", "p_neg_mmhg", "length_cm"})) return false;
    r.Num(a, "a_max_cm2", k.artery.a_max_cm2, 0, 5, wa);
    r.Num(a, "p_pos_mmhg", k.artery.p_pos_mmhg, 1, 100, wa);
    r.Num(a, "p_neg_mmhg", k.artery.p_neg_mmhg, 1, 100, wa);
    r.Num(a, "length_cm", k.artery.length_cm, 0, 50, wa);
  }
  return true;
}

bool ReadCuffs(Reader& r, const json& u, SubjectConfig& c) {
  if (!u.contains("cuffs")) return true;
  const json& cs = u["cuffs"];
  if (!cs.is_array() || cs.size() != 4) return r.Fail("unit.cuffs: expected four objects (lines 0..3)");
  for (size_t i = 0; i < 4; ++i) {
    const std::string w = "unit.cuffs[" + std::to_string(i) + "]";
    if (!ReadCuff(r, cs[i], w, c.cuff[i])) return false;
  }
  return true;
}

bool ReadUnit(Reader& r, const json& j, SubjectConfig& c) {
  if (!j.contains("unit")) return true;
  const json& u = j["unit"];
  if (!r.Object(
          u, "unit",
          {"version", "lines23", "stored_coefficients", "noise_mmhg", "transducers", "pump", "firmware", "cuffs"}))
    return false;
  if (u.contains("lines23")) {
    if (u["lines23"] == "toe")
      c.SetToeLines(true);
    else if (u["lines23"] == "ankle")
      c.SetToeLines(false);
    else
      return r.Fail("unit.lines23: expected \"ankle\" or \"toe\"");
  }
  if (!ReadUnitVersion(r, u, c) || !ReadStoredCoefficients(r, u, c)) return false;
  r.Num(u, "noise_mmhg", c.noise_mmhg, 0, 5, "unit");
  if (!ReadTransducers(r, u, c) || !ReadPumpAndFirmware(r, u, c) || !ReadCuffs(r, u, c)) return false;
  return r.ok;
}

bool ReadSites(Reader& r, const json& j, SubjectConfig& c) {
  if (!j.contains("sites")) return true;
  const json& s = j["sites"];
  if (!r.Object(s, "sites", {"rbra", "lbra", "rank", "lank", "rtoe", "ltoe"})) return false;
  for (int i = 0; i < kSiteCount; ++i) {
    if (!s.contains(kSiteKey[i])) continue;
    const std::string w = std::string("sites.") + kSiteKey[i];
    const json& x = s[kSiteKey[i]];
    if (!r.Object(x, w, {"sbp", "dbp", "rise_s", "pwv_cm_s"})) return false;
    r.Num(x, "sbp", c.site[i].sbp, 20, 300, w);
    r.Num(x, "dbp", c.site[i].dbp, 10, 250, w);
    r.Num(x, "rise_s", c.site[i].rise_s, 0.03, 0.3, w);
    r.Num(x, "pwv_cm_s", c.site[i].pwv_cm_s, 0, 5000, w);
    if (r.ok && c.site[i].dbp >= c.site[i].sbp) return r.Fail(w + ": dbp must be below sbp");
  }
  return r.ok;
}

bool ReadRhythm(Reader& r, const json& j, SubjectConfig& c) {
  if (!j.contains("rhythm")) return true;
  const json& rh = j["rhythm"];
  if (!rh.is_array()) return r.Fail("rhythm: expected an array");
  c.rhythm.clear();
  for (size_t i = 0; i < rh.size(); ++i) {
    const std::string w = "rhythm[" + std::to_string(i) + "]";
    if (!r.Object(rh[i], w, {"type", "beat", "count", "seconds"})) return false;
    RhythmEvent e;
    const std::string t = Text(rh[i], "type");
    if (t == "pvc")
      e.kind = RhythmEvent::kPvc;
    else if (t == "bigeminy")
      e.kind = RhythmEvent::kBigeminy;
    else if (t == "couplet")
      e.kind = RhythmEvent::kCouplet;
    else if (t == "pause")
      e.kind = RhythmEvent::kPause;
    else
      return r.Fail(w + ".type: expected pvc, bigeminy, couplet or pause");
    r.Int(rh[i], "beat", e.beat, 1, 1000000, w);
    r.Int(rh[i], "count", e.count, 1, 1000, w);
    r.Num(rh[i], "seconds", e.seconds, 0.3, 10, w);
    if (!r.ok) return false;
    c.rhythm.push_back(e);
  }
  return true;
}

bool ReadEcgAndPcg(Reader& r, const json& j, SubjectConfig& c) {
  if (j.contains("ecg")) {
    const json& e = j["ecg"];
    if (!r.Object(e, "ecg", {"r_mv", "noise_mv", "mains_mv", "mains_hz", "wander_mv"})) return false;
    r.Num(e, "r_mv", c.ecg.r_mv, 0, 3, "ecg");
    r.Num(e, "noise_mv", c.ecg.noise_mv, 0, 1, "ecg");
    r.Num(e, "mains_mv", c.ecg.mains_mv, 0, 2, "ecg");
    r.Num(e, "mains_hz", c.ecg.mains_hz, 40, 70, "ecg");
    r.Num(e, "wander_mv", c.ecg.wander_mv, 0, 2, "ecg");
  }
  if (j.contains("pcg")) {
    const json& p = j["pcg"];
    if (!r.Object(p, "pcg", {"s1", "s2", "noise"})) return false;
    r.Num(p, "s1", c.pcg.s1, 0, 20, "pcg");
    r.Num(p, "s2", c.pcg.s2, 0, 20, "pcg");
    r.Num(p, "noise", c.pcg.noise, 0, 5, "pcg");
  }
  return true;
}

bool ReadFaults(Reader& r, const json& j, SubjectConfig& c) {
  if (!j.contains("faults")) return true;
  const json& f = j["faults"];
  if (!f.is_array()) return r.Fail("faults: expected an array");
  c.faults.clear();
  for (size_t i = 0; i < f.size(); ++i) {
    const std::string w = "faults[" + std::to_string(i) + "]";
    if (!r.Object(f[i], w, {"kind", "at_s", "duration_s", "rate", "bytes"})) return false;
    FaultEvent e;
    const std::string k = Text(f[i], "kind");
    if (k == "corrupt")
      e.kind = FaultEvent::kCorrupt;
    else if (k == "drop")
      e.kind = FaultEvent::kDrop;
    else if (k == "silence")
      e.kind = FaultEvent::kSilence;
    else if (k == "unanswered")
      e.kind = FaultEvent::kUnanswered;
    else if (k == "hangup")
      e.kind = FaultEvent::kHangup;
    else if (k == "garbage")
      e.kind = FaultEvent::kGarbage;
    else
      return r.Fail(w + ".kind: expected corrupt, drop, silence, unanswered, hangup or garbage");
    r.Num(f[i], "at_s", e.at_s, 0, 1e7, w);
    r.Num(f[i], "duration_s", e.duration_s, 0, 1e7, w);
    r.Num(f[i], "rate", e.rate, 0, 1, w);
    r.Int(f[i], "bytes", e.bytes, 0, 1000000, w);
    if (!r.ok) return false;
    c.faults.push_back(e);
  }
  return true;
}

}  // namespace

bool SubjectFromJson(const json& j, SubjectConfig& c, std::string* error) {
  Reader r{error};
  if (!r.Object(j, "subject",
                {"seed", "height_cm", "heart_rate_bpm", "hrv_sd", "rsa", "resp_hz", "pwv_cm_s", "toe_extra_cm", "sites",
                 "rhythm", "ecg", "pcg", "unit", "faults", "comment"}))
    return false;
  if (j.contains("seed")) {
    if (!j["seed"].is_number_unsigned()) return r.Fail("subject.seed: expected a non-negative integer");
    c.seed = j["seed"].get<uint64_t>();
  }
  r.Num(j, "height_cm", c.height_cm, 80, 250, "subject");
  r.Num(j, "heart_rate_bpm", c.heart_rate_bpm, 25, 200, "subject");
  r.Num(j, "hrv_sd", c.hrv_sd, 0, 0.2, "subject");
  r.Num(j, "rsa", c.rsa, 0, 0.2, "subject");
  r.Num(j, "resp_hz", c.resp_hz, 0.05, 1.0, "subject");
  r.Num(j, "pwv_cm_s", c.pwv_cm_s, 200, 5000, "subject");
  r.Num(j, "toe_extra_cm", c.toe_extra_cm, 0, 60, "subject");
  if (!r.ok) return false;

  // The unit first: it decides what the lines carry.
  if (!ReadUnit(r, j, c)) return false;
  if (!ReadSites(r, j, c) || !ReadRhythm(r, j, c)) return false;
  if (!ReadEcgAndPcg(r, j, c) || !ReadFaults(r, j, c)) return false;
  return r.ok;
}

bool LoadSubjectFile(const std::string& path, SubjectConfig& out, std::string* error) {
  std::ifstream in(path);
  if (!in) {
    if (error) *error = "cannot open " + path;
    return false;
  }
  json j = json::parse(in, nullptr, false, true);  // comments allowed
  if (j.is_discarded()) {
    if (error) *error = path + ": not valid JSON";
    return false;
  }
  SubjectConfig c;
  if (!SubjectFromJson(j, c, error)) return false;
  out = c;
  return true;
}

}  // namespace nel::sim
